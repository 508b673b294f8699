#include "rtc_base/threads/message_handler.h"

#include "rtc_base/threads/message_queue.h"

namespace rtc {

MessageHandler::~MessageHandler() { MessageQueueManager::Clear(this); }

}  // namespace rtc
