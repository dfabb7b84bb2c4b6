#include "capture/standinjob.h"

namespace tessaly {

void StandInJob(TJobContext&) {}

}  // namespace tessaly
