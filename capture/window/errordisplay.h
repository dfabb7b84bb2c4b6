// The text that the error display shows for an error that ended a window event or a tick.
#pragma once

#include "base/text.h"

namespace tessaly {

// message with "." appended when it is not empty and its last byte lies above "." (46).
Text ErrorDisplayText(const Text& message);

}  // namespace tessaly
