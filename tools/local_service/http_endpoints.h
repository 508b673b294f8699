// The service's HTTP side: the gateway, the offline and history fetches and, when enabled, the
// control API. Requests are answered on cpp-httplib's worker threads; every look at the service's
// state hops onto the service thread.
#ifndef TOOLS_LOCAL_SERVICE_HTTP_ENDPOINTS_H_
#define TOOLS_LOCAL_SERVICE_HTTP_ENDPOINTS_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace local_service {

class LocalService;

class HttpEndpoints {
 public:
  HttpEndpoints(LocalService* service, bool control);
  ~HttpEndpoints();

  // Binds `host`:`port` (0: ephemeral) and reports the bound port.
  bool Bind(const std::string& host, int port, int* bound_port, std::string* error);
  void Run();
  // Wakes every held request, stops the server and joins its threads.
  void Stop();

 private:
  void Install();
  // Waits `ms` unless the server stops first; false when stopping.
  bool Hold(int64_t ms);

  LocalService* service_;
  bool control_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::atomic<bool> listen_done_{false};
  std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;  // guarded by mu_
};

}  // namespace local_service

#endif  // TOOLS_LOCAL_SERVICE_HTTP_ENDPOINTS_H_
