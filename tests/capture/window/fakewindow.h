// A window for the capture core's tests: plain fields, recorded boxes, beeps and timer, and a
// window-thread queue that the test thread runs itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "capture/window/windowport.h"

namespace tessaly {

class TFakeWindow : public TWindowPort {
 public:
  Text address = "http://cam.example/pic/image.jpg", interval = "10", directory, counter = "1";
  int unit = 0;
  bool bell = false, timer_enabled = false, timers_available = true;
  int32_t timer_interval = -1;
  std::map<TControl, bool> enabled;  // only the controls that were switched
  Text caption;
  std::vector<Text> messages, errors;
  int beeps = 0;
  std::function<void()> on_message;  // runs inside ShowMessage

  // Runs queued window-thread work here until done() holds; false once limit has passed.
  bool PumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      std::deque<std::function<void()>> batch;
      {
        std::unique_lock lock(mutex_);
        if (std::chrono::steady_clock::now() >= deadline) return false;
        // Wakes for posted work at once; looks at done() again every few milliseconds.
        posted_.wait_for(lock, std::chrono::milliseconds(5), [&] { return !queue_.empty(); });
        batch.swap(queue_);
      }
      for (auto& fn : batch) fn();
    }
    return true;
  }
  bool WaitQueued(size_t count) {
    std::unique_lock lock(mutex_);
    return posted_.wait_for(lock, std::chrono::seconds(5), [&] { return queue_.size() >= count; });
  }
  size_t Queued() {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }

  Text AddressText() const override { return address; }
  void SetAddressText(const Text& text) override { address = text; }
  Text IntervalText() const override { return interval; }
  void SetIntervalText(const Text& text) override { interval = text; }
  int UnitIndex() const override { return unit; }
  void SetUnitIndex(int index) override { unit = index; }
  bool BellOn() const override { return bell; }
  void SetBellOn(bool on) override { bell = on; }
  Text DirectoryText() const override { return directory; }
  void SetDirectoryText(const Text& text) override { directory = text; }
  Text CounterText() const override { return counter; }
  void SetCounterText(const Text& text) override { counter = text; }
  void SetControlEnabled(TControl control, bool on) override { enabled[control] = on; }
  void SetCaption(const Text& text) override { caption = text; }
  void ShowMessage(const Text& text) override {
    messages.push_back(text);
    if (on_message) on_message();
  }
  void ShowError(const Text& text) override { errors.push_back(text); }
  void Beep() override { ++beeps; }
  bool StartTimer(int32_t interval_ms) override {
    timer_interval = interval_ms;
    return timer_enabled = timers_available;
  }
  void StopTimer() override { timer_enabled = false; }
  void PostToWindowThread(std::function<void()> fn) override {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
    posted_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> queue_;
};

}  // namespace tessaly
