#include "live_feed.h"

#include <algorithm>
#include <utility>
#include <variant>

#include "platform/clock.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// The longest a read or a pause goes without looking at the stop.
constexpr Millis kSlice{50};

double UnixSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// One request type polled at its own period.
struct Poll {
  RequestType type;
  Millis every;
  SteadyClock::time_point next;
};

// Sends every poll that is due; *next_due is when the next one falls due.
ClientError SendDue(PitwallClient* client, std::vector<Poll>* polls,
                    SteadyClock::time_point* next_due) {
  const auto now = SteadyClock::now();
  *next_due = SteadyClock::time_point::max();
  for (Poll& poll : *polls) {
    if (poll.next <= now) {
      const ClientError sent = client->Send(poll.type);
      if (!sent.ok()) return sent;
      poll.next = now + poll.every;
    }
    *next_due = std::min(*next_due, poll.next);
  }
  return ClientError{};
}

void PollSoon(std::vector<Poll>* polls, RequestType type) {
  for (Poll& poll : *polls) {
    if (poll.type == type) poll.next = SteadyClock::now();
  }
}

// A status that is no failure.
FeedStatus Going(std::string status, std::string message) {
  FeedStatus going;
  going.status = std::move(status);
  going.message = std::move(message);
  return going;
}

// From now until `when`, between 1 ms and one slice.
std::uint32_t SliceUntil(SteadyClock::time_point when) {
  const auto left = std::chrono::duration_cast<Millis>(when - SteadyClock::now());
  return static_cast<std::uint32_t>(std::clamp<long long>(left.count(), 1, kSlice.count()));
}

}  // namespace

LiveFeed::LiveFeed(LiveFeedOptions options) : options_(std::move(options)) {}

bool LiveFeed::StopNow() const {
  return SteadyClock::now() >= options_.stop_at || (options_.should_stop && options_.should_stop());
}

void LiveFeed::Pause(Millis wait) const {
  const auto until = SteadyClock::now() + wait;
  while (!StopNow() && SteadyClock::now() < until) SleepMillis(SliceUntil(until));
}

void LiveFeed::Take(const Answer& answer, const LiveFeedEvents& events) {
  const double received = UnixSeconds();
  if (options_.league != nullptr && std::holds_alternative<LiveAnswer>(answer)) {
    std::string message;
    if (options_.league->Poll(&message)) state_.SetLeague(options_.league->current());
    if (!message.empty() && events.on_league) events.on_league(message);
  }
  state_.Apply(answer, received);
  if (events.on_answer) events.on_answer(answer, received);
}

ClientError LiveFeed::Run(const LiveFeedEvents& events) {
  const auto say = [&](const FeedStatus& status) {
    if (events.on_status) events.on_status(status);
  };
  Millis backoff = options_.first_retry;
  while (!StopNow()) {
    PitwallClient client;
    const ClientResult<HandshakeAnswer> hello = ConnectToServer(
        &client, options_.host, options_.port, options_.ports, options_.handshake_timeout_ms);
    ClientError error = hello.error;
    const bool connected = error.ok();
    if (connected) {
      peer_ = client.peer();
      state_ = TimingState{};
      if (options_.league != nullptr) state_.SetLeague(options_.league->current());
      backoff = options_.first_retry;
      if (events.on_connected) events.on_connected(peer_);
      say(Going(kStatusConnecting, "connected to " + peer_ + ", waiting for live timing"));
      Take(hello.value, events);
      error = Follow(&client, events);
      client.Close();
      if (error.ok()) break;  // stopped
    } else if (error.code == ClientErrorCode::kServerFull) {
      Take(hello.value, events);
    }
    FeedStatus failure =
        Going(error.code == ClientErrorCode::kServerFull ? kStatusFull : kStatusUnreachable,
              error.message.empty() ? "the connection ended" : error.message);
    failure.error = error;
    failure.connection_lost = connected;
    // Trying again cannot mend a name that does not resolve or a full server.
    const bool hopeless =
        error.code == ClientErrorCode::kBadAddress || error.code == ClientErrorCode::kServerFull;
    failure.ends_run = options_.on_failure == FeedFailure::kEndRun ||
                       (options_.on_failure == FeedFailure::kRetryUnlessHopeless && hopeless);
    if (!failure.ends_run) failure.retry_in = connected ? options_.reconnect_after : backoff;
    say(failure);
    if (failure.ends_run) return error;
    Pause(failure.retry_in);
    if (!connected) backoff = std::min(backoff * 2, options_.max_retry);
  }
  return ClientError{};
}

ClientError LiveFeed::Follow(PitwallClient* client, const LiveFeedEvents& events) {
  const auto start = SteadyClock::now();
  std::vector<Poll> polls = {{kSessionInfo, options_.session_every, start},
                             {kVehicleInfo, options_.drivers_every, start},
                             {kUpdateData, options_.live_every, start}};
  for (const FeedPoll& extra : options_.extra_polls) {
    polls.push_back({extra.type, extra.every, start + extra.first_after});
  }
  bool have_track = !options_.want_track;
  auto next_track = start;
  std::string track_name;
  bool said_live = false;
  auto last_answer = start;
  while (!StopNow()) {
    if (!have_track && SteadyClock::now() >= next_track) {
      // Blocks for at most the track time-out; the answers it passes by
      // are held for ReadAnswer.
      const ClientResult<TrackOutline> outline =
          client->FetchTrackOutline(options_.track_timeout_ms);
      if (outline.ok()) {
        have_track = true;
        if (events.on_track) events.on_track(outline.value);
      } else if (outline.error.code != ClientErrorCode::kTimeout) {
        return outline.error;
      }
      next_track = SteadyClock::now() + options_.track_retry_every;
      last_answer = SteadyClock::now();
    }
    SteadyClock::time_point next_due;
    const ClientError sent = SendDue(client, &polls, &next_due);
    if (!sent.ok()) return sent;
    const ClientResult<Answer> answer =
        client->ReadAnswer(SliceUntil(std::min(next_due, options_.stop_at)));
    if (answer.error.code == ClientErrorCode::kTimeout) {
      if (SteadyClock::now() - last_answer < options_.silence_limit) continue;
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(options_.silence_limit);
      return ClientError{ClientErrorCode::kTimeout, "no answer from " + client->peer() + " for " +
                                                        std::to_string(seconds.count()) + " s"};
    }
    if (!answer.ok()) return answer.error;
    last_answer = SteadyClock::now();
    if (const auto* session = std::get_if<SessionAnswer>(&answer.value)) {
      if (options_.want_track && session->track_name != track_name) {
        // Another track: its outline is fetched again.
        track_name = session->track_name;
        have_track = false;
        next_track = last_answer;
      }
    }
    if (const auto* live = std::get_if<LiveAnswer>(&answer.value)) {
      if (live->change_mask & kChangeSession) PollSoon(&polls, kSessionInfo);
      if (live->change_mask & kChangeVehicles) PollSoon(&polls, kVehicleInfo);
      if (!said_live && events.on_status) {
        events.on_status(Going(kStatusLive, "live timing from " + client->peer()));
      }
      said_live = true;
    }
    Take(answer.value, events);
  }
  return ClientError{};
}
