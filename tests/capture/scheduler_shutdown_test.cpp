#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "tests/capture/schedulerfixture.h"

namespace tessaly {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST_F(SchedulerFixture, ShutdownStopsAJobThatListens) {
  ASSERT_TRUE(StartAndWaitForJob());
  const auto begin = steady_clock::now();
  EXPECT_TRUE(Scheduler().Shutdown(milliseconds(5000)));
  EXPECT_LT(steady_clock::now() - begin, milliseconds(2000));
  ASSERT_EQ(gate_.Runs().size(), 1u);
  EXPECT_TRUE(gate_.Runs()[0].saw_stop);
  EXPECT_FALSE(Scheduler().JobRunning());
}

TEST_F(SchedulerFixture, ShutdownLeavesADeafJobBehindWithinItsGrace) {
  gate_.HonourStop(false);
  ASSERT_TRUE(StartAndWaitForJob());
  const auto begin = steady_clock::now();
  EXPECT_FALSE(Scheduler().Shutdown(milliseconds(100)));
  EXPECT_LT(steady_clock::now() - begin, milliseconds(2000));
  EXPECT_FALSE(Scheduler().JobRunning());
  gate_.Open();
  EXPECT_TRUE(gate_.WaitFinished(1));
}

// A worker released after the window has gone reaches nothing of it.
TEST_F(SchedulerFixture, AbandonedWorkerNoLongerReachesTheWindow) {
  gate_.HonourStop(false);
  std::atomic<bool> returned{false};
  gate_.AfterGate([&](TJobContext& job) {
    job.MakeFileName("image.jpg");
    job.SetCaption("late caption");
    job.ShowMessage("late message");
    returned = true;
  });
  ASSERT_TRUE(StartAndWaitForJob());
  const Text caption = window_.caption;
  ASSERT_FALSE(Scheduler().Shutdown(milliseconds(50)));
  gate_.Open();
  ASSERT_TRUE(gate_.WaitFinished(1));
  EXPECT_TRUE(returned);
  EXPECT_EQ(window_.Queued(), 0u);
  window_.PumpPending();
  EXPECT_EQ(window_.caption, caption);
  EXPECT_TRUE(window_.messages.empty());
}

// A worker waiting for the window thread must not hold up the close that occupies that thread.
TEST_F(SchedulerFixture, ShutdownReleasesAWorkerWaitingForTheWindow) {
  gate_.AfterGate([](TJobContext& job) { job.ShowMessage("Error - can't save file"); });
  gate_.Open();
  Scheduler().Button1_StartClick();
  ASSERT_TRUE(gate_.WaitStarted(1));
  ASSERT_TRUE(window_.WaitQueued(1));
  EXPECT_TRUE(Scheduler().Shutdown(milliseconds(5000)));
  window_.PumpPending();
  EXPECT_TRUE(window_.messages.empty());
}

TEST_F(SchedulerFixture, NothingStartsAfterShutdown) {
  EXPECT_TRUE(Scheduler().Shutdown(milliseconds(0)));
  Scheduler().Button1_StartClick();
  Scheduler().Timer1Timer();
  EXPECT_FALSE(Scheduler().JobRunning());
  EXPECT_EQ(gate_.Started(), 0u);
}

}  // namespace
}  // namespace tessaly
