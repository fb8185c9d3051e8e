#include "log/log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "testing/temp_dir.h"

namespace {

TEST(LogFileTest, AppendsVerbatimToTheFileOfTheBoundPort) {
  TempDir dir;
  dir.Write("PitwallFeedPlugin_34647.log", "left by an earlier run\n");
  LogFile log(dir.prefix());
  log.SetBoundPort(34647);
  log.WriteLog("100% of %s and %d stay literal\n");
  log.WriteLog("no line end");
  log.WriteLog(" same line\n");
  log.Printf("Unknown INI field found: '%s'\n", "50%d");
  EXPECT_EQ(dir.ReadText("PitwallFeedPlugin_34647.log"),
            "left by an earlier run\n"
            "100% of %s and %d stay literal\n"
            "no line end same line\n"
            "Unknown INI field found: '50%d'\n");

  log.SetBoundPort(34648);
  log.WriteLog("moved\n");
  EXPECT_EQ(dir.Read("PitwallFeedPlugin_34648.log"), TempDir::TextFileForm("moved\n"))
      << "a text file: the platform's line ends";
}

TEST(LogFileTest, UnopenableFileDropsTheTextAndTheNextCallTriesAgain) {
  TempDir dir;
  LogFile log(dir.prefix() + "missing-subdir/");
  log.SetBoundPort(1);
  log.WriteLog("lost\n");  // Must not crash or create anything.
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  std::filesystem::create_directory(dir.File("missing-subdir"));
  log.WriteLog("kept\n");
  EXPECT_EQ(dir.ReadText("missing-subdir/PitwallFeedPlugin_1.log"), "kept\n");
}

TEST(LogFileTest, ConcurrentWritersNeverInterleave) {
  TempDir dir;
  LogFile log(dir.prefix());
  log.SetBoundPort(40000);
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&log, t] {
      // Long texts make a torn write likely if writes were not whole.
      const std::string text = std::string(700, static_cast<char>('a' + t)) + "\n";
      for (int i = 0; i < kLines; ++i) log.WriteLog(text.c_str());
    });
  }
  for (auto& w : writers) w.join();

  const std::string content = dir.ReadText("PitwallFeedPlugin_40000.log");
  ASSERT_EQ(content.size(), static_cast<size_t>(kThreads * kLines * 701));
  int counts[kThreads] = {};
  for (size_t pos = 0; pos < content.size(); pos += 701) {
    const char c = content[pos];
    ASSERT_GE(c, 'a');
    ASSERT_LT(c, 'a' + kThreads);
    EXPECT_EQ(content.substr(pos, 701), std::string(700, c) + "\n") << "torn at " << pos;
    ++counts[c - 'a'];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(counts[t], kLines);
}

}  // namespace
