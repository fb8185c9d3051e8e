#include "web_bridge.h"

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <utility>
#include <variant>

#include "history_views.h"
#include "live_feed.h"
#include "race_recorder.h"
#include "state_change.h"
#include "timing_json.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// The plug-in answers live data ten times a second; session and drivers
// are asked for every second, as the feed does by default.
constexpr Millis kLiveEvery{100};
constexpr Millis kRetryEvery{1000};

std::string StatusJson(const BridgeSnapshot& s) {
  return nlohmann::ordered_json{{"status", s.status}, {"message", s.message}, {"id", s.id}}.dump(
      -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// What a kept snapshot counts against the byte budget: its own text, and
// the outline and race events when it is the first to carry them.
std::size_t KeptBytes(const BridgeSnapshot& s, const BridgeSnapshot* before) {
  std::size_t bytes = sizeof(BridgeSnapshot) + s.status.capacity() + s.message.capacity() +
                      s.state_json.capacity() + s.status_json.capacity() +
                      s.change_json.capacity() + s.history_message.capacity();
  if (s.track_json && (before == nullptr || before->track_json != s.track_json)) {
    bytes += s.track_json->size();
  }
  if (s.race_events && (before == nullptr || before->race_events != s.race_events)) {
    for (const RaceEventText& e : *s.race_events) bytes += sizeof(RaceEventText) + e.json.size();
  }
  return bytes;
}

// Before the first publication too, the status reads as an object.
std::shared_ptr<const BridgeSnapshot> FirstSnapshot() {
  auto first = std::make_shared<BridgeSnapshot>();
  first->status_json = StatusJson(*first);
  return first;
}

}  // namespace

WebBridge::WebBridge(std::string host, std::uint16_t port, int ports, RaceRecorder* recorder,
                     LeagueWatch* league, std::function<void(const std::string&)> on_league,
                     WebBridgeOptions options)
    : host_(std::move(host)),
      port_(port),
      ports_(ports),
      recorder_(recorder),
      league_(league),
      on_league_(std::move(on_league)),
      kept_bytes_(options.kept_bytes),
      clock_(options.clock ? std::move(options.clock) : [] { return SteadyClock::now(); }),
      latest_(FirstSnapshot()) {
  MutexLock lock(&mu_);
  Keep(latest_, nullptr);
}

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
  // Only this thread publishes, so the latest stays the latest while the
  // next is made, and readers wait for none of it.
  const std::shared_ptr<const BridgeSnapshot> before = Latest();
  auto next = std::make_shared<BridgeSnapshot>(*before);
  next->change_json.clear();
  next->change_base = 0;
  change(next.get());
  next->id = before->id + 1;
  next->status_json = StatusJson(*next);
  next->state_id = before->state_id;
  if (next->state_json != before->state_json) {
    next->state_id = next->id;
    StateTree after;
    if (after.Read(next->state_json) && !before->state_json.empty()) {
      // The state before was read when it came (unless it came otherwise).
      if (!tree_of_ || tree_of_->state_id != before->state_id) {
        tree_.Read(before->state_json);
        tree_of_ = before;
      }
      if (auto made = StateChangeJson(tree_, after, next->id)) {
        next->change_json = std::move(*made);
        next->change_base = before->state_id;
      }
    }
    tree_ = std::move(after);
    tree_of_ = next;
  }
  {
    MutexLock lock(&mu_);
    Keep(next, latest_.get());
    latest_ = std::move(next);
  }
  changed_.NotifyAll();
  MutexLock lock(&on_publish_mu_);
  if (on_publish_) on_publish_();
}

void WebBridge::Keep(std::shared_ptr<const BridgeSnapshot> next, const BridgeSnapshot* before) {
  // A clock that stood still or went back must not unorder the past.
  SteadyClock::time_point now = clock_();
  if (!past_.empty()) now = std::max(now, past_.back().kept.published);
  const std::size_t bytes = KeptBytes(*next, before);
  past_.push_back({{std::move(next), now}, bytes});
  past_bytes_ += bytes;
  // The one that was current kDelayKeptS ago stays: a viewer that far
  // behind is shown it.
  const SteadyClock::time_point horizon = now - std::chrono::seconds(kDelayKeptS);
  while (past_.size() >= 2 && past_[1].kept.published <= horizon) {
    past_bytes_ -= past_.front().bytes;
    past_.pop_front();
    memory_bound_ = false;
  }
  while (past_.size() >= 2 && past_bytes_ > kept_bytes_) {
    past_bytes_ -= past_.front().bytes;
    past_.pop_front();
    memory_bound_ = true;
  }
}

void WebBridge::PublishContent(BridgeSnapshot content) {
  Publish([&](BridgeSnapshot* s) { *s = std::move(content); });
}

SteadyClock::time_point WebBridge::Now() const { return clock_(); }

KeptSnapshot WebBridge::AsOf(SteadyClock::time_point t) const {
  MutexLock lock(&mu_);
  const auto after = std::upper_bound(
      past_.begin(), past_.end(), t,
      [](SteadyClock::time_point at, const Kept& k) { return at < k.kept.published; });
  if (after == past_.begin()) return {};
  return std::prev(after)->kept;
}

KeptSnapshot WebBridge::After(std::uint64_t id) const {
  MutexLock lock(&mu_);
  const std::uint64_t oldest = past_.front().kept.snapshot->id;
  if (id < oldest) return past_.front().kept;
  const std::uint64_t at = id - oldest + 1;
  if (at >= past_.size()) return {};
  return past_[static_cast<std::size_t>(at)].kept;
}

KeptPast WebBridge::Past() const {
  MutexLock lock(&mu_);
  return {past_.size(), past_bytes_, past_.front().kept.published, memory_bound_};
}

double WebBridge::KeptSeconds() const {
  const SteadyClock::time_point now = clock_();
  SteadyClock::time_point oldest;
  {
    MutexLock lock(&mu_);
    oldest = past_.front().kept.published;
  }
  const double kept = std::chrono::duration<double>(now - oldest).count();
  return std::clamp(kept, 0.0, static_cast<double>(kDelayKeptS));
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
    if (status.status == kStatusLive) {
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
    auto json = std::make_shared<const std::string>(TrackOutlineJson(outline));
    Publish([&](BridgeSnapshot* s) { s->track_json = std::move(json); });
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
      s->status = kStatusLive;
      s->message = live_message;
      // A copy of exactly its size (the text grew by appending, and an
      // assignment into the old state's buffer may double it): the past
      // holds thousands of these.
      s->state_json = std::string(json);
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
