// What the cameras service tells those who watch it (the status page, the metrics, a broker):
// each camera's fetches, removals and state, as they happen.
#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

#include "base/text.h"
#include "capture/job/joboutcome.h"

namespace tessaly {

// Running: its last fetch stored a picture or the first is under way. Failing: its last fetches
// failed. Frozen: the camera answered the same picture several times in a row. Paused: outside
// its active hours. NotStarted: its files could not be made into a series. Ended: its series
// has ended (a count reached, too many failures).
enum class TCameraState { Running, Failing, Frozen, Paused, NotStarted, Ended };

// "running", "failing", "frozen", "paused", "not started", "ended".
const char* CameraStateName(TCameraState state);

struct TCameraStateNote {
  TCameraState State = TCameraState::Running;
  // Failing: the last failure's reason; Frozen: how many times in a row; NotStarted: why.
  Text Detail;
  // Paused: when it fetches again; Failing: when the failures began. 0 otherwise.
  std::time_t Since = 0;
  std::time_t Until = 0;
};

// Every call comes on the service's loop thread and must return at once: a watcher that talks
// to a slow peer queues (with a bound) and never makes a camera's tick wait.
class TCameraWatcher {
 public:
  virtual ~TCameraWatcher() = default;
  // A camera's series begins (also anew after a reload); directory ends with "/".
  virtual void Began(const Text& camera, const Text& directory) {
    (void)camera;
    (void)directory;
  }
  // A camera is no longer run: its files went at a reload.
  virtual void Gone(const Text& camera) { (void)camera; }
  // A job ended: stored, unchanged or failed, when it ended and how long it took.
  virtual void Fetched(const Text& camera, const TJobOutcome& outcome, std::time_t when,
                       int64_t ms) {
    (void)camera;
    (void)outcome;
    (void)when;
    (void)ms;
  }
  // Retention removed one of the camera's pictures.
  virtual void Removed(const Text& camera, const Text& path, int64_t bytes) {
    (void)camera;
    (void)path;
    (void)bytes;
  }
  // The camera's state changed (told once at Began as well, and for a camera not started).
  virtual void StateChanged(const Text& camera, const TCameraStateNote& note) {
    (void)camera;
    (void)note;
  }
};

// Tells every watcher in turn.
class TCameraWatchers final : public TCameraWatcher {
 public:
  void Add(TCameraWatcher* watcher) { watchers_.push_back(watcher); }
  bool Empty() const { return watchers_.empty(); }
  void Began(const Text& camera, const Text& directory) override {
    for (TCameraWatcher* w : watchers_) w->Began(camera, directory);
  }
  void Gone(const Text& camera) override {
    for (TCameraWatcher* w : watchers_) w->Gone(camera);
  }
  void Fetched(const Text& camera, const TJobOutcome& outcome, std::time_t when,
               int64_t ms) override {
    for (TCameraWatcher* w : watchers_) w->Fetched(camera, outcome, when, ms);
  }
  void Removed(const Text& camera, const Text& path, int64_t bytes) override {
    for (TCameraWatcher* w : watchers_) w->Removed(camera, path, bytes);
  }
  void StateChanged(const Text& camera, const TCameraStateNote& note) override {
    for (TCameraWatcher* w : watchers_) w->StateChanged(camera, note);
  }

 private:
  std::vector<TCameraWatcher*> watchers_;
};

}  // namespace tessaly
