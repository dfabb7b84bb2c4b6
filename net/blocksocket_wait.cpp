// TBlockSocket: readiness waits, the stop test and the bandwidth limiter.
#include <algorithm>
#include <cstdint>

#include "base/clock.h"
#include "net/blocksocket.h"

namespace tessaly {

namespace {

// The limiter sleeps in steps this long so that StopFlag is noticed within a quarter second.
constexpr int kThrottleStepMs = 250;
// Without a heartbeat rate, the waits for writing still wake this often to look at StopFlag.
constexpr int kStopSliceMs = 100;

}  // namespace

bool TBlockSocket::PollHandle(bool for_writing, int timeout) {
  if (read_set_.fd_count == 0) {
    // Waiting on no socket at all would just sleep (or hang with no limit).
    ClearError();
    socket_error_ = WSAENOTSOCK;
    return false;
  }
  if (timeout < -1) timeout = 0;
  TFdSet set = read_set_;
  int ready = for_writing ? SelectSockets(handle_ + 1, nullptr, &set, nullptr, timeout)
                          : SelectSockets(handle_ + 1, &set, nullptr, nullptr, timeout);
  if (CheckResult(ready) != 0) ready = 0;
  return ready > 0;
}

bool TBlockSocket::PollReadable(int timeout) {
  return PollHandle(false, timeout);
}

bool TBlockSocket::WaitReadable(int timeout) {
  wait_stopped_ = false;
  int slices = 0;
  int first = timeout;
  if (heartbeat_rate_ != 0 && timeout != -1) {
    slices = timeout / heartbeat_rate_;
    first = timeout % heartbeat_rate_;
  }
  bool ready = PollReadable(first);
  if (!ready && slices >= 0) {
    for (int i = 0; i <= slices; ++i) {
      NotifyHeartbeat();
      if (stop_flag_.exchange(false)) {
        ready = false;
        wait_stopped_ = true;
        break;
      }
      ready = PollReadable(heartbeat_rate_);
      if (ready) break;
    }
  }
  ReportError();
  if (ready) NotifyStatus(SR_Readable, "");
  return ready;
}

bool TBlockSocket::HasInput(int timeout) {
  return AheadSize() > 0 || WaitReadable(timeout);
}

bool TBlockSocket::WaitWritable(int timeout) {
  const bool ready = PollHandle(true, timeout);
  ReportError();
  if (ready) NotifyStatus(SR_Writable, "");
  return ready;
}

bool TBlockSocket::WaitWritableSliced(int timeout) {
  const int slice = heartbeat_rate_ > 0 ? heartbeat_rate_ : kStopSliceMs;
  const uint32_t start = TickCount();
  for (;;) {
    int wait = slice;
    if (timeout != -1) {
      const int left = std::max(timeout, 0) - std::max(TickSpan(start, TickCount()), 0);
      if (left <= 0) {
        ClearError();
        socket_error_ = ErrTimedOut;
        return false;
      }
      wait = std::min(wait, left);
    }
    if (PollHandle(true, wait)) return true;
    if (socket_error_ != 0) return false;
    NotifyHeartbeat();
    if (stop_flag_.exchange(false)) {
      socket_error_ = ErrStopped;
      return false;
    }
  }
}

void TBlockSocket::NotePeerEnd(TPeerEnd end) {
  if (peer_end_ == TPeerEnd::Open) peer_end_ = end;
}

bool TBlockSocket::CheckStop() {
  if (!TakeStop()) return false;
  ReportError();
  return true;
}

bool TBlockSocket::TakeStop() {
  NotifyHeartbeat();
  if (!stop_flag_.exchange(false)) return false;
  socket_error_ = ErrStopped;
  return true;
}

void TBlockSocket::Throttle(int64_t length, int limit, uint32_t& next_tick) {
  if (stop_flag_.load() || limit <= 0) return;
  if (next_tick != 0) {
    const int32_t wait = TickSpan(TickCount(), next_tick);
    if (wait > 0) {
      NotifyStatus(SR_Throttled, IntToText(wait));
      SleepMs(static_cast<uint32_t>(wait % kThrottleStepMs));
      for (int32_t step = 0; step < wait / kThrottleStepMs; ++step) {
        if (stop_flag_.load()) break;
        SleepMs(kThrottleStepMs);
      }
    }
  }
  // Charge this piece to the next one; kept below half the tick range so that the wrap-safe
  // difference above stays meaningful.
  const int64_t charge =
      std::min<int64_t>(std::max<int64_t>(length, 0) * 1000 / limit, INT32_MAX / 2);
  next_tick = TickCount() + static_cast<uint32_t>(charge);
  if (next_tick == 0) next_tick = 1;  // 0 means "nothing charged yet"
}

}  // namespace tessaly
