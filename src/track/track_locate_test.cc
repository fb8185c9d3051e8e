#include "track/track_locate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "testing/paths.h"
#include "testing/temp_dir.h"

namespace {

// Runs the enclosing scope in another working directory.
class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const std::string& path)
      : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~ScopedWorkingDirectory() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

// A track: its ".gdb" file naming `name` and, when `with_aiw`, its ".aiw"
// file beside it.
void WriteTrack(const TempDir& dir, const std::string& gdb, const std::string& name,
                bool with_aiw = true) {
  dir.Write(gdb, "// track\nTrackName = " + name + "\nVenueName = x\n");
  if (with_aiw) dir.Write(gdb.substr(0, gdb.size() - 4) + ".aiw", "[Waypoint]\n");
}

// The result of a search below `root`: the found path less the "root/"
// prefix, or "<none>".
std::string Locate(const std::string& root, const char* name,
                   const std::atomic<bool>* cancel = nullptr) {
  AiwPathBuffer path;
  std::memset(path, 'x', sizeof(path));
  TrackSearchOptions options;
  options.tracks_dir = root;
  options.cancel = cancel;
  const bool found = LocateTrackAiw(name, options, path);
  if (!found) return path[0] == '\0' ? "<none>" : "<false, but not empty>";
  // Compared with '/' for the platform's separator (Windows answers with '\\').
  const std::string text = Slashed(path);
  return text.rfind(root + "/", 0) == 0 ? text.substr(root.size() + 1) : "<elsewhere> " + text;
}

TEST(TrackLocateTest, ReadTracksDirFromConfigIni) {
  // {Config.ini, or null for none; the value, or null for none}
  const std::pair<const char*, const char*> kCases[] = {
      {nullptr, nullptr},
      {" [components]\n# comment\n// comment\nTracksDir = Tracks\n", "Tracks"},
      {"[COMPONENTS]\r\nTracksDir=GameData\\Locations\\\r\n", "GameData\\Locations\\"},
      {"TracksDir=Before\n[COMPONENTS]\nOther=1\n", nullptr},
      {"[COMPONENTS]\nX=1\n[GRAPHICS]\nTracksDir=Later\n", "Later"},
      {"[COMPONENTS]\nTracksDirectory=Other\nTracksDir=Real\n", "Other"},
      {"[COMPONENTS]\nTracksDir=Tracks   \n", "Tracks   "},
      {"[COMPONENTS]\n#TracksDir=Commented\n   tracksdir=Indented\n", "Indented"},
      {"[COMPONENTS]\nTracksDir Tracks\nTracksDir=Second\n", nullptr},  // First one decides.
      {"[COMPONENTS]\nTracksDir=   \n", nullptr},
      {"[COMPONENTS] extra\nTracksDir=A=B\n", "A=B"},
      {"[COMPONENT]\nTracksDir=A\n", nullptr},
      {"[COMPONENTS]", nullptr},
      {"", nullptr},
  };
  for (const auto& [content, expected] : kCases) {
    SCOPED_TRACE(content != nullptr ? content : "(no file)");
    TempDir dir;
    if (content != nullptr) dir.Write("Config.ini", content);
    std::string value = "unchanged";
    EXPECT_EQ(ReadTracksDir(dir.File("Config.ini"), &value), expected != nullptr);
    EXPECT_EQ(value, expected != nullptr ? expected : "unchanged");
  }
}

