// Renders the main window, as it looks right after start-up with default settings, into a PNG:
// tessaly_screenshot FILE.png
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>

#include "app/desktop.h"
#include "app/mainwindow.h"
#include "app/qtext.h"
#include "capture/job/fetchjob.h"

namespace {

// Nothing here may wait for a person.
class TSilentDesktop final : public tessaly::TDesktop {
 public:
  void ShowMessage(QWidget*, const QString&, const QString&) override {}
  void ShowError(QWidget*, const QString&, const QString&) override {}
  std::optional<QString> PickDirectory(QWidget*, const QString&, const QString&) override {
    return std::nullopt;
  }
  void Beep() override {}
  void OpenUrl(const QUrl&) override {}
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(tessaly::kApplicationTitle));
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE.png\n", argv[0]);
    return 2;
  }
  // A fresh home keeps the user's settings out of the picture and unchanged.
  QTemporaryDir home;
  if (!home.isValid()) return 1;
  tessaly::TForm1Setup setup;
  setup.Job = tessaly::FetchImageJob;
  setup.HomeDir = tessaly::ToText(QDir(home.path()).absolutePath() + QLatin1Char('/'));
  setup.Desktop = std::make_unique<TSilentDesktop>();
  tessaly::TForm1 form(std::move(setup));
  form.show();
  QApplication::processEvents();
  const QPixmap picture = form.grab();
  if (!picture.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  std::printf("%s: %dx%d\n", argv[1], picture.width(), picture.height());
  return 0;
}
