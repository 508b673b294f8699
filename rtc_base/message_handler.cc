#include "rtc_base/message_handler.h"

#include "rtc_base/message_queue.h"

namespace rtc {

MessageHandler::~MessageHandler() {
  MessageQueueManager::Clear(this);
}

}  // namespace rtc
