#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "testing/temp_dir.h"

namespace {

TEST(FilesTest, ListDirectoryGivesEveryEntryAndFailsOnMissingDirectory) {
  TempDir dir;
  dir.Write("a.gdb", "x");
  dir.Write("B.aiw", "y");
  dir.Write("sub/inner.txt", "z");
  std::vector<std::string> names = {"kept"};
  ASSERT_TRUE(ListDirectory(dir.path(), &names));
  std::sort(names.begin(), names.end());
  // The file system lists "." and ".."; the search drops them itself.
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "B.aiw", "a.gdb", "kept", "sub"}));

  std::vector<std::string> untouched = {"kept"};
  EXPECT_FALSE(ListDirectory(dir.File("missing"), &untouched));
  EXPECT_FALSE(ListDirectory(dir.File("a.gdb"), &untouched));
  EXPECT_EQ(untouched, std::vector<std::string>{"kept"});
}

TEST(FilesTest, StatusChecksTellFilesDirectoriesAndLinks) {
  TempDir dir;
  dir.Write("file.aiw", "x");
  std::filesystem::create_directory(dir.File("folder.aiw"));
  std::filesystem::create_directory_symlink(dir.File("folder.aiw"), dir.File("link"));
  std::filesystem::create_symlink(dir.File("gone"), dir.File("dangling"));

  struct Case {
    const char* name;
    bool is_directory;
    bool can_open;
  };
  // fopen() opens a directory on POSIX, but a directory is no file.
  const Case cases[] = {
      {"file.aiw", false, true},  {"folder.aiw", true, false}, {"link", true, false},
      {"dangling", false, false}, {"missing", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsDirectoryPath(dir.File(c.name)), c.is_directory);
    EXPECT_EQ(CanOpenForReading(dir.File(c.name).c_str()), c.can_open);
    EXPECT_EQ(OpenForReading(dir.File(c.name).c_str()) != nullptr, c.can_open || c.is_directory);
  }
}

TEST(FilesTest, FindFileIgnoringCase) {
  TempDir dir;
  dir.Write("TRACK.AIW", "upper");
  dir.Write("both.aiw", "exact");
  dir.Write("BOTH.AIW", "other");
  std::filesystem::create_directory(dir.File("Folder.aiw"));

  struct Case {
    const char* wanted;
    const char* found;  // Null: not found.
  };
  // The exact name wins; a directory is no file.
  const Case cases[] = {
      {"Track.aiw", "TRACK.AIW"}, {"track.aiw", "TRACK.AIW"}, {"TRACK.AIW", "TRACK.AIW"},
      {"both.aiw", "both.aiw"},   {"folder.aiw", nullptr},    {"track.aiw2", nullptr},
      {"rack.aiw", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wanted);
    std::string path = "unchanged";
    EXPECT_EQ(FindFileIgnoringCase(dir.path(), c.wanted, &path), c.found != nullptr);
    EXPECT_EQ(path, c.found != nullptr ? dir.File(c.found) : "unchanged");
  }
  std::string path = "unchanged";
  EXPECT_FALSE(FindFileIgnoringCase(dir.File("missing"), "TRACK.AIW", &path));
  EXPECT_EQ(path, "unchanged");
}

}  // namespace
