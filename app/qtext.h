// Conversions between the program's byte texts and Qt's strings, made only at the window's edge.
// Valid UTF-8 shows as its characters; every byte that is not part of valid UTF-8 travels as
// the lone surrogate U+DC00 plus the byte, so ToText(ToQString(t)) == t for every text t.
#pragma once

#include <QString>

#include "base/text.h"

namespace tessaly {

QString ToQString(const Text& text);
Text ToText(const QString& text);

// text as a window title: the toolkit takes "[*]" as a placeholder and "[*][*]" as one "[*]".
QString TitleText(const QString& text);

}  // namespace tessaly
