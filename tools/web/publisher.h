// Sends what the web view publishes on to a pub/sub server (nginx with its
// pub/sub module), which fans it out to any number of viewers on any
// number of machines: the bridge stays the one client of the plug-in.
//
// Every message is an HTTP POST to URL/<channel>, its body an event's
// data, with "X-EventSource-Event: <event>" (the event name a viewer's
// stream gives it) and, with a token, "Authorization: Bearer <token>":
//   status  status  {"status":...,"message":...,"id":N,"delay_s":0}, when it changes
//   track   track   the outline, when it changes
//   change  change  what changed from the state before (state_change.h), every state;
//           state   a whole state instead where no change follows on
//   state   state   a whole state: the first, every kWholeEvery states, after a gap
//   race    race    each event of the race story
// A viewer takes status, track, change and race in one stream, and a
// whole state from the state channel when it has none that a change
// follows on.
//
// The bridge and its own viewers never wait for the publisher: it reads
// the bridge's kept snapshots on a thread of its own, one after another.
// When it falls more than kMaxBehind behind, or the server fails (down,
// slow, refusing), it skips to the newest and starts again from a whole
// state, status and outline; it says so once, and once when it publishes
// again. It also asks every kCheckEvery whether the server still has the
// status channel, and publishes everything again when the server lost its
// channels (it restarted).
//
// Thread-safety: Start and Stop from one thread.
#ifndef PITWALL_TOOLS_WEB_PUBLISHER_H_
#define PITWALL_TOOLS_WEB_PUBLISHER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/mutex.h"

class WebBridge;

// Where to publish: "http://HOST[:PORT][/PATH]", or https:// in the builds
// whose HTTP client has TLS (the Linux ones).
struct PublishTarget {
  std::string origin;  // "http://HOST:PORT"
  std::string path;    // "/PATH" without a trailing slash; "" for the root
};

// False with *error set for anything but such a URL.
bool ParsePublishUrl(const std::string& url, PublishTarget* target, std::string* error);

struct PublisherOptions {
  std::string url;    // as ParsePublishUrl takes it
  std::string token;  // sent as a bearer token; empty: none
  std::chrono::milliseconds connect_timeout{1000};
  std::chrono::milliseconds io_timeout{2000};  // for each read or write
  std::chrono::milliseconds first_retry{250};  // after a failure, doubling up to
  std::chrono::milliseconds max_retry{4000};
  std::chrono::milliseconds check_every{2000};  // whether the server still has the channels
  std::function<void(const std::string&)> say;  // a line for the output; empty: none
};

struct PublisherCounts {
  std::uint64_t posts = 0;        // messages the server took
  std::uint64_t failures = 0;     // attempts that failed
  std::uint64_t dropped = 0;      // publications never sent (skipped over)
  std::uint64_t republished = 0;  // times everything was sent again after the server lost it
};

class Publisher {
 public:
  static constexpr int kWholeEvery = 10;           // about a second at the plug-in's pace
  static constexpr std::uint64_t kMaxBehind = 50;  // publications

  // `bridge` must outlive the publisher; options.url must parse.
  Publisher(WebBridge* bridge, PublisherOptions options);
  ~Publisher();  // stops
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  void Start();
  void Stop();
  PublisherCounts counts() const;

 private:
  class Session;
  void Run();
  // Waits `wait` or until stopped; false when stopped.
  bool Sleep(std::chrono::milliseconds wait);

  WebBridge* const bridge_;
  const PublisherOptions options_;
  PublishTarget target_;
  std::atomic<bool> stop_{false};
  mutable Mutex mu_;
  CondVar woken_;
  PublisherCounts counts_ GUARDED_BY(mu_);
  std::thread thread_;
};

#endif  // PITWALL_TOOLS_WEB_PUBLISHER_H_
