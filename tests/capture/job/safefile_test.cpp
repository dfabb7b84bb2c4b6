#include "capture/job/safefile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/fileutil.h"
#include "capture/settings/settings.h"
#include "support/childprocess.h"
#include "tests/capture/window/fakewindow.h"

// Each fsync of the capture core, while a path is watched: what it synced, and whether the
// path named the file last synced yet.
namespace {
std::mutex sync_mutex;
std::string watched_path;
std::vector<std::string> syncs;
ino_t last_file = 0;
}  // namespace

extern "C" int __real_fsync(int fd);
extern "C" int __wrap_fsync(int fd) {
  struct stat synced {
  }, named{};
  std::lock_guard lock(sync_mutex);
  if (!watched_path.empty() && fstat(fd, &synced) == 0) {
    const bool directory = S_ISDIR(synced.st_mode);
    last_file = directory ? last_file : synced.st_ino;
    const bool is_named = stat(watched_path.c_str(), &named) == 0 && named.st_ino == last_file;
    syncs.push_back((directory ? "directory " + std::to_string(synced.st_ino)
                               : "file of " + std::to_string(synced.st_size) + " bytes") +
                    (is_named ? ", named" : ", not named yet"));
  }
  return __real_fsync(fd);
}

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

struct TDurable {
  const char* name;
  bool replaces;  // an older file is at the path
  std::function<void(const Text& path)> write;
};

void PrintTo(const TDurable& row, std::ostream* os) {
  *os << row.name;
}

class DurableWriteTest : public testing::TestWithParam<TDurable> {};

// The data are synced before the file has its name, the directory after it (which makes the
// name last); a settings file replaces the one saved before.
TEST_P(DurableWriteTest, SyncsTheFileThenTheDirectory) {
  ScratchDir dir;
  const Text path = dir.WriteFile("tessaly.ini", "older");
  if (!GetParam().replaces) unlink(path.c_str());
  std::unique_lock lock(sync_mutex);
  watched_path = path;
  syncs.clear();
  lock.unlock();
  GetParam().write(path);
  lock.lock();
  watched_path.clear();
  struct stat file {
  }, directory{};
  ASSERT_TRUE(stat(path.c_str(), &file) == 0 && stat(dir.Path().c_str(), &directory) == 0);
  EXPECT_EQ(syncs, (std::vector<std::string>{
                       "file of " + std::to_string(file.st_size) + " bytes, not named yet",
                       "directory " + std::to_string(directory.st_ino) + ", named"}));
}

INSTANTIATE_TEST_SUITE_P(Writes, DurableWriteTest,
                         testing::Values(TDurable{"Picture", false,
                                                  [](const Text& path) {
                                                    WriteFileWhole(path, Text(70000, 'p'),
                                                                   TExisting::Keep);
                                                  }},
                                         TDurable{"Settings", true,
                                                  [](const Text& path) {
                                                    TFakeWindow window;
                                                    SaveSettings(window, path);
                                                  }}),
                         [](const auto& info) { return std::string(info.param.name); });

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
