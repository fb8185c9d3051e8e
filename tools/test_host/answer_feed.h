// Test support: the plug-in's own answers to every host update, without
// sockets. An AnswerFeed keeps the plug-in's timing snapshot and change
// stamps, takes each host event as the plug-in does, and after every
// scoring update builds the session, drivers and live answers one
// connection would receive if it asked for all three right then, decodes
// them with the client library and hands them on. Replaying a recording
// into it at speed 0 gives the live answer of every recorded update, the
// same on every run.
//
// The change stamps read a clock that moves one millisecond at each reading,
// so every stamp and every mask computation has its own time: a change is
// reported once, on the first answer built after it, as a connection polling
// at this pace would see it. The first answer carries every change bit (the
// server stamps them all when it starts listening).
//
// Thread-safety: one thread at a time.
#ifndef PITWALL_TOOLS_TEST_HOST_ANSWER_FEED_H_
#define PITWALL_TOOLS_TEST_HOST_ANSWER_FEED_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "server/responses.h"
#include "timing/change_stamps.h"
#include "timing/timing_data.h"
#include "tools/client/pitwall_client.h"
#include "tools/test_host/host_sink.h"

class AnswerFeed final : public HostSink {
 public:
  // Called with each answer and the session time (seconds) the host gave in
  // the update it answers: a SessionAnswer, a DriversAnswer, then a
  // LiveAnswer for each scoring update.
  using OnAnswer = std::function<void(const Answer& answer, double at_s)>;

  explicit AnswerFeed(OnAnswer on_answer);

  void SessionStart() override;
  void SessionEnd() override;
  void Scoring(const HostScoringInfo* info) override;

  // False once an answer failed to decode (then no more are handed on);
  // error() names the answer and the decoder's message.
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  // Each reading one millisecond after the one before.
  class SteppingClock final : public Clock {
   public:
    std::uint32_t NowMs() const override { return now_.fetch_add(1) + 1; }

   private:
    mutable std::atomic<std::uint32_t> now_{1000};
  };

  // Takes the connection's change mask, builds one answer with `build`,
  // decodes it and hands it on. False after a decoding failure.
  bool Respond(const char* what,
               std::size_t (*build)(const TimingData&, std::uint8_t, ResponseBuffer*), double at_s);

  const OnAnswer on_answer_;
  SteppingClock clock_;
  ChangeStamps stamps_{clock_};
  TimingData snapshot_{&stamps_};
  ChangeState connection_;
  std::unique_ptr<ResponseBuffer> buffer_ = std::make_unique<ResponseBuffer>();
  std::string error_;
};

#endif  // PITWALL_TOOLS_TEST_HOST_ANSWER_FEED_H_
