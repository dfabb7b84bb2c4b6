#include "app/outsideclose.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <cerrno>

namespace tessaly {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Shared with the handler, which may only write to a pipe.
int wake_pipe[2] = {-1, -1};
volatile sig_atomic_t signalled = 0;
struct sigaction earlier[std::size(kSignals)];

void OnSignal(int number) {
  if (signalled) {
    // The first request is already under way and someone insists: end now.
    signal(number, SIG_DFL);
    raise(number);
    return;
  }
  signalled = 1;
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = write(wake_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

TOutsideClose::TOutsideClose(std::function<void()> close, std::function<void()> save)
    : close_(std::move(close)), save_(std::move(save)) {
  signalled = 0;
  if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    notifier_ = new QSocketNotifier(wake_pipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
      char byte;
      while (read(wake_pipe[0], &byte, 1) > 0) {
      }
      Request();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int number : kSignals) sigaddset(&action.sa_mask, number);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kSignals); ++i) {
      sigaction(kSignals[i], nullptr, &earlier[i]);
      // A signal ignored by whoever started the program (nohup, a background job) stays so.
      if (earlier[i].sa_handler != SIG_IGN) sigaction(kSignals[i], &action, nullptr);
    }
  }
  // The session manager asks for the data at every session save, not only when the session
  // ends; the end itself arrives as the application's quit, and a quit that bypasses the window
  // must save as well.
  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(
        app, &QGuiApplication::commitDataRequest, this,
        [this] {
          if (save_) save_();
        },
        Qt::DirectConnection);
    connect(app, &QCoreApplication::aboutToQuit, this, [this] { Request(); });
  }
}

TOutsideClose::~TOutsideClose() {
  if (!notifier_) return;
  for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &earlier[i], nullptr);
  delete notifier_;
  close(wake_pipe[0]);
  close(wake_pipe[1]);
  wake_pipe[0] = wake_pipe[1] = -1;
}

void TOutsideClose::Request() {
  if (requested_) return;
  requested_ = true;
  close_();
}

}  // namespace tessaly
