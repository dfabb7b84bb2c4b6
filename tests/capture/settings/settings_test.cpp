#include "capture/settings/settings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>

#include "base/fileutil.h"
#include "support/childprocess.h"
#include "tests/capture/window/fakewindow.h"

namespace tessaly {
namespace {

// "~/" stands for the home directory (the executable's, in the program).
Text Expand(Text text, const Text& home) {
  for (size_t at; (at = text.find("~/")) != Text::npos;) text.replace(at, 2, home);
  return text;
}

struct TFile {
  const char* name;
  Text content;  // "<none>": no file
  // The six fields after loading, in file order, and the file that closing writes back.
  Text address, interval;
  int unit;
  bool bell;
  Text directory, counter, saved;
};

const Text kDefaultsSaved = "http://\r\n10\r\n0\r\n0\r\n~/\r\n1\r\n";
constexpr char kFull[] = "http://a/b.jpg\r\n30\r\n1\r\n1\r\n/srv/\r\n17\r\n";

const TFile kFiles[] = {
    {"NoFile", "<none>", "http://", "10", 0, false, "~/", "1", kDefaultsSaved},
    {"Empty", "", "http://", "10", 0, false, "~/", "1", kDefaultsSaved},
    {"AddressOnly", "http://cam/x.jpg\r\n", "http://", "10", 0, false, "~/", "1", kDefaultsSaved},
    {"UnitNotInteger", "a\r\n30\r\nx\r\n1\r\n/d/\r\n5\r\n", "http://", "30", 0, false, "~/", "1",
     "http://\r\n30\r\n0\r\n0\r\n~/\r\n1\r\n"},
    {"CrLf", kFull, "http://a/b.jpg", "30", 1, true, "/srv/", "17", kFull},
    {"LfOnly", "http://a/b.jpg\n30\n1\n1\n/srv/\n17\n", "http://a/b.jpg", "30", 1, true, "/srv/",
     "17", kFull},
    {"CrOnly", "http://a/b.jpg\r30\r1\r1\r/srv/\r17", "http://a/b.jpg", "30", 1, true, "/srv/",
     "17", kFull},
    // LF then CR is two line ends: line 2 is empty, line 4 too, which is no integer.
    {"LfCr", "a\n\r30\n\r0\n\r0\n\r/d/\n\r4\n\r", "http://", "", 0, false, "~/", "1", ""},
    {"NulOnLineFour", Text("a\r\n30\r\n1\r\n") + '\0' + "1\r\n/d/\r\n4\r\n", "http://", "30", 0,
     false, "~/", "1", ""},
    {"NulInsideLine", Text("a\r\n30\r\n1\r\n1") + '\0' + "x\r\n/d/\r\n4\r\n", "http://", "30", 0,
     false, "~/", "1", ""},
    {"FiveLines", "a\r\n30\r\n1\r\n1\r\n/d/\r\n", "http://", "30", 0, false, "~/", "1", ""},
    {"ExtraLines", "a\r\n30\r\n0\r\n0\r\n/d/\r\n4\r\nmore\r\n", "a", "30", 0, false, "/d/", "4",
     "a\r\n30\r\n0\r\n0\r\n/d/\r\n4\r\n"},
    {"UnitFive", "a\r\n30\r\n5\r\n0\r\n/d/\r\n4\r\n", "a", "30", -1, false, "/d/", "4",
     "a\r\n30\r\n-1\r\n0\r\n/d/\r\n4\r\n"},
    {"UnitHexWithSpaces", "a\r\n30\r\n  $1\r\n0\r\n/d/\r\n4", "a", "30", 1, false, "/d/", "4", ""},
    {"BellTwo", "a\r\n30\r\n0\r\n2\r\n/d/\r\n4\r\n", "a", "30", 0, true, "/d/", "4",
     "a\r\n30\r\n0\r\n1\r\n/d/\r\n4\r\n"},
    {"BellTrailingSpace", "a\r\n30\r\n0\r\n1 \r\n/d/\r\n4\r\n", "http://", "30", 0, false, "~/",
     "1", ""},
    {"EmptyLines", "\r\n\r\n0\r\n0\r\n\r\n\r\n", "", "", 0, false, "", "",
     "\r\n\r\n0\r\n0\r\n\r\n\r\n"},
    {"NoTrimmingAndBytesKept", " a\xe4 \r\n30\r\n0\r\n0\r\n /t\xfc/ \r\n 4\r\n", " a\xe4 ", "30", 0,
     false, " /t\xfc/ ", " 4", " a\xe4 \r\n30\r\n0\r\n0\r\n /t\xfc/ \r\n 4\r\n"},
};

class SettingsFileTest : public testing::TestWithParam<TFile> {};

TEST_P(SettingsFileTest, LoadsIntoTheFieldsAndSavesBack) {
  const TFile& c = GetParam();
  ScratchDir dir;
  const Text home = dir.Path() + "/", ini = IniFileNameIn(home);
  if (c.content != "<none>") {
    ASSERT_FALSE(dir.WriteFile(kIniName, c.content).empty());
  }
  TFakeWindow window;
  Text last_dir = "unset";
  LoadOrDefaultSettings(window, ini, home, last_dir);
  EXPECT_EQ(window.address, c.address);
  EXPECT_EQ(window.interval, c.interval);
  EXPECT_EQ(window.unit, c.unit);
  EXPECT_EQ(window.bell, c.bell);
  EXPECT_EQ(window.directory, Expand(c.directory, home));
  EXPECT_EQ(last_dir, Expand(c.directory, home));
  EXPECT_EQ(window.counter, c.counter);
  if (c.saved.empty()) return;
  SaveSettings(window, ini);
  Text saved;
  ASSERT_TRUE(ReadWholeFile(ini, saved));
  EXPECT_EQ(saved, Expand(c.saved, home));
  EXPECT_TRUE(window.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Shapes, SettingsFileTest, testing::ValuesIn(kFiles),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsFile, ADirectoryOfThatNameMeansDefaults) {
  ScratchDir dir;
  ASSERT_EQ(::mkdir(dir.File(kIniName).c_str(), 0755), 0);
  TFakeWindow window;
  Text last_dir;
  LoadOrDefaultSettings(window, dir.File(kIniName), "/home/", last_dir);
  EXPECT_EQ(window.address, "http://");
  EXPECT_EQ(last_dir, "/home/");
}

// A file size limit makes the write fail part-way, as a full disk would.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : handler_(signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &old_);
    rlimit limited = old_;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, handler_);
  }

