#include "app/mainwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstdio>

#include "app/digitfilter.h"
#include "app/linklabel.h"
#include "app/qtext.h"
#include "app/systemdesktop.h"
#include "app/windowicon.h"
#include "base/fileutil.h"
#include "capture/settings/settings.h"
#include "capture/settings/settingsplace.h"

namespace tessaly {

namespace {

constexpr int kClientWidth = 534;
constexpr int kClientHeight = 181;
// How long closing waits for a running job to end before leaving it to the process's end.
constexpr std::chrono::milliseconds kCloseGrace{800};
const QColor kLinkColor(0, 0, 255);
const QColor kLinkHoverColor(255, 32, 245);

// The designed face first, then sans faces of about its width; the style hint catches the rest.
QFont WindowFont() {
  QFont font;
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                    QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                    QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Sans Serif")});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  return font;
}

QFont BoldFont(QFont font) {
  font.setBold(true);
  return font;
}

template <typename Control>
Control* Place(QWidget* parent, const char* name, int left, int top, int width, int height) {
  auto* control = new Control(parent);
  control->setObjectName(QString::fromLatin1(name));
  control->setGeometry(left, top, width, height);
  return control;
}

void SetTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, color);
  widget->setPalette(palette);
}

}  // namespace

TForm1::TForm1(TForm1Setup setup)
    : QWidget(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                           Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      desktop_(setup.Desktop ? std::move(setup.Desktop) : std::make_unique<TSystemDesktop>()),
      home_dir_(setup.HomeDir.empty() ? ExecutableDirectory() : setup.HomeDir),
      IniFileName_(setup.IniFileName),
      scheduler_(
          std::make_unique<TScheduler>(static_cast<TWindowPort&>(*this), std::move(setup.Job))) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("TESSALY"));
  setWindowIcon(DrawWindowIcon());
  setFont(WindowFont());
  setFixedSize(kClientWidth, kClientHeight);
  CreateControls();
  FormCreate();
}

TForm1::~TForm1() {
  // Cut the worker off while every control still exists.
  scheduler_.reset();
}

void TForm1::CreateControls() {
  Edit1 = Place<QLineEdit>(this, "Edit1", 64, 16, 457, 21);
  Edit1->setText(QStringLiteral("http://"));
  Edit1->setToolTip(QStringLiteral("Enter HTTP address of an image in the Internet"));

  Button1_Start = Place<QPushButton>(this, "Button1_Start", 352, 56, 75, 25);
  Button1_Start->setText(QStringLiteral("Start"));
  Button1_Start->setToolTip(QStringLiteral("Start download"));
  connect(Button1_Start, &QPushButton::clicked, this, [this] { scheduler_->Button1_StartClick(); });

  Button2_Stop = Place<QPushButton>(this, "Button2_Stop", 448, 56, 75, 25);
  Button2_Stop->setText(QStringLiteral("Stop"));
  Button2_Stop->setToolTip(QStringLiteral("Stop download"));
  Button2_Stop->setEnabled(false);
  connect(Button2_Stop, &QPushButton::clicked, this, [this] { scheduler_->Button2_StopClick(); });

  Edit2_Timer = Place<QLineEdit>(this, "Edit2_Timer", 64, 56, 57, 21);
  Edit2_Timer->setText(QStringLiteral("10"));
  Edit2_Timer->setToolTip(QStringLiteral("Minimal Interval between downloads"));
  Edit2_Timer->installEventFilter(this);
  connect(Edit2_Timer, &QLineEdit::textChanged, this, [this] { Edit2_TimerChange(); });

  ComboBox1_Time = Place<QComboBox>(this, "ComboBox1_Time", 128, 56, 49, 22);
  ComboBox1_Time->setEditable(false);
  ComboBox1_Time->addItems({QStringLiteral("Sec"), QStringLiteral("Min")});
  ComboBox1_Time->setCurrentIndex(-1);
  ComboBox1_Time->setToolTip(QStringLiteral("Seconds or Minutes"));

  Edit3_Directory = Place<QLineEdit>(this, "Edit3_Directory", 64, 104, 417, 21);
  Edit3_Directory->setToolTip(QStringLiteral("Directory for saved files"));

  Button_Selct_Dir = Place<QPushButton>(this, "Button_Selct_Dir", 488, 102, 33, 25);
  Button_Selct_Dir->setText(QStringLiteral(">>"));
  Button_Selct_Dir->setToolTip(QStringLiteral("Select Directory"));
  connect(Button_Selct_Dir, &QPushButton::clicked, this, [this] { Button_Selct_DirClick(); });

  CheckBox_bell = Place<QCheckBox>(this, "CheckBox_bell", 208, 60, 49, 17);
  CheckBox_bell->setText(QStringLiteral("Bell"));
  CheckBox_bell->setFont(BoldFont(font()));
  CheckBox_bell->setToolTip(QStringLiteral("Ring the Bell every download"));

  Edit_counter = Place<QLineEdit>(this, "Edit_counter", 64, 144, 57, 21);
  Edit_counter->setToolTip(QStringLiteral("Initial value of  the counter"));
  Edit_counter->installEventFilter(this);
  connect(Edit_counter, &QLineEdit::textChanged, this, [this] { Edit_counterChange(); });

  const struct {
    QLabel** label;
    const char* name;
    int left, top;
    const char* caption;
  } labels[] = {
      {&Label1, "Label1", 16, 19, "URL:"},
      {&Label2, "Label2", 6, 58, "Interval:"},
      {&Label3, "Label3", 8, 106, "Save To:"},
      {&Label4, "Label4", 8, 146, "Counter:"},
  };
  for (const auto& row : labels) {
    *row.label = Place<QLabel>(this, row.name, row.left, row.top, 0, 13);
    (*row.label)->setText(QString::fromLatin1(row.caption));
    (*row.label)->setFont(BoldFont(font()));
    // Labels size themselves to their text, as designed; a wider face must not clip it.
    (*row.label)->adjustSize();
  }

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setTimerType(Qt::PreciseTimer);
  connect(Timer1, &QTimer::timeout, this, [this] { scheduler_->Timer1Timer(); });

  QWidget* tab_order[] = {Edit1,          Button1_Start,   Button2_Stop,     Edit2_Timer,
                          ComboBox1_Time, Edit3_Directory, Button_Selct_Dir, CheckBox_bell,
                          Edit_counter};
  for (size_t i = 1; i < std::size(tab_order); ++i)
    QWidget::setTabOrder(tab_order[i - 1], tab_order[i]);
}

