#include "web_bridge.h"

#include <chrono>
#include <nlohmann/json.hpp>
#include <utility>
#include <variant>

#include "history_views.h"
#include "live_feed.h"
#include "race_recorder.h"
#include "timing_json.h"

namespace {

using Millis = std::chrono::milliseconds;

// The plug-in answers live data ten times a second; session and drivers
// are asked for every second, as the feed does by default.
constexpr Millis kLiveEvery{100};
constexpr Millis kRetryEvery{1000};

std::string StatusJson(const BridgeSnapshot& s) {
  return nlohmann::ordered_json{{"status", s.status}, {"message", s.message}, {"id", s.id}}.dump(
      -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// Before the first publication too, the status reads as an object.
std::shared_ptr<const BridgeSnapshot> FirstSnapshot() {
  auto first = std::make_shared<BridgeSnapshot>();
  first->status_json = StatusJson(*first);
  return first;
}

}  // namespace

WebBridge::WebBridge(std::string host, std::uint16_t port, int ports, RaceRecorder* recorder,
                     LeagueWatch* league, std::function<void(const std::string&)> on_league)
    : host_(std::move(host)),
      port_(port),
      ports_(ports),
      recorder_(recorder),
      league_(league),
      on_league_(std::move(on_league)),
      latest_(FirstSnapshot()) {}

WebBridge::~WebBridge() { Stop(); }

void WebBridge::Start() {
  thread_ = std::thread([this] { Run(); });
}

void WebBridge::Stop() {
  {
    MutexLock lock(&mu_);
    stop_ = true;
  }
  changed_.NotifyAll();
  if (thread_.joinable()) thread_.join();
}

bool WebBridge::stopped() const {
  MutexLock lock(&mu_);
  return stop_;
}

std::shared_ptr<const BridgeSnapshot> WebBridge::Latest() const {
  MutexLock lock(&mu_);
  return latest_;
}

std::shared_ptr<const BridgeSnapshot> WebBridge::WaitNewer(std::uint64_t id,
                                                           std::uint32_t timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + Millis(timeout_ms);
  MutexLock lock(&mu_);
  while (!stop_ && latest_->id <= id && changed_.WaitUntil(&mu_, deadline)) {
  }
  return latest_;
}

template <typename Change>
void WebBridge::Publish(Change change) {
  {
    MutexLock lock(&mu_);
    auto next = std::make_shared<BridgeSnapshot>(*latest_);
    change(next.get());
    next->id = latest_->id + 1;
    next->status_json = StatusJson(*next);
    latest_ = std::move(next);
  }
  changed_.NotifyAll();
  MutexLock lock(&on_publish_mu_);
  if (on_publish_) on_publish_();
}

void WebBridge::SetOnPublish(std::function<void()> on_publish) {
  MutexLock lock(&on_publish_mu_);
  on_publish_ = std::move(on_publish);
}

void WebBridge::Run() {
  LiveFeedOptions options;
  options.host = host_;
  options.port = port_;
  options.ports = ports_;
  options.live_every = kLiveEvery;
  // One wait between attempts, whatever failed: viewers see the status.
  options.first_retry = options.max_retry = options.reconnect_after = kRetryEvery;
  options.want_track = true;
  options.should_stop = [this] { return stopped(); };
  options.league = league_;
  LiveFeed feed(std::move(options));
  // "live" is published with each state, never alone.
  std::string live_message;
  LiveFeedEvents events;
  events.on_status = [&](const FeedStatus& status) {
    if (status.status == "live") {
      live_message = status.message;
      return;
    }
    const auto latest = Latest();
    if (latest->status == status.status && latest->message == status.message) return;
    Publish([&](BridgeSnapshot* s) {
      s->status = status.status;
      s->message = status.message;
    });
  };
  events.on_league = on_league_;
  events.on_track = [&](const TrackOutline& outline) {
    const std::string json = TrackOutlineJson(outline);
    Publish([&](BridgeSnapshot* s) { s->track_json = json; });
  };
  events.on_answer = [&](const Answer& answer, double received_unix_s) {
    if (!std::holds_alternative<LiveAnswer>(answer)) return;
    const std::string json = TimingStateJson(feed.state(), received_unix_s);
    std::vector<RaceEventText> told;
    std::string said;
    if (recorder_ != nullptr && recorder_->recording()) {
      for (const StoredEvent& e : recorder_->Update(feed.state(), received_unix_s)) {
        told.push_back({e.id, EventJson(e)});
      }
      for (const std::string& notice : recorder_->TakeNotices()) said = notice;
      if (!recorder_->recording()) said = recorder_->error() + "; the live view goes on";
    }
    Publish([&](BridgeSnapshot* s) {
      s->status = "live";
      s->message = live_message;
      s->state_json = json;
      if (!said.empty()) s->history_message = said;
      if (!told.empty()) {
        auto kept = s->race_events ? std::make_shared<std::vector<RaceEventText>>(*s->race_events)
                                   : std::make_shared<std::vector<RaceEventText>>();
        for (RaceEventText& t : told) kept->push_back(std::move(t));
        if (kept->size() > kRaceEventsKept) {
          kept->erase(kept->begin(), kept->end() - static_cast<std::ptrdiff_t>(kRaceEventsKept));
        }
        s->race_events = std::move(kept);
      }
    });
  };
  feed.Run(events);
}
