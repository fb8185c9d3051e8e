#include "live_feed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/mutex.h"
#include "platform/socket.h"
#include "testing/eventually.h"
#include "tests/wire_client.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// One answer laid out by the wire structs. The test machines are
// little-endian, as the wire is, so the structs' bytes are the wire's.
template <typename Body>
Bytes Message(std::uint8_t type, std::uint8_t mask, const Body& body, const Bytes& tail = {}) {
  Bytes m(sizeof(ResponseHeader) + sizeof(Body));
  const ResponseHeader header{static_cast<std::uint16_t>(m.size() + tail.size()), type, mask};
  std::memcpy(m.data(), &header, sizeof(header));
  std::memcpy(m.data() + sizeof(header), &body, sizeof(body));
  m.insert(m.end(), tail.begin(), tail.end());
  return m;
}

template <typename Part>
void Append(Bytes* bytes, const Part& part) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&part);
  bytes->insert(bytes->end(), p, p + sizeof(part));
}

// A loopback server that plays the plug-in: it serves one connection after
// another, answers each request at once by its type and keeps a list of
// what it was asked. `plans[i]` says how connection i goes; past the end
// of the list every connection is served.
class FakePlugin {
 public:
  enum class Plan {
    kServe,   // answers everything
    kFull,    // the handshake says full
    kSilent,  // the handshake, then nothing
    kHangUp,  // the handshake, then closes once three requests came
  };
  struct Request {
    int connection;
    std::uint8_t type;
    SteadyClock::time_point at;
    std::uint8_t live_mask;  // the change mask of the live answer it was given
  };

  explicit FakePlugin(std::vector<Plan> plans)
      : plans_(std::move(plans)), listener_(OpenTcpSocket()) {
    EXPECT_TRUE(BindIPv4(listener_.get(), LoopbackIPv4(), 0));
    EXPECT_TRUE(Listen(listener_.get(), 4));
    thread_ = std::thread([this] {
      for (int connection = 0;; ++connection) {
        std::uint32_t peer = 0;
        if (WaitReadable(listener_.get(), kWaitForever, &running_) != WaitResult::kReady) return;
        Socket socket = AcceptIPv4(listener_.get(), &peer);
        if (!socket.valid()) return;
        Serve(connection, &socket);
        ++ended_;
      }
    });
  }
  ~FakePlugin() {
    running_.store(false);
    thread_.join();
  }
  std::uint16_t port() const { return LocalPort(listener_.get()); }
  std::string peer() const { return "127.0.0.1:" + std::to_string(port()); }

  // What session answers name, and how many outline points trackstrip
  // requests are answered with (0: none, as with no outline loaded).
  void SetTrack(const std::string& name, std::uint32_t points) {
    MutexLock lock(&mu_);
    track_ = name;
    points_ = points;
  }
  // The change masks of the next live answers, in order; then 0.
  void QueueLiveMasks(std::vector<std::uint8_t> masks) {
    MutexLock lock(&mu_);
    masks_.insert(masks_.end(), masks.begin(), masks.end());
  }
  std::vector<Request> requests() const {
    MutexLock lock(&mu_);
    return requests_;
  }
  std::vector<std::uint8_t> types(int connection) const {
    std::vector<std::uint8_t> types;
    for (const Request& r : requests()) {
      if (r.connection == connection) types.push_back(r.type);
    }
    return types;
  }
  // Connections whose client has gone.
  int ended() const { return ended_.load(); }
  int count(std::uint8_t type) const {
    int n = 0;
    for (const Request& r : requests()) n += r.type == type;
    return n;
  }

 private:
  void Serve(int connection, Socket* socket) {
    const Plan plan = connection < static_cast<int>(plans_.size())
                          ? plans_[static_cast<std::size_t>(connection)]
                          : Plan::kServe;
    int after_handshake = 0;
    std::uint8_t request[3];
    while (running_.load()) {
      const long n = RecvSomeWithin(socket->get(), request, sizeof(request), 50);
      if (n == 0) return;
      if (n < 0) continue;
      // A client sends each request whole; three bytes arrive together.
      ASSERT_EQ(n, 3);
      const std::uint8_t type = request[2];
      Bytes answer;
      std::uint8_t mask = 0;
      {
        MutexLock lock(&mu_);
        if (type == kUpdateData && !masks_.empty()) {
          mask = masks_.front();
          masks_.pop_front();
        }
        requests_.push_back({connection, type, SteadyClock::now(), mask});
        answer = AnswerTo(type, mask, plan);
      }
      if (type != kHandshakeInfo && plan != Plan::kServe) {
        if (plan == Plan::kHangUp && ++after_handshake == 3) return;
        continue;
      }
      if (!answer.empty()) {
        ASSERT_EQ(SendSome(socket->get(), answer.data(), answer.size()),
                  static_cast<long>(answer.size()));
      }
    }
  }

