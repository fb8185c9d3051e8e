#include "log/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "testing/temp_dir.h"

// ThreadSanitizer's runtime brings an operator new of its own that cannot be
// replaced beside it; its build leaves the allocation count out.
#if defined(__SANITIZE_THREAD__)
#define PITWALL_COUNTS_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PITWALL_COUNTS_ALLOCATIONS 0
#endif
#endif
#ifndef PITWALL_COUNTS_ALLOCATIONS
#define PITWALL_COUNTS_ALLOCATIONS 1
#endif

#if PITWALL_COUNTS_ALLOCATIONS
// Counts this thread's allocations while `counting` is set. Kept out of
// line, so that the compiler pairs no inlined new with an inlined free.
namespace {
thread_local bool counting = false;
thread_local int allocations = 0;
}  // namespace

__attribute__((noinline)) void* operator new(std::size_t size) {
  if (counting) ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

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

constexpr int kThreads = 4;

// kThreads threads at once, each writing `lines` texts of 700 copies of its
// own letter ('a', 'b', ...) and a line break: long texts make a torn write
// likely if writes were not whole.
void WriteFromThreads(LogFile* log, int lines) {
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([log, t, lines] {
      const std::string text = std::string(700, static_cast<char>('a' + t)) + "\n";
      for (int i = 0; i < lines; ++i) log->WriteLog(text.c_str());
    });
  }
  for (auto& w : writers) w.join();
}

