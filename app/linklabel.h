// A label that reports the mouse entering and leaving it, and clicks, to plain callbacks.
#pragma once

#include <QLabel>
#include <functional>

namespace tessaly {

// Receives only the label that raised the event.
using TNotifyEvent = std::function<void(QObject* sender)>;

class TEL_Label : public QLabel {
  Q_OBJECT
 public:
  explicit TEL_Label(QWidget* parent);

  // Each runs when set; nothing else of the label's behaviour changes.
  TNotifyEvent OnMouseEnter;
  TNotifyEvent OnMouseLeave;
  TNotifyEvent OnClick;

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
};

}  // namespace tessaly
