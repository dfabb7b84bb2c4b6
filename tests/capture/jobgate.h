// A capture job for tests that holds each run at a gate until the test lets it through, and
// records what every run saw.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <vector>

#include "capture/jobcontext.h"
#include "capture/threadpriority.h"

namespace tessaly {

class TJobGate {
 public:
  struct TRun {
    Text address;
    Text save_dir;
    int32_t counter = 0;
    int nice = 0;
    bool saw_stop = false;
  };

  // What each run does once through the gate (nothing by default). Set before runs start.
  void AfterGate(std::function<void(TJobContext&)> action) { state_->after_gate = std::move(action); }
  // Whether a held run leaves the gate when its job is asked to stop (default yes).
  void HonourStop(bool honour) { state_->honour_stop = honour; }

  // The job to hand to the scheduler. It shares the gate's state, so a worker that outlives
  // the gate object stays safe.
  TCaptureJob Job() {
    return [state = state_](TJobContext& job) {
      TRun run{job.Address(), job.SaveDir(), job.Counter(), CurrentThreadNice(), false};
      // Registered before the lock is taken: it may run at once, on this thread.
      std::stop_callback wake(job.StopToken(), [state] {
        { std::lock_guard held(state->mutex); }
        state->changed.notify_all();
      });
      std::unique_lock lock(state->mutex);
      state->runs.push_back(run);
      ++state->running;
      state->changed.notify_all();
      const bool honour = state->honour_stop;
      state->changed.wait(lock, [&] {
        return state->permits > 0 || state->open || (honour && job.StopRequested());
      });
      if (state->permits > 0) --state->permits;
      state->runs.back().saw_stop = job.StopRequested();
      auto action = state->after_gate;
      lock.unlock();
      if (action) action(job);
      lock.lock();
      --state->running;
      ++state->finished;
      state->changed.notify_all();
    };
  }

  // Lets one held run (or the next one to arrive) through.
  void Release() {
    std::lock_guard lock(state_->mutex);
    ++state_->permits;
    state_->changed.notify_all();
  }
  // Lets every run through from now on.
  void Open() {
    std::lock_guard lock(state_->mutex);
    state_->open = true;
    state_->changed.notify_all();
  }
  // Waits until at least count runs have started; false after timeout.
  bool WaitStarted(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->runs.size() >= count; });
  }
  bool WaitFinished(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->finished >= count; });
  }

  std::vector<TRun> Runs() const {
    std::lock_guard lock(state_->mutex);
    return state_->runs;
  }
  size_t Started() const { return Runs().size(); }
  int Running() const {
    std::lock_guard lock(state_->mutex);
    return state_->running;
  }
  size_t Finished() const {
    std::lock_guard lock(state_->mutex);
    return state_->finished;
  }

 private:
  struct TState {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<TRun> runs;
    int permits = 0;
    bool open = false;
    int running = 0;
    size_t finished = 0;
    std::function<void(TJobContext&)> after_gate;
    bool honour_stop = true;
  };
  std::shared_ptr<TState> state_ = std::make_shared<TState>();
};

}  // namespace tessaly
