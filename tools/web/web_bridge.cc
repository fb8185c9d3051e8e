#include "web_bridge.h"

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <utility>
#include <variant>

#include "pitwall_client.h"
#include "timing_json.h"
#include "timing_state.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr std::uint32_t kHandshakeTimeoutMs = 3000;
constexpr std::uint32_t kTrackTimeoutMs = 3000;
constexpr Millis kLiveEvery{100};  // the plug-in answers live data ten times a second
constexpr Millis kSessionEvery{1000};
constexpr Millis kDriversEvery{1000};
constexpr Millis kTrackRetryEvery{10000};
constexpr Millis kSilenceLimit{3000};
constexpr std::uint32_t kRetryMs = 1000;
constexpr std::uint32_t kSliceMs = 50;  // the longest the thread goes without looking at Stop

double UnixSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

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

WebBridge::WebBridge(std::string host, std::uint16_t port, int ports)
    : host_(std::move(host)), port_(port), ports_(ports), latest_(FirstSnapshot()) {}

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
  const auto sleep = [this](std::uint32_t ms) {
    const auto deadline = std::chrono::steady_clock::now() + Millis(ms);
    MutexLock lock(&mu_);
    while (!stop_ && changed_.WaitUntil(&mu_, deadline)) {
    }
  };
  const auto set_status = [this](const std::string& status, const std::string& message) {
    const auto latest = Latest();
    if (latest->status == status && latest->message == message) return;
    Publish([&](BridgeSnapshot* s) {
      s->status = status;
      s->message = message;
    });
  };
  while (!stopped()) {
    PitwallClient client;
    ClientError error = ConnectToServer(&client, host_, port_, ports_, kHandshakeTimeoutMs).error;
    if (!error.ok()) {
      set_status(error.code == ClientErrorCode::kServerFull ? "full" : "unreachable",
                 error.message);
      client.Close();
      sleep(kRetryMs);
      continue;
    }
    set_status("connecting", "connected to " + client.peer() + ", waiting for live timing");

    TimingState state;
    std::string track_name;
    auto last_answer = SteadyClock::now();
    auto next_live = last_answer, next_session = last_answer, next_drivers = last_answer;
    auto next_track = last_answer;
    bool have_track = false;
    while (!stopped()) {
      auto now = SteadyClock::now();
      if (!have_track && now >= next_track) {
        // Blocks for at most a few seconds; the answers it passes by are
        // held for ReadAnswer.
        const ClientResult<TrackOutline> outline = client.FetchTrackOutline(kTrackTimeoutMs);
        if (outline.ok()) {
          have_track = true;
          const std::string json = TrackOutlineJson(outline.value);
          Publish([&](BridgeSnapshot* s) { s->track_json = json; });
        } else if (outline.error.code != ClientErrorCode::kTimeout) {
          error = outline.error;
          break;
        }
        next_track = SteadyClock::now() + kTrackRetryEvery;
        now = SteadyClock::now();
        last_answer = now;
      }
      const auto send_due = [&](RequestType type, SteadyClock::time_point* next, Millis every) {
        if (now < *next) return true;
        *next = now + every;
        error = client.Send(type);
        return error.ok();
      };
      if (!send_due(kSessionInfo, &next_session, kSessionEvery) ||
          !send_due(kVehicleInfo, &next_drivers, kDriversEvery) ||
          !send_due(kUpdateData, &next_live, kLiveEvery)) {
        break;
      }
      const auto due = std::min({next_live, next_session, next_drivers});
      const auto wait = std::chrono::duration_cast<Millis>(due - SteadyClock::now()).count();
      ClientResult<Answer> answer =
          client.ReadAnswer(static_cast<std::uint32_t>(std::clamp<long long>(wait, 1, kSliceMs)));
      if (answer.error.code == ClientErrorCode::kTimeout) {
        if (SteadyClock::now() - last_answer < kSilenceLimit) continue;
        error =
            ClientError{ClientErrorCode::kTimeout, "no answer from " + client.peer() + " for 3 s"};
        break;
      }
      if (!answer.ok()) {
        error = answer.error;
        break;
      }
      last_answer = SteadyClock::now();
      const double received = UnixSeconds();
      state.Apply(answer.value, received);
      if (const auto* session = std::get_if<SessionAnswer>(&answer.value)) {
        if (session->track_name != track_name) {
          // Another track: its outline is fetched again.
          track_name = session->track_name;
          have_track = false;
          next_track = last_answer;
        }
      }
      if (const auto* live = std::get_if<LiveAnswer>(&answer.value)) {
        if (live->change_mask & kChangeSession) next_session = last_answer;
        if (live->change_mask & kChangeVehicles) next_drivers = last_answer;
        const std::string json = TimingStateJson(state, received);
        Publish([&](BridgeSnapshot* s) {
          s->status = "live";
          s->message = "live timing from " + client.peer();
          s->state_json = json;
        });
      }
    }
    client.Close();
    if (stopped()) break;
    set_status(error.code == ClientErrorCode::kServerFull ? "full" : "unreachable",
               error.message.empty() ? "the connection ended" : error.message);
    sleep(kRetryMs);
  }
}
