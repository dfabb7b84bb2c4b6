// Notices when the wall clock is set (by hand, by a time service, at the resume from a
// suspend): one thread that waits on a timer of the calendar's clock armed far ahead, which
// the system cancels at each setting.
#pragma once

#include <functional>
#include <thread>

namespace tessaly {

class TClockSetWatch {
 public:
  // set runs on the watching thread after each setting of the wall clock.
  explicit TClockSetWatch(std::function<void()> set);
  // Stops and joins the watching thread.
  ~TClockSetWatch();
  TClockSetWatch(const TClockSetWatch&) = delete;
  TClockSetWatch& operator=(const TClockSetWatch&) = delete;

 private:
  void Arm();
  void Watch();

  const std::function<void()> set_;
  const int timer_fd_;
  const int stop_fd_;
  std::thread watcher_;
};

}  // namespace tessaly
