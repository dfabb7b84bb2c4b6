#include "capture/newthread.h"

#include "capture/naming.h"
#include "capture/threadpriority.h"

namespace tessaly {

std::shared_ptr<TNewThread> TNewThread::Create(TSetup setup) {
  return std::shared_ptr<TNewThread>(new TNewThread(std::move(setup)));
}

TNewThread::~TNewThread() {
  // Only reachable without join or detach when Resume never started a thread.
  if (thread_.joinable()) thread_.detach();
}

void TNewThread::Resume() {
  thread_ = std::thread([self = shared_from_this()] { self->Execute(); });
}

void TNewThread::Execute() {
  // The window thread must stay responsive while a job works.
  LowerCurrentThreadPriority();
  RunJob();
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  finished_cv_.notify_all();
}

void TNewThread::RunJob() {
  try {
    setup_.Job(*this);
  } catch (...) {
    // A job reports its own failures; one it did not catch must not end the program.
  }
  const int32_t next = static_cast<int32_t>(static_cast<uint32_t>(setup_.Counter) + 1u);
  setup_.Link->Post([done = setup_.Done, next] { done(next); });
}

bool TNewThread::WaitFinished(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return finished_cv_.wait_for(lock, timeout, [&] { return finished_; });
}

void TNewThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void TNewThread::Detach() {
  if (thread_.joinable()) thread_.detach();
}

Text TNewThread::MakeFileName(const Text& name) {
  const Text path = FreshFilePath(setup_.SaveDir, name, setup_.Counter);
  setup_.Link->Call([show = setup_.ShowFileName, path] { show(path); });
  return path;
}

void TNewThread::ShowMessage(const Text& text) {
  setup_.Link->Call([window = setup_.Window, text] { window->ShowMessage(text); });
}

void TNewThread::SetCaption(const Text& text) {
  setup_.Link->Call([window = setup_.Window, text] { window->SetCaption(text); });
}

}  // namespace tessaly
