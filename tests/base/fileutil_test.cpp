#include "base/fileutil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

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

// The bound is the largest size read, not one below it.
TEST_F(FileUtilTest, ReadRegularFileUpToItsBound) {
  std::ofstream(dir_ + "/ten") << "0123456789";
  Text content, error;
  EXPECT_TRUE(ReadRegularFile(dir_ + "/ten", 10, content, error));
  EXPECT_EQ(content, "0123456789");
  EXPECT_FALSE(ReadRegularFile(dir_ + "/ten", 9, content, error));
  EXPECT_EQ(error, "larger than 9 bytes");
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
