#include "tools/web/publisher.h"

#include <httplib.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "tools/web/web_bridge.h"

using Millis = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

bool ParsePublishUrl(const std::string& url, PublishTarget* target, std::string* error) {
  const bool tls = url.rfind("https://", 0) == 0;
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
  if (tls) {
    *error =
        "this build of pitwall publishes over http:// only: publish to the pub/sub server "
        "over a private network or a tunnel";
    return false;
  }
#endif
  const std::string scheme = tls ? "https://" : "http://";
  if (url.rfind(scheme, 0) != 0) {
    *error = "--publish takes a URL such as http://127.0.0.1:8090/pub, not '" + url + "'";
    return false;
  }
  const std::size_t slash = url.find('/', scheme.size());
  const std::string host_port = url.substr(scheme.size(), slash - scheme.size());
  std::string path = slash == std::string::npos ? std::string() : url.substr(slash);
  while (!path.empty() && path.back() == '/') path.pop_back();
  const std::size_t colon = host_port.rfind(':');
  const std::string host = host_port.substr(0, colon);
  const bool bad_host = host.empty() || host.find_first_of("@?#[] ") != std::string::npos;
  bool bad_port = false;
  if (colon != std::string::npos) {
    const std::string port = host_port.substr(colon + 1);
    bad_port = port.empty() || port.size() > 5 ||
               port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
               std::stoi(port) > 65535;
  }
  if (bad_host || bad_port || path.find_first_of("?# ") != std::string::npos) {
    *error = "--publish takes a URL such as http://127.0.0.1:8090/pub, not '" + url + "'";
    return false;
  }
  target->origin = scheme + host_port;
  target->path = path;
  return true;
}

namespace {

// What went wrong, in words for the output.
std::string FailureText(httplib::Error error) {
  switch (error) {
    case httplib::Error::Connection:
      return "cannot connect";
    case httplib::Error::ConnectionTimeout:
      return "no connection within the time allowed";
    case httplib::Error::Read:
      return "no answer within the time allowed, or the connection broke";
    case httplib::Error::Write:
      return "sending took longer than allowed, or the connection broke";
    case httplib::Error::SSLConnection:
      return "the TLS connection failed";
    case httplib::Error::SSLServerVerification:
      return "the server's TLS certificate is not trusted";
    default:
      return httplib::to_string(error);
  }
}

}  // namespace

// One connection to the server and what it has been sent since the
// publisher last started again from a whole state.
class Publisher::Session {
 public:
  Session(const PublishTarget& target, const PublisherOptions& options)
      : target_(target), client_(target.origin) {
    client_.set_connection_timeout(options.connect_timeout);
    client_.set_read_timeout(options.io_timeout);
    client_.set_write_timeout(options.io_timeout);
    client_.set_keep_alive(true);
    // A message's head and body go out as two writes: without this the body
    // waits for the server's delayed acknowledgement, some 40 ms.
    client_.set_tcp_nodelay(true);
    if (!options.token.empty()) {
      headers_.emplace("Authorization", "Bearer " + options.token);
    }
  }

  // Sends what brings the server from what it was sent to `s`; the whole
  // of it when `whole`. False with *error set when the server failed.
  bool Send(const BridgeSnapshot& s, bool whole, std::uint64_t* posts, std::string* error) {
    const std::string status_key = s.status + "\n" + s.message;
    if (whole || status_key != status_key_) {
      std::string status = s.status_json;
      status.insert(status.size() - 1, ",\"delay_s\":0");
      if (!Post("status", "status", status, posts, error)) return false;
      status_key_ = status_key;
    }
    if (s.track_json && (whole || !track_ || *s.track_json != *track_)) {
      if (!Post("track", "track", *s.track_json, posts, error)) return false;
      track_ = s.track_json;
    }
    if (!s.state_json.empty() && (whole || s.state_id != state_id_)) {
      const bool follows = !whole && !s.change_json.empty() && s.change_base == state_id_;
      if (follows) {
        if (!Post("change", "change", s.change_json, posts, error)) return false;
      } else if (!Post("change", "state", s.state_json, posts, error)) {
        return false;
      }
      // The state channel holds a whole state a change can follow on
      // from: a viewer that joins, or lost its place, fetches it.
      if (!follows || ++since_whole_ >= kWholeEvery) {
        if (!Post("state", "state", s.state_json, posts, error)) return false;
        since_whole_ = 0;
      }
      state_id_ = s.state_id;
    }
    // Only the race events that come after the first snapshot sent: the
    // race before is the history's.
    if (!race_id_) {
      race_id_ = s.race_events && !s.race_events->empty() ? s.race_events->back().id : 0;
    } else if (s.race_events) {
      for (const RaceEventText& e : *s.race_events) {
        if (e.id <= *race_id_) continue;
        if (!Post("race", "race", e.json, posts, error)) return false;
        race_id_ = e.id;
      }
    }
    return true;
  }

