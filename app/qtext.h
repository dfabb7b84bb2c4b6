// Conversions between the program's byte texts and Qt's strings, made only at the window's edge.
#pragma once

#include <QByteArray>
#include <QString>

#include "base/text.h"

namespace tessaly {

inline QString ToQString(const Text& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline Text ToText(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return Text(bytes.constData(), static_cast<size_t>(bytes.size()));
}

}  // namespace tessaly
