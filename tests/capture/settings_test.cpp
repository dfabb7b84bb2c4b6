#include "capture/settings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>

#include "base/fileutil.h"
#include "support/childprocess.h"
#include "tests/capture/fakewindow.h"

namespace tessaly {
namespace {

constexpr char kHome[] = "@home@/";

// What the six fields and LastDir show after loading; "@home@/" stands for the home directory.
struct TLoaded {
  Text address, interval;
  int unit;
  bool bell;
  Text directory, counter;
};

struct TFileCase {
  const char* label;
  Text content;  // "<none>": no file at all
  TLoaded loaded;
};

const TLoaded kDefaults{"http://", "10", 0, false, kHome, "1"};

TLoaded DefaultsWithInterval(const Text& interval) {
  TLoaded loaded = kDefaults;
  loaded.interval = interval;
  return loaded;
}

const TFileCase kFiles[] = {
    {"NoFile", "<none>", kDefaults},
    {"Empty", "", kDefaults},
    {"AddressOnly", "http://cam/x.jpg\r\n", kDefaults},
    {"UnitNotInteger", "http://cam/x.jpg\r\n30\r\nx\r\n1\r\n/d/\r\n5\r\n", DefaultsWithInterval("30")},
    {"CrLf", "http://a/b.jpg\r\n30\r\n1\r\n1\r\n/srv/pics/\r\n17\r\n",
     {"http://a/b.jpg", "30", 1, true, "/srv/pics/", "17"}},
    {"LfOnly", "http://a/b.jpg\n30\n1\n1\n/srv/pics/\n17\n",
     {"http://a/b.jpg", "30", 1, true, "/srv/pics/", "17"}},
    {"CrOnly", "http://a/b.jpg\r30\r1\r1\r/srv/pics/\r17\r",
     {"http://a/b.jpg", "30", 1, true, "/srv/pics/", "17"}},
    {"LastLineWithoutEnd", "http://a/b.jpg\r\n30\r\n1\r\n0\r\n/srv/pics/\r\n17",
     {"http://a/b.jpg", "30", 1, false, "/srv/pics/", "17"}},
    {"ExtraLinesIgnored", "a\r\n30\r\n0\r\n0\r\n/d/\r\n4\r\nmore\r\nstill more\r\n",
     {"a", "30", 0, false, "/d/", "4"}},
    // LF then CR is two line ends: line 2 is empty, line 3 holds "30" and line 4 is empty.
    {"LfCrIsTwoEnds", "a\n\r30\n\r0\n\r0\n\r/d/\n\r4\n\r", DefaultsWithInterval("")},
    {"NulEndsTheText", Text("a\r\n30\r\n1\r\n") + '\0' + "1\r\n/d/\r\n4\r\n",
     DefaultsWithInterval("30")},
    {"NulInsideLine", Text("a\r\n30\r\n1\r\n1") + '\0' + "junk\r\n/d/\r\n4\r\n",
     DefaultsWithInterval("30")},
    {"FiveLines", "a\r\n30\r\n1\r\n1\r\n/d/\r\n", DefaultsWithInterval("30")},
    {"UnitOutOfRange", "a\r\n30\r\n5\r\n0\r\n/d/\r\n4\r\n", {"a", "30", -1, false, "/d/", "4"}},
    {"UnitNegative", "a\r\n30\r\n-1\r\n0\r\n/d/\r\n4\r\n", {"a", "30", -1, false, "/d/", "4"}},
    {"UnitHexAndSpaces", "a\r\n30\r\n  $1\r\n0\r\n/d/\r\n4\r\n", {"a", "30", 1, false, "/d/", "4"}},
    {"BellTwo", "a\r\n30\r\n0\r\n2\r\n/d/\r\n4\r\n", {"a", "30", 0, true, "/d/", "4"}},
    {"BellTrailingSpace", "a\r\n30\r\n0\r\n1 \r\n/d/\r\n4\r\n", DefaultsWithInterval("30")},
    {"EmptyLinesKept", "\r\n\r\n0\r\n0\r\n\r\n\r\n", {"", "", 0, false, "", ""}},
    {"NoTrimming", " a \r\n30\r\n0\r\n0\r\n /d/ \r\n 4\r\n", {" a ", "30", 0, false, " /d/ ", " 4"}},
};

class LoadSettingsTest : public testing::TestWithParam<TFileCase> {
 protected:
  Text Home() const { return dir_.Path() + "/"; }
  Text Expand(const Text& text) const { return text == kHome ? Home() : text; }

