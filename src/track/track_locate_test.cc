#include "track/track_locate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

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
  const std::string text = path;
  return text.rfind(root + "/", 0) == 0 ? text.substr(root.size() + 1) : "<elsewhere> " + text;
}

TEST(TrackLocateTest, VexStringArrayKeepsCopiesInOrder) {
  VexStringArray array;
  char text[] = "first";
  ASSERT_TRUE(array.Add(text));
  std::strcpy(text, "other");
  ASSERT_TRUE(array.Add("second"));
  ASSERT_TRUE(array.Add(""));
  ASSERT_TRUE(array.Add("third"));
  EXPECT_EQ(array.count(), 4);
  EXPECT_STREQ(array.Next(), "first");
  EXPECT_STREQ(array.Next(), "second");
  EXPECT_EQ(array.Next(), nullptr);  // An empty text is held as none.
  EXPECT_STREQ(array.Next(), "third");
  EXPECT_EQ(array.Next(), nullptr);
  EXPECT_EQ(array.Next(), nullptr);
  array.Rewind();
  EXPECT_STREQ(array.Next(), "first");
  EXPECT_EQ(VexString(nullptr).text(), nullptr);
}

TEST(TrackLocateTest, ReadTracksDirFromConfigIni) {
  struct Case {
    const char* content;  // Null: no Config.ini.
    const char* value;    // Null: no value found.
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content != nullptr ? c.content : "(no file)");
    TempDir dir;
    if (c.content != nullptr) dir.Write("Config.ini", c.content);
    std::string value = "unchanged";
    EXPECT_EQ(ReadTracksDir(dir.File("Config.ini"), &value), c.value != nullptr);
    EXPECT_EQ(value, c.value != nullptr ? c.value : "unchanged");
  }
}

TEST(TrackLocateTest, FindLineHandsBackTheWholeLine) {
  TempDir dir;
  dir.Write("f.ini", "# Key=comment\n   KEY = value \nKey=later\n");
  UniqueFile file = OpenForReading(dir.File("f.ini").c_str());
  ASSERT_NE(file, nullptr);
  LineBuffer line;
  ASSERT_TRUE(FindLine("  key", file.get(), &line));
  EXPECT_STREQ(line, "   KEY = value ");
  ASSERT_TRUE(FindLine("Key", file.get(), nullptr));  // Goes on from there.
  EXPECT_FALSE(FindLine("Key", file.get(), &line));
  EXPECT_FALSE(FindLine("", file.get(), &line));

  std::string value = "unchanged";
  EXPECT_FALSE(GetLineValue("no sign", &value));
  EXPECT_FALSE(GetLineValue("k=  ", &value));
  EXPECT_EQ(value, "unchanged");
  EXPECT_TRUE(GetLineValue("k =  v w ", &value));
  EXPECT_EQ(value, "v w ");
}

TEST(TrackLocateTest, TrackNameMatchesTheFirstTrackNameLineAsAPrefix) {
  struct Case {
    const char* gdb;
    const char* wanted;
    bool matches;
  };
  const Case cases[] = {
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.gdb);
    TempDir dir;
    dir.Write("t.gdb", c.gdb);
    EXPECT_EQ(GdbMatchesTrack(dir.File("t.gdb"), c.wanted), c.matches);
  }
  TempDir dir;
  EXPECT_FALSE(GdbMatchesTrack(dir.File("missing.gdb"), ""));
}

TEST(TrackLocateTest, SearchesOwnFilesBeforeSubDirectories) {
  TempDir dir;
  // However the file system orders these, the directory's own file wins.
  for (const char* sub : {"A", "B", "C", "D", "E"}) {
    WriteTrack(dir, std::string("Speedway/") + sub + "/" + sub + ".gdb", "Speedway");
  }
  WriteTrack(dir, "Speedway/Own.gdb", "Speedway");
  EXPECT_EQ(Locate(dir.path(), "Speedway"), "Speedway/Own.aiw");
}

