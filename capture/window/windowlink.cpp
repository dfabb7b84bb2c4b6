#include "capture/window/windowlink.h"

#include <algorithm>
#include <condition_variable>

namespace tessaly {

struct TWindowLink::TPendingCall {
  std::function<void()> fn;
  std::mutex mutex;
  std::condition_variable finished_cv;
  bool finished = false;
  bool ran = false;

  void Finish(bool has_run) {
    {
      std::lock_guard lock(mutex);
      finished = true;
      ran = has_run;
    }
    finished_cv.notify_all();
  }
};

std::shared_ptr<TWindowLink> TWindowLink::Create(TWindowPort& window) {
  return std::shared_ptr<TWindowLink>(new TWindowLink(window));
}

bool TWindowLink::Call(std::function<void()> fn) {
  auto call = std::make_shared<TPendingCall>();
  call->fn = std::move(fn);
  {
    std::lock_guard lock(mutex_);
    if (!open_) return false;
    pending_.push_back(call);
    // Posting under the lock keeps Close from finishing (and the window from going) meanwhile.
    window_.PostToWindowThread([self = shared_from_this(), call] { self->RunCall(call); });
  }
  std::unique_lock lock(call->mutex);
  call->finished_cv.wait(lock, [&] { return call->finished; });
  return call->ran;
}

void TWindowLink::RunCall(const std::shared_ptr<TPendingCall>& call) {
  {
    std::lock_guard lock(mutex_);
    auto it = std::find(pending_.begin(), pending_.end(), call);
    if (it == pending_.end()) return;  // Close already released its caller.
    pending_.erase(it);
  }
  // Not under the lock: fn may open a modal box whose event loop runs further calls.
  call->fn();
  call->Finish(true);
}

void TWindowLink::Post(std::function<void()> fn) {
  std::lock_guard lock(mutex_);
  if (!open_) return;
  window_.PostToWindowThread([self = shared_from_this(), fn = std::move(fn)] {
    // Runs on the window thread, where Close runs too: open here means the receiver still lives.
    if (self->IsOpen()) fn();
  });
}

void TWindowLink::Close() {
  std::vector<std::shared_ptr<TPendingCall>> released;
  {
    std::lock_guard lock(mutex_);
    open_ = false;
    released.swap(pending_);
  }
  for (auto& call : released) call->Finish(false);
}

bool TWindowLink::IsOpen() const {
  std::lock_guard lock(mutex_);
  return open_;
}

}  // namespace tessaly