  Bytes AnswerTo(std::uint8_t type, std::uint8_t mask, Plan plan) const
      EXCLUSIVE_LOCKS_REQUIRED(mu_) {
    switch (type) {
      case kHandshakeInfo: {
        const bool full = plan == Plan::kFull;
        HandshakeMessage hello{{sizeof(HandshakeMessage), kHandshakeInfo,
                                static_cast<std::uint8_t>(full ? kChangeAll : 0)},
                               1,
                               full ? kHandshakeServerFull : kHandshakeOk,
                               0};
        Bytes m;
        Append(&m, hello);
        return m;
      }
      case kSessionInfo: {
        SessionBlock session{};
        std::strncpy(session.track_name, track_.c_str(), sizeof(session.track_name) - 1);
        session.session = 10;
        session.end_time = 1800;
        session.max_laps = 5;
        session.lap_distance = 3000;
        return Message(kSessionInfo, 0, session);
      }
      case kVehicleInfo: {
        VehicleInfoRecord driver{};
        std::strncpy(driver.driver_name, "Ann Lee", sizeof(driver.driver_name));
        return Message(kVehicleInfo, 0, driver);
      }
      case kUpdateData: {
        const LiveBlock live{1, {}, 12.5f, 0, {}, -1.0f, 0, {}};
        return Message(kUpdateData, mask, live);
      }
      case kTrackstrip: {
        if (points_ == 0) return {};
        Bytes tail;
        Append(&tail, StripDirectoryEntry{1, points_});
        Append(&tail, StripChunkHeader{0, 0, points_});
        for (std::uint32_t i = 0; i < points_; ++i) {
          Append(&tail, StripPoint{static_cast<float>(i), 0.0f});
        }
        return Message(kTrackstrip, 0, std::uint8_t{1}, tail);
      }
    }
    return {};
  }

  const std::vector<Plan> plans_;
  Socket listener_;
  std::atomic<bool> running_{true};
  std::atomic<int> ended_{0};
  mutable Mutex mu_;  // guards what the tests set and read
  std::string track_ GUARDED_BY(mu_) = "Test Ring";
  std::uint32_t points_ GUARDED_BY(mu_) = 0;
  std::deque<std::uint8_t> masks_ GUARDED_BY(mu_);
  std::vector<Request> requests_ GUARDED_BY(mu_);
  std::thread thread_;
};

LiveFeedOptions OptionsFor(std::uint16_t port) {
  LiveFeedOptions options;
  options.host = "127.0.0.1";
  options.port = port;
  // A run that hangs ends the test rather than the test binary.
  options.stop_at = SteadyClock::now() + std::chrono::seconds(30);
  return options;
}

// "status: message", with the failure's next step.
std::string StatusLine(const FeedStatus& s) {
  std::string line = s.status + ": " + s.message;
  if (s.error.ok()) return line;
  if (s.connection_lost) line += " [lost]";
  return line + (s.ends_run ? " [end]" : " [retry " + std::to_string(s.retry_in.count()) + " ms]");
}

const char* TypeName(const Answer& answer) {
  static const char* const kNames[] = {"handshake", "live", "session", "drivers", "trackstrip"};
  return kNames[answer.index()];
}

