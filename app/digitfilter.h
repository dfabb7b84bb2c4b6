// The input rules of the two number fields: decimal digits only, possibly none.
#pragma once

#include "base/text.h"

class QKeyEvent;

namespace tessaly {

// The digits "0" to "9" of text, in their order; everything else dropped.
Text KeepDigits(const Text& text);
// Whether a key press may reach a number field: digits and backspace; keys that type no
// character (cursor, delete, focus moves, shortcuts) pass as well.
bool NumberFieldAccepts(const QKeyEvent& event);

}  // namespace tessaly
