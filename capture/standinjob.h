// Stand-in for the image fetch job until that job is plugged into the window.
#pragma once

#include "capture/jobcontext.h"

namespace tessaly {

// Fetches nothing and stores nothing: a series runs its ticks and its counter, and no file
// appears. This is where the window is given its real job.
void StandInJob(TJobContext& job);

}  // namespace tessaly
