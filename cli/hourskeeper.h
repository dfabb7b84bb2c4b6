// Keeps a console series inside its active hours: decides when the series pauses and when a
// period opens again, woken at the second of each change (and whenever the clock is set) by a
// thread of its own.
#pragma once

#include <sys/eventfd.h>
#include <sys/timerfd.h>

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "capture/activehours.h"
#include "capture/seriesloop.h"

namespace tessaly {

class THoursKeeper {
 public:
  struct TEvents {
    // The series has just paused, at now, until the instant until.
    std::function<void(std::time_t now, std::time_t until)> Paused;
    // A period has opened after a pause.
    std::function<void()> Opened;
  };

  // Wakes are posted to the loop; the events run there.
  THoursKeeper(TSeriesLoop& loop, TActiveHours hours, TEvents events);
  // Stops and joins the waking thread; a wake already posted does nothing.
  ~THoursKeeper();
  THoursKeeper(const THoursKeeper&) = delete;
  THoursKeeper& operator=(const THoursKeeper&) = delete;

  // Reads the clock, pauses or opens the series as the hours say and sets the next wake.
  void Update();
  // False while paused; a closing that is already due is taken first (and reported).
  bool Open();
  bool Paused() const { return paused_; }

 private:
  void WakeAt(std::optional<std::time_t> when);
  void WakeLoop();

  TSeriesLoop& loop_;
  const TActiveHours hours_;
  const TEvents events_;
  bool paused_ = false;
  std::optional<std::time_t> close_at_;
  // Posted wakes hold it weakly, so that one left in the queue cannot reach a gone keeper.
  const std::shared_ptr<int> alive_ = std::make_shared<int>();

  // The wake's timer, set from the loop and waited on by the waking thread; the stop's event.
  const int timer_fd_ = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC);
  const int stop_fd_ = eventfd(0, EFD_CLOEXEC);
  std::thread waker_;
};

}  // namespace tessaly
