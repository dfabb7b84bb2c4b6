// The command line's intervals as the series gets them.
#include "cli/commandline.h"

#include <gtest/gtest.h>

#include <utility>

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

}  // namespace tessaly