 private:
  sighandler_t handler_;
  rlimit old_{};
};

class FailedSaveTest : public testing::TestWithParam<bool> {};

TEST_P(FailedSaveTest, KeepsThePreviousFileAndNamesItInTheBox) {
  const bool disk_full = GetParam();
  ScratchDir dir;
  const Text previous = "http://old/\r\n10\r\n0\r\n0\r\n/\r\n1\r\n";
  dir.WriteFile(kIniName, previous);
  const Text ini = disk_full ? dir.File(kIniName) : dir.Path() + "/gone/" + kIniName;
  TFakeWindow window;
  window.address += Text(300, 'a');
  if (disk_full) {
    FileSizeLimit limit(previous.size());
    SaveSettings(window, ini);
  } else {
    SaveSettings(window, ini);
  }
  EXPECT_EQ(window.messages,
            std::vector<Text>{"Error: Can't save ini file\r\n" + ini + "\r\nProbably disk full"});
  Text kept;
  ASSERT_TRUE(ReadWholeFile(dir.File(kIniName), kept));
  EXPECT_EQ(kept, previous);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1)
      << "a temporary file was left behind";
}

INSTANTIATE_TEST_SUITE_P(Causes, FailedSaveTest, testing::Bool());

}  // namespace
}  // namespace tessaly
