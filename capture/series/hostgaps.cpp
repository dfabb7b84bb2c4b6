#include "capture/series/hostgaps.h"

#include <algorithm>

namespace tessaly {

THostGaps& THostGaps::Process() {
  static THostGaps table;
  return table;
}

void THostGaps::Declare(const Text& key, std::chrono::milliseconds gap) {
  std::lock_guard lock(mutex_);
  TEntry& entry = entries_[key];
  entry.Gap = std::max(entry.Gap, gap);
}

std::optional<THostGaps::TTime> THostGaps::Claim(const Text& key, TTime now) {
  std::lock_guard lock(mutex_);
  TEntry& entry = entries_[key];
  if (entry.LastStart && now < *entry.LastStart + entry.Gap) return *entry.LastStart + entry.Gap;
  entry.LastStart = now;
  return std::nullopt;
}

}  // namespace tessaly
