#include "tests/capture/fakewindow.h"

#include <algorithm>

namespace tessaly {

namespace {
constexpr std::chrono::milliseconds kPoll{5};
}  // namespace

TFakeWindow::TFakeWindow() {
  for (TControl c : {TControl::Edit1, TControl::Button1_Start, TControl::Edit2_Timer,
                     TControl::ComboBox1_Time, TControl::Edit3_Directory,
                     TControl::Button_Selct_Dir, TControl::Edit_counter})
    enabled[c] = true;
  enabled[TControl::Button2_Stop] = false;
}

void TFakeWindow::ShowMessage(const Text& text) {
  messages.push_back(text);
  if (on_message) on_message(text);
}

bool TFakeWindow::StartTimer(int32_t interval_ms) {
  timer_interval = interval_ms;
  timer_enabled = timers_available;
  return timers_available;
}

void TFakeWindow::PostToWindowThread(std::function<void()> fn) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
  }
  posted_.notify_all();
}

void TFakeWindow::PumpPending() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(queue_);
  }
  for (auto& fn : batch) fn();
}

bool TFakeWindow::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    PumpPending();
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Wake for posted work at once, and look at done() again every few milliseconds.
    std::unique_lock lock(mutex_);
    posted_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + kPoll),
                       [&] { return !queue_.empty(); });
  }
}

bool TFakeWindow::WaitQueued(size_t count, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return posted_.wait_for(lock, limit, [&] { return queue_.size() >= count; });
}

size_t TFakeWindow::Queued() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

}  // namespace tessaly
