#include "web_server.h"

#include <httplib.h>

#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "web_bridge.h"

namespace {

constexpr std::uint32_t kKeepAliveMs = 5000;  // a comment line this often on a quiet stream

void Json(httplib::Response& res, const std::string& body, int status = 200) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_header("Access-Control-Allow-Origin", "*");
  res.set_content(body, "application/json");
}

std::string Event(const char* name, std::uint64_t id, const std::string& data) {
  return "id: " + std::to_string(id) + "\nevent: " + name + "\ndata: " + data + "\n\n";
}

// What a viewer has been sent so far.
struct Sent {
  std::uint64_t id = 0;
  std::string status_json_of;  // status and message, as last sent
  std::string track_json;
  bool state = false;
};

// The events that bring a viewer from `sent` to `now`.
std::string Catch(const BridgeSnapshot& now, Sent* sent) {
  std::string out;
  const std::string status = now.status + "\n" + now.message;
  if (status != sent->status_json_of) {
    out += Event("status", now.id, now.status_json);
    sent->status_json_of = status;
  }
  if (!now.track_json.empty() && now.track_json != sent->track_json) {
    out += Event("track", now.id, now.track_json);
    sent->track_json = now.track_json;
  }
  if (!now.state_json.empty() && now.id > sent->id) out += Event("state", now.id, now.state_json);
  sent->id = now.id;
  return out;
}

}  // namespace

WebServer::WebServer(WebBridge* bridge, std::string www_dir, int max_viewers)
    : bridge_(bridge), www_dir_(std::move(www_dir)), server_(std::make_unique<httplib::Server>()) {
  // One thread per open event stream, and a few for everything else.
  const std::size_t threads = static_cast<std::size_t>(max_viewers) + 8;
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server_->set_mount_point("/static", www_dir_);
  const auto page = [this](const httplib::Request&, httplib::Response& res) {
    std::ifstream file(www_dir_ + "/index.html", std::ios::binary);
    const std::string html((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    if (!file || html.empty()) {
      res.status = 500;
      res.set_content("the page's files are missing from " + www_dir_ + "\n", "text/plain");
      return;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_content(html, "text/html; charset=utf-8");
  };
  server_->Get("/", page);
  server_->Get("/overlay", page);
  server_->Get("/api/status", [this](const httplib::Request&, httplib::Response& res) {
    Json(res, bridge_->Latest()->status_json);
  });
  server_->Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
    const auto latest = bridge_->Latest();
    if (latest->state_json.empty()) return Json(res, latest->status_json, 503);
    Json(res, latest->state_json);
  });
  server_->Get("/api/track", [this](const httplib::Request&, httplib::Response& res) {
    const auto latest = bridge_->Latest();
    if (latest->track_json.empty()) return Json(res, latest->status_json, 503);
    Json(res, latest->track_json);
  });
  server_->Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
    auto sent = std::make_shared<Sent>();
    if (req.has_header("Last-Event-ID")) {
      // A browser coming back: nothing it has already seen, but the status
      // and track again, as it may have missed their changes.
      try {
        sent->id = std::stoull(req.get_header_value("Last-Event-ID"));
      } catch (...) {
        sent->id = 0;
      }
    }
    res.set_header("Cache-Control", "no-store");
    res.set_header("Access-Control-Allow-Origin", "*");
    res.set_chunked_content_provider(
        "text/event-stream", [this, sent](std::size_t offset, httplib::DataSink& sink) {
          std::string out;
          if (offset == 0) {
            out = "retry: 1000\n\n";
            const auto latest = bridge_->Latest();
            if (sent->id > latest->id) sent->id = 0;  // ids of an earlier run
            out += Catch(*latest, sent.get());
          } else {
            const auto latest = bridge_->WaitNewer(sent->id, kKeepAliveMs);
            if (bridge_->stopped()) return false;
            out = Catch(*latest, sent.get());
            if (out.empty()) out = ": keep-alive\n\n";
          }
          return sink.write(out.data(), out.size());
        });
  });
}

WebServer::~WebServer() { Stop(); }

bool WebServer::Listen(const std::string& address, std::uint16_t port, std::string* error) {
  const int bound = port == 0 ? server_->bind_to_any_port(address)
                              : (server_->bind_to_port(address, port) ? port : -1);
  if (bound <= 0) {
    *error = "cannot listen on " + address + ":" + std::to_string(port) +
             " (in use, or not an address of this machine)";
    return false;
  }
  port_ = static_cast<std::uint16_t>(bound);
  return true;
}

void WebServer::Serve() { server_->listen_after_bind(); }

void WebServer::Stop() { server_->stop(); }
