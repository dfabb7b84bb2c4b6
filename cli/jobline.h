// The line that the console program prints for every job.
#pragma once

#include <cstdint>
#include <ctime>

#include "base/text.h"
#include "capture/job/joboutcome.h"

namespace tessaly {

// Local time to the second in ISO 8601 with the offset: "2026-12-08T14:03:05+01:00".
Text LocalTimeStamp(std::time_t when);
// stamp + " stored PATH BYTES MS" (+ " short of its declared length"), stamp + " unchanged" or
// stamp + " failed REASON".
Text JobLine(const Text& stamp, const TJobOutcome& outcome, int64_t ms);

}  // namespace tessaly
