// Loaded before the program under test: TESSALY_KILL_AT=CALL:WHEN:N kills the process with
// SIGKILL at the Nth call of linkat or unlinkat (the call that gives a picture its name, and
// the one that removes it), before the call or after it succeeded; as a watchdog, a
// stop time-out or the out-of-memory killer would.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct TKillPoint {
  char call[16] = {};
  char when[16] = {};
  int nth = 0;
  bool known = false;
};

const TKillPoint& Point() {
  static const TKillPoint point = [] {
    TKillPoint p;
    const char* wanted = std::getenv("TESSALY_KILL_AT");
    p.known =
        wanted != nullptr && std::sscanf(wanted, "%15[^:]:%15[^:]:%d", p.call, p.when, &p.nth) == 3;
    return p;
  }();
  return point;
}

std::atomic<int> succeeded{0};

// At a call of name: "before" kills at the first call after N-1 calls succeeded (a call that
// fails and is tried another way counts once), "after" once the Nth has succeeded.
void Maybe(const char* name, const char* when) {
  const TKillPoint& point = Point();
  if (!point.known || std::strcmp(point.call, name) != 0) return;
  const bool after = std::strcmp(when, "after") == 0;
  if (after) ++succeeded;
  if (std::strcmp(point.when, when) == 0 && succeeded == (after ? point.nth : point.nth - 1))
    kill(getpid(), SIGKILL);
}

}  // namespace

extern "C" int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  using TLink = int (*)(int, const char*, int, const char*, int);
  static const auto next = reinterpret_cast<TLink>(dlsym(RTLD_NEXT, "linkat"));
  Maybe("linkat", "before");
  const int result = next(from_dir, from, to_dir, to, flags);
  if (result == 0) Maybe("linkat", "after");
  return result;
}

extern "C" int unlinkat(int dir, const char* path, int flags) {
  using TUnlink = int (*)(int, const char*, int);
  static const auto next = reinterpret_cast<TUnlink>(dlsym(RTLD_NEXT, "unlinkat"));
  Maybe("unlinkat", "before");
  const int result = next(dir, path, flags);
  if (result == 0) Maybe("unlinkat", "after");
  return result;
}