TEST(TrackLocateTest, TrackNameMatchesTheFirstTrackNameLineAsAPrefix) {
  // {the ".gdb" file, or null for none; the name looked for; match}
  const std::tuple<const char*, const char*, bool> kCases[] = {
      {"TrackName = Speedway Oval\n", "Speedway", true},
      {"TrackName = Speedway\n", "Speedway Oval", false},
      {"TrackName = speedway\n", "Speedway", false},
      {"TrackName=Other\nTrackName=Speedway\n", "Speedway", false},
      {"TrackName   = Speedway\n", "Speedway", true},
      {"  trackname=Speedway", "Speedway", true},
      {"TrackNameShort=Spd\nTrackName=Speedway\n", "Speedway", false},
      {"# TrackName=Other\nName=x\r\nTrackName=Speedway\r\n", "Speedway", true},
      {"Track Name=Speedway\n", "Speedway", false},
      {"TrackName\n=Speedway\n", "Speedway", false},
      {"TrackName=\tSpeedway\n", "Speedway", false},
      {"TrackName=Anything\n", "", true},
      {"Name=Speedway\n", "Speedway", false},
      {"", "", false},
      {nullptr, "", false},
  };
  for (const auto& [gdb, wanted, matches] : kCases) {
    SCOPED_TRACE(gdb != nullptr ? gdb : "(no file)");
    TempDir dir;
    if (gdb != nullptr) dir.Write("t.gdb", gdb);
    dir.Write("t.aiw", "[Waypoint]\n");
    EXPECT_EQ(Locate(dir.path(), wanted), matches ? "t.aiw" : "<none>");
  }
}

TEST(TrackLocateTest, SearchOrderAndWhatCounts) {
  TempDir dir;
  // However the file system orders these, a directory's own file wins.
  for (std::string sub : {"A", "B", "C", "D", "E"}) {
    WriteTrack(dir, "Oval/" + sub + "/" + sub + ".gdb", "Oval");
  }
  WriteTrack(dir, "Oval/Own.gdb", "Oval");
  WriteTrack(dir, "Lone.gdb", "Speedway", /*with_aiw=*/false);
  WriteTrack(dir, "Decoy.gdb", "Harbour");
  WriteTrack(dir, ".gdb", "Speedway");  // No name before the extension.
  WriteTrack(dir, "Deeper/Real.gdb", "Speedway");
  EXPECT_EQ(Locate(dir.path(), "Oval"), "Oval/Own.aiw");
  EXPECT_EQ(Locate(dir.path(), "Speedway"), "Deeper/Real.aiw");
  EXPECT_EQ(Locate(dir.path(), "Harbour"), "Decoy.aiw");
  EXPECT_EQ(Locate(dir.path(), "Nowhere"), "<none>");
  EXPECT_EQ(Locate(dir.File("missing"), "Speedway"), "<none>");
  std::atomic<bool> cancel{true};
  EXPECT_EQ(Locate(dir.path(), "Speedway", &cancel), "<none>");
  cancel.store(false);
  EXPECT_EQ(Locate(dir.path(), "Speedway", &cancel), "Deeper/Real.aiw");
}

TEST(TrackLocateTest, ExtensionAndAiwNameIgnoreLetterCase) {
  // {".gdb" file, ".aiw" file, found}
  const std::tuple<const char*, const char*, const char*> kCases[] = {
      {"Upper.GDB", "Upper.aiw", "Upper.aiw"},  {"Mixed.Gdb", "Mixed.aiw", "Mixed.aiw"},
      {"Track.gdb", "TRACK.AIW", "TRACK.AIW"},  {"track.gdb", "track.Aiw", "track.Aiw"},
      {"Track.gdb", "Track.aiw.bak", "<none>"}, {"Track.gdbx", "Track.aiw", "<none>"},
  };
  for (const auto& [gdb, aiw, found] : kCases) {
    SCOPED_TRACE(gdb);
    TempDir dir;
    dir.Write(gdb, "TrackName=Speedway\n");
    dir.Write(aiw, "[Waypoint]\n");
    EXPECT_EQ(AsCompared(Locate(dir.path(), "Speedway")), AsCompared(found));
  }
}

TEST(TrackLocateTest, EmptyNameTakesTheFirstTrackWithAKeyAndAnAiw) {
  TempDir dir;
  dir.Write("NoKey.gdb", "Name=Nothing\n");
  dir.Write("NoKey.aiw", "[Waypoint]\n");
  WriteTrack(dir, "Sub/Any.gdb", "Whatever");
  EXPECT_EQ(Locate(dir.path(), ""), "Sub/Any.aiw");
  EXPECT_EQ(Locate(dir.path(), nullptr), "Sub/Any.aiw");
}

