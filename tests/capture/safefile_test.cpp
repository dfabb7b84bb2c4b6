#include "capture/safefile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
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

size_t Entries(const ScratchDir& dir) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir.Path()), {}));
}

// Each route stores a new file under the longest name a directory entry can have, and none
// replaces a file already there.
class NamingRouteTest : public testing::TestWithParam<TNamingRoute> {};

TEST_P(NamingRouteTest, StoresTheLongestNameAndReplacesNothing) {
  ScratchDir dir;
  const Text longest = dir.File(Text(255 - 4, 'n') + ".jpg"), taken = dir.WriteFile("a", "old");
  const Text bytes(70000, '\xe9');
  EXPECT_TRUE(WriteNewFileBy(GetParam(), longest, bytes.data(), bytes.size()));
  EXPECT_FALSE(WriteNewFileBy(GetParam(), taken, bytes.data(), bytes.size()));
  EXPECT_FALSE(WriteNewFileBy(GetParam(), longest + "x", bytes.data(), bytes.size()));
  Text content;
  EXPECT_TRUE(ReadWholeFile(longest, content) && content == bytes);
  EXPECT_TRUE(ReadWholeFile(taken, content) && content == "old");
  EXPECT_EQ(Entries(dir), 2u) << "no temporary file is left";
}

INSTANTIATE_TEST_SUITE_P(Routes, NamingRouteTest,
                         testing::Values(TNamingRoute::Unnamed, TNamingRoute::Hidden,
                                         TNamingRoute::Reserved));

TEST(WriteFileWhole, AWriterKilledMidWayLeavesNoFile) {
  ScratchDir dir;
  const Text body(4 << 20, 'b');
  const pid_t child = fork();
  if (child == 0) {
    // The kernel kills the writer with SIGXFSZ as its file passes 1 MiB.
    const rlimit size{1 << 20, 1 << 20}, core{0, 0};
    setrlimit(RLIMIT_CORE, &core);
    setrlimit(RLIMIT_FSIZE, &size);
    WriteFileWhole(dir.File("image.jpg"), body, TExisting::Keep);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
  EXPECT_EQ(Entries(dir), 0u);
}

}  // namespace
}  // namespace tessaly
