// A capture series: Start, Stop, the timer tick and the worker's end. One job at a time, never
// two; ticks that fall while a job runs are dropped. All members run on the window thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/text.h"
#include "capture/jobcontext.h"
#include "capture/newthread.h"
#include "capture/seriesdirectory.h"
#include "capture/seriesschedule.h"
#include "capture/windowlink.h"
#include "capture/windowport.h"

namespace tessaly {

// The longest interval the timer can hold.
inline constexpr int64_t kLongestIntervalMs = 2147483647;

// The exact interval in milliseconds for value in the unit of unit_index: 0 is seconds, any
// other index minutes.
int64_t IntervalMs(int32_t value, int unit_index);

class TScheduler {
 public:
  TScheduler(TWindowPort& window, TCaptureJob job);
  // Shuts down with a short grace for a running job.
  ~TScheduler();
  TScheduler(const TScheduler&) = delete;
  TScheduler& operator=(const TScheduler&) = delete;

  // Starts a series: checks the directory, locks the fields, takes the counter and the
  // interval, starts the timer and the first job. Errors go to the error display.
  void Button1_StartClick();
  // Ends the series: unlocks the fields and stops the timer; a running job runs to its end.
  void Button2_StopClick();
  // Starts a job when none runs (ringing the bell first when it is on); otherwise does nothing.
  void Timer1Timer();
  // While gate answers false every tick is dropped, Start's first one included, and the
  // counter stays. Without a gate all ticks may start a job.
  void SetTickGate(std::function<bool()> gate) { gate_ = std::move(gate); }

  // Closes the road from the worker to the window, asks a running job to stop and waits up to
  // grace for it. True when no worker is left; false when one was let run on alone. After this
  // the scheduler starts nothing.
  bool Shutdown(std::chrono::milliseconds grace);

  int32_t Counter() const { return counter_; }
  const Text& SaveDir() const { return save_dir_; }
  // Where the directory picker starts; the settings and Start set it too.
  Text& LastDir() { return last_dir_; }
  const Text& LastDir() const { return last_dir_; }
  bool Ready() const { return !shut_down_ && schedule_.Ready(); }
  bool JobRunning() const { return worker_ != nullptr; }
  // The path most recently shown for a job's file.
  const Text& LastFileName() const { return last_file_name_; }

 private:
  void Start();
  void Tick();
  void ThreadDone(uint64_t series, int32_t next_counter);
  void ShowFileName();
  void SetSeriesControls(bool running);
  void ReleaseBodyMemory();
  template <typename Handler>
  void WithErrorDisplay(Handler handler);

  TWindowPort& window_;
  TCaptureJob job_;
  std::function<bool()> gate_;
  std::shared_ptr<TWindowLink> link_;
  std::shared_ptr<TNewThread> worker_;
  int32_t counter_ = 0;
  // Counts the Starts that took a counter, so that a job of an earlier series does not
  // advance the counter of a later one.
  uint64_t series_ = 0;
  Text save_dir_;
  // What save_dir_ was at Start: a job that finds another directory there stores nothing.
  TDirectoryIdentity save_dir_identity_;
  Text last_dir_;
  Text last_file_name_;
  // Whether a tick may start a job; a Start that came while a job of the previous series still
  // ran has its first job wait for that end.
  TSeriesSchedule schedule_;
  bool shut_down_ = false;
  bool series_running_ = false;
};

}  // namespace tessaly
