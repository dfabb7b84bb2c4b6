#include "tests/app/windowharness.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>

#include "app/qtext.h"
#include "base/fileutil.h"

namespace tessaly {

void EnsureApplication() {
  if (QApplication::instance()) return;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "app_tests";
  static char* argv[] = {name, nullptr};
  static QApplication application(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

void PressKey(QWidget* target, int key, const QString& text, Qt::KeyboardModifiers modifiers) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
  QCoreApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
  QCoreApplication::sendEvent(target, &release);
}

void TypeText(QWidget* target, const QString& text) {
  for (QChar c : text) {
    int key = Qt::Key_unknown;
    if (c.isDigit())
      key = Qt::Key_0 + (c.unicode() - '0');
    else if (c.isLetter())
      key = Qt::Key_A + (c.toUpper().unicode() - 'A');
    else if (c == QLatin1Char(' '))
      key = Qt::Key_Space;
    else if (c == QLatin1Char('-'))
      key = Qt::Key_Minus;
    PressKey(target, key, QString(c));
  }
}

WindowTest::~WindowTest() {
  gate_.Open();
  form_.reset();
}

TForm1& WindowTest::Form() {
  if (!form_) {
    TForm1Setup setup;
    setup.Job = gate_.Job();
    setup.HomeDir = Home();
    setup.Desktop = std::make_unique<TRecordingDesktop>(desktop_);
    form_ = std::make_unique<TForm1>(std::move(setup));
  }
  return *form_;
}

void WindowTest::WriteIni(const Text& content) {
  ASSERT_EQ(form_, nullptr) << "the window reads its settings only when it is made";
  ASSERT_FALSE(home_.WriteFile("tessaly.ini", content).empty());
}

void WindowTest::Click(const char* button) {
  if (auto* widget = Get<QAbstractButton>(button)) widget->click();
}

}  // namespace tessaly
