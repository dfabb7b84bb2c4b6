// The program's own window icon.
#pragma once

#include <QIcon>
#include <QImage>

namespace tessaly {

// A 32 x 32 film strip with one exposed frame, drawn at start-up.
QIcon DrawWindowIcon();
// The same drawing on a square of size pixels (the installed icons).
QImage DrawWindowIconImage(int size);

}  // namespace tessaly
