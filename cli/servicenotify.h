// How the series tells a service manager (systemd) how it is: the notification socket named by
// NOTIFY_SOCKET. Without that variable every call does nothing.
#pragma once

#include <chrono>

#include "base/text.h"

namespace tessaly {

class TServiceNotifier {
 public:
  // Reads NOTIFY_SOCKET and the watchdog's WATCHDOG_USEC (and WATCHDOG_PID) once.
  TServiceNotifier();

  // True when a service manager listens.
  bool Enabled() const { return enabled_; }
  // How often Watchdog must be called: half the manager's time-out; zero when it keeps none.
  std::chrono::milliseconds WatchdogPeriod() const { return watchdog_period_; }

  // The series has started.
  void Ready();
  // One line saying how the series is; replaces the one sent before.
  void Status(const Text& line);
  // The settings are being read again; Ready says when that is done.
  void Reloading();
  // The series is ending.
  void Stopping();
  // The loop is alive; from the loop that the watchdog vouches for, and no other thread.
  void Watchdog();

 private:
  void Send(const Text& state);

  bool enabled_ = false;
  std::chrono::milliseconds watchdog_period_{0};
};

}  // namespace tessaly
