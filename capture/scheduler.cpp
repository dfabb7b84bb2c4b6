#include "capture/scheduler.h"

#include <exception>
#include <stdexcept>

#include "base/bigblock.h"
#include "base/fileutil.h"
#include "capture/errordisplay.h"

namespace tessaly {

namespace {

constexpr std::chrono::milliseconds kShutdownGrace{800};

Text UnitName(int unit_index) {
  return unit_index == 0 ? "Sec" : "Min";
}

int64_t UnitMs(int unit_index) {
  return unit_index == 0 ? 1000 : 1000 * 60;
}

Text IntervalRangeText(const Text& value_text, int unit_index) {
  const Text unit = UnitName(unit_index);
  return "Interval out of range: " + value_text + " " + unit + " (0 to " +
         IntToText(kLongestIntervalMs / UnitMs(unit_index)) + " " + unit + ")";
}

}  // namespace

int64_t IntervalMs(int32_t value, int unit_index) {
  return value * UnitMs(unit_index);
}

TScheduler::TScheduler(TWindowPort& window, TCaptureJob job)
    : window_(window), job_(std::move(job)), link_(TWindowLink::Create(window)) {}

TScheduler::~TScheduler() {
  Shutdown(kShutdownGrace);
}

template <typename Handler>
void TScheduler::WithErrorDisplay(Handler handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    // What the handler changed before the error stays changed.
    window_.ShowError(ErrorDisplayText(error.what()));
  }
}

void TScheduler::Button1_StartClick() {
  WithErrorDisplay([this] { Start(); });
}

void TScheduler::Timer1Timer() {
  WithErrorDisplay([this] { Tick(); });
}

void TScheduler::SetSeriesControls(bool running) {
  series_running_ = running;
  window_.SetControlEnabled(TControl::Button1_Start, !running);
  window_.SetControlEnabled(TControl::Button2_Stop, running);
  for (TControl field :
       {TControl::Edit1, TControl::Edit2_Timer, TControl::ComboBox1_Time, TControl::Edit3_Directory,
        TControl::Button_Selct_Dir, TControl::Edit_counter})
    window_.SetControlEnabled(field, !running);
}

void TScheduler::Start() {
  if (shut_down_) return;
  const Text directory = window_.DirectoryText();
  if (!DirectoryExists(directory)) {
    window_.ShowMessage("Error - Directory\r\n" + directory + "\r\nDo Not Exist");
    return;
  }
  SetSeriesControls(true);

  counter_ = StrToInt(window_.CounterText());
  ++series_;

  if (directory.back() != '/') window_.SetDirectoryText(directory + "/");
  save_dir_ = window_.DirectoryText();
  save_dir_identity_ = IdentifyDirectory(save_dir_);
  last_dir_ = save_dir_;

  if (window_.IntervalText().empty()) window_.SetIntervalText("10");
  const Text interval_text = window_.IntervalText();
  const int unit_index = window_.UnitIndex();
  const int64_t interval = IntervalMs(StrToInt(interval_text), unit_index);
  // Never let the timer silently run on a shorter interval than the one asked for.
  if (interval < 0 || interval > kLongestIntervalMs)
    throw std::runtime_error(IntervalRangeText(interval_text, unit_index));
  if (!window_.StartTimer(static_cast<int32_t>(interval)))
    throw std::runtime_error("Not enough timers available");

  // One job at a time: the series' first job starts when the earlier one has ended.
  if (!schedule_.Start(SteadySeriesClock().Now(), std::nullopt)) return;
  Tick();
}

void TScheduler::Button2_StopClick() {
  SetSeriesControls(false);
  window_.StopTimer();
  schedule_.Stop();
  ReleaseBodyMemory();
}

void TScheduler::ReleaseBodyMemory() {
  // The memory kept for the next body of the series is given back once no job may need it.
  if (!series_running_ && !worker_) ReleaseSpareBlock();
}

void TScheduler::Tick() {
  if (shut_down_ || !schedule_.Tick() || (gate_ && !gate_())) return;  // dropped, not made up
  if (window_.BellOn()) window_.Beep();

  TNewThread::TSetup setup;
  setup.Link = link_;
  setup.Window = &window_;
  setup.Job = job_;
  setup.Address = window_.AddressText();
  setup.SaveDir = save_dir_;
  setup.SaveDirIdentity = save_dir_identity_;
  setup.Counter = counter_;
  setup.ShowFileName = [this](const Text& path) {
    last_file_name_ = path;
    ShowFileName();
  };
  setup.Done = [this, series = series_](int32_t next_counter) { ThreadDone(series, next_counter); };
  auto worker = TNewThread::Create(std::move(setup));
  worker->Resume();
  worker_ = std::move(worker);
  schedule_.JobStarted();
}

void TScheduler::ThreadDone(uint64_t series, int32_t next_counter) {
  if (worker_) {
    worker_->Join();
    worker_.reset();
  }
  if (series == series_) counter_ = next_counter;
  if (schedule_.JobEnded()) Timer1Timer();
  ReleaseBodyMemory();
}

void TScheduler::ShowFileName() {
  window_.SetCaption(last_file_name_);
}

bool TScheduler::Shutdown(std::chrono::milliseconds grace) {
  if (!shut_down_) {
    shut_down_ = true;
    link_->Close();
  }
  schedule_.Stop();
  if (!worker_) return true;
  worker_->RequestStop();
  const bool ended = worker_->WaitFinished(grace);
  if (ended)
    worker_->Join();
  else
    worker_->Detach();
  worker_.reset();
  return ended;
}

}  // namespace tessaly
