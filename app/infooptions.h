// The window program's --help and --version, answered before Qt or the socket layer start, so
// that they work without a display (manual pages are made from them at build time).
#pragma once

#include "base/text.h"

namespace tessaly {

// What to print when an argument after the program's name is "--help" or "--version" (the
// first of them decides); empty when none is, and the window opens.
Text InfoOptionAnswer(int argc, char** argv);

}  // namespace tessaly
