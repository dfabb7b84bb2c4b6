#include "capture/safefile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/fileutil.h"
#include "support/childprocess.h"

namespace tessaly {
namespace {

size_t EntriesIn(const Text& directory) {
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory))
    ++entries;
  return entries;
}

struct TWriteCase {
  const char* label;
  TExisting existing;
  bool file_before;
  bool succeeds;
};

class WriteFileWholeTest : public testing::TestWithParam<TWriteCase> {};

TEST_P(WriteFileWholeTest, WritesAllOrNothing) {
  const TWriteCase& c = GetParam();
  ScratchDir dir;
  const Text path = dir.File("image_00000001.jpg");
  if (c.file_before) dir.WriteFile("image_00000001.jpg", "old");
  const Text bytes = Text("\x00\xff\r\n", 4) + Text(100000, 'b');
  EXPECT_EQ(WriteFileWhole(path, bytes, c.existing), c.succeeds);
  Text content;
  ASSERT_TRUE(ReadWholeFile(path, content));
  EXPECT_EQ(content, c.succeeds ? bytes : Text("old"));
  EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, WriteFileWholeTest,
                         testing::Values(TWriteCase{"NewReplace", TExisting::Replace, false, true},
                                         TWriteCase{"OldReplaced", TExisting::Replace, true, true},
                                         TWriteCase{"NewKeep", TExisting::Keep, false, true},
                                         TWriteCase{"OldKept", TExisting::Keep, true, false}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(WriteFileWhole, EmptyContentGivesAnEmptyFile) {
  ScratchDir dir;
  ASSERT_TRUE(WriteFileWhole(dir.File("empty"), Text(), TExisting::Keep));
  Text content = "not read";
  ASSERT_TRUE(ReadWholeFile(dir.File("empty"), content));
  EXPECT_TRUE(content.empty());
}

TEST(WriteFileWhole, MissingDirectoryFailsCleanly) {
  ScratchDir dir;
  EXPECT_FALSE(WriteFileWhole(dir.File("gone/file"), Text("x"), TExisting::Replace));
  EXPECT_EQ(EntriesIn(dir.Path()), 0u);
}

TEST(WriteFileWhole, DirectoryInTheWayIsNotReplaced) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.File("taken"));
  for (TExisting mode : {TExisting::Replace, TExisting::Keep}) {
    EXPECT_FALSE(WriteFileWhole(dir.File("taken"), Text("x"), mode));
    EXPECT_TRUE(DirectoryExists(dir.File("taken")));
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);
  }
}

}  // namespace
}  // namespace tessaly
