// The worker of one capture job: runs the job on a thread of its own, one step below the
// window thread's priority, and hands the advanced counter back to the window thread when done.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

#include "capture/jobcontext.h"
#include "capture/windowlink.h"

namespace tessaly {

class TNewThread final : public TJobContext, public std::enable_shared_from_this<TNewThread> {
 public:
  struct TSetup {
    std::shared_ptr<TWindowLink> Link;
    TWindowPort* Window = nullptr;  // used only on the window thread, through Link
    TCaptureJob Job;
    Text Address;
    Text SaveDir;
    TDirectoryIdentity SaveDirIdentity;
    int32_t Counter = 0;
    // Window thread: the caption shows the path a job is about to write.
    std::function<void(const Text& path)> ShowFileName;
    // Window thread: the termination notice, with the counter advanced past this job's.
    std::function<void(int32_t next_counter)> Done;
  };

  // Created suspended: nothing runs before Resume.
  static std::shared_ptr<TNewThread> Create(TSetup setup);
  ~TNewThread() override;

  // Starts the thread; throws std::system_error when the system has none to give.
  void Resume();
  // Asks the job to end soon (the job sees it through StopToken).
  void RequestStop() { stop_.request_stop(); }
  // Waits up to timeout for the thread body to finish; true when it has.
  bool WaitFinished(std::chrono::milliseconds timeout);
  // After the thread body has finished.
  void Join();
  // Lets a thread that does not finish in time run on alone; it no longer reaches the window.
  void Detach();

  // The thread body: the job, then the counter advances, whatever the job did.
  void RunJob();

  const Text& Address() const override { return setup_.Address; }
  int32_t Counter() const override { return setup_.Counter; }
  const Text& SaveDir() const override { return setup_.SaveDir; }
  TDirectoryIdentity SaveDirIdentity() const override { return setup_.SaveDirIdentity; }
  Text MakeFileName(const Text& name) override;
  void ShowMessage(const Text& text) override;
  void SetCaption(const Text& text) override;
  std::stop_token StopToken() const override { return stop_.get_token(); }

 private:
  explicit TNewThread(TSetup setup) : setup_(std::move(setup)) {}
  void Execute();

  TSetup setup_;
  std::stop_source stop_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable finished_cv_;
  bool finished_ = false;
};

}  // namespace tessaly
