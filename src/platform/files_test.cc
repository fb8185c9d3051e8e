#include "platform/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "testing/paths.h"
#include "testing/temp_dir.h"

namespace {

TEST(FilesTest, StatusChecksTellFilesDirectoriesAndLinks) {
  TempDir dir;
  dir.Write("file.aiw", "x");
  std::filesystem::create_directory(dir.File("folder.aiw"));
  std::error_code links;  // Wine's file system has no symbolic links.
  std::filesystem::create_directory_symlink(dir.File("folder.aiw"), dir.File("link"), links);
  if (!links) std::filesystem::create_symlink(dir.File("gone"), dir.File("dangling"), links);

  // {name, a directory, can be opened}: fopen() opens a directory on POSIX,
  // but a directory is no file.
  const std::tuple<const char*, bool, bool> kCases[] = {
      {"file.aiw", false, true},  {"folder.aiw", true, false}, {"link", true, false},
      {"dangling", false, false}, {"missing", false, false},
  };
  for (const auto& [name, is_directory, can_open] : kCases) {
    SCOPED_TRACE(name);
    if (links && (name == std::string("link") || name == std::string("dangling"))) continue;
    EXPECT_EQ(IsDirectoryPath(dir.File(name)), is_directory);
    EXPECT_EQ(CanOpenForReading(dir.File(name).c_str()), can_open);
    EXPECT_EQ(OpenForReading(dir.File(name).c_str()) != nullptr,
              can_open || (is_directory && kDirectoriesOpenAsFiles));
  }
}

TEST(FilesTest, FindFileIgnoringCase) {
  TempDir dir;
  dir.Write("TRACK.AIW", "upper");
  dir.Write("both.aiw", "exact");
  dir.Write("BOTH.AIW", "other");
  std::filesystem::create_directory(dir.File("Folder.aiw"));

  // {directory (below the test one), name, the file found or null}: the exact name wins; a
  // directory is no file.
  const std::tuple<const char*, const char*, const char*> kCases[] = {
      {"", "Track.aiw", "TRACK.AIW"}, {"", "track.aiw", "TRACK.AIW"},
      {"", "TRACK.AIW", "TRACK.AIW"}, {"", "both.aiw", "both.aiw"},
      {"", "folder.aiw", nullptr},    {"", "track.aiw2", nullptr},
      {"", "rack.aiw", nullptr},      {"/missing", "TRACK.AIW", nullptr},
  };
  for (const auto& [sub, wanted, found] : kCases) {
    SCOPED_TRACE(wanted);
    std::string path = "unchanged";
    EXPECT_EQ(FindFileIgnoringCase(dir.path() + sub, wanted, &path), found != nullptr);
    EXPECT_EQ(AsCompared(Slashed(path)),
              AsCompared(found != nullptr ? dir.File(found) : "unchanged"));
  }
}

}  // namespace
