#include "capture/window/scheduler.h"

#include <exception>
#include <stdexcept>

#include "base/bigblock.h"
#include "base/fileutil.h"
#include "capture/window/errordisplay.h"

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
    : window_(window),
      link_(TWindowLink::Create(window)),
      series_(*this, TSeriesSettings{}, *this, std::move(job)) {
  series_.OnStartError = [this](const Text& error) { window_.ShowError(ErrorDisplayText(error)); };
}

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
  WithErrorDisplay([this] {
    if (!shut_down_) series_.Tick();
  });
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

  TSeriesSettings settings;
  settings.Counter = StrToInt(window_.CounterText());
  // The counter is the new series' from here, even when Start goes no further.
  series_.Reset(settings);

  if (directory.back() != '/') window_.SetDirectoryText(directory + "/");
  save_dir_ = window_.DirectoryText();
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

  // The fields are locked while the series runs: the address is read once, here.
  settings.Address = ParseAddress(window_.AddressText());
  settings.Directory = save_dir_;
  settings.OwnerTicks = true;
  series_.Reset(std::move(settings));
  // The first job at once; one of the previous series still running, when that has ended.
  if (const Text error = series_.Start(); !error.empty()) throw std::runtime_error(error);
}

void TScheduler::Button2_StopClick() {
  SetSeriesControls(false);
  window_.StopTimer();
  series_.Stop();
  ReleaseBodyMemory();
}

void TScheduler::ReleaseBodyMemory() {
  // The memory kept for the next body of the series is given back once no job may need it.
  if (!series_running_ && !series_.JobRunning()) ReleaseSpareBlock();
}

void TScheduler::JobStarting() {
  if (window_.BellOn()) window_.Beep();
}

void TScheduler::JobEnded(int32_t) {
  ReleaseBodyMemory();
}

void TScheduler::FileNamed(const Text& path) {
  link_->Call([this, path] {
    last_file_name_ = path;
    ShowFileName();
  });
}

void TScheduler::ShowMessage(const Text& text) {
  link_->Call([this, text] { window_.ShowMessage(text); });
}

void TScheduler::SetCaption(const Text& text) {
  link_->Call([this, text] { window_.SetCaption(text); });
}

void TScheduler::ShowFileName() {
  window_.SetCaption(last_file_name_);
}

bool TScheduler::Shutdown(std::chrono::milliseconds grace) {
  if (!shut_down_) {
    shut_down_ = true;
    // A worker waiting for a box or the caption is let go first.
    link_->Close();
  }
  return series_.Shutdown(grace);
}

}  // namespace tessaly
