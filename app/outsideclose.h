// Requests to end the program that come from outside the window: SIGTERM, SIGINT and SIGHUP,
// and the desktop session ending. Each reaches the window thread as one call, made as if the
// user had closed the window; a second signal ends the process at once.
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace tessaly {

class TOutsideClose : public QObject {
 public:
  // Installs the signal handlers (one instance at a time) and watches the application's
  // session. close runs on the thread that made this object, from its event loop; save runs
  // whenever the session manager asks for the program's data, which it also does for a plain
  // session save and for a logout that is then cancelled, so it must not end anything.
  explicit TOutsideClose(std::function<void()> close, std::function<void()> save = {});
  // Puts the earlier signal handlers back.
  ~TOutsideClose() override;
  TOutsideClose(const TOutsideClose&) = delete;
  TOutsideClose& operator=(const TOutsideClose&) = delete;

 private:
  void Request();

  std::function<void()> close_;
  std::function<void()> save_;
  QSocketNotifier* notifier_ = nullptr;
  bool requested_ = false;
};

}  // namespace tessaly
