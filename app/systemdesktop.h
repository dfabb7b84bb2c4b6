// The real desktop services: Qt's message boxes, file dialog, beep and URL opener.
#pragma once

#include "app/desktop.h"

namespace tessaly {

class TSystemDesktop final : public TDesktop {
 public:
  void ShowMessage(QWidget* owner, const QString& title, const QString& text) override;
  void ShowError(QWidget* owner, const QString& title, const QString& text) override;
  std::optional<QString> PickDirectory(QWidget* owner, const QString& title,
                                       const QString& start) override;
  void Beep() override;
  void OpenUrl(const QUrl& url) override;
};

}  // namespace tessaly