TEST(LogFileTest, ConcurrentWritersNeverInterleave) {
  TempDir dir;
  LogFile log(dir.prefix());
  log.SetBoundPort(40000);
  constexpr int kLines = 200;
  WriteFromThreads(&log, kLines);

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

namespace {

// The names in `dir`, sorted.
std::set<std::string> Names(const TempDir& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    names.insert(e.path().filename().string());
  }
  return names;
}

TEST(LogFileTest, RenamedToOneOldCopyBeforeATextWouldPassTheLimit) {
  TempDir dir;
  // Left by a run without a limit: past it before the first text.
  const std::string earlier(249, 'e');
  dir.Write("PitwallFeedPlugin_7.log", earlier + "\n");
  LogFile log(dir.prefix(), 200);
  log.SetBoundPort(7);
  const std::string a = std::string(30, 'a') + "\n", b = std::string(30, 'b') + "\n",
                    c = std::string(30, 'c') + "\n", d = std::string(30, 'd') + "\n";
  const std::string begun =
      "Log file reached 200 bytes; the earlier lines are in PitwallFeedPlugin_7.log.1.\n";
  log.WriteLog(a.c_str());
  EXPECT_EQ(dir.ReadText("PitwallFeedPlugin_7.log.1"), earlier + "\n");
  EXPECT_EQ(dir.ReadText("PitwallFeedPlugin_7.log"), begun + a);
  // 80 + 3 * 31 bytes stay within 200; a fourth text would not.
  log.WriteLog(b.c_str());
  log.WriteLog(c.c_str());
  EXPECT_EQ(dir.ReadText("PitwallFeedPlugin_7.log"), begun + a + b + c);
  log.WriteLog(d.c_str());
  EXPECT_EQ(dir.ReadText("PitwallFeedPlugin_7.log.1"), begun + a + b + c) << "the older copy goes";
  EXPECT_EQ(dir.ReadText("PitwallFeedPlugin_7.log"), begun + d);
  // Only the file itself ends in ".log", so a search for the port's log
  // finds one file.
  EXPECT_EQ(Names(dir),
            (std::set<std::string>{"PitwallFeedPlugin_7.log", "PitwallFeedPlugin_7.log.1"}));

  // A text longer than the limit still goes whole into a new file.
  log.SetBoundPort(8);
  const std::string huge = std::string(300, 'h') + "\n";
  log.WriteLog(huge.c_str());
  EXPECT_EQ(dir.ReadText("PitwallFeedPlugin_8.log"), huge);
  EXPECT_FALSE(dir.Exists("PitwallFeedPlugin_8.log.1"));

  // The file of a start that bound no port has the same limit.
  TempDir unbound;
  LogFile first(unbound.prefix(), 200);
  const std::string u(90, 'u');
  for (int i = 0; i < 3; ++i) first.PrintfUnbound("%s\n", u.c_str());
  EXPECT_EQ(unbound.ReadText("PitwallFeedPlugin.log.1"), u + "\n" + u + "\n");
  EXPECT_EQ(
      unbound.ReadText("PitwallFeedPlugin.log"),
      "Log file reached 200 bytes; the earlier lines are in PitwallFeedPlugin.log.1.\n" + u + "\n");
}

TEST(LogFileTest, AFileThatCannotBeRenamedIsBegunAnewInstead) {
  TempDir dir;
  // A folder, with a file in it, where the old copy would go.
  dir.Write("PitwallFeedPlugin_7.log.1/kept", "x");
  LogFile log(dir.prefix(), 200);
  log.SetBoundPort(7);
  const std::string line = std::string(150, 'a') + "\n";
  log.WriteLog(line.c_str());
  log.WriteLog(line.c_str());
  EXPECT_EQ(dir.ReadText("PitwallFeedPlugin_7.log"),
            "Log file reached 200 bytes and could not be renamed to PitwallFeedPlugin_7.log.1; the "
            "earlier lines are gone.\n" +
                line);
  EXPECT_EQ(dir.ReadText("PitwallFeedPlugin_7.log.1/kept"), "x");
}

TEST(LogFileTest, ConcurrentWritersAcrossRenamesKeepEveryTextWholeInOneFile) {
  TempDir dir;
  constexpr long kLimit = 6000;
  LogFile log(dir.prefix(), kLimit);
  log.SetBoundPort(40000);
  WriteFromThreads(&log, 300);

  const std::string begun =
      "Log file reached 6000 bytes; the earlier lines are in PitwallFeedPlugin_40000.log.1.\n";
  for (const char* name : {"PitwallFeedPlugin_40000.log", "PitwallFeedPlugin_40000.log.1"}) {
    SCOPED_TRACE(name);
    const std::string content = dir.ReadText(name);
    ASSERT_EQ(content.rfind(begun, 0), 0u) << "each file begins with the line that says so";
    ASSERT_EQ((content.size() - begun.size()) % 701, 0u);
    EXPECT_LE(content.size(), static_cast<std::size_t>(kLimit));
    for (std::size_t pos = begun.size(); pos < content.size(); pos += 701) {
      const char c = content[pos];
      ASSERT_GE(c, 'a');
      ASSERT_LT(c, 'a' + kThreads);
      EXPECT_EQ(content.substr(pos, 701), std::string(700, c) + "\n") << "torn at " << pos;
    }
  }
  EXPECT_EQ(Names(dir).size(), 2u);
}

#if PITWALL_COUNTS_ALLOCATIONS
TEST(LogFileTest, WritingAllocatesNothingAlsoWhenItRenames) {
  TempDir dir;
  LogFile log(dir.prefix(), 100);
  log.SetBoundPort(7);
  const std::string line = std::string(60, 'a') + "\n";
  char escaped[kMaxEscapedText];
  counting = true;
  for (int i = 0; i < 4; ++i) log.WriteLog(line.c_str());
  log.Printf("%s%d\n", "line ", 5);
  log.PrintfUnbound("%s\n", line.c_str());
  log.PrintfUnbound("%s\n", line.c_str());
  EscapeForLog("a\nb\xC2\x85", escaped, sizeof(escaped));
  counting = false;
  EXPECT_EQ(allocations, 0);
  EXPECT_TRUE(dir.Exists("PitwallFeedPlugin_7.log.1"));
  EXPECT_TRUE(dir.Exists("PitwallFeedPlugin.log.1"));
}
#endif

TEST(LogFileTest, ALongFormattedTextIsCutButStillEndsItsLine) {
  TempDir dir;
  LogFile log(dir.prefix());
  log.SetBoundPort(7);
  const std::string path(2000, 'p');
  log.Printf("Error reading AIW file: %s\n", path.c_str());
  log.Printf("next\n");
  log.PrintfUnbound("Server not started: %s while starting.\n", path.c_str());
  const std::string cut = "Error reading AIW file: " + std::string(LogFile::kMaxLine - 26, 'p');
  EXPECT_EQ(dir.ReadText("PitwallFeedPlugin_7.log"), cut + "\nnext\n");
  EXPECT_EQ(dir.ReadText("PitwallFeedPlugin.log"),
            "Server not started: " + std::string(LogFile::kMaxLine - 22, 'p') + "\n");
}

TEST(EscapeForLogTest, ControlCharactersBecomeEscapesAndNothingElseChanges) {
  // {text, buffer size, what the buffer holds}
  const std::tuple<const char*, std::size_t, const char*> kCases[] = {
      {"Pitwall Ring", 64, "Pitwall Ring"},
      {"N\xC3\xBCrburgring \xCE\xA9mega \xE6\x9D\xB1\xE4\xBA\xAC", 64,
       "N\xC3\xBCrburgring \xCE\xA9mega \xE6\x9D\xB1\xE4\xBA\xAC"},
      {"C:\\Games\\GameData\\Locations\\x.aiw", 64, "C:\\Games\\GameData\\Locations\\x.aiw"},
      {"Ring\nBound to port 1. (forged line)", 64, "Ring\\x0ABound to port 1. (forged line)"},
      {"\x1B[2J\r\t\x01\x1F\x7F ~", 64, "\\x1B[2J\\x0D\\x09\\x01\\x1F\\x7F ~"},
      // U+0085 and U+009B in UTF-8; U+00A0 is no control.
      {"\xC2\x85next\xC2\x9B\xC2\xA0", 64, "\\xC2\\x85next\\xC2\\x9B\xC2\xA0"},
      // Bytes that are no UTF-8 control: a lone 0x85 (an ellipsis in the
      // Windows code page), 0xC2 before an ASCII byte or at the end.
      {"\x85\xC2z\xC2", 64, "\x85\xC2z\xC2"},
      {"\xC2\x7F", 64, "\xC2\\x7F"},
      // Cut before what does not fit, never inside an escape.
      {"abc\ndef", 8, "abc\\x0A"},
      {"abc\ndef", 7, "abc"},
      {"a\xC2\x85", 9, "a"},
      {"a\xC2\x85", 10, "a\\xC2\\x85"},
      {"abc", 1, ""},
  };
  for (const auto& [text, size, expected] : kCases) {
    SCOPED_TRACE(text);
    char out[64];
    std::memset(out, '#', sizeof(out));
    EscapeForLog(text, out, size);
    EXPECT_STREQ(out, expected);
  }
}

}  // namespace
