// Drives the real main window headless: a recording desktop instead of boxes and browser, a
// scratch home for the settings file, a gated job, and event helpers.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>
#include <chrono>
#include <memory>

#include "app/desktop.h"
#include "app/mainwindow.h"
#include "capture/settings/settings.h"
#include "support/childprocess.h"
#include "tests/capture/window/jobgate.h"

namespace tessaly {

// What the window asked of the desktop.
struct TDesktopLog {
  std::vector<QString> messages, errors, titles, picker_starts;
  std::optional<QString> picker_answer;  // what the picker returns
  int beeps = 0;
  std::vector<QUrl> opened;
};

class TRecordingDesktop final : public TDesktop {
 public:
  explicit TRecordingDesktop(std::shared_ptr<TDesktopLog> log) : log_(std::move(log)) {}
  void ShowMessage(QWidget*, const QString& title, const QString& text) override {
    log_->titles.push_back(title), log_->messages.push_back(text);
  }
  void ShowError(QWidget*, const QString& title, const QString& text) override {
    log_->titles.push_back(title), log_->errors.push_back(text);
  }
  std::optional<QString> PickDirectory(QWidget*, const QString& title,
                                       const QString& start) override {
    log_->titles.push_back(title), log_->picker_starts.push_back(start);
    return log_->picker_answer;
  }
  void Beep() override { ++log_->beeps; }
  void OpenUrl(const QUrl& url) override { log_->opened.push_back(url); }

 private:
  std::shared_ptr<TDesktopLog> log_;
};

// Makes the test process's one QApplication; it is torn down after the last test.
void EnsureApplication();

// Runs the event loop until done() holds; false once the limit has passed.
template <typename Done>
bool WaitFor(Done done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// A key press and release as typing sends them; text is what the key types.
inline void PressKey(QWidget* target, int key, const QString& text,
                     Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
  QCoreApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
  QCoreApplication::sendEvent(target, &release);
}

// Types each character of text as its own key.
inline void TypeText(QWidget* target, const QString& text) {
  for (QChar c : text) {
    const int key = c.isDigit()    ? Qt::Key_0 + c.digitValue()
                    : c.isLetter() ? Qt::Key_A + (c.toUpper().unicode() - 'A')
                                   : c.unicode();  // punctuation keys share their code
    PressKey(target, key, QString(c));
  }
}

class WindowTest : public testing::Test {
 public:
  static void SetUpTestSuite() { EnsureApplication(); }
  ~WindowTest() override {
    gate_.Open();
    form_.reset();
  }

  // The window, made on first use from the settings file written so far.
  TForm1& Form() {
    if (!form_) {
      TForm1Setup setup{gate_.Job(), Home(), std::make_unique<TRecordingDesktop>(desktop_)};
      form_ = std::make_unique<TForm1>(std::move(setup));
    }
    return *form_;
  }
  Text Home() const { return home_.Path() + "/"; }
  QString QHome() const { return QString::fromUtf8(Home()); }
  template <typename Widget = QWidget>
  Widget* Get(const char* name) {
    return Form().findChild<Widget*>(QString::fromLatin1(name));
  }
  QLineEdit* Field(const char* name) { return Get<QLineEdit>(name); }
  QTimer* Timer() { return Form().findChild<QTimer*>(QStringLiteral("Timer1")); }
  void Click(const char* button) { Get<QAbstractButton>(button)->click(); }
  bool JobDone() {
    return WaitFor([&] { return !Form().Scheduler().JobRunning(); });
  }

  ScratchDir home_;
  TJobGate gate_;
  std::shared_ptr<TDesktopLog> desktop_ = std::make_shared<TDesktopLog>();
  std::unique_ptr<TForm1> form_;
};

}  // namespace tessaly
