// The program's own window icon.
#pragma once

#include <QIcon>

namespace tessaly {

// A 32 x 32 film strip with one exposed frame, drawn at start-up.
QIcon DrawWindowIcon();

}  // namespace tessaly
