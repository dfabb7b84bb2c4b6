// Scheduling priority of the calling thread.
#pragma once

namespace tessaly {

// Moves the calling thread one nice step below its present priority (no further than the
// lowest). False when the system refused.
bool LowerCurrentThreadPriority();
// The calling thread's nice value.
int CurrentThreadNice();

}  // namespace tessaly
