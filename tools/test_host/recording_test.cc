#include "tools/test_host/recording.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>

#include "tools/test_host/capture_sink.h"
#include "tools/test_host/race_sim.h"

namespace {

std::string Contents(std::FILE* f) {
  std::rewind(f);
  std::string text;
  int c;
  while ((c = std::fgetc(f)) != EOF) text += static_cast<char>(c);
  return text;
}

std::FILE* FileWith(const std::string& text) {
  std::FILE* f = std::tmpfile();
  std::fputs(text.c_str(), f);
  std::rewind(f);
  return f;
}

TEST(RecordingTest, ARecordedWeekendReplaysToTheSameRecords) {
  TrackPath path;
  std::string error;
  ASSERT_TRUE(path.Load(PITWALL_EXAMPLES_DIR "/game", "Pitwall Ring", &error)) << error;
  RaceSimulation sim(path, "Pitwall Ring",
                     {.cars = 5, .practice_seconds = 40, .qualifying_seconds = 40, .race_laps = 2});

  std::FILE* file = std::tmpfile();
  CaptureSink original;
  Recorder recorder(file, &original);
  while (sim.Advance(2.0, &recorder)) {
  }
  ASSERT_TRUE(recorder.ok());

  std::rewind(file);
  CaptureSink replayed;
  ASSERT_TRUE(Replay(file, &replayed, ReplayOptions{0, {}}, &error)) << error;
  std::fclose(file);
  ASSERT_EQ(replayed.Kinds(), original.Kinds());
  for (std::size_t i = 0; i < original.events.size(); ++i) {
    ASSERT_EQ(replayed.events[i].header, original.events[i].header) << i;
    ASSERT_EQ(replayed.events[i].vehicles, original.events[i].vehicles) << i;
  }
}

TEST(RecordingTest, TextFieldsSurviveTabsPercentsAndHighBytes) {
  ScoringRecordWriter w(1);
  w.SetTrackName("Tab\there 100% \xC3\xA9t\xE9");
  w.vehicle(0).SetDriverName("Jos\xC3\xA9 \"Z\"\n%41");
  w.vehicle(0).SetBestLap(-1.0f);
  w.vehicle(0).SetLapDistance(0.1f);
  std::FILE* file = std::tmpfile();
  CaptureSink original, replayed;
  {
    Recorder recorder(file, &original);
    recorder.Scoring(w.record());
  }
  const std::string text = Contents(file);
  EXPECT_NE(text.find("Tab%09here%20100%25%20%C3%A9t%E9"), std::string::npos) << text;
  std::rewind(file);
  std::string error;
  ASSERT_TRUE(Replay(file, &replayed, ReplayOptions{0, {}}, &error)) << error;
  std::fclose(file);
  ASSERT_EQ(replayed.events.size(), 1u);
  EXPECT_EQ(replayed.events[0].header, original.events[0].header);
  EXPECT_EQ(replayed.events[0].vehicles, original.events[0].vehicles);
}

TEST(RecordingTest, BadFilesAreRefusedWithTheLine) {
  const std::string head = "PITWALL-HOST-RECORDING\t1\n";
  const std::string scoring = "scoring\t0.5\tT\t1\t0\t0\t0\t100\t1\n";
  const std::string vehicle =
      "vehicle\tD\t1\t1\t0\t5\t-1\t-1\t-1\t-1\t-1\t-1\t1\t0\t1\t0\t1\t2\t1\t0\n";
  // {file, error, the kinds of the events sent before it}
  const std::tuple<std::string, std::string, std::string> kCases[] = {
      {"", "empty file: not a recording", ""},
      {"hello\n", "line 1: not a PitwallFeed host recording", ""},
      {"PITWALL-HOST-RECORDING\t2\n",
       "line 1: recording version 2 is not supported (this host reads version 1)", ""},
      {head + "start\t0\nbogus\t1\n", "line 3: unknown event 'bogus'", "s"},
      {head + "start\nend\t1\n", "line 2: expected an event and its time", ""},
      {head + "start\t0\n" + scoring, "line 3: the recording ends inside an update", "s"},
      {head + scoring + "vehicle\tD\t1\n", "line 3: bad vehicle line", ""},
      {head + "scoring\t0.5\tT\t1\t0\t0\t0\t100\t-1\n", "line 2: bad scoring line", ""},
      {head + "scoring\t0.5\tT%4\t1\t0\t0\t0\t100\t0\n", "line 2: bad scoring line", ""},
      {head + "scoring\t0.5\tT\t1\t0,5\t0\t0\t100\t0\n", "line 2: bad scoring line", ""},
      {head + "# comment\n\n" + scoring + vehicle + "end\t1\textra\n",
       "line 6: extra fields after end", "u"},
  };
  for (const auto& [text, expected, kinds] : kCases) {
    std::FILE* f = FileWith(text);
    CaptureSink sink;
    std::string error;
    EXPECT_FALSE(Replay(f, &sink, ReplayOptions{0, {}}, &error)) << text;
    EXPECT_EQ(error, expected) << text;
    EXPECT_EQ(sink.Kinds(), kinds) << text;
    std::fclose(f);
  }
}

}  // namespace
