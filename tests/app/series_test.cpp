#include <QCheckBox>
#include <QComboBox>
#include <QDir>

#include "base/fileutil.h"
#include "capture/job/naming.h"
#include "capture/job/safefile.h"
#include "tests/app/windowharness.h"

namespace tessaly {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct TState {
  const char* name;
  void (*drive)(WindowTest&);
  bool running_look, timer, ready, job;
};

void StartJob(WindowTest& t) {
  t.Click("Button1_Start");
  ASSERT_TRUE(t.gate_.WaitStarted(1));
}
void Finish(WindowTest& t) {
  t.gate_.Release();
  ASSERT_TRUE(t.JobDone());
}
void Stop(WindowTest& t) {
  t.Click("Button2_Stop");
}
void Stall(WindowTest& t) {
  t.Field("Edit_counter")->clear();
  t.Click("Button1_Start");
}
// Runs the steps in order, up to the first fatal failure.
template <void (*... Steps)(WindowTest&)>
void Run(WindowTest& t) {
  ((t.HasFatalFailure() ? void() : Steps(t)), ...);
}

class WindowStateTest : public WindowTest, public testing::WithParamInterface<TState> {};

TEST_P(WindowStateTest, ControlsAndTimerFollowTheSeries) {
  GetParam().drive(*this);
  if (HasFatalFailure()) return;
  const bool running = GetParam().running_look;
  EXPECT_EQ(Get("Button1_Start")->isEnabled(), !running);
  EXPECT_EQ(Get("Button2_Stop")->isEnabled(), running);
  for (const char* field : {"Edit1", "Edit2_Timer", "ComboBox1_Time", "Edit3_Directory",
                            "Button_Selct_Dir", "Edit_counter"})
    EXPECT_EQ(Get(field)->isEnabled(), !running) << field;
  EXPECT_TRUE(Get("CheckBox_bell")->isEnabled());
  EXPECT_TRUE(Get("Label_http")->isEnabled());
  EXPECT_EQ(Timer()->isActive(), GetParam().timer);
  EXPECT_EQ(Form().Scheduler().Ready(), GetParam().ready);
  EXPECT_EQ(Form().Scheduler().JobRunning(), GetParam().job);
}

INSTANTIATE_TEST_SUITE_P(
    States, WindowStateTest,
    testing::Values(
        TState{"Idle", Run<>, false, false, false, false},
        TState{"Busy", Run<StartJob>, true, true, false, true},
        TState{"Waiting", Run<StartJob, Finish>, true, true, true, false},
        TState{"Draining", Run<StartJob, Stop>, false, false, false, true},
        TState{"Stalled", Run<Stall>, true, false, false, false},
        TState{"WaitingThenStop", Run<StartJob, Finish, Stop>, false, false, true, false},
        TState{"DrainingThenEnd", Run<StartJob, Stop, Finish>, false, false, true, false},
        TState{"StalledThenStop", Run<Stall, Stop>, false, false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// What Start shows: the box of a missing directory, the error display, or a timer interval.
struct TStart {
  const char* name;
  const char* directory;  // "~/" is the home directory
  const char* counter;
  const char* interval;
  int unit;
  const char* message;
  const char* error;
  int timer_ms;  // -1: no timer running
};

class StartTest : public WindowTest, public testing::WithParamInterface<TStart> {};

TEST_P(StartTest, ShowsItsBoxOrRunsTheTimer) {
  const TStart& c = GetParam();
  const QString directory = QString::fromLatin1(c.directory).replace(QStringLiteral("~/"), QHome());
  Field("Edit3_Directory")->setText(directory);
  Field("Edit_counter")->setText(QString::fromLatin1(c.counter));
  Field("Edit2_Timer")->setText(QString::fromLatin1(c.interval));
  Get<QComboBox>("ComboBox1_Time")->setCurrentIndex(c.unit);
  Click("Button1_Start");
  const QString message = QString::fromLatin1(c.message).replace(QStringLiteral("~/"), QHome());
  EXPECT_EQ(desktop_->messages,
            *c.message ? std::vector<QString>{message} : std::vector<QString>{});
  EXPECT_EQ(desktop_->errors,
            *c.error ? std::vector<QString>{QString::fromLatin1(c.error)} : std::vector<QString>{});
  for (const QString& title : desktop_->titles) EXPECT_EQ(title, QStringLiteral("Tessaly"));
  EXPECT_EQ(Timer()->isActive(), c.timer_ms > 0);
  if (c.timer_ms >= 0) {
    EXPECT_EQ(Timer()->interval(), c.timer_ms);
  }
  EXPECT_EQ(Form().TimerEnabled(), c.timer_ms >= 0);
}

INSTANTIATE_TEST_SUITE_P(Fields, StartTest,
                         testing::Values(TStart{"MissingDirectory", "~/nowhere", "1", "10", 0,
                                                "Error - Directory\r\n~/nowhere\r\nDo Not Exist",
                                                "", -1},
                                         TStart{"EmptyCounter", "~/", "", "10", 0, "",
                                                "'' is not a valid integer value.", -1},
                                         TStart{"FiveMinutes", "~/", "1", "5", 1, "", "", 300000},
                                         TStart{"ZeroNeverTicks", "~/", "1", "0", 0, "", "", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowTest, CaptionBellCountersAndSuffixesOverTwoSeries) {
  gate_.AfterGate([](TJobContext& job) {
    WriteFileWhole(job.MakeFileName(UrlFileName(job.Address())), Text("jpeg"), TExisting::Keep);
  });
  Field("Edit1")->setText(QStringLiteral("http://cam.example/snap/image.jpg"));
  Field("Edit3_Directory")->setText(QString::fromUtf8(home_.Path()));
  Field("Edit_counter")->setText(QStringLiteral("7"));
  Get<QCheckBox>("CheckBox_bell")->setChecked(true);
  for (const char* name : {"image_00000007.jpg", "image_00000007[1].jpg"}) {
    const size_t job = gate_.Runs().size() + 1;
    Click("Button1_Start");
    ASSERT_TRUE(gate_.WaitStarted(job));
    Form().Scheduler().Timer1Timer();  // falls during the job: dropped, no bell
    EXPECT_EQ(desktop_->beeps, static_cast<int>(job));
    Click("Button2_Stop");  // the job still finishes its file
    gate_.Release();
    ASSERT_TRUE(JobDone());
    EXPECT_EQ(Form().windowTitle(), QString::fromUtf8(Home() + name));
    EXPECT_TRUE(FileExists(Home() + name));
    EXPECT_EQ(Form().Scheduler().Counter(), 8);
  }
  EXPECT_EQ(gate_.Runs().size(), 2u);
  EXPECT_EQ(Field("Edit3_Directory")->text(), QHome());
}

TEST_F(WindowTest, ClosingSavesWhatTheFieldsShowNotTheAdvancedCounter) {
  home_.WriteFile(kIniName, "a\r\n1a0\r\n5\r\n2\r\n" + home_.Path() + "\r\nabc\r\n");
  EXPECT_EQ(Field("Edit2_Timer")->text(), QStringLiteral("10"));
  EXPECT_EQ(Field("Edit_counter")->text(), QString());
  EXPECT_EQ(Get<QComboBox>("ComboBox1_Time")->currentIndex(), -1);
  Field("Edit_counter")->setText(QStringLiteral("1"));
  gate_.Open();
  Click("Button1_Start");
  ASSERT_TRUE(gate_.WaitFinished(1));
  ASSERT_TRUE(JobDone());
  ASSERT_EQ(Form().Scheduler().Counter(), 2);
  Form().close();
  Text saved;
  ASSERT_TRUE(ReadWholeFile(Form().IniFileName(), saved));
  EXPECT_EQ(saved, "a\r\n10\r\n-1\r\n1\r\n" + Home() + "\r\n1\r\n");
  EXPECT_EQ(Form().IniFileName(), Home() + kIniName);
  EXPECT_TRUE(desktop_->messages.empty());
}

class ClosingDuringAJobTest : public WindowTest, public testing::WithParamInterface<bool> {};

TEST_P(ClosingDuringAJobTest, EndsWithinASecondAndTheWorkerNeverReachesTheWindow) {
  const bool job_listens = GetParam();
  gate_.HonourStop(job_listens);
  gate_.AfterGate([](TJobContext& job) { job.SetCaption(job.MakeFileName("image.jpg")); });
  StartJob(*this);
  const auto begin = steady_clock::now();
  Form().close();
  EXPECT_LT(steady_clock::now() - begin, milliseconds(1200));
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
