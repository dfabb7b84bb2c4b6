// A window for the capture core's tests: plain fields, recorded boxes and beeps, a timer that
// only records, and a window-thread queue that the test thread drains itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "capture/windowport.h"

namespace tessaly {

class TFakeWindow : public TWindowPort {
 public:
  TFakeWindow();

  Text address = "http://";
  Text interval = "10";
  int unit = 0;
  bool bell = false;
  Text directory;
  Text counter = "1";
  std::map<TControl, bool> enabled;
  Text caption = "TESSALY Version 1.01";
  std::vector<Text> messages;
  std::vector<Text> errors;
  int beeps = 0;
  bool timer_enabled = false;
  int32_t timer_interval = -1;
  bool timers_available = true;
  // Runs inside ShowMessage, on the window thread, before it returns.
  std::function<void(const Text&)> on_message;

  // Runs queued window-thread work on the calling thread until done() holds; false when the
  // limit passes first.
  bool PumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Runs whatever is queued right now.
  void PumpPending();
  size_t Queued() const;
  // Waits (without running anything) until count items are queued; false after limit.
  bool WaitQueued(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5));

  Text AddressText() const override { return address; }
  void SetAddressText(const Text& text) override { address = text; }
  Text IntervalText() const override { return interval; }
  void SetIntervalText(const Text& text) override { interval = text; }
  int UnitIndex() const override { return unit; }
  void SetUnitIndex(int index) override { unit = index == 0 || index == 1 ? index : -1; }
  bool BellOn() const override { return bell; }
  void SetBellOn(bool on) override { bell = on; }
  Text DirectoryText() const override { return directory; }
  void SetDirectoryText(const Text& text) override { directory = text; }
  Text CounterText() const override { return counter; }
  void SetCounterText(const Text& text) override { counter = text; }
  void SetControlEnabled(TControl control, bool on) override { enabled[control] = on; }
  void SetCaption(const Text& text) override { caption = text; }
  void ShowMessage(const Text& text) override;
  void ShowError(const Text& text) override { errors.push_back(text); }
  void Beep() override { ++beeps; }
  bool StartTimer(int32_t interval_ms) override;
  void StopTimer() override { timer_enabled = false; }
  void PostToWindowThread(std::function<void()> fn) override;

 private:
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> queue_;
};

}  // namespace tessaly