void TForm1::FormCreate() {
  if (IniFileName_.empty()) IniFileName_ = IniFileNameIn(home_dir_);
  LoadOrDefaultSettings(*this, IniFileName_, home_dir_, scheduler_->LastDir());

  Label_http = new TEL_Label(this);
  Label_http->setObjectName(QStringLiteral("Label_http"));
  Label_http->setText(QString::fromLatin1(kHomepage));
  Label_http->OnMouseLeave = [this](QObject* sender) { LinkMouseLeave(sender); };
  Label_http->OnMouseEnter = [this](QObject* sender) { LinkMouseEnter(sender); };
  Label_http->OnClick = [this](QObject* sender) { Label_httpClick(sender); };
  QFont link_font = font();
  link_font.setUnderline(true);
  Label_http->setFont(link_font);
  SetTextColor(Label_http, kLinkColor);
  Label_http->move(408, 160);
  Label_http->adjustSize();
  Label_http->setToolTip(QStringLiteral("Visit the homepage"));

  setWindowTitle(QStringLiteral("TESSALY Version 1.01"));
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (placed_) return;
  placed_ = true;
  // The frame is known only once the window is shown; the whole window goes in the centre.
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
}

void TForm1::FormClose() {
  if (closed_) return;
  closed_ = true;
  // Before the save, whose error box would otherwise let ticks start jobs.
  StopTimer();
  SaveSettingsNow();
  job_abandoned_ = !scheduler_->Shutdown(kCloseGrace);
}

void TForm1::SaveSettingsNow() {
  MakeSettingsDirectory(IniFileName_);  // a failure shows as the save's own
  SaveSettings(*this, IniFileName_);
}

void TForm1::Button_Selct_DirClick() {
  Text& last_dir = scheduler_->LastDir();
  QString start = QDir::current().absoluteFilePath(ToQString(last_dir));
  if (!DirectoryExists(ToText(start))) start = QDir::currentPath();
  const std::optional<QString> picked =
      desktop_->PickDirectory(this, QStringLiteral("Select Directory"), start);
  if (!picked) return;
  last_dir = ToText(*picked);
  Edit3_Directory->setText(*picked);
}

void TForm1::Label_httpClick(QObject*) {
  desktop_->OpenUrl(QUrl::fromUserInput(QString::fromLatin1(kHomepage)));
}

void TForm1::LinkMouseEnter(QObject*) {
  SetTextColor(Label_http, kLinkHoverColor);
}

void TForm1::LinkMouseLeave(QObject*) {
  SetTextColor(Label_http, kLinkColor);
}

void TForm1::Edit2_TimerChange() {
  DigitsOnly(Edit2_Timer);
}

void TForm1::Edit_counterChange() {
  DigitsOnly(Edit_counter);
}

bool TForm1::Edit2_TimerKeyPress(const QKeyEvent& key) {
  return NumberFieldAccepts(key);
}

bool TForm1::Edit_counterKeyPress(const QKeyEvent& key) {
  return NumberFieldAccepts(key);
}

