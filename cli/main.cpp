// tessaly-capture: the capture series of the Tessaly window, for machines without a display.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/fileutil.h"
#include "capture/naming.h"
#include "capture/retention.h"
#include "capture/scheduler.h"
#include "capture/seriesindex.h"
#include "capture/settings.h"
#include "cli/commandline.h"
#include "cli/consoleseries.h"
#include "cli/serieslog.h"
#include "net/sockapi.h"
#include "net/tlsopenssl.h"

namespace tessaly {
namespace {

constexpr int kExitUsage = 2;
constexpr int kExitNoDirectory = 1;

int Fail(int status, const Text& message) {
  std::fprintf(stderr, "%stessaly-capture: %s\n", IsJournalStream(2) ? "<3>" : "", message.c_str());
  return status;
}

// Started by systemd as a service (which sets INVOCATION_ID for every unit it starts).
bool UnderServiceManager() {
  const char* id = std::getenv("INVOCATION_ID");
  return id != nullptr && *id != '\0';
}

// Before any thread exists: getpwuid's answer is static.
Text UserName() {
  const passwd* user = getpwuid(geteuid());
  return user != nullptr ? Text(user->pw_name) : "uid " + IntToText(geteuid());
}

bool UnderHiddenHome(const Text& directory) {
  for (const char* top : {"/home", "/root", "/run/user"}) {
    const Text prefix = Text(top) + "/";
    if (directory == top || directory.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// Why a service cannot reach or write its directory, and what mends it; empty when a restart
// may (a disk that is not mounted yet). Such a fault stays until the administrator acts, so
// it ends with the status that a service manager does not restart.
Text UnreachableReason(const Text& directory, bool exists) {
  if (!exists) {
    if (!UnderServiceManager() || !UnderHiddenHome(directory)) return Text();
    return "directory " + directory +
           " cannot be reached by the service: its unit hides /home, /root and /run/user "
           "(ProtectHome=); name a directory elsewhere, such as one under /srv, made writable "
           "with ReadWritePaths= and owned by _tessaly";
  }
  if (access(directory.c_str(), W_OK | X_OK) == 0) return Text();
  const int error = errno;
  Text reason = "cannot write to directory " + directory + ": " + std::strerror(error);
  if (UnderServiceManager() && error == EROFS)
    reason +=
        " (the service may write only its own directories; add this one with "
        "ReadWritePaths= in a drop-in)";
  else if (UnderServiceManager() && error == EACCES)
    reason += " (the service runs as " + UserName() + ", which must own the directory)";
  return reason;
}

// Only the digits, as the window's digit-filtered fields keep them.
Text KeepDigits(const Text& text) {
  Text digits;
  for (char c : text)
    if (c >= '0' && c <= '9') digits += c;
  return digits;
}

// The window's settings file, read by the window's rules.
bool LoadSettingsFile(const Text& path, TSettingsValues& values, Text& error) {
  Text content;
  if (DirectoryExists(path)) {
    error = std::strerror(EISDIR);
    return false;
  }
  if (!ReadWholeFile(path, content)) {
    error = std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  ReadSettingsValues(path, Text(), values);
  values.Interval = values.HasInterval ? KeepDigits(values.Interval) : Text("10");
  values.Counter = KeepDigits(values.Counter);
  return true;
}

// The interval of the settings: the field's digits ("10" when empty) in the unit of the index.
bool SettingsInterval(const TSettingsValues& values, int64_t& ms) {
  int32_t value = 0;
  if (!TryParseInt(values.Interval.empty() ? "10" : values.Interval, value)) return false;
  ms = IntervalMs(value, values.UnitIndex);
  return ms >= 0 && ms <= kLongestIntervalMs;
}

int Main(int argc, char** argv) {
  const TCommandLine line = ParseCommandLine(argc, argv);
  switch (line.Action) {
    case TCommandLine::TAction::Help:
      std::fputs(UsageText().c_str(), stdout);
      return 0;
    case TCommandLine::TAction::Version:
      std::printf("tessaly-capture %s\n", TESSALY_VERSION);
      return 0;
    case TCommandLine::TAction::Usage:
      return Fail(kExitUsage, line.Error + " (see --help)");
    case TCommandLine::TAction::Run:
      break;
  }

  TSettingsValues values;
  values.Interval = "10";
  values.Counter = "1";
  if (line.SettingsFile) {
    Text error;
    if (!LoadSettingsFile(*line.SettingsFile, values, error))
      return Fail(kExitUsage, "cannot read settings file " + *line.SettingsFile + ": " + error);
  }
  if (line.Address) values.Address = *line.Address;
  if (line.Directory) values.Directory = *line.Directory;
  // A service's own directory when nothing else names one: the last of systemd's
  // StateDirectory= list, which the unit gives as the program's state and then the instance's.
  const char* state_directory = std::getenv("STATE_DIRECTORY");
  if (values.Directory.empty() && state_directory != nullptr)
    values.Directory = Text(state_directory).substr(Text(state_directory).rfind(':') + 1);
  if (values.Address.empty()) return Fail(kExitUsage, "no URL given (see --help)");
  if (values.Directory.empty()) return Fail(kExitUsage, "no DIRECTORY given (see --help)");

  TSeriesOptions options;
  options.Count = line.Count;
  options.Quiet = line.Quiet;
  options.MaxFailures = line.MaxFailures;
  options.Hours = line.Hours;
  TSeriesSettings settings;
  settings.Address = ParseAddress(values.Address);
  settings.Job.FailOnHttpError = line.Fail;
  settings.Job.ImagesOnly = line.ImagesOnly;
  settings.Job.SkipUnchanged = line.SkipUnchanged;
  int64_t interval_ms = 0;
  if (line.IntervalMs) {
    interval_ms = *line.IntervalMs;
  } else if (!SettingsInterval(values, interval_ms)) {
    return Fail(kExitUsage, "interval out of range in settings file " + *line.SettingsFile);
  }
  settings.Interval = std::chrono::milliseconds(interval_ms);
  int32_t counter = 0;
  if (line.Counter) {
    counter = *line.Counter;
  } else if (!TryParseInt(values.Counter, counter)) {
    return Fail(kExitUsage, "counter '" + values.Counter + "' is not a valid integer value");
  }
  const Text directory = values.Directory;
  const bool exists = DirectoryExists(directory);
  if (const Text reason = UnreachableReason(directory, exists); !reason.empty())
    return Fail(kExitUsage, reason);
  if (!exists) return Fail(kExitNoDirectory, "directory " + directory + " does not exist");
  // The series' own pictures: a restart continues after the highest number already stored.
  TSeriesIndex index(SeriesNameForms(values.Address), NameMax(directory),
                     line.Retention.KeepForSeconds >= 0);
  if (!index.Scan(directory))
    return Fail(kExitNoDirectory,
                "cannot read directory " + directory + ": " + std::strerror(errno));
  if (!line.Counter) counter = ContinuedCounter(counter, index.HighestCounter());
  settings.Counter = counter;
  settings.Directory = directory;
  // The same index, kept current by every store, tells retention what is the series'.
  TRetention retention(index, line.Retention,
                       directory.back() == '/' ? directory : directory + "/");
  options.Retention = &retention;

  // Before any thread exists, so that every thread inherits the mask and only the series'
  // own waiting thread takes these signals. One that whoever started us ignores (nohup, a
  // shell's background job) stays ignored: blocked, it would be queued and taken all the same.
  sigset_t ending;
  sigemptyset(&ending);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (sigaction(s, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
      sigaddset(&ending, s);
  }
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);

  TSocketLayerScope socket_layer;
  UseOpenSSLByDefault();
  TSeriesLoop loop;
  std::vector<std::unique_ptr<TConsoleSeries>> series;
  series.push_back(std::make_unique<TConsoleSeries>(loop, std::move(settings), options, Text()));
  bool abandoned = false;
  const int status = RunConsoleSeries(loop, series, &abandoned);
  std::fflush(stdout);
  // A job that did not stop in time ends with the process; static state must not go first.
  if (abandoned) std::_Exit(status);
  return status;
}

}  // namespace
}  // namespace tessaly

int main(int argc, char** argv) {
  return tessaly::Main(argc, argv);
}
