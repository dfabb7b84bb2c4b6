#include "capture/clockset.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace tessaly {
namespace {

// How far ahead the timer is armed: it is there to be cancelled, not to expire.
constexpr std::time_t kFarAhead = 10 * 366 * 86400;

}  // namespace

TClockSetWatch::TClockSetWatch(std::function<void()> set)
    : set_(std::move(set)),
      timer_fd_(timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC)),
      stop_fd_(eventfd(0, EFD_CLOEXEC)) {
  Arm();
  watcher_ = std::thread([this] { Watch(); });
}

TClockSetWatch::~TClockSetWatch() {
  const uint64_t one = 1;
  // An eventfd's counter cannot overflow with one write: the call cannot fail here.
  [[maybe_unused]] const ssize_t written = write(stop_fd_, &one, sizeof(one));
  watcher_.join();
  close(timer_fd_);
  close(stop_fd_);
}

void TClockSetWatch::Arm() {
  itimerspec at{};
  at.it_value.tv_sec = std::time(nullptr) + kFarAhead;
  timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &at, nullptr);
}

void TClockSetWatch::Watch() {
  pollfd ready[2] = {{timer_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
  for (;;) {
    if (poll(ready, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (ready[1].revents != 0) return;
    if (ready[0].revents == 0) continue;
    uint64_t expirations = 0;
    const bool set = read(timer_fd_, &expirations, sizeof(expirations)) < 0 && errno == ECANCELED;
    // Cancelled or (ten years on) expired: armed again from the clock as it now reads.
    Arm();
    if (set) set_();
  }
}

}  // namespace tessaly