void TForm1::DigitsOnly(QLineEdit* field) {
  const Text text = ToText(field->text());
  const Text digits = KeepDigits(text);
  if (digits == text) return;
  // Keep the cursor behind the digits that stood before it.
  const Text before_cursor = ToText(field->text().left(field->cursorPosition()));
  field->setText(ToQString(digits));
  field->setCursorPosition(static_cast<int>(KeepDigits(before_cursor).size()));
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const auto& key = static_cast<const QKeyEvent&>(*event);
    if (watched == Edit2_Timer) return !Edit2_TimerKeyPress(key);
    if (watched == Edit_counter) return !Edit_counterKeyPress(key);
  }
  return QWidget::eventFilter(watched, event);
}

QWidget* TForm1::ControlWidget(TControl control) const {
  switch (control) {
    case TControl::Edit1:
      return Edit1;
    case TControl::Button1_Start:
      return Button1_Start;
    case TControl::Button2_Stop:
      return Button2_Stop;
    case TControl::Edit2_Timer:
      return Edit2_Timer;
    case TControl::ComboBox1_Time:
      return ComboBox1_Time;
    case TControl::Edit3_Directory:
      return Edit3_Directory;
    case TControl::Button_Selct_Dir:
      return Button_Selct_Dir;
    case TControl::Edit_counter:
      return Edit_counter;
  }
  return nullptr;
}

Text TForm1::AddressText() const {
  return ToText(Edit1->text());
}
void TForm1::SetAddressText(const Text& text) {
  Edit1->setText(ToQString(text));
}
Text TForm1::IntervalText() const {
  return ToText(Edit2_Timer->text());
}
void TForm1::SetIntervalText(const Text& text) {
  Edit2_Timer->setText(ToQString(text));
}
int TForm1::UnitIndex() const {
  return ComboBox1_Time->currentIndex();
}
void TForm1::SetUnitIndex(int index) {
  ComboBox1_Time->setCurrentIndex(index == 0 || index == 1 ? index : -1);
}
bool TForm1::BellOn() const {
  return CheckBox_bell->isChecked();
}
void TForm1::SetBellOn(bool on) {
  CheckBox_bell->setChecked(on);
}
Text TForm1::DirectoryText() const {
  return ToText(Edit3_Directory->text());
}
void TForm1::SetDirectoryText(const Text& text) {
  Edit3_Directory->setText(ToQString(text));
}
Text TForm1::CounterText() const {
  return ToText(Edit_counter->text());
}
void TForm1::SetCounterText(const Text& text) {
  Edit_counter->setText(ToQString(text));
}

void TForm1::SetControlEnabled(TControl control, bool enabled) {
  if (QWidget* widget = ControlWidget(control)) widget->setEnabled(enabled);
}

void TForm1::SetCaption(const Text& text) {
  setWindowTitle(TitleText(ToQString(text)));
}

void TForm1::ShowMessage(const Text& text) {
  if (closing_from_outside_) return ReportOnStandardError(text);
  desktop_->ShowMessage(this, QString::fromLatin1(kApplicationTitle), ToQString(text));
}

void TForm1::ShowError(const Text& text) {
  if (closing_from_outside_) return ReportOnStandardError(text);
  desktop_->ShowError(this, QString::fromLatin1(kApplicationTitle), ToQString(text));
}

void TForm1::CloseFromOutside() {
  closing_from_outside_ = true;
  // Boxes and the picker go first, so that their own event loops end too.
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (widget != this && widget->isWindow() && widget->isVisible()) widget->close();
  if (!closed_) close();
  // A window never shown gets no close event.
  FormClose();
  QCoreApplication::quit();
}

void TForm1::ReportOnStandardError(const Text& text) {
  // One line, so that a log keeps it together.
  Text line = Text(kApplicationTitle) + ": ";
  for (char c : text) {
    if (c == '\n') continue;
    line += c == '\r' ? ' ' : c;
  }
  line += '\n';
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
}

void TForm1::Beep() {
  desktop_->Beep();
}

bool TForm1::StartTimer(int32_t interval_ms) {
  timer_enabled_ = true;
  Timer1->setInterval(interval_ms);
  // Qt's timer fires continually at 0 ms; here 0 means that it never ticks.
  if (interval_ms == 0) {
    Timer1->stop();
    return true;
  }
  Timer1->start();
  return Timer1->isActive();
}

void TForm1::StopTimer() {
  timer_enabled_ = false;
  Timer1->stop();
}

void TForm1::PostToWindowThread(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    posted_.push_back(std::move(fn));
  }
  QMetaObject::invokeMethod(this, "RunPosted", Qt::QueuedConnection);
}

void TForm1::RunPosted() {
  std::deque<std::function<void()>> ready;
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    ready.swap(posted_);
  }
  for (std::function<void()>& fn : ready) fn();
}

}  // namespace tessaly
