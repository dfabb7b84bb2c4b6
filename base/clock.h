// A monotonic millisecond clock with wrap-safe differences.
#pragma once

#include <cstdint>

namespace tessaly {

// Milliseconds of a monotonic clock, low 32 bits.
uint32_t TickCount();
// new - old as a signed 32-bit difference modulo 2^32: small and positive across a wrap.
int32_t TickSpan(uint32_t old_tick, uint32_t new_tick);
// Blocks the calling thread for the given milliseconds (0 yields).
void SleepMs(uint32_t milliseconds);

}  // namespace tessaly
