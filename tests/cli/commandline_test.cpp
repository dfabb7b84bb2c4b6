// The command line's values as the series gets them.
#include "cli/commandline.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessaly {
namespace {

struct EveryRow {
  const char* every;
  int64_t ms;
};

class EveryTest : public testing::TestWithParam<EveryRow> {};

TEST_P(EveryTest, IsMilliseconds) {
  std::vector<std::string> words = {"tessaly-capture", "--every", GetParam().every, "u", "d"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  const TCommandLine line = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
  ASSERT_EQ(line.Action, TCommandLine::TAction::Run) << line.Error;
  EXPECT_EQ(line.IntervalMs, GetParam().ms);
}

INSTANTIATE_TEST_SUITE_P(Units, EveryTest,
                         testing::Values(EveryRow{"90", 90000}, EveryRow{"250ms", 250},
                                         EveryRow{"5m", 300000}, EveryRow{"2h", 7200000},
                                         EveryRow{"0", 0}),
                         [](const auto& info) { return "Every" + std::string(info.param.every); });

}  // namespace
}  // namespace tessaly