TEST(TrackLocateTest, PassesOverNonMatchingAndAiwLessFiles) {
  TempDir dir;
  WriteTrack(dir, "Lone.gdb", "Speedway", /*with_aiw=*/false);
  WriteTrack(dir, "Decoy.gdb", "Harbour");
  WriteTrack(dir, ".gdb", "Speedway");  // No name before the extension.
  WriteTrack(dir, "Deeper/Real.gdb", "Speedway");
  EXPECT_EQ(Locate(dir.path(), "Speedway"), "Deeper/Real.aiw");
  EXPECT_EQ(Locate(dir.path(), "Harbour"), "Decoy.aiw");
  EXPECT_EQ(Locate(dir.path(), "Nowhere"), "<none>");
}

TEST(TrackLocateTest, ExtensionAndAiwNameIgnoreLetterCase) {
  struct Case {
    const char* gdb;
    const char* aiw;
    const char* found;
  };
  const Case cases[] = {
      {"Upper.GDB", "Upper.aiw", "Upper.aiw"},  {"Mixed.Gdb", "Mixed.aiw", "Mixed.aiw"},
      {"Track.gdb", "TRACK.AIW", "TRACK.AIW"},  {"track.gdb", "track.Aiw", "track.Aiw"},
      {"Track.gdb", "Track.aiw.bak", "<none>"}, {"Track.gdbx", "Track.aiw", "<none>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.gdb);
    TempDir dir;
    dir.Write(c.gdb, "TrackName=Speedway\n");
    dir.Write(c.aiw, "[Waypoint]\n");
    EXPECT_EQ(Locate(dir.path(), "Speedway"), c.found);
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
  std::filesystem::create_directory_symlink(dir.path(), dir.File("Loop/Inner/root"));
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
  if (dir.path().size() + 1 + deep.size() + 6 <= kAiwPathSize - 1) {
    EXPECT_EQ(found, deep + "/s.aiw");
  } else {
    EXPECT_EQ(found, "<none>");  // A very long temporary directory.
  }
}

TEST(TrackLocateTest, ACancelledSearchGivesUp) {
  TempDir dir;
  WriteTrack(dir, "Speedway/Speedway.gdb", "Speedway");
  std::atomic<bool> cancel{true};
  EXPECT_EQ(Locate(dir.path(), "Speedway", &cancel), "<none>");
  cancel.store(false);
  EXPECT_EQ(Locate(dir.path(), "Speedway", &cancel), "Speedway/Speedway.aiw");
  EXPECT_EQ(Locate(dir.File("missing"), "Speedway"), "<none>");
}

TEST(TrackLocateTest, HostPathsUseBackslashes) {
  TempDir dir;
  WriteTrack(dir, "GameData/Locations/Speedway/Speedway.gdb", "Speedway");
  ScopedWorkingDirectory in_game(dir.path());
  AiwPathBuffer path;
  TrackSearchOptions options;  // Starts at the default tracks directory.
  ASSERT_TRUE(LocateTrackAiw("Speedway", options, path));
  EXPECT_STREQ(path, "GameData/Locations/Speedway/Speedway.aiw");
  options.tracks_dir = "GameData\\Locations\\";
  ASSERT_TRUE(LocateTrackAiw("Speedway", options, path));
  EXPECT_STREQ(path, "GameData/Locations//Speedway/Speedway.aiw");
}

// The only test that reads the process-wide tracks directory: its first
// read decides it for the rest of the process.
TEST(TrackLocateTest, TracksDirIsReadOnceFromTheWorkingDirectory) {
  TempDir dir;
  dir.Write("Config.ini", "[COMPONENTS]\nTracksDir=Tracks\\Here\n");
  WriteTrack(dir, "Tracks/Here/Ring/Ring.gdb", "Ring");
  ScopedWorkingDirectory in_game(dir.path());

  const char* first = nullptr;
  const char* second = nullptr;
  std::thread a([&first] { first = GetTracksDir(); });
  std::thread b([&second] { second = GetTracksDir(); });
  a.join();
  b.join();
  EXPECT_STREQ(first, "Tracks\\Here");
  EXPECT_STREQ(second, "Tracks\\Here");

  dir.Write("Config.ini", "[COMPONENTS]\nTracksDir=Elsewhere\n");
  EXPECT_STREQ(GetTracksDir(), "Tracks\\Here");
  AiwPathBuffer path;
  ASSERT_TRUE(LocateTrackAiw("Ring", path));
  EXPECT_STREQ(path, "Tracks/Here/Ring/Ring.aiw");
}

}  // namespace
