// tessaly-capture: the capture series of the Tessaly window, for machines without a display.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fileutil.h"
#include "capture/catalog.h"
#include "capture/retention.h"
#include "capture/scheduler.h"
#include "capture/seriesindex.h"
#include "capture/settings.h"
#include "cli/commandline.h"
#include "cli/consoleport.h"
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

// The window's settings file, read by the window's rules into the port's fields.
bool LoadSettingsFile(TConsolePort& port, const Text& path, Text& error) {
  Text content;
  if (DirectoryExists(path)) {
    error = std::strerror(EISDIR);
    return false;
  }
  if (!ReadWholeFile(path, content)) {
    error = std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  Text last_dir;
  LoadSettings(port, path, Text(), last_dir);
  return true;
}

// The interval of the settings: the field's digits ("10" when empty) in the unit of the index.
bool SettingsInterval(const TConsolePort& port, int64_t& ms) {
  int32_t value = 0;
  if (!TryParseInt(port.IntervalText().empty() ? "10" : port.IntervalText(), value)) return false;
  ms = IntervalMs(value, port.UnitIndex());
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

  TConsolePort port;
  if (line.SettingsFile) {
    Text error;
    if (!LoadSettingsFile(port, *line.SettingsFile, error))
      return Fail(kExitUsage, "cannot read settings file " + *line.SettingsFile + ": " + error);
  }
  if (line.Address) port.SetAddressText(*line.Address);
  if (line.Directory) port.SetDirectoryText(*line.Directory);
  // A service's own directory when nothing else names one: the last of systemd's
  // StateDirectory= list, which the unit gives as the program's state and then the instance's.
  const char* state_directory = std::getenv("STATE_DIRECTORY");
  if (port.DirectoryText().empty() && state_directory != nullptr)
    port.SetDirectoryText(Text(state_directory).substr(Text(state_directory).rfind(':') + 1));
  if (port.AddressText().empty()) return Fail(kExitUsage, "no URL given (see --help)");
  if (port.DirectoryText().empty()) return Fail(kExitUsage, "no DIRECTORY given (see --help)");

  TSeriesOptions options;
  options.Count = line.Count;
  options.Quiet = line.Quiet;
  options.MaxFailures = line.MaxFailures;
  options.Hours = line.Hours;
  options.Job.FailOnHttpError = line.Fail;
  options.Job.ImagesOnly = line.ImagesOnly;
  options.Job.SkipUnchanged = line.SkipUnchanged;
  if (line.IntervalMs) {
    options.IntervalMs = *line.IntervalMs;
  } else if (!SettingsInterval(port, options.IntervalMs)) {
    return Fail(kExitUsage, "interval out of range in settings file " + *line.SettingsFile);
  }
  int32_t counter = 0;
  if (line.Counter) {
    counter = *line.Counter;
  } else if (!TryParseInt(port.CounterText(), counter)) {
    return Fail(kExitUsage, "counter '" + port.CounterText() + "' is not a valid integer value");
  }
  const Text directory = port.DirectoryText();
  const bool exists = DirectoryExists(directory);
  if (const Text reason = UnreachableReason(directory, exists); !reason.empty())
    return Fail(kExitUsage, reason);
  if (!exists) return Fail(kExitNoDirectory, "directory " + directory + " does not exist");
  // What the series stored is in the catalog: its counter goes on after the highest number
  // there, and retention removes nothing else.
  TCatalog catalog;
  const Text catalog_path = CatalogPath();
  Text error;
  if (!catalog.Open(catalog_path, error))
    return Fail(kExitNoDirectory, "cannot open the catalog " + catalog_path + ": " + error);
  TRetention retention(catalog, line.Retention,
                       directory.back() == '/' ? directory : directory + "/", port.AddressText());
  TSeriesStart start;
  if (!retention.Start(start, error))
    return Fail(kExitNoDirectory, "cannot find the series of " + directory + " in the catalog " +
                                      catalog_path + ": " + error);
  if (start.Uncatalogued > 0)
    std::fprintf(stderr,
                 "%stessaly-capture: %s holds %lld picture%s of this series' name stored before "
                 "its catalog; retention never removes them\n",
                 IsJournalStream(2) ? "<5>" : "", directory.c_str(),
                 static_cast<long long>(start.Uncatalogued), start.Uncatalogued == 1 ? "" : "s");
  if (!line.Counter && start.HighestCounter == INT32_MAX)
    return Fail(kExitNoDirectory,
                "the series' counter has reached its largest value, 2147483647 (see --counter)");
  if (!line.Counter) counter = ContinuedCounter(counter, start.HighestCounter);
  port.SetCounterValue(counter);
  options.Retention = &retention;
  options.NotItsDirectory = start.NotItsDirectory;

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
  TConsoleSeries series(port, options);
  const int status = series.Run();
  std::fflush(stdout);
  // A job that did not stop in time ends with the process; static state must not go first.
  if (series.JobAbandoned()) std::_Exit(status);
  return status;
}

}  // namespace
}  // namespace tessaly

int main(int argc, char** argv) {
  return tessaly::Main(argc, argv);
}
