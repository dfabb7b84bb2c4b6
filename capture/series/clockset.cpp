#include "capture/series/clockset.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace tessaly {
namespace {

// How far ahead the timer is armed: it is there to be cancelled, not to expire.
constexpr std::time_t kFarAhead = 10 * 366 * 86400;

class TClockSetWatch {
 public:
  TClockSetWatch() {
    Arm();
    watcher_ = std::thread([this] { Watch(); });
  }
  // At the process' end: stops and joins the watching thread.
  ~TClockSetWatch() {
    const uint64_t one = 1;
    // An eventfd's counter cannot overflow with one write: the call cannot fail here.
    [[maybe_unused]] const ssize_t written = write(stop_fd_, &one, sizeof(one));
    watcher_.join();
    close(timer_fd_);
    close(stop_fd_);
  }

  uint64_t Add(TSeriesHost& host, std::function<void()> set) {
    std::lock_guard lock(mutex_);
    watchers_[++last_key_] = {&host, std::make_shared<std::function<void()>>(std::move(set))};
    return last_key_;
  }
  void Remove(uint64_t key) {
    std::lock_guard lock(mutex_);
    watchers_.erase(key);
  }

 private:
  struct TWatcher {
    TSeriesHost* Host;
    std::shared_ptr<std::function<void()>> Set;
  };

  void Arm() {
    itimerspec at{};
    at.it_value.tv_sec = std::time(nullptr) + kFarAhead;
    timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &at, nullptr);
  }

  void Watch() {
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
      // Cancelled or (years on) expired: armed again from the clock as it now reads.
      Arm();
      if (set) Tell();
    }
  }

  void Tell() {
    std::lock_guard lock(mutex_);
    for (const auto& [key, watcher] : watchers_)
      watcher.Host->Post([this, key = key] {
        std::shared_ptr<std::function<void()>> set;
        {
          std::lock_guard lock(mutex_);
          if (const auto found = watchers_.find(key); found != watchers_.end())
            set = found->second.Set;
        }
        if (set) (*set)();
      });
  }

  std::mutex mutex_;
  std::map<uint64_t, TWatcher> watchers_;
  uint64_t last_key_ = 0;
  const int timer_fd_ = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC);
  const int stop_fd_ = eventfd(0, EFD_CLOEXEC);
  std::thread watcher_;
};

TClockSetWatch& Watch() {
  static TClockSetWatch watch;
  return watch;
}

}  // namespace

uint64_t WatchClockSet(TSeriesHost& host, std::function<void()> set) {
  return Watch().Add(host, std::move(set));
}

void ForgetClockSet(uint64_t key) {
  if (key != 0) Watch().Remove(key);
}

}  // namespace tessaly
