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

// --listen reads an address and a port, only beside --cameras and never from an options file.
TEST(CommandLine, ListenAddresses) {
  const std::vector<std::tuple<Text, Text, Text>> cases = {
      // --listen's value, the address it reads as ("" for a usage error), --health-grace
      {"127.0.0.1:8090", "127.0.0.1:8090", "90"},
      {"[::1]:8090", "[::1]:8090", "2m"},
      {"0.0.0.0:0", "0.0.0.0:0", "1s"},
      {"[::]:65535", "[::]:65535", "5m"},
      {"127.0.0.1:65536", "", "5m"},
      {"localhost:8090", "", "5m"},
      {"::1:8090", "", "5m"},
      {"[::1]", "", "5m"},
      {"127.0.0.1:", "", "5m"},
      {"127.0.0.1:80a", "", "5m"},
      {"127.0.0.1:8090", "", "0"},
      {"127.0.0.1:8090", "", "999ms"},
  };
  for (const auto& [value, address, grace] : cases) {
    std::vector<Text> words = {"tessaly-capture", "--cameras", "/c", "--listen", value,
                               "--health-grace",  grace};
    std::vector<char*> argv;
    for (Text& word : words) argv.push_back(word.data());
    const TCommandLine line = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    ASSERT_EQ(line.Action == TCommandLine::TAction::Run, !address.empty()) << value << line.Error;
    if (address.empty()) continue;
    EXPECT_EQ(ListenAddressText(*line.Listen), address);
    int64_t ms = 0;
    ASSERT_TRUE(ParseInterval(grace, ms));
    EXPECT_EQ(line.HealthGraceSeconds, ms / 1000);
    // One endpoint per process: a camera's options file may not name another.
    const TCommandLine camera = CameraCommandLine(static_cast<int>(argv.size()), argv.data(),
                                                  "/c/one", {"--listen", value});
    EXPECT_EQ(camera.Action, TCommandLine::TAction::Usage) << value;
  }
  std::vector<Text> lone = {"tessaly-capture", "--listen", "127.0.0.1:8090", "http://h/a", "/d"};
  std::vector<char*> argv;
  for (Text& word : lone) argv.push_back(word.data());
  EXPECT_EQ(ParseCommandLine(static_cast<int>(argv.size()), argv.data()).Error,
            "--listen needs --cameras");
}

}  // namespace tessaly
