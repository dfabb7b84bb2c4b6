// Drives the real main window headless: a recording desktop instead of boxes and browser,
// a scratch home for the settings file, a gated job, and event helpers.
#pragma once

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/desktop.h"
#include "app/mainwindow.h"
#include "support/childprocess.h"
#include "tests/capture/jobgate.h"

namespace tessaly {

// Makes the one QApplication of the test process (offscreen when nothing else is chosen).
void EnsureApplication();

// Runs the event loop until done() holds; false when the limit passes first.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(5));

// What the window asked of the desktop; shared with the window's TRecordingDesktop.
struct TDesktopLog {
  struct TBox {
    QString title;
    QString text;
  };
  std::vector<TBox> messages;
  std::vector<TBox> errors;
  std::vector<QString> picker_titles;
  std::vector<QString> picker_starts;
  std::optional<QString> picker_answer;  // what the picker returns
  int beeps = 0;
  std::vector<QUrl> opened;
};

class TRecordingDesktop final : public TDesktop {
 public:
  explicit TRecordingDesktop(std::shared_ptr<TDesktopLog> log) : log_(std::move(log)) {}
  void ShowMessage(QWidget*, const QString& title, const QString& text) override {
    log_->messages.push_back({title, text});
  }
  void ShowError(QWidget*, const QString& title, const QString& text) override {
    log_->errors.push_back({title, text});
  }
  std::optional<QString> PickDirectory(QWidget*, const QString& title,
                                       const QString& start) override {
    log_->picker_titles.push_back(title);
    log_->picker_starts.push_back(start);
    return log_->picker_answer;
  }
  void Beep() override { ++log_->beeps; }
  void OpenUrl(const QUrl& url) override { log_->opened.push_back(url); }

 private:
  std::shared_ptr<TDesktopLog> log_;
};

// Sends a key press and release as typing would; the text is what the key types.
void PressKey(QWidget* target, int key, const QString& text,
              Qt::KeyboardModifiers modifiers = Qt::NoModifier);
// Types each character of text as its own key press.
void TypeText(QWidget* target, const QString& text);

class WindowTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureApplication(); }
  ~WindowTest() override;

  // The window, made on first use from the settings file written so far.
  TForm1& Form();
  // Writes the settings file beside the window's home before the window exists.
  void WriteIni(const Text& content);
  Text Home() const { return home_.Path() + "/"; }

  template <typename Widget>
  Widget* Get(const char* name) {
    auto* widget = Form().findChild<Widget*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  QLineEdit* Field(const char* name) { return Get<QLineEdit>(name); }
  void Click(const char* button);

  ScratchDir home_;
  TJobGate gate_;
  std::shared_ptr<TDesktopLog> desktop_ = std::make_shared<TDesktopLog>();
  std::unique_ptr<TForm1> form_;
};

}  // namespace tessaly