TEST(LiveFeedTest, PollsOnItsScheduleAndAsksAgainAtOnceOnAChange) {
  FakePlugin plugin({});
  plugin.SetTrack("Test Ring", 2);
  plugin.QueueLiveMasks({0, kChangeSession | kChangeVehicles});
  LiveFeedOptions options = OptionsFor(plugin.port());
  options.live_every = Millis(20);
  options.extra_polls = {{kTrackstrip, Millis(10000), Millis(0)},
                         {kHandshakeInfo, Millis(10000), Millis(300)}};
  int lives = 0;
  options.should_stop = [&] { return lives == 30; };
  LiveFeed feed(std::move(options));
  std::vector<std::string> events_seen;
  LiveFeedEvents events;
  events.on_connected = [&](const std::string& peer) {
    events_seen.push_back("connected " + peer);
  };
  events.on_status = [&](const FeedStatus& s) { events_seen.push_back(StatusLine(s)); };
  events.on_answer = [&](const Answer& answer, double) {
    // The state took the answer before anyone hears of it.
    if (std::holds_alternative<LiveAnswer>(answer)) {
      EXPECT_EQ(feed.state().updates(), ++lives);
      EXPECT_EQ(feed.state().session().track, "Test Ring");
    }
    if (events_seen.size() < 8) events_seen.push_back(TypeName(answer));
  };
  const ClientError error = feed.Run(events);
  EXPECT_TRUE(error.ok()) << error.message;
  EXPECT_EQ(lives, 30);
  EXPECT_EQ(feed.peer(), plugin.peer());
  ASSERT_TRUE(Eventually([&] { return plugin.ended() == 1; })) << "the feed closes when it stops";

  const std::vector<std::string> expected_events = {
      "connected " + plugin.peer(),
      "connecting: connected to " + plugin.peer() + ", waiting for live timing",
      "handshake",
      "session",
      "drivers",
      "live: live timing from " + plugin.peer(),
      "live",
      "trackstrip",
  };
  EXPECT_EQ(events_seen, expected_events);

  // Everything due is asked for at once on connecting, the extra polls
  // after the three of every feed; the second handshake only later.
  const std::vector<std::uint8_t> types = plugin.types(0);
  ASSERT_GE(types.size(), 6u);
  EXPECT_EQ(std::vector<std::uint8_t>(types.begin(), types.begin() + 6),
            (std::vector<std::uint8_t>{kHandshakeInfo, kSessionInfo, kVehicleInfo, kUpdateData,
                                       kTrackstrip, kUpdateData}));
  // The live answer that said the session and the drivers changed is
  // followed by both requests, well within their second (at most one live
  // request may have left before that answer arrived).
  const std::vector<FakePlugin::Request> requests = plugin.requests();
  std::size_t changed = 0;
  while (changed < requests.size() && requests[changed].live_mask == 0) ++changed;
  ASSERT_LT(changed + 3, requests.size());
  std::vector<std::uint8_t> next;
  for (std::size_t i = changed + 1; i <= changed + 3; ++i) next.push_back(requests[i].type);
  EXPECT_NE(std::find(next.begin(), next.end(), kSessionInfo), next.end());
  EXPECT_NE(std::find(next.begin(), next.end(), kVehicleInfo), next.end());
  // Session and drivers: at the start, after the change, and once a second.
  EXPECT_LE(plugin.count(kSessionInfo), plugin.count(kUpdateData) / 5);
  EXPECT_EQ(plugin.count(kSessionInfo), plugin.count(kVehicleInfo));
  EXPECT_EQ(plugin.count(kTrackstrip), 1);
  std::vector<SteadyClock::time_point> handshakes;
  for (const auto& r : requests) {
    if (r.type == kHandshakeInfo) handshakes.push_back(r.at);
  }
  ASSERT_EQ(handshakes.size(), 2u);
  EXPECT_GE(handshakes[1] - handshakes[0], Millis(250));
}

