// The main window: the six settings fields, Start and Stop, the caption and the homepage link.
// The series logic lives in the capture core; this class is its window.
#pragma once

#include <QWidget>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "app/desktop.h"
#include "base/text.h"
#include "capture/job/jobcontext.h"
#include "capture/window/scheduler.h"
#include "capture/window/windowport.h"

class QCheckBox;
class QComboBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace tessaly {

class TEL_Label;

inline constexpr char kApplicationTitle[] = "Tessaly";
// Shown by the link label and opened by a click on it.
inline constexpr char kHomepage[] = "www.tessaly.example";

struct TForm1Setup {
  // The work of every worker.
  TCaptureJob Job;
  // Where the settings file lives and where the defaults point; the executable's directory
  // when empty. Ends with "/".
  Text HomeDir;
  // Boxes, picker, bell and browser; the system's own when null.
  std::unique_ptr<TDesktop> Desktop;
  // The settings file; "tessaly.ini" in HomeDir when empty.
  Text IniFileName = Text();
};

class TForm1 : public QWidget, private TWindowPort {
  Q_OBJECT
 public:
  explicit TForm1(TForm1Setup setup);
  ~TForm1() override;

  const Text& IniFileName() const { return IniFileName_; }
  TScheduler& Scheduler() { return *scheduler_; }
  // Whether Timer1 is enabled (an interval of 0 keeps it enabled but silent).
  bool TimerEnabled() const { return timer_enabled_; }
  // True when the window closed while a job still ran and that job was left to end with the
  // process; the process should then end without running static destructors.
  bool JobAbandoned() const { return job_abandoned_; }
  // Closes as if the user had, for a request from outside (a signal, the session's end): no
  // box is shown from then on, their texts go to standard error, and the event loop ends.
  void CloseFromOutside();
  // Writes the settings file as closing would, and changes nothing else.
  void SaveSettingsNow();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void FormCreate();
  void FormClose();
  void Button_Selct_DirClick();
  void Label_httpClick(QObject* sender);
  void LinkMouseEnter(QObject* sender);
  void LinkMouseLeave(QObject* sender);
  void Edit2_TimerChange();
  void Edit_counterChange();
  bool Edit2_TimerKeyPress(const QKeyEvent& key);
  bool Edit_counterKeyPress(const QKeyEvent& key);
  void DigitsOnly(QLineEdit* field);
  QWidget* ControlWidget(TControl control) const;
  static void ReportOnStandardError(const Text& text);

  // The window as the capture core sees it.
  Text AddressText() const override;
  void SetAddressText(const Text& text) override;
  Text IntervalText() const override;
  void SetIntervalText(const Text& text) override;
  int UnitIndex() const override;
  void SetUnitIndex(int index) override;
  bool BellOn() const override;
  void SetBellOn(bool on) override;
  Text DirectoryText() const override;
  void SetDirectoryText(const Text& text) override;
  Text CounterText() const override;
  void SetCounterText(const Text& text) override;
  void SetControlEnabled(TControl control, bool enabled) override;
  void SetCaption(const Text& text) override;
  void ShowMessage(const Text& text) override;
  void ShowError(const Text& text) override;
  void Beep() override;
  bool StartTimer(int32_t interval_ms) override;
  void StopTimer() override;
  void PostToWindowThread(std::function<void()> fn) override;
  // Runs, on the window thread, what other threads have posted, in their order.
  Q_INVOKABLE void RunPosted();

  // Children, owned by the window.
  QLineEdit* Edit1 = nullptr;
  QPushButton* Button1_Start = nullptr;
  QPushButton* Button2_Stop = nullptr;
  QLineEdit* Edit2_Timer = nullptr;
  QComboBox* ComboBox1_Time = nullptr;
  QLineEdit* Edit3_Directory = nullptr;
  QPushButton* Button_Selct_Dir = nullptr;
  QCheckBox* CheckBox_bell = nullptr;
  QLineEdit* Edit_counter = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QTimer* Timer1 = nullptr;
  TEL_Label* Label_http = nullptr;

  std::unique_ptr<TDesktop> desktop_;
  Text home_dir_;
  Text IniFileName_;
  bool timer_enabled_ = false;
  bool placed_ = false;
  bool closed_ = false;
  bool job_abandoned_ = false;
  bool closing_from_outside_ = false;
  // Calls posted by other threads; Qt only carries the wake-up, so the hand-over of the calls
  // themselves goes through a mutex that the thread checker sees.
  std::mutex posted_mutex_;
  std::deque<std::function<void()>> posted_;
  // Last, so that it goes first: its shutdown cuts the worker off before any child goes.
  std::unique_ptr<TScheduler> scheduler_;
};

}  // namespace tessaly