  // Whether the server still has the status channel; nothing when it
  // failed to say.
  std::optional<bool> HasChannels(std::string* error) {
    const auto answer = client_.Get((target_.path + "/status").c_str(), headers_);
    if (!answer) {
      *error = FailureText(answer.error());
      return std::nullopt;
    }
    if (answer->status == 404) return false;
    if (answer->status / 100 == 2) return true;
    *error = "answered " + std::to_string(answer->status) + " to a look at its channels";
    return std::nullopt;
  }

 private:
  bool Post(const char* channel, const char* event, const std::string& body, std::uint64_t* posts,
            std::string* error) {
    httplib::Headers headers = headers_;
    headers.emplace("X-EventSource-Event", event);
    const std::string path = target_.path + "/" + channel;
    const auto answer = client_.Post(path.c_str(), headers, body, "application/json");
    if (!answer) {
      *error = FailureText(answer.error());
      return false;
    }
    if (answer->status / 100 != 2) {
      *error = "answered " + std::to_string(answer->status) + " to a message for " + path;
      return false;
    }
    ++*posts;
    return true;
  }

  const PublishTarget& target_;
  httplib::Client client_;
  httplib::Headers headers_;
  std::string status_key_;
  std::shared_ptr<const std::string> track_;
  std::uint64_t state_id_ = 0;
  int since_whole_ = 0;
  std::optional<std::int64_t> race_id_;  // the newest race event sent
};

Publisher::Publisher(WebBridge* bridge, PublisherOptions options)
    : bridge_(bridge), options_(std::move(options)) {
  std::string error;
  ParsePublishUrl(options_.url, &target_, &error);
}

Publisher::~Publisher() { Stop(); }

void Publisher::Start() {
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void Publisher::Stop() {
  {
    MutexLock lock(&mu_);
    stop_ = true;
  }
  woken_.NotifyAll();
  if (thread_.joinable()) thread_.join();
}

PublisherCounts Publisher::counts() const {
  MutexLock lock(&mu_);
  return counts_;
}

bool Publisher::Sleep(Millis wait) {
  const auto until = SteadyClock::now() + wait;
  MutexLock lock(&mu_);
  while (!stop_ && woken_.WaitUntil(&mu_, until)) {
  }
  return !stop_;
}

void Publisher::Run() {
  const auto say = [this](const std::string& line) {
    if (options_.say) options_.say(line);
  };
  const auto session = std::make_unique<Session>(target_, options_);
  std::uint64_t sent_id = 0;  // the last publication handled
  bool whole = true;          // the next sends everything
  bool failing = false;
  std::uint64_t dropped_since = 0;  // while failing
  Millis retry = options_.first_retry;
  auto next_check = SteadyClock::now() + options_.check_every;
  while (!stop_) {
    const std::shared_ptr<const BridgeSnapshot> latest = bridge_->WaitNewer(sent_id, 200);
    if (stop_) break;
    // A stopped bridge publishes nothing more, and waits for nobody.
    if (latest->id == sent_id && bridge_->stopped() && !Sleep(Millis(200))) break;
    std::string error;
    std::uint64_t posts = 0;
    bool ok = true;
    if (!failing && SteadyClock::now() >= next_check) {
      next_check = SteadyClock::now() + options_.check_every;
      const std::optional<bool> has = session->HasChannels(&error);
      ok = has.has_value();
      if (has == false) {
        whole = true;
        MutexLock lock(&mu_);
        ++counts_.republished;
      }
    }
    if (ok && (latest->id != sent_id || whole)) {
      // The next publication after the last one sent, from the bridge's
      // past, unless too far behind (or starting again): then the newest.
      std::shared_ptr<const BridgeSnapshot> next = latest;
      if (!whole && latest->id - sent_id <= kMaxBehind) {
        const KeptSnapshot kept = bridge_->After(sent_id);
        if (kept.snapshot && kept.snapshot->id <= latest->id) next = kept.snapshot;
      }
      const std::uint64_t skipped =
          sent_id == 0 || next->id == sent_id ? 0 : next->id - sent_id - 1;
      ok = session->Send(*next, whole || skipped > 0, &posts, &error);
      if (ok) {
        MutexLock lock(&mu_);
        counts_.dropped += skipped;
        dropped_since += skipped;
        sent_id = next->id;
        whole = false;
      }
    }
    {
      MutexLock lock(&mu_);
      counts_.posts += posts;
      if (!ok) ++counts_.failures;
    }
    if (ok) {
      if (failing) {
        say("publishing to " + options_.url + " again (dropped " + std::to_string(dropped_since) +
            " updates)");
        failing = false;
      }
      dropped_since = 0;
      retry = options_.first_retry;
      continue;
    }
    if (!failing) say("publishing to " + options_.url + " failed: " + error + "; retrying");
    failing = true;
    whole = true;
    // Again after a wait that grows while the server stays away (the
    // client connects anew): what was published meanwhile is skipped, not
    // queued.
    if (!Sleep(retry)) break;
    retry = std::min(retry * 2, options_.max_retry);
  }
}
