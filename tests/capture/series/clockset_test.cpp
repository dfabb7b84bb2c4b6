#include "capture/series/clockset.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>

namespace tessaly {
namespace {

// Queues what is posted; the test's thread, the host's, runs it.
class TQueueHost : public TSeriesHost {
 public:
  void Post(std::function<void()> fn) override {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(fn));
    ready_.notify_one();
  }
  void WakeAt(uint64_t, TTime, std::function<void()>) override {}
  void CancelWake(uint64_t) override {}
  // Runs the first post to come within the time; false when none came.
  bool RunOne(std::chrono::milliseconds within) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, within, [&] { return !posted_.empty(); })) return false;
    auto fn = std::move(posted_.front());
    posted_.pop_front();
    lock.unlock();
    fn();
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> posted_;
};

// The kernel tells every such timer of each setting of the clock, also one to the value it held:
// setting it to what was just read moves it by a few microseconds and must be reported. This
// sets the machine's clock, so it runs only where asked (tests/systemd/run.sh, as root, in its
// container); elsewhere it is skipped.
TEST(ClockSetTest, SettingTheClockToItsOwnValueIsReportedWithinASecond) {
  if (std::getenv("TESSALY_SET_CLOCK") == nullptr)
    GTEST_SKIP()
        << "sets the machine's clock: only with TESSALY_SET_CLOCK=1 (tests/systemd/run.sh)";
  TQueueHost host;
  int told = 0;
  const uint64_t key = WatchClockSet(host, [&] { ++told; });
  timespec now{};
  ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &now), 0);
  ASSERT_EQ(clock_settime(CLOCK_REALTIME, &now), 0) << std::strerror(errno);
  EXPECT_TRUE(host.RunOne(std::chrono::seconds(1)));
  EXPECT_EQ(told, 1);
  ForgetClockSet(key);
}

}  // namespace
}  // namespace tessaly
