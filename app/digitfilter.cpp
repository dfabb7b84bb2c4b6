#include "app/digitfilter.h"

#include <QKeyEvent>

namespace tessaly {

Text KeepDigits(const Text& text) {
  Text digits;
  for (char c : text)
    if (c >= '0' && c <= '9') digits += c;
  return digits;
}

bool NumberFieldAccepts(const QKeyEvent& event) {
  switch (event.key()) {
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      return true;
    default:
      break;
  }
  // Shortcuts such as paste are edit commands, not typed characters; what they bring in goes
  // through the change filter.
  if (event.modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) return true;
  const QString typed = event.text();
  if (typed.isEmpty()) return true;
  for (QChar c : typed)
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
  return true;
}

}  // namespace tessaly
