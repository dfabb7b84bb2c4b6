#include "watch/statusboard.h"

#include <algorithm>

namespace tessaly {

TCameraCard& TStatusBoard::CardOf(const Text& camera) {
  TCameraCard& card = cards_[camera];
  if (card.Name.empty()) card.Name = camera;
  return card;
}

void TStatusBoard::Began(const Text& camera, const Text& directory) {
  (void)directory;
  std::lock_guard<std::mutex> lock(mutex_);
  CardOf(camera);
}

void TStatusBoard::Gone(const Text& camera) {
  std::lock_guard<std::mutex> lock(mutex_);
  cards_.erase(camera);
}

void TStatusBoard::Fetched(const Text& camera, const TJobOutcome& outcome, std::time_t when,
                           int64_t ms) {
  const double seconds = static_cast<double>(std::max<int64_t>(ms, 0)) / 1000.0;
  const size_t bucket =
      static_cast<size_t>(std::lower_bound(kFetchBuckets.begin(), kFetchBuckets.end(), seconds) -
                          kFetchBuckets.begin());
  std::lock_guard<std::mutex> lock(mutex_);
  ++totals_.Buckets[bucket];
  totals_.DurationSum += seconds;
  ++totals_.Fetches;
  TCameraCard& card = CardOf(camera);
  switch (outcome.Kind) {
    case TJobOutcome::TKind::Stored:
      ++card.Stored;
      card.StoredBytes += outcome.Bytes;
      card.LastPath = outcome.Path;
      card.LastStored = when;
      card.LastBytes = outcome.Bytes;
      ++card.PictureVersion;
      return;
    case TJobOutcome::TKind::Unchanged:
      ++card.Unchanged;
      return;
    case TJobOutcome::TKind::FetchFailed:
    case TJobOutcome::TKind::SaveFailed:
      ++(outcome.Kind == TJobOutcome::TKind::FetchFailed ? card.FetchFailed : card.SaveFailed);
      card.LastFailure = outcome.Reason;
      card.LastFailureAt = when;
      return;
  }
}

void TStatusBoard::Removed(const Text& camera, const Text& path, int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  TCameraCard& card = CardOf(camera);
  ++card.Removed;
  card.RemovedBytes += bytes;
  // The page must not offer a picture that is no longer there.
  if (path == card.LastPath) card.LastPath.clear();
}

void TStatusBoard::StateChanged(const Text& camera, const TCameraStateNote& note) {
  const std::time_t now = std::time(nullptr);
  std::lock_guard<std::mutex> lock(mutex_);
  TCameraCard& card = CardOf(camera);
  if (card.StateSince == 0 || card.Note.State != note.State) card.StateSince = now;
  if (note.Since != 0) card.StateSince = note.Since;
  card.Note = note;
}

TBoardView TStatusBoard::View() const {
  TBoardView view;
  std::lock_guard<std::mutex> lock(mutex_);
  view = totals_;
  view.Cards.reserve(cards_.size());
  for (const auto& [name, card] : cards_) view.Cards.push_back(card);
  return view;
}

bool TStatusBoard::Card(const Text& camera, TCameraCard& card) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = cards_.find(camera);
  if (found == cards_.end()) return false;
  card = found->second;
  return true;
}

}  // namespace tessaly