TEST(TrackLocateTest, LinksBackToAnAncestorDoNotLoop) {
  TempDir dir;
  std::filesystem::create_directories(dir.File("Loop/Inner"));
  std::error_code links;
  std::filesystem::create_directory_symlink(dir.path(), dir.File("Loop/Inner/root"), links);
  if (links) GTEST_SKIP() << "no symbolic links here: " << links.message();
  std::filesystem::create_directory_symlink(dir.File("Loop"), dir.File("Loop/Inner/up"));
  std::filesystem::create_directory_symlink(".", dir.File("Loop/self"));
  EXPECT_EQ(Locate(dir.path(), "Speedway"), "<none>");

  WriteTrack(dir, "Zed/Zed.gdb", "Speedway");
  // Only the direct path reaches it: every link leads into a directory
  // already entered.
  EXPECT_EQ(Locate(dir.path(), "Speedway"), "Zed/Zed.aiw");
}

TEST(TrackLocateTest, AFoundPathThatDoesNotFitIsPassedOver) {
  TempDir dir;
  // Each name stays within a file system's 255-byte limit; the paths do not
  // stay within the 511 characters of the output.
  const std::string deep = std::string(200, 'd') + "/" + std::string(200, 'e');
  WriteTrack(dir, deep + "/" + std::string(150, 'n') + ".gdb", "Speedway");
  EXPECT_EQ(Locate(dir.path(), "Speedway"), "<none>");
  WriteTrack(dir, deep + "/s.gdb", "Speedway");
  const std::string found = Locate(dir.path(), "Speedway");
  const std::size_t length = dir.path().size() + 1 + deep.size() + 6;
  if (length <= kAiwPathSize - 1 && length <= kLongestOpenablePath) {
    EXPECT_EQ(found, deep + "/s.aiw");
  } else {
    EXPECT_EQ(found, "<none>");  // A very long temporary directory.
  }
}

TEST(TrackLocateTest, HostPathsUseBackslashes) {
  TempDir dir;
  WriteTrack(dir, "GameData/Locations/Speedway/Speedway.gdb", "Speedway");
  ScopedWorkingDirectory in_game(dir.path());
  AiwPathBuffer path;
  TrackSearchOptions options;
  options.tracks_dir = kDefaultTracksDir;
  ASSERT_TRUE(LocateTrackAiw("Speedway", options, path));
  EXPECT_EQ(Slashed(path), "GameData/Locations/Speedway/Speedway.aiw");
  options.tracks_dir = "GameData\\Locations\\";
  ASSERT_TRUE(LocateTrackAiw("Speedway", options, path));
  EXPECT_EQ(Slashed(path), "GameData/Locations//Speedway/Speedway.aiw");
}

// The only test that reads the process-wide tracks directory: its first
// read decides it for the rest of the process.
TEST(TrackLocateTest, TracksDirIsReadOnceFromTheWorkingDirectory) {
  TempDir dir;
  dir.Write("Config.ini", "[COMPONENTS]\nTracksDir=Tracks\\Here\n");
  WriteTrack(dir, "Tracks/Here/Ring/Ring.gdb", "Ring");
  ScopedWorkingDirectory in_game(dir.path());

  const char* seen[2] = {nullptr, nullptr};
  std::thread a([&seen] { seen[0] = GetTracksDir(); });
  std::thread b([&seen] { seen[1] = GetTracksDir(); });
  a.join();
  b.join();
  EXPECT_STREQ(seen[0], "Tracks\\Here");
  EXPECT_STREQ(seen[1], "Tracks\\Here");

  dir.Write("Config.ini", "[COMPONENTS]\nTracksDir=Elsewhere\n");
  EXPECT_STREQ(GetTracksDir(), "Tracks\\Here");
  AiwPathBuffer path;
  ASSERT_TRUE(LocateTrackAiw("Ring", TrackSearchOptions{}, path));  // No directory: that one.
  EXPECT_EQ(Slashed(path), "Tracks/Here/Ring/Ring.aiw");
}

}  // namespace
