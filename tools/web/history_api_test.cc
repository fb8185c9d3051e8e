#include "history_api.h"

#include <gtest/gtest.h>

#include <string>

#include "race_store.h"
#include "testing/temp_dir.h"

namespace {

TEST(HistoryApiTest, AnswersEachPathOrSaysWhyNot) {
  TempDir dir;
  const std::string db = dir.File("pitwall.db");
  EXPECT_TRUE(IsHistoryPath("/api/sessions"));
  EXPECT_TRUE(IsHistoryPath("/api/sessions/3/laps"));
  EXPECT_FALSE(IsHistoryPath("/api/sessionsx"));
  EXPECT_FALSE(IsHistoryPath("/api/state"));

  HistoryAnswer none = AnswerHistory("", "/api/sessions");
  EXPECT_EQ(none.status, 503);
  EXPECT_EQ(none.body,
            "{\"error\":\"this web view keeps no race history (it was started with "
            "--no-record)\"}");
  HistoryAnswer missing = AnswerHistory(db, "/api/sessions/latest/results");
  EXPECT_EQ(missing.status, 503);
  EXPECT_NE(missing.body.find(db + ": no race history there"), std::string::npos) << missing.body;

  {
    RaceStore store;
    std::string error;
    ASSERT_TRUE(store.OpenForRecording(db, &error)) << error;
    SessionFacts facts;
    facts.track = "Test Ring";
    facts.code = 3;
    facts.kind = "race";
    std::int64_t id = 0;
    ASSERT_TRUE(store.BeginSession(facts, 1765000000.0, &id, &error)) << error;
  }
  EXPECT_EQ(AnswerHistory(db, "/api/sessions").status, 200);
  EXPECT_NE(AnswerHistory(db, "/api/sessions").body.find(R"("track":"Test Ring")"),
            std::string::npos);
  for (const char* what : {"results", "laps", "events"}) {
    const HistoryAnswer a = AnswerHistory(db, std::string("/api/sessions/latest/") + what);
    EXPECT_EQ(a.status, 200) << what;
    EXPECT_NE(a.body.find(std::string("\"format\":\"pitwall-") + what + "\""), std::string::npos)
        << a.body;
    EXPECT_EQ(AnswerHistory(db, std::string("/api/sessions/1/") + what).body, a.body);
  }
  const HistoryAnswer unknown = AnswerHistory(db, "/api/sessions/99/laps");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(unknown.body, R"({"error":"no session 99"})");
  for (const char* bad : {"/api/sessions/0/laps", "/api/sessions/x/laps", "/api/sessions/1/cars",
                          "/api/sessions/1", "/api/sessions/99999999999999/laps"}) {
    EXPECT_EQ(AnswerHistory(db, bad).status, 404) << bad;
  }
}

}  // namespace
