#include "base/clock.h"

#include <chrono>
#include <thread>

namespace tessaly {

uint32_t TickCount() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

int32_t TickSpan(uint32_t old_tick, uint32_t new_tick) {
  return static_cast<int32_t>(new_tick - old_tick);
}

void SleepMs(uint32_t milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace tessaly
