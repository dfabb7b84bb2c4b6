// The worker of one capture job of a series: a detached thread with a small stack, one step
// below its host's priority, that runs the job and then hands the advanced counter back to the
// host. The road back (to the observer and the host) can be closed, after which a worker let
// run on alone reaches nobody.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

#include "capture/job/jobcontext.h"
#include "capture/series/series.h"

namespace tessaly {

class TNewThread final : public TJobContext {
 public:
  struct TSetup {
    TSeriesSettings Settings;  // this job's own copy
    TDirectoryIdentity Identity;
    TSeriesObserver* Observer = nullptr;
    std::shared_ptr<TSeriesKeeping> Keeping;
    TSeriesHost* Host = nullptr;
    TCaptureJob Job;
    std::shared_ptr<TWarmRtsp> Warm;  // the series' kept session, if any
    // Host thread: the termination notice, with the counter advanced past this job's and the
    // outcome the job reported (none when it reported none).
    std::function<void(int32_t next_counter, const std::optional<TJobOutcome>& outcome)> Done;
  };

  explicit TNewThread(TSetup setup) : setup_(std::move(setup)) {}

  // Starts the thread; 0, or the system's error number when it has none to give.
  static int Resume(const std::shared_ptr<TNewThread>& worker);
  // Asks the job to end soon (the job sees it through StopToken).
  void RequestStop() { stop_.request_stop(); }
  // Waits up to grace for the thread body to finish, then closes the road back. True when it
  // had finished.
  bool Close(std::chrono::milliseconds grace);

  // The thread body: the job, then the counter advances, whatever the job did.
  void RunJob();

  const Text& Address() const override { return setup_.Settings.Address.Given; }
  const TAddress* AddressValue() const override { return &setup_.Settings.Address; }
  int32_t Counter() const override { return setup_.Settings.Counter; }
  const Text& SaveDir() const override { return setup_.Settings.Directory; }
  TDirectoryIdentity SaveDirIdentity() const override;
  Text DirectoryReplacedReason() const override;
  Text MakeFileName(const Text& name) override;
  void ShowMessage(const Text& text) override;
  void SetCaption(const Text& text) override;
  std::stop_token StopToken() const override { return stop_.get_token(); }
  TJobOptions Options() const override { return setup_.Settings.Job; }
  TJobTls Tls() const override { return setup_.Settings.Tls; }
  TWarmRtsp* WarmSource() const override { return setup_.Warm.get(); }
  int MakeRoom(int64_t bytes, Text& why) override;
  Text Intend(const Text& path, int64_t bytes) override;
  void Written(const Text& path, int64_t bytes, bool named) override;
  void ReportOutcome(const TJobOutcome& outcome) override;

 private:
  // Tells the observer, unless the road back is closed.
  void Tell(const std::vector<TKeepingNote>& notes);

  const TSetup setup_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::stop_source stop_;
  // Guards the road back: held while the observer is told something, taken by Close. Never
  // held while the catalog or the disk is at work, so that a stop never waits for them.
  std::mutex mutex_;
  std::condition_variable finished_cv_;
  bool open_ = true;
  bool finished_ = false;
  int64_t intent_ = 0;  // the row of the picture being written
  std::optional<TJobOutcome> reported_;
};

}  // namespace tessaly
