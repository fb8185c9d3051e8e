#include "tools/test_host/answer_feed.h"

#include <utility>

#include "pitwall/scoring_record.h"

AnswerFeed::AnswerFeed(OnAnswer on_answer) : on_answer_(std::move(on_answer)) {
  // What the server does as it begins to listen.
  stamps_.StampChanges(kChangeAll);
}

void AnswerFeed::SessionStart() { snapshot_.SessionStarted(); }

void AnswerFeed::SessionEnd() { snapshot_.SessionEnded(); }

void AnswerFeed::Scoring(const HostScoringInfo* info) {
  snapshot_.IngestScoring(info);
  if (!ok()) return;
  const double at_s =
      ReadAt<float>(reinterpret_cast<const unsigned char*>(info), HostScoringOffsets::kCurrentTime);
  Respond("session", BuildSessionInfo, at_s) && Respond("drivers", BuildVehicleInfo, at_s) &&
      Respond("live", BuildUpdateData, at_s);
}

bool AnswerFeed::Respond(const char* what,
                         std::size_t (*build)(const TimingData&, std::uint8_t, ResponseBuffer*),
                         double at_s) {
  stamps_.TakeChangeMask(&connection_);
  const std::size_t length = build(snapshot_, connection_.change_flags, buffer_.get());
  const ClientResult<Answer> decoded = DecodeAnswer(buffer_->data(), length);
  if (!decoded.ok()) {
    error_ = std::string("the ") + what + " answer did not decode: " + decoded.error.message;
    return false;
  }
  on_answer_(decoded.value, at_s);
  return true;
}
