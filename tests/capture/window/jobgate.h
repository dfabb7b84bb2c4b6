// A capture job for tests that holds each run at a gate until the test lets it through, and
// records what every run saw. Workers share the gate's state, so one that outlives the gate
// object stays safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <vector>

#include "capture/job/jobcontext.h"
#include "capture/series/threadpriority.h"

namespace tessaly {

class TJobGate {
 public:
  struct TRun {
    Text address, save_dir;
    int32_t counter = 0;
    int nice = 0;
    bool saw_stop = false;
  };

  // What each run does once through the gate; set before runs start.
  void AfterGate(std::function<void(TJobContext&)> action) { state_->after = std::move(action); }
  // Whether a held run leaves the gate when its job is asked to stop.
  void HonourStop(bool honour) { state_->honour_stop = honour; }
  void Release() {
    Change([&] { ++state_->permits; });
  }  // lets one run through
  void Open() {
    Change([&] { state_->open = true; });
  }  // lets every run through

  TCaptureJob Job() {
    return [state = state_](TJobContext& job) {
      // Registered before the lock is taken: it may run at once, on this thread.
      std::stop_callback wake(job.StopToken(), [state] {
        { std::lock_guard held(state->mutex); }
        state->changed.notify_all();
      });
      std::unique_lock lock(state->mutex);
      state->runs.push_back({job.Address(), job.SaveDir(), job.Counter(), CurrentThreadNice()});
      state->changed.notify_all();
      state->changed.wait(lock, [&] {
        return state->permits > 0 || state->open || (state->honour_stop && job.StopRequested());
      });
      if (state->permits > 0) --state->permits;
      state->runs.back().saw_stop = job.StopRequested();
      lock.unlock();
      if (state->after) state->after(job);
      lock.lock();
      ++state->finished;
      state->changed.notify_all();
    };
  }

  bool WaitStarted(size_t count) {
    return Wait([&] { return state_->runs.size() >= count; });
  }
  bool WaitFinished(size_t count) {
    return Wait([&] { return state_->finished >= count; });
  }
  std::vector<TRun> Runs() {
    std::lock_guard lock(state_->mutex);
    return state_->runs;
  }

 private:
  struct TState {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<TRun> runs;
    int permits = 0;
    bool open = false, honour_stop = true;
    size_t finished = 0;
    std::function<void(TJobContext&)> after;
  };
  template <typename F>
  void Change(F change) {
    std::lock_guard lock(state_->mutex);
    change();
    state_->changed.notify_all();
  }
  template <typename P>
  bool Wait(P done) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::seconds(5), done);
  }
  std::shared_ptr<TState> state_ = std::make_shared<TState>();
};

}  // namespace tessaly
