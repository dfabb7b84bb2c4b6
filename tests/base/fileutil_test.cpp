#include "base/fileutil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <utility>

namespace tessaly {
namespace {

class FileUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tessaly-base-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  Text dir_;
};

TEST_F(FileUtilTest, ExistenceTestsTellFilesFromDirectories) {
  const Text file = dir_ + "/f.bin";
  const Text sub = dir_ + "/sub";
  std::ofstream(file, std::ios::binary) << Text("a\0b", 3);
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);

  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(FileExists(sub));
  EXPECT_FALSE(FileExists(dir_ + "/none"));
  EXPECT_FALSE(FileExists(""));
  EXPECT_TRUE(DirectoryExists(sub));
  EXPECT_TRUE(DirectoryExists(sub + "/"));
  EXPECT_FALSE(DirectoryExists(file));
  EXPECT_FALSE(DirectoryExists(""));

  Text content;
  ASSERT_TRUE(ReadWholeFile(file, content));
  EXPECT_EQ(content, Text("a\0b", 3));
  EXPECT_FALSE(ReadWholeFile(dir_ + "/none", content));
  EXPECT_EQ(content, "");
}

// An administrator's file is read whole only when it is a regular file within the bound;
// nothing else is opened, nothing waits.
TEST_F(FileUtilTest, ReadRegularFileRefusesWhatIsNoFile) {
  std::ofstream(dir_ + "/ten") << "0123456789";
  std::ofstream(dir_ + "/eleven") << "0123456789a";
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", (dir_ + "/zero").c_str()), 0);
  ASSERT_EQ(symlink("gone", (dir_ + "/dangling").c_str()), 0);
  ASSERT_EQ(symlink("ten", (dir_ + "/link").c_str()), 0);
  const std::pair<Text, Text> rows[] = {
      {"ten", ""},
      {"link", ""},
      {"eleven", "larger than 10 bytes"},
      {"fifo", "not a regular file but a FIFO"},
      {"zero", "not a regular file but a character device"},
      {".", "not a regular file but a directory"},
      {"dangling", "a link to nothing (gone)"},
      {"none", "No such file or directory"},
  };
  for (const auto& [name, error] : rows) {
    Text content = "old", got = "old";
    EXPECT_EQ(ReadRegularFile(dir_ + "/" + name, 10, content, got), error.empty()) << name;
    EXPECT_EQ(got, error) << name;
    EXPECT_EQ(content, error.empty() ? "0123456789" : "") << name;
  }
}

TEST(ExecutableDirectoryTest, EndsWithSlashAndHoldsThisBinary) {
  const Text dir = ExecutableDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_TRUE(DirectoryExists(dir));
  EXPECT_TRUE(FileExists(dir + "base_tests"));
}

}  // namespace
}  // namespace tessaly
