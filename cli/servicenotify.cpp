#include "cli/servicenotify.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

namespace tessaly {

TServiceNotifier::TServiceNotifier() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  enabled_ = socket != nullptr && *socket != '\0';
  uint64_t usec = 0;
  // Also false when WATCHDOG_PID names another process (the variables were inherited).
  if (!enabled_ || sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;
  // Half the time-out, rounded down, but never zero: that would mean no watchdog at all.
  watchdog_period_ = std::max(
      std::chrono::milliseconds(1),
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::microseconds(usec / 2)));
}

void TServiceNotifier::Send(const Text& state) {
  // Nobody to tell, or a manager that has gone: the series goes on either way.
  if (enabled_) sd_notify(0, state.c_str());
}

void TServiceNotifier::Ready() {
  Send("READY=1");
}

void TServiceNotifier::Status(const Text& line) {
  Text one_line = line;
  // The protocol is one assignment per line.
  for (char& c : one_line)
    if (c == '\n' || c == '\r' || c == '\0') c = ' ';
  Send("STATUS=" + one_line);
}

void TServiceNotifier::Reloading() {
  // The instant lets a manager that sent the signal itself (Type=notify-reload) tell this
  // reload from an earlier one.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  Send("RELOADING=1\nMONOTONIC_USEC=" +
       IntToText(static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000));
}

void TServiceNotifier::Stopping() {
  Send("STOPPING=1");
}

void TServiceNotifier::Watchdog() {
  Send("WATCHDOG=1");
}

}  // namespace tessaly