  ScratchDir dir_;
  TFakeWindow window_;
  Text last_dir_ = "unchanged";
};

TEST_P(LoadSettingsTest, FillsTheFields) {
  const TFileCase& c = GetParam();
  const Text ini = IniFileNameIn(Home());
  if (c.content != "<none>") {
    ASSERT_FALSE(dir_.WriteFile(kIniName, c.content).empty());
  }
  LoadOrDefaultSettings(window_, ini, Home(), last_dir_);

  EXPECT_EQ(window_.address, c.loaded.address);
  EXPECT_EQ(window_.interval, c.loaded.interval);
  EXPECT_EQ(window_.unit, c.loaded.unit);
  EXPECT_EQ(window_.bell, c.loaded.bell);
  EXPECT_EQ(window_.directory, Expand(c.loaded.directory));
  EXPECT_EQ(last_dir_, Expand(c.loaded.directory));
  EXPECT_EQ(window_.counter, c.loaded.counter);
  EXPECT_TRUE(window_.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Files, LoadSettingsTest, testing::ValuesIn(kFiles),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(LoadSettings, ADirectoryNamedLikeTheFileMeansDefaults) {
  ScratchDir dir;
  ASSERT_EQ(::mkdir(dir.File(kIniName).c_str(), 0755), 0);
  TFakeWindow window;
  window.address = "typed";
  Text last_dir;
  LoadOrDefaultSettings(window, dir.File(kIniName), dir.Path() + "/", last_dir);
  EXPECT_EQ(window.address, "http://");
  EXPECT_EQ(last_dir, dir.Path() + "/");
}

// Reads back what SaveSettings wrote.
Text Saved(const Text& path) {
  Text content;
  EXPECT_TRUE(ReadWholeFile(path, content));
  return content;
}

struct TRoundTrip {
  const char* label;
  Text loaded;
  Text saved;
};

class SaveSettingsTest : public testing::TestWithParam<TRoundTrip> {};

TEST_P(SaveSettingsTest, WritesSixCrLfLines) {
  ScratchDir dir;
  const Text home = dir.Path() + "/";
  dir.WriteFile(kIniName, GetParam().loaded);
  TFakeWindow window;
  Text last_dir;
  LoadOrDefaultSettings(window, IniFileNameIn(home), home, last_dir);
  SaveSettings(window, IniFileNameIn(home));
  Text expected = GetParam().saved;
  if (const size_t at = expected.find(kHome); at != Text::npos) expected.replace(at, 7, home);
  EXPECT_EQ(Saved(IniFileNameIn(home)), expected);
  EXPECT_TRUE(window.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, SaveSettingsTest,
    testing::Values(
        TRoundTrip{"Defaults", "", "http://\r\n10\r\n0\r\n0\r\n@home@/\r\n1\r\n"},
        TRoundTrip{"UnitFiveSavedAsNone", "a\r\n30\r\n5\r\n0\r\n/d/\r\n4\r\n",
                   "a\r\n30\r\n-1\r\n0\r\n/d/\r\n4\r\n"},
        TRoundTrip{"BellTwoSavedAsOne", "a\nb\n1\n2\n/d/\n4", "a\r\nb\r\n1\r\n1\r\n/d/\r\n4\r\n"},
        TRoundTrip{"EmptyLinesStay", "\r\n\r\n0\r\n0\r\n\r\n\r\n",
                   "\r\n\r\n0\r\n0\r\n\r\n\r\n"},
        TRoundTrip{"BytesUnchanged", "http://h/\xe4\xf6.jpg\r\n1\r\n1\r\n0\r\n/t\xfc/\r\n9\r\n",
                   "http://h/\xe4\xf6.jpg\r\n1\r\n1\r\n0\r\n/t\xfc/\r\n9\r\n"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(SaveSettings, FileIsTwelveBytesLongerThanTheTexts) {
  ScratchDir dir;
  TFakeWindow window;
  window.address = "http://cam.example/snap.jpg";
  window.interval = "";
  window.directory = "/pics/";
  window.counter = "";
  SaveSettings(window, dir.File(kIniName));
  const Text texts = window.address + window.interval + "0" + "0" + window.directory;
  EXPECT_EQ(Saved(dir.File(kIniName)).size(), texts.size() + 12);
}

TEST(SaveSettings, ReplacesAnOlderFileAndLeavesNoTemporary) {
  ScratchDir dir;
  dir.WriteFile(kIniName, Text(500, 'x'));
  TFakeWindow window;
  window.directory = "/d/";
  SaveSettings(window, dir.File(kIniName));
  EXPECT_EQ(Saved(dir.File(kIniName)), "http://\r\n10\r\n0\r\n0\r\n/d/\r\n1\r\n");
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path()))
    ++entries;
  EXPECT_EQ(entries, 1u);
}

TEST(SaveSettings, UncreatableFileNamesItInTheMessage) {
  ScratchDir dir;
  const Text ini = dir.Path() + "/missing/" + kIniName;
  TFakeWindow window;
  SaveSettings(window, ini);
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0], "Error: Can't save ini file\r\n" + ini + "\r\nProbably disk full");
}

// A file size limit makes the write fail part-way, as a full disk would.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old_);
    rlimit limited = old_;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit old_{};
  sighandler_t old_handler_;
};

TEST(SaveSettings, FailedWriteKeepsThePreviousFile) {
  ScratchDir dir;
  const Text previous = "http://old/\r\n10\r\n0\r\n0\r\n/\r\n1\r\n";
  dir.WriteFile(kIniName, previous);
  TFakeWindow window;
  window.address = "http://" + Text(200, 'a');
  window.directory = "/d/";
  {
    FileSizeLimit limit(previous.size());
    SaveSettings(window, dir.File(kIniName));
  }
  EXPECT_EQ(Saved(dir.File(kIniName)), previous);
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0],
            "Error: Can't save ini file\r\n" + dir.File(kIniName) + "\r\nProbably disk full");
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path()))
    ++entries;
  EXPECT_EQ(entries, 1u) << "a temporary file was left behind";
}

TEST(SetDefaults, LeavesTheIntervalAlone) {
  TFakeWindow window;
  window.interval = "77";
  window.unit = -1;
  window.bell = true;
  Text last_dir;
  SetDefaults(window, "/home/x/", last_dir);
  EXPECT_EQ(window.interval, "77");
  EXPECT_EQ(window.unit, 0);
  EXPECT_FALSE(window.bell);
  EXPECT_EQ(window.directory, "/home/x/");
  EXPECT_EQ(last_dir, "/home/x/");
}

}  // namespace
}  // namespace tessaly
