// The desktop services that the main window uses and that block or leave the process: modal
// boxes, the directory picker, the bell and the browser. Tests put a recording stand-in here.
#pragma once

#include <QString>
#include <QUrl>
#include <optional>

class QWidget;

namespace tessaly {

class TDesktop {
 public:
  virtual ~TDesktop() = default;

  // Modal box with "OK" only and no icon; returns once dismissed. Lines end with CR LF.
  virtual void ShowMessage(QWidget* owner, const QString& title, const QString& text) = 0;
  // Modal box with a stop icon and "OK"; returns once dismissed.
  virtual void ShowError(QWidget* owner, const QString& title, const QString& text) = 0;
  // Modal directory chooser that starts in start and offers no directory creation; the chosen
  // directory on OK, nothing on Cancel.
  virtual std::optional<QString> PickDirectory(QWidget* owner, const QString& title,
                                               const QString& start) = 0;
  virtual void Beep() = 0;
  // Opens url with the desktop's default handler; a failure is not reported.
  virtual void OpenUrl(const QUrl& url) = 0;
};

}  // namespace tessaly
