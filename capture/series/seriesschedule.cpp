#include "capture/series/seriesschedule.h"

namespace tessaly {
namespace {

class TSteadyClock final : public TSeriesClock {
 public:
  TTime Now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace

const TSeriesClock& SteadySeriesClock() {
  static const TSteadyClock clock;
  return clock;
}

bool TSeriesSchedule::Start(TTime now, std::optional<std::chrono::milliseconds> interval) {
  started_ = true;
  started_once_ = true;
  interval_ = interval;
  dropped_ = 0;
  hold_.reset();
  if (interval_ && interval_->count() > 0) next_tick_ = now + *interval_;
  first_pending_ = job_running_;
  return !job_running_;
}

void TSeriesSchedule::Stop() {
  started_ = false;
  first_pending_ = false;
}

bool TSeriesSchedule::JobEnded() {
  job_running_ = false;
  const bool first = first_pending_;
  first_pending_ = false;
  return first;
}

bool TSeriesSchedule::Tick() {
  if (Ready()) return true;
  ++dropped_;
  return false;
}

bool TSeriesSchedule::Due(TTime now) {
  if (!started_ || !interval_) return false;
  const bool held = hold_ && now < *hold_;
  if (!held) hold_.reset();
  if (interval_->count() == 0) return !held && Ready();
  if (now < next_tick_) return false;
  // Ticks keep their beat from Start; all but the last of those that fell unseen are dropped.
  while (next_tick_ <= now) {
    next_tick_ += *interval_;
    if (next_tick_ <= now) ++dropped_;
  }
  if (held) {
    ++dropped_;
    return false;
  }
  return Tick();
}

std::optional<TSeriesSchedule::TTime> TSeriesSchedule::NextWake() const {
  if (!started_ || !interval_) return std::nullopt;
  if (interval_->count() == 0) {
    if (job_running_) return std::nullopt;
    return hold_ ? *hold_ : TTime{};
  }
  if (!hold_ || *hold_ <= next_tick_) return next_tick_;
  // The first tick of the beat at or after the hold.
  const auto ticks = (*hold_ - next_tick_ + *interval_ - std::chrono::nanoseconds(1)) / *interval_;
  return next_tick_ + ticks * *interval_;
}

}  // namespace tessaly
