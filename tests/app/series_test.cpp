#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTimer>
#include <chrono>

#include "app/qtext.h"
#include "base/fileutil.h"
#include "capture/naming.h"
#include "capture/safefile.h"
#include "tests/app/windowharness.h"

namespace tessaly {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class SeriesTest : public WindowTest {
 protected:
  QTimer* Timer() { return Form().findChild<QTimer*>(QStringLiteral("Timer1")); }
  bool JobDone() {
    return WaitFor([&] { return !Form().Scheduler().JobRunning(); });
  }
  void StartAndWaitForJob() {
    const size_t before = gate_.Started();
    Click("Button1_Start");
    ASSERT_TRUE(gate_.WaitStarted(before + 1));
  }
  // Whether each control shows the look of a running series (or of an idle window).
  void ExpectControls(bool running) {
    EXPECT_EQ(Get<QWidget>("Button1_Start")->isEnabled(), !running);
    EXPECT_EQ(Get<QWidget>("Button2_Stop")->isEnabled(), running);
    for (const char* field : {"Edit1", "Edit2_Timer", "ComboBox1_Time", "Edit3_Directory",
                              "Button_Selct_Dir", "Edit_counter"})
      EXPECT_EQ(Get<QWidget>(field)->isEnabled(), !running) << field;
    EXPECT_TRUE(Get<QWidget>("CheckBox_bell")->isEnabled());
    EXPECT_TRUE(Get<QWidget>("Label_http")->isEnabled());
  }
};

struct TStateRow {
  const char* state;
  void (*drive)(SeriesTest&);
  bool running_look;
  bool timer;
  bool job;
};

class WindowStateTest : public SeriesTest, public testing::WithParamInterface<TStateRow> {
 public:
  void Busy() { StartAndWaitForJob(); }
  void Waiting() {
    Busy();
    gate_.Release();
    ASSERT_TRUE(JobDone());
  }
  void Draining() {
    Busy();
    Click("Button2_Stop");
  }
  void Stalled() {
    Field("Edit_counter")->clear();
    Click("Button1_Start");
  }
  void IdleAgain() {
    Waiting();
    Click("Button2_Stop");
  }
};

TEST_P(WindowStateTest, ControlsAndTimerFollowTheState) {
  GetParam().drive(*this);
  if (HasFatalFailure()) return;
  ExpectControls(GetParam().running_look);
  EXPECT_EQ(Timer()->isActive(), GetParam().timer);
  EXPECT_EQ(Form().TimerEnabled(), GetParam().timer);
  EXPECT_EQ(Form().Scheduler().JobRunning(), GetParam().job);
}

INSTANTIATE_TEST_SUITE_P(
    States, WindowStateTest,
    testing::Values(
        TStateRow{"Idle", [](SeriesTest&) {}, false, false, false},
        TStateRow{"Busy", [](SeriesTest& t) { static_cast<WindowStateTest&>(t).Busy(); }, true,
                  true, true},
        TStateRow{"Waiting", [](SeriesTest& t) { static_cast<WindowStateTest&>(t).Waiting(); },
                  true, true, false},
        TStateRow{"Draining",
                  [](SeriesTest& t) { static_cast<WindowStateTest&>(t).Draining(); }, false, false,
                  true},
        TStateRow{"Stalled", [](SeriesTest& t) { static_cast<WindowStateTest&>(t).Stalled(); },
                  true, false, false},
        TStateRow{"IdleAgain",
                  [](SeriesTest& t) { static_cast<WindowStateTest&>(t).IdleAgain(); }, false,
                  false, false}),
    [](const auto& info) { return std::string(info.param.state); });

TEST_F(SeriesTest, EmptyCounterShowsTheConversionErrorWithAStopIcon) {
  Field("Edit_counter")->clear();
  Click("Button1_Start");
  ASSERT_EQ(desktop_->errors.size(), 1u);
  EXPECT_EQ(desktop_->errors[0].title, QStringLiteral("Tessaly"));
  EXPECT_EQ(desktop_->errors[0].text, QStringLiteral("'' is not a valid integer value."));
  EXPECT_TRUE(desktop_->messages.empty());
  Click("Button2_Stop");
  ExpectControls(false);
}

TEST_F(SeriesTest, MissingDirectoryShowsTheMessageBox) {
  const QString missing = QString::fromUtf8(Home()) + QStringLiteral("nowhere");
  Field("Edit3_Directory")->setText(missing);
  Click("Button1_Start");
  ASSERT_EQ(desktop_->messages.size(), 1u);
  EXPECT_EQ(desktop_->messages[0].title, QStringLiteral("Tessaly"));
  EXPECT_EQ(desktop_->messages[0].text,
            QStringLiteral("Error - Directory\r\n") + missing + QStringLiteral("\r\nDo Not Exist"));
  ExpectControls(false);
  EXPECT_FALSE(Timer()->isActive());
}

struct TIntervalRow {
  const char* text;
  int unit;
  int interval_ms;  // -1: refused
};

class WindowIntervalTest : public SeriesTest, public testing::WithParamInterface<TIntervalRow> {};

TEST_P(WindowIntervalTest, TimerRunsAtTheIntervalAskedFor) {
  Field("Edit2_Timer")->setText(QString::fromLatin1(GetParam().text));
  Get<QComboBox>("ComboBox1_Time")->setCurrentIndex(GetParam().unit);
  Click("Button1_Start");
  if (GetParam().interval_ms < 0) {
    ASSERT_EQ(desktop_->errors.size(), 1u);
    EXPECT_FALSE(Timer()->isActive());
    EXPECT_EQ(gate_.Started(), 0u);
    return;
  }
  EXPECT_TRUE(desktop_->errors.empty());
  EXPECT_EQ(Timer()->interval(), GetParam().interval_ms);
  EXPECT_TRUE(Form().TimerEnabled());
  // A zero interval never ticks: the timer stays enabled but is not running.
  EXPECT_EQ(Timer()->isActive(), GetParam().interval_ms > 0);
  EXPECT_TRUE(gate_.WaitStarted(1));
}

INSTANTIATE_TEST_SUITE_P(Units, WindowIntervalTest,
                         testing::Values(TIntervalRow{"5", 1, 300000},
                                         TIntervalRow{"10", 0, 10000},
                                         TIntervalRow{"", 0, 10000}, TIntervalRow{"0", 0, 0},
                                         TIntervalRow{"3", -1, 180000},
                                         TIntervalRow{"5000000", 0, -1},
                                         TIntervalRow{"40000", 1, -1}));

TEST_F(SeriesTest, EmptyIntervalFieldShowsTenAfterStart) {
  Field("Edit2_Timer")->clear();
  Click("Button1_Start");
  EXPECT_EQ(Field("Edit2_Timer")->text(), QStringLiteral("10"));
}

TEST_F(SeriesTest, DirectoryFieldGetsItsFinalDelimiter) {
  Field("Edit3_Directory")->setText(QString::fromUtf8(home_.Path()));
  StartAndWaitForJob();
  EXPECT_EQ(Field("Edit3_Directory")->text(), QString::fromUtf8(Home()));
  EXPECT_EQ(Form().Scheduler().LastDir(), Home());
}

TEST_F(SeriesTest, JobPathAppearsInTheCaption) {
  gate_.AfterGate([](TJobContext& job) { job.MakeFileName(UrlFileName(job.Address())); });
  Field("Edit1")->setText(QStringLiteral("http://cam.example/snap/image.jpg"));
  Field("Edit_counter")->setText(QStringLiteral("7"));
  EXPECT_EQ(Form().windowTitle(), QStringLiteral("TESSALY Version 1.01"));
  StartAndWaitForJob();
  gate_.Release();
  ASSERT_TRUE(JobDone());
  EXPECT_EQ(Form().windowTitle(), QString::fromUtf8(Home() + "image_00000007.jpg"));
  EXPECT_EQ(Form().Scheduler().Counter(), 8);
}

TEST_F(SeriesTest, StopAndStartAgainNamesWithSuffixes) {
  gate_.AfterGate([](TJobContext& job) {
    WriteFileWhole(job.MakeFileName(UrlFileName(job.Address())), Text("jpeg"), TExisting::Keep);
  });
  gate_.Open();
  Field("Edit1")->setText(QStringLiteral("http://cam.example/image.jpg"));
  for (const char* name : {"image_00000001.jpg", "image_00000001[1].jpg"}) {
    Click("Button1_Start");
    ASSERT_TRUE(WaitFor([&] { return Form().windowTitle().endsWith(QString::fromLatin1(name)); }));
    ASSERT_TRUE(JobDone());
    Click("Button2_Stop");
    EXPECT_TRUE(FileExists(Home() + name));
  }
}

TEST_F(SeriesTest, BellRingsOncePerStartedJob) {
  Get<QCheckBox>("CheckBox_bell")->setChecked(true);
  StartAndWaitForJob();
  EXPECT_EQ(desktop_->beeps, 1);
  // The bell may be switched while a series runs.
  Get<QCheckBox>("CheckBox_bell")->setChecked(false);
  gate_.Release();
  ASSERT_TRUE(JobDone());
  Form().Scheduler().Timer1Timer();
  ASSERT_TRUE(gate_.WaitStarted(2));
  EXPECT_EQ(desktop_->beeps, 1);
}

TEST_F(SeriesTest, ClosingSavesWhatTheFieldsShowExactly) {
  Field("Edit1")->setText(QStringLiteral("http://cam.example/a.jpg"));
  Field("Edit2_Timer")->setText(QStringLiteral("30"));
  Get<QComboBox>("ComboBox1_Time")->setCurrentIndex(1);
  Get<QCheckBox>("CheckBox_bell")->setChecked(true);
  Field("Edit3_Directory")->setText(QString::fromUtf8(home_.Path()));
  Field("Edit_counter")->setText(QStringLiteral("1"));
  gate_.Open();
  Click("Button1_Start");
  ASSERT_TRUE(gate_.WaitFinished(1));
  ASSERT_TRUE(JobDone());
  ASSERT_EQ(Form().Scheduler().Counter(), 2);
  Form().close();
  Text saved;
  ASSERT_TRUE(ReadWholeFile(Form().IniFileName(), saved));
  EXPECT_EQ(saved, "http://cam.example/a.jpg\r\n30\r\n1\r\n1\r\n" + Home() + "\r\n1\r\n");
  EXPECT_TRUE(desktop_->messages.empty());
}

class ClosingDuringAJobTest : public SeriesTest, public testing::WithParamInterface<bool> {};

TEST_P(ClosingDuringAJobTest, EndsWithinASecondAndTheWorkerNeverReachesTheWindow) {
  const bool job_listens = GetParam();
  gate_.HonourStop(job_listens);
  gate_.AfterGate([](TJobContext& job) {
    job.MakeFileName("image.jpg");
    job.SetCaption("too late");
  });
  StartAndWaitForJob();
  const auto begin = steady_clock::now();
  Form().close();
  EXPECT_LT(steady_clock::now() - begin, milliseconds(1500));
  EXPECT_EQ(Form().JobAbandoned(), !job_listens);
  EXPECT_TRUE(FileExists(Form().IniFileName()));
  form_.reset();
  gate_.Open();
  EXPECT_TRUE(gate_.WaitFinished(1));
}

INSTANTIATE_TEST_SUITE_P(Jobs, ClosingDuringAJobTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "Listening" : "Deaf"; });

}  // namespace
}  // namespace tessaly
