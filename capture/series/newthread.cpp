#include "capture/series/newthread.h"

#include <pthread.h>

#include <vector>

#include "capture/job/naming.h"
#include "capture/series/threadpriority.h"

namespace tessaly {

int TNewThread::Resume(const std::shared_ptr<TNewThread>& worker) {
  pthread_attr_t attr;
  if (int error = pthread_attr_init(&attr); error != 0) return error;
  pthread_attr_setstacksize(&attr, kSeriesWorkerStack);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  // The thread owns a reference of its own until its body has returned.
  auto* owned = new std::shared_ptr<TNewThread>(worker);
  pthread_t thread;
  const int error = pthread_create(
      &thread, &attr,
      [](void* arg) -> void* {
        std::unique_ptr<std::shared_ptr<TNewThread>> self(
            static_cast<std::shared_ptr<TNewThread>*>(arg));
        (*self)->RunJob();
        return nullptr;
      },
      owned);
  pthread_attr_destroy(&attr);
  if (error != 0) delete owned;
  return error;
}

void TNewThread::RunJob() {
  // The host's thread must stay responsive while a job works.
  LowerCurrentThreadPriority();
  const std::stop_token stop = stop_.get_token();
  // A busy wait for the catalog gives way to a stop.
  TCatalogStopScope scope(&stop);
  try {
    setup_.Job(*this);
  } catch (...) {
    // A job reports its own failures; one it did not catch must not end the program.
  }
  const int32_t next = static_cast<int32_t>(static_cast<uint32_t>(setup_.Settings.Counter) + 1u);
  std::lock_guard lock(mutex_);
  finished_ = true;
  finished_cv_.notify_all();
  if (open_)
    setup_.Host->Post([done = setup_.Done, next, outcome = reported_] { done(next, outcome); });
}

bool TNewThread::Close(std::chrono::milliseconds grace) {
  std::unique_lock lock(mutex_);
  const bool ended = finished_cv_.wait_for(lock, grace, [&] { return finished_; });
  open_ = false;
  return ended;
}

TDirectoryIdentity TNewThread::SaveDirIdentity() const {
  return setup_.Settings.StoredIn ? *setup_.Settings.StoredIn : setup_.Identity;
}

Text TNewThread::DirectoryReplacedReason() const {
  if (!setup_.Settings.StoredIn) return TJobContext::DirectoryReplacedReason();
  const Text& dir = setup_.Settings.Directory;
  return (dir.size() > 1 ? dir.substr(0, dir.size() - 1) : dir) +
         " is not the directory this series stored in";
}

Text TNewThread::MakeFileName(const Text& name) {
  const Text path = FreshFilePath(setup_.Settings.Directory, name, setup_.Settings.Counter);
  std::lock_guard lock(mutex_);
  if (open_) setup_.Observer->FileNamed(path);
  return path;
}

void TNewThread::ShowMessage(const Text& text) {
  std::lock_guard lock(mutex_);
  if (open_) setup_.Observer->ShowMessage(text);
}

void TNewThread::SetCaption(const Text& text) {
  std::lock_guard lock(mutex_);
  if (open_) setup_.Observer->SetCaption(text);
}

int TNewThread::MakeRoom(int64_t bytes, Text& why) {
  why.clear();
  std::vector<TKeepingNote> notes;
  {
    std::lock_guard lock(mutex_);
    if (!open_) return 0;
  }
  // Retention looks at the stop between removals, and the road back stays free meanwhile.
  const int refused = setup_.Keeping->MakeRoom(bytes, why, notes, stop_.get_token());
  Tell(notes);
  return refused;
}

Text TNewThread::Intend(const Text& path, int64_t bytes) {
  return setup_.Keeping->Intend(path, setup_.Settings.Counter, bytes, intent_);
}

void TNewThread::Written(const Text& path, int64_t bytes, bool named) {
  // Also after a stop: a picture that got its name gets its row.
  std::vector<TKeepingNote> notes;
  setup_.Keeping->Written(intent_, path, bytes, named, notes);
  Tell(notes);
}

void TNewThread::Tell(const std::vector<TKeepingNote>& notes) {
  std::lock_guard lock(mutex_);
  if (open_)
    for (const TKeepingNote& note : notes) setup_.Observer->Kept(note);
}

void TNewThread::ReportOutcome(const TJobOutcome& outcome) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - started_)
                      .count();
  std::lock_guard lock(mutex_);
  if (!open_) return;
  reported_ = outcome;
  setup_.Observer->Outcome(outcome, setup_.Settings.Counter, ms);
}

}  // namespace tessaly