TEST(LiveFeedTest, SaysEachFailureAndBacksOffUntilAConnectionIsMade) {
  using Plan = FakePlugin::Plan;
  FakePlugin plugin(
      {Plan::kFull, Plan::kFull, Plan::kSilent, Plan::kHangUp, Plan::kFull, Plan::kServe});
  LiveFeedOptions options = OptionsFor(plugin.port());
  options.silence_limit = Millis(1000);
  options.first_retry = Millis(10);
  options.max_retry = Millis(40);
  options.reconnect_after = Millis(15);
  bool live = false;
  options.should_stop = [&] { return live; };
  LiveFeed feed(std::move(options));
  std::vector<std::string> statuses;
  int connections = 0;
  int full_handshakes = 0;
  LiveFeedEvents events;
  events.on_connected = [&](const std::string&) { ++connections; };
  events.on_status = [&](const FeedStatus& s) {
    statuses.push_back(StatusLine(s));
    live = s.status == "live";
  };
  events.on_answer = [&](const Answer& answer, double) {
    if (const auto* hello = std::get_if<HandshakeAnswer>(&answer)) {
      full_handshakes += hello->status == kHandshakeServerFull;
    }
    // Each connection starts from an empty state.
    if (std::holds_alternative<LiveAnswer>(answer)) {
      EXPECT_EQ(feed.state().updates(), 1);
    }
  };
  EXPECT_TRUE(feed.Run(events).ok());

  const std::string peer = plugin.peer();
  const std::string full =
      "full: server full: " + peer +
      " already serves as many clients as it may (MaxConnections= in the "
      "[GENERAL] section of its PitwallFeedPlugin.ini, 1 to 64, sets how many)";
  const std::string connecting = "connecting: connected to " + peer + ", waiting for live timing";
  const std::vector<std::string> expected = {
      full + " [retry 10 ms]",
      full + " [retry 20 ms]",
      connecting,
      "unreachable: no answer from " + peer + " for 1 s [lost] [retry 15 ms]",
      connecting,
      "unreachable: connection closed by " + peer + " [lost] [retry 15 ms]",
      full + " [retry 10 ms]",  // the back-off starts over after a connection
      connecting,
      "live: live timing from " + peer,
  };
  EXPECT_EQ(statuses, expected);
  EXPECT_EQ(connections, 3);
  EXPECT_EQ(full_handshakes, 3);
}

TEST(LiveFeedTest, BackOffDoublesUpToItsLongest) {
  const std::uint16_t port = FreePort();  // closed without listening: connections are refused
  LiveFeedOptions options = OptionsFor(port);
  options.first_retry = Millis(10);
  options.max_retry = Millis(40);
  std::vector<std::string> statuses;
  options.should_stop = [&] { return statuses.size() == 5; };
  LiveFeed feed(std::move(options));
  LiveFeedEvents events;
  events.on_status = [&](const FeedStatus& s) { statuses.push_back(StatusLine(s)); };
  EXPECT_TRUE(feed.Run(events).ok());
  const std::string refused =
      "unreachable: cannot connect to 127.0.0.1:" + std::to_string(port) + ": connection refused";
  EXPECT_EQ(statuses,
            (std::vector<std::string>{refused + " [retry 10 ms]", refused + " [retry 20 ms]",
                                      refused + " [retry 40 ms]", refused + " [retry 40 ms]",
                                      refused + " [retry 40 ms]"}));
}

TEST(LiveFeedTest, FailuresEndTheRunAsTheOptionSays) {
  using Plan = FakePlugin::Plan;
  FakePlugin full_plugin(std::vector<Plan>(10, Plan::kFull));
  FakePlugin silent_plugin(std::vector<Plan>(10, Plan::kSilent));
  const std::uint16_t nobody = FreePort();
  struct Case {
    const char* name;
    FeedFailure on_failure;
    std::string host;
    std::uint16_t port;
    ClientErrorCode ends_with;  // kOk: retried, until two failures were said
  };
  const Case kCases[] = {
      {"refused, ending", FeedFailure::kEndRun, "127.0.0.1", nobody, ClientErrorCode::kRefused},
      {"silent, ending", FeedFailure::kEndRun, "127.0.0.1", silent_plugin.port(),
       ClientErrorCode::kTimeout},
      {"refused, unless hopeless", FeedFailure::kRetryUnlessHopeless, "127.0.0.1", nobody,
       ClientErrorCode::kOk},
      {"unknown host, unless hopeless", FeedFailure::kRetryUnlessHopeless, "pit.example", 1,
       ClientErrorCode::kBadAddress},
      {"full, unless hopeless", FeedFailure::kRetryUnlessHopeless, "127.0.0.1", full_plugin.port(),
       ClientErrorCode::kServerFull},
      {"full, retrying", FeedFailure::kRetry, "127.0.0.1", full_plugin.port(),
       ClientErrorCode::kOk},
      {"unknown host, retrying", FeedFailure::kRetry, "pit.example", 1, ClientErrorCode::kOk},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    LiveFeedOptions options = OptionsFor(c.port);
    options.host = c.host;
    options.on_failure = c.on_failure;
    options.silence_limit = Millis(1000);
    options.first_retry = Millis(10);
    std::vector<FeedStatus> failures;
    options.should_stop = [&] { return failures.size() == 2; };
    LiveFeed feed(std::move(options));
    LiveFeedEvents events;
    events.on_status = [&](const FeedStatus& s) {
      if (!s.error.ok()) failures.push_back(s);
    };
    const ClientError error = feed.Run(events);
    EXPECT_EQ(error.code, c.ends_with) << error.message;
    ASSERT_EQ(failures.size(), c.ends_with == ClientErrorCode::kOk ? 2u : 1u);
    EXPECT_EQ(failures[0].ends_run, c.ends_with != ClientErrorCode::kOk);
    EXPECT_EQ(failures[0].message, failures[0].error.message);
    if (!error.ok()) {
      EXPECT_EQ(error.message, failures[0].message);
    }
  }

  // Past its stop time a run connects to nothing.
  LiveFeedOptions late = OptionsFor(silent_plugin.port());
  late.stop_at = SteadyClock::now();
  LiveFeed feed(std::move(late));
  int statuses = 0;
  LiveFeedEvents events;
  events.on_status = [&](const FeedStatus&) { ++statuses; };
  EXPECT_TRUE(feed.Run(events).ok());
  EXPECT_EQ(statuses, 0);
  EXPECT_TRUE(feed.peer().empty());
}

