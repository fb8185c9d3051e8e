// The web view's HTTP side, on cpp-httplib: the page and its overlays from
// the files in `www_dir`, and the API that other tools read without the
// binary protocol:
//   GET /api/state   the timing state (the `pitwall dump --json` object);
//                    503 with the status object until there is one
//   GET /api/track   the outline, {"strips":[{"kind":K,"points":[[x,z],...]}]}; 503 likewise
//   GET /api/status  {"status":"connecting|live|unreachable|full","message":...,"id":N}
//   GET /api/events  Server-Sent Events: "status", "track" and "state" events
//                    with the same objects, each with the snapshot's id, so a
//                    browser that reconnects with Last-Event-ID resumes
// Each viewer's event stream holds one thread of the server's pool.
//
// Thread-safety: Listen, Serve and Stop from one thread, Stop also from a
// signal-free other thread.
#ifndef PITWALL_TOOLS_WEB_WEB_SERVER_H_
#define PITWALL_TOOLS_WEB_WEB_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>

class WebBridge;

namespace httplib {
class Server;
}

class WebServer {
 public:
  // `max_viewers`: event streams served at once.
  WebServer(WebBridge* bridge, std::string www_dir, int max_viewers);
  ~WebServer();

  // Binds `address`:`port` (port 0: any free one). False with *error set.
  bool Listen(const std::string& address, std::uint16_t port, std::string* error);
  std::uint16_t port() const { return port_; }
  // Serves until Stop.
  void Serve();
  void Stop();

 private:
  WebBridge* const bridge_;
  const std::string www_dir_;
  std::unique_ptr<httplib::Server> server_;
  std::uint16_t port_ = 0;
};

#endif  // PITWALL_TOOLS_WEB_WEB_SERVER_H_
