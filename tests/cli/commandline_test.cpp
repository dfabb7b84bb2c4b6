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

}  // namespace tessaly
