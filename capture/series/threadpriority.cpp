#include "capture/series/threadpriority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace tessaly {

namespace {
// The nice value belongs to each thread on Linux, addressed by its thread id.
id_t ThisThread() {
  return static_cast<id_t>(gettid());
}
}  // namespace

int CurrentThreadNice() {
  errno = 0;
  return getpriority(PRIO_PROCESS, ThisThread());
}

bool LowerCurrentThreadPriority() {
  errno = 0;
  const int nice_value = getpriority(PRIO_PROCESS, ThisThread());
  if (errno != 0) return false;
  if (nice_value >= 19) return true;
  return setpriority(PRIO_PROCESS, ThisThread(), nice_value + 1) == 0;
}

}  // namespace tessaly
