#include "capture/safefile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/fileutil.h"
#include "support/childprocess.h"

namespace tessaly {
namespace {

struct TWrite {
  const char* name;
  TExisting existing;
  const char* before;  // "<dir>": a directory in the way; "": nothing there
  bool succeeds;
};

class WriteFileWholeTest : public testing::TestWithParam<TWrite> {};

TEST_P(WriteFileWholeTest, WritesAllOrLeavesWhatWasThere) {
  const TWrite& c = GetParam();
  ScratchDir dir;
  const Text path = dir.File("image.jpg");
  if (Text(c.before) == "<dir>")
    std::filesystem::create_directory(path);
  else if (*c.before)
    dir.WriteFile("image.jpg", c.before);
  const Text bytes = Text("\0\xff\r\n", 4) + Text(100000, 'b');
  EXPECT_EQ(WriteFileWhole(path, bytes, c.existing), c.succeeds);
  Text content;
  if (Text(c.before) == "<dir>")
    EXPECT_TRUE(DirectoryExists(path));
  else
    EXPECT_EQ(ReadWholeFile(path, content) ? content : "<none>", c.succeeds ? bytes : c.before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, WriteFileWholeTest,
                         testing::Values(TWrite{"New", TExisting::Replace, "", true},
                                         TWrite{"Replaced", TExisting::Replace, "old", true},
                                         TWrite{"NewKept", TExisting::Keep, "", true},
                                         TWrite{"OldKept", TExisting::Keep, "old", false},
                                         TWrite{"DirectoryReplace", TExisting::Replace, "<dir>",
                                                false},
                                         TWrite{"DirectoryKeep", TExisting::Keep, "<dir>", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WriteFileWhole, EmptyBufferGivesAnEmptyFileAndAMissingDirectoryNothing) {
  ScratchDir dir;
  EXPECT_TRUE(WriteFileWhole(dir.File("empty"), Text(), TExisting::Keep));
  EXPECT_FALSE(WriteFileWhole(dir.File("gone/file"), Text("x"), TExisting::Replace));
  Text content = "unread";
  ASSERT_TRUE(ReadWholeFile(dir.File("empty"), content));
  EXPECT_TRUE(content.empty());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

}  // namespace
}  // namespace tessaly
