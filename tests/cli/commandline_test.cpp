// The command line's intervals and retention rules as the series gets them.
#include "cli/commandline.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

namespace tessaly {

TEST(CommandLine, EveryIsInMilliseconds) {
  for (const auto& [every, expected] : {std::pair<Text, int64_t>{"90", 90000},
                                        {"250ms", 250},
                                        {"5m", 300000},
                                        {"2h", 7200000},
                                        {"0", 0}}) {
    int64_t ms = -1;
    EXPECT_TRUE(ParseInterval(every, ms)) << every;
    EXPECT_EQ(ms, expected) << every;
  }
}

TEST(CommandLine, RetentionInSecondsAndBytes) {
  const std::tuple<Text, Text, int64_t> cases[] = {
      {"--keep-for", "90", 90},          {"--keep-for", "5m", 300},
      {"--keep-for", "2d", 172800},      {"--keep-for", "2h", 7200},
      {"--min-free", "8589934592G", -1}, {"--keep-size", "7", 7},
      {"--keep-size", "3K", 3072},       {"--keep-size", "5M", 5242880},
      {"--min-free", "2G", 2147483648},  {"--min-free", "0", 0},
  };
  for (const auto& [option, value, expected] : cases) {
    std::vector<Text> words = {"tessaly-capture", option, value, "http://h/a.jpg", "/d"};
    std::vector<char*> argv;
    for (Text& word : words) argv.push_back(word.data());
    const TRetentionRules rules =
        ParseCommandLine(static_cast<int>(argv.size()), argv.data()).Retention;
    const int64_t got = option == "--keep-for"    ? rules.KeepForSeconds
                        : option == "--keep-size" ? rules.KeepBytes
                                                  : rules.MinFreeBytes;
    EXPECT_EQ(got, expected) << option << " " << value;
  }
}

TEST(CommandLine, PinsAndGaps) {
  const Text key = "n4bQgYhMfWWaL+qgxVrQFaO/TxsrC4Is0V1sFbDwCgg=";
  const std::tuple<Text, Text, bool> cases[] = {
      {"--pin", "sha256//" + key, true},
      {"--pin", "sha256/" + key, true},
      {"--pin", "sha256//" + key + ";sha256//" + key, true},
      {"--pin", "sha256//" + key + ";", false},
      {"--pin", "sha1//" + key, false},
      {"--pin", "sha256//" + key.substr(1), false},
      {"--pin", "sha256//" + key.substr(0, 42) + "*=", false},
      {"--min-gap", "7s", true},
      {"--min-gap", "7x", false},
      {"--ca-file", "", false},
  };
  for (const auto& [option, value, good] : cases) {
    std::vector<Text> words = {"tessaly-capture", option, value, "http://h/a.jpg", "/d"};
    std::vector<char*> argv;
    for (Text& word : words) argv.push_back(word.data());
    const TCommandLine line = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(line.Action == TCommandLine::TAction::Run, good) << option << " " << value;
    if (good) {
      EXPECT_EQ(option == "--pin" ? line.Tls.Pin : IntToText(line.MinGapMs),
                option == "--pin" ? value : "7000");
    }
  }
}

}  // namespace tessaly
