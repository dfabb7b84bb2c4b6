// The window's capture series: Start, Stop and the timer tick read the window's fields and drive
// one series of the capture core, which runs one job at a time, never two; ticks that fall while
// a job runs are dropped. All members run on the window thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/text.h"
#include "capture/job/jobcontext.h"
#include "capture/series/series.h"
#include "capture/series/serieshost.h"
#include "capture/window/windowlink.h"
#include "capture/window/windowport.h"

namespace tessaly {

// The longest interval the timer can hold.
inline constexpr int64_t kLongestIntervalMs = 2147483647;

// The exact interval in milliseconds for value in the unit of unit_index: 0 is seconds, any
// other index minutes.
int64_t IntervalMs(int32_t value, int unit_index);

class TScheduler final : private TSeriesObserver, private TSeriesHost {
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

  // Closes the road from the worker to the window, asks a running job to stop and waits up to
  // grace for it. True when no worker is left; false when one was let run on alone. After this
  // the scheduler starts nothing.
  bool Shutdown(std::chrono::milliseconds grace);

  int32_t Counter() const { return series_.Counter(); }
  const Text& SaveDir() const { return save_dir_; }
  // Where the directory picker starts; the settings and Start set it too.
  Text& LastDir() { return last_dir_; }
  const Text& LastDir() const { return last_dir_; }
  bool Ready() const { return !shut_down_ && series_.Schedule().Ready(); }
  bool JobRunning() const { return series_.JobRunning(); }
  // The path most recently shown for a job's file.
  const Text& LastFileName() const { return last_file_name_; }

 private:
  void Start();
  void ShowFileName();
  void SetSeriesControls(bool running);
  void ReleaseBodyMemory();
  template <typename Handler>
  void WithErrorDisplay(Handler handler);

  // What the series asks of the window: the bell, the caption and the boxes (the workers wait
  // for them), and the end of each job.
  void JobStarting() override;
  void FileNamed(const Text& path) override;
  void ShowMessage(const Text& text) override;
  void SetCaption(const Text& text) override;
  void Outcome(const TJobOutcome&, int32_t, int64_t) override {}
  void JobEnded(int32_t counter) override;
  // The window thread is the series' home; the window's timer gives its ticks.
  void Post(std::function<void()> fn) override { link_->Post(std::move(fn)); }
  void WakeAt(uint64_t, TTime, std::function<void()>) override {}
  void CancelWake(uint64_t) override {}

  TWindowPort& window_;
  std::shared_ptr<TWindowLink> link_;
  Text save_dir_;
  Text last_dir_;
  Text last_file_name_;
  // A Start that comes while a job of the previous series still runs has its first job wait
  // for that end, and that job's end does not advance the new counter.
  TSeries series_;
  bool shut_down_ = false;
  bool series_running_ = false;
};

}  // namespace tessaly