TEST(LiveFeedTest, FetchesTheOutlineOnConnectingAndForEachNewTrack) {
  FakePlugin plugin({});
  plugin.SetTrack("Ring A", 3);
  LiveFeedOptions options = OptionsFor(plugin.port());
  options.want_track = true;
  std::vector<std::string> tracks;  // "session name: points"
  options.should_stop = [&] { return tracks.size() == 3; };
  LiveFeed feed(std::move(options));
  LiveFeedEvents events;
  events.on_track = [&](const TrackOutline& outline) {
    ASSERT_EQ(outline.strips.size(), 1u);
    tracks.push_back(feed.state().session().track + ": " +
                     std::to_string(outline.strips[0].points.size()));
    if (tracks.size() == 2) {
      // Another track is loaded; the next live answer says a session began.
      plugin.SetTrack("Ring B", 5);
      plugin.QueueLiveMasks({kChangeSession});
    }
  };
  EXPECT_TRUE(feed.Run(events).ok());
  // The first outline comes before any answer; the first session answer
  // names a track, whose outline is fetched again.
  EXPECT_EQ(tracks, (std::vector<std::string>{": 3", "Ring A: 3", "Ring B: 5"}));
  const std::vector<std::uint8_t> types = plugin.types(0);
  ASSERT_GE(types.size(), 5u);
  EXPECT_EQ(std::vector<std::uint8_t>(types.begin(), types.begin() + 5),
            (std::vector<std::uint8_t>{kHandshakeInfo, kTrackstrip, kSessionInfo, kVehicleInfo,
                                       kUpdateData}));
}

TEST(LiveFeedTest, AnOutlineThatDoesNotComeIsAskedForAgainLater) {
  FakePlugin plugin({});  // no outline loaded: trackstrip requests go unanswered
  LiveFeedOptions options = OptionsFor(plugin.port());
  options.want_track = true;
  options.track_timeout_ms = 100;
  options.track_retry_every = Millis(300);
  options.silence_limit = Millis(1000);
  options.should_stop = [&] { return plugin.count(kTrackstrip) == 4; };
  LiveFeed feed(std::move(options));
  int connections = 0;
  LiveFeedEvents events;
  events.on_connected = [&](const std::string&) { ++connections; };
  events.on_track = [&](const TrackOutline&) { ADD_FAILURE() << "no outline was served"; };
  EXPECT_TRUE(feed.Run(events).ok());
  EXPECT_EQ(connections, 1) << "a missing outline is no reason to reconnect";
  std::vector<SteadyClock::time_point> asked;
  for (const auto& r : plugin.requests()) {
    if (r.type == kTrackstrip) asked.push_back(r.at);
  }
  // On connecting, then at once for the track the first session answer
  // names, then after each time-out and the wait.
  ASSERT_EQ(asked.size(), 4u);
  for (std::size_t i = 2; i < asked.size(); ++i) {
    EXPECT_GE(asked[i] - asked[i - 1], Millis(350)) << "the time-out, then the wait";
  }
}

}  // namespace
