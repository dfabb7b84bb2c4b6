#include "app/linklabel.h"

#include <QMouseEvent>

namespace tessaly {

TEL_Label::TEL_Label(QWidget* parent) : QLabel(parent) {}

void TEL_Label::enterEvent(QEnterEvent* event) {
  QLabel::enterEvent(event);
  if (OnMouseEnter) OnMouseEnter(this);
}

void TEL_Label::leaveEvent(QEvent* event) {
  QLabel::leaveEvent(event);
  if (OnMouseLeave) OnMouseLeave(this);
}

void TEL_Label::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (OnClick && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
    OnClick(this);
}

}  // namespace tessaly
