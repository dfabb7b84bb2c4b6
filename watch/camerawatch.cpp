#include "watch/camerawatch.h"

namespace tessaly {

const char* CameraStateName(TCameraState state) {
  switch (state) {
    case TCameraState::Running:
      return "running";
    case TCameraState::Failing:
      return "failing";
    case TCameraState::Frozen:
      return "frozen";
    case TCameraState::Paused:
      return "paused";
    case TCameraState::NotStarted:
      return "not started";
    case TCameraState::Ended:
      return "ended";
  }
  return "running";
}

}  // namespace tessaly
