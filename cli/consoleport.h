// The capture core's window, for a program without one: the six settings as plain values, no
// controls, and the "window thread" as an event loop on the calling thread, with a timer that
// ticks at the console's own interval (which may be finer than the window's seconds).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "capture/windowport.h"

namespace tessaly {

class TConsolePort final : public TWindowPort {
 public:
  Text AddressText() const override { return address_; }
  void SetAddressText(const Text& text) override { address_ = text; }
  Text IntervalText() const override { return interval_; }
  void SetIntervalText(const Text& text) override { interval_ = KeepDigits(text); }
  int UnitIndex() const override { return unit_index_; }
  void SetUnitIndex(int index) override { unit_index_ = index == 0 || index == 1 ? index : -1; }
  bool BellOn() const override { return false; }
  void SetBellOn(bool) override {}
  Text DirectoryText() const override { return directory_; }
  void SetDirectoryText(const Text& text) override { directory_ = text; }
  Text CounterText() const override { return counter_; }
  void SetCounterText(const Text& text) override { counter_ = KeepDigits(text); }
  // A counter from the command line, which may be negative: kept as its exact decimal text.
  void SetCounterValue(int32_t value) { counter_ = IntToText(value); }

  void SetControlEnabled(TControl, bool) override {}
  void SetCaption(const Text&) override {}
  // Boxes have nobody to wait for: the text is kept (the last one) and the call returns.
  void ShowMessage(const Text& text) override { last_message_ = text; }
  void ShowError(const Text& text) override {
    last_message_ = text;
    ++error_count_;
  }
  void Beep() override {}
  // Switches the ticks on at the console's interval; interval_ms is the window's and unused.
  bool StartTimer(int32_t interval_ms) override;
  void StopTimer() override { timer_on_ = false; }
  void PostToWindowThread(std::function<void()> fn) override;

  // Milliseconds between ticks, counted from StartTimer; 0 means no ticks of the timer's own.
  void SetTickInterval(int64_t ms) { tick_ms_ = ms; }
  // Run calls beat at its start and then at least once per period, however busy or idle the
  // loop is; a zero period never.
  void SetHeartbeat(std::chrono::milliseconds period, std::function<void()> beat) {
    beat_period_ = period;
    beat_ = std::move(beat);
  }
  // How many errors ShowError has been given so far.
  int ErrorCount() const { return error_count_; }
  bool TimerOn() const { return timer_on_; }
  const Text& LastMessage() const { return last_message_; }

  // Runs posted calls and ticks on the calling thread until done() answers true after one of
  // them. after_each runs after every call and tick.
  void Run(const std::function<void()>& on_tick, const std::function<void()>& after_each,
           const std::function<bool()>& done);
  // Runs what has been posted so far, without waiting.
  void RunPending();

  static Text KeepDigits(const Text& text);

 private:
  using TClock = std::chrono::steady_clock;

  Text address_;
  Text interval_ = "10";
  int unit_index_ = 0;
  Text directory_;
  Text counter_ = "1";
  Text last_message_;
  int error_count_ = 0;

  int64_t tick_ms_ = 10000;
  bool timer_on_ = false;
  TClock::time_point next_tick_;
  std::chrono::milliseconds beat_period_{0};
  std::function<void()> beat_;

  std::mutex mutex_;
  std::condition_variable posted_cv_;
  std::deque<std::function<void()>> posted_;
};

}  // namespace tessaly
