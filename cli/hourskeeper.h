// Keeps a console series inside its active hours: decides when the series pauses and when a
// period opens again, woken at the second of each change by a thread of its own.
#pragma once

#include <condition_variable>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "capture/activehours.h"
#include "cli/consoleport.h"

namespace tessaly {

class THoursKeeper {
 public:
  struct TEvents {
    // The series has just paused, at now, until the instant until.
    std::function<void(std::time_t now, std::time_t until)> Paused;
    // A period has opened after a pause.
    std::function<void()> Opened;
  };

  // Wakes are posted to port's loop; the events run there.
  THoursKeeper(TConsolePort& port, TActiveHours hours, TEvents events);
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

  TConsolePort& port_;
  const TActiveHours hours_;
  const TEvents events_;
  bool paused_ = false;
  std::optional<std::time_t> close_at_;
  // Posted wakes hold it weakly, so that one left in the queue cannot reach a gone keeper.
  const std::shared_ptr<int> alive_ = std::make_shared<int>();

  std::mutex mutex_;
  std::condition_variable wake_cv_;
  std::optional<std::time_t> wake_at_;  // guarded by mutex_
  bool stopping_ = false;               // guarded by mutex_
  std::thread waker_;
};

}  // namespace tessaly
