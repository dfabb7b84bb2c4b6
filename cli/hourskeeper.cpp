#include "cli/hourskeeper.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tessaly {

THoursKeeper::THoursKeeper(TSeriesLoop& loop, TActiveHours hours, TEvents events)
    : loop_(loop), hours_(std::move(hours)), events_(std::move(events)) {
  waker_ = std::thread([this] { WakeLoop(); });
}

THoursKeeper::~THoursKeeper() {
  const uint64_t one = 1;
  // An eventfd's counter cannot overflow with one write: the call cannot fail here.
  [[maybe_unused]] const ssize_t written = write(stop_fd_, &one, sizeof(one));
  waker_.join();
  close(timer_fd_);
  close(stop_fd_);
}
void THoursKeeper::Update() {
  const std::time_t now = std::time(nullptr);
  const TActiveState state = ActiveStateAt(hours_, now);
  if (state.Open) {
    close_at_ = state.Change;
    WakeAt(state.Change);
    if (paused_) {
      paused_ = false;
      events_.Opened();
    }
    return;
  }
  // No opening within the look-ahead: look again when it has passed.
  const std::time_t until = state.Change.value_or(now + kActiveLookAhead);
  close_at_.reset();
  WakeAt(until);
  if (!paused_) {
    paused_ = true;
    events_.Paused(now, until);
  }
}

bool THoursKeeper::Open() {
  if (!paused_ && close_at_ && std::time(nullptr) >= *close_at_) Update();
  return !paused_;
}

void THoursKeeper::WakeAt(std::optional<std::time_t> when) {
  // The wall clock, not a steady one: the changes are instants of the calendar. A clock set
  // while the series waits cancels the wait, and the keeper looks again.
  itimerspec at{};
  if (when) at.it_value.tv_sec = std::max<std::time_t>(*when, 1);  // zero would disarm
  timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &at, nullptr);
}

void THoursKeeper::WakeLoop() {
  pollfd ready[2] = {{timer_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
  for (;;) {
    if (poll(ready, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (ready[1].revents != 0) return;
    if (ready[0].revents == 0) continue;
    uint64_t expirations = 0;
    // Expired, or cancelled by a change of the clock (ECANCELED): either way, look again.
    if (read(timer_fd_, &expirations, sizeof(expirations)) < 0 && errno != ECANCELED) continue;
    loop_.Post([this, alive = std::weak_ptr<int>(alive_)] {
      if (alive.lock()) Update();
    });
  }
}

}  // namespace tessaly
