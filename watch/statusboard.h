// The cameras service's board: what the status page, the metrics and the health check show of
// every camera, kept in memory as the watcher calls come.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <vector>

#include "watch/camerawatch.h"

namespace tessaly {

// The upper bounds (seconds) of the fetch duration histogram's buckets; +Inf follows.
inline constexpr std::array<double, 9> kFetchBuckets = {0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};

// One camera as the board knows it.
struct TCameraCard {
  Text Name;
  TCameraStateNote Note;
  // When the board was told of the state it is in now (a Failing note's own Since wins).
  std::time_t StateSince = 0;
  // The last picture stored since the process began: its file as the series wrote it, when and
  // how large. Empty path: none yet.
  Text LastPath;
  std::time_t LastStored = 0;
  int64_t LastBytes = 0;
  // Grows at every stored picture, so that a page asks for a picture only when it changed.
  int64_t PictureVersion = 0;
  Text LastFailure;
  std::time_t LastFailureAt = 0;
  int64_t Stored = 0, Unchanged = 0, FetchFailed = 0, SaveFailed = 0;
  int64_t StoredBytes = 0;
  int64_t Removed = 0, RemovedBytes = 0;
};

// All of the board at one instant: the cards in the order of their names, and the fetch
// durations of every camera.
struct TBoardView {
  std::vector<TCameraCard> Cards;
  std::array<int64_t, kFetchBuckets.size() + 1> Buckets{};  // per bucket, not cumulative
  double DurationSum = 0;
  int64_t Fetches = 0;
};

// Every call returns at once: it only changes the cards under a mutex that View holds for the
// time of a copy. Thread-safe.
class TStatusBoard final : public TCameraWatcher {
 public:
  void Began(const Text& camera, const Text& directory) override;
  void Gone(const Text& camera) override;
  void Fetched(const Text& camera, const TJobOutcome& outcome, std::time_t when,
               int64_t ms) override;
  void Removed(const Text& camera, const Text& path, int64_t bytes) override;
  void StateChanged(const Text& camera, const TCameraStateNote& note) override;

  // A copy of every card (or of the one named: empty when unknown).
  TBoardView View() const;
  bool Card(const Text& camera, TCameraCard& card) const;

 private:
  TCameraCard& CardOf(const Text& camera);

  mutable std::mutex mutex_;
  std::map<Text, TCameraCard> cards_;
  TBoardView totals_;  // its Cards stay empty
};

}  // namespace tessaly
