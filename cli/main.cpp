// tessaly-capture: the capture series of the Tessaly window, for machines without a display.
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "base/fileutil.h"
#include "capture/job/naming.h"
#include "capture/settings/cameras.h"
#include "capture/settings/settings.h"
#include "capture/store/catalog.h"
#include "capture/store/retention.h"
#include "capture/store/seriesindex.h"
#include "capture/window/scheduler.h"
#include "cli/commandline.h"
#include "cli/consoleseries.h"
#include "cli/serieslog.h"
#include "cli/timelapse.h"
#include "net/sockapi.h"
#include "net/tlsopenssl.h"
#include "watch/mqttevents.h"
#include "watch/statusboard.h"
#include "watch/statusserver.h"

namespace tessaly {
namespace {

constexpr int kExitUsage = 2;
constexpr int kExitNoDirectory = 1;

// A line on standard error with the journal's priority when that is the journal; name, when
// given, leads it: it is a camera's. Names, paths and reasons come from files and servers:
// shown escaped, none can end the line or speak to the terminal.
void Say(int priority, const Text& message, const Text& name = Text()) {
  const Text line = (IsJournalStream(2) ? PriorityPrefix(priority) : Text()) +
                    PrintableText((name.empty() ? "" : name + " ") + "tessaly-capture: " + message);
  std::fprintf(stderr, "%s\n", line.c_str());
}

int Fail(int status, const Text& message, const Text& name = Text()) {
  Say(kPriorityError, message, name);
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

// The window's settings file, read by the window's rules; a file that is not one is refused
// rather than guessed at (its lines would be shown in errors, its directory used).
bool LoadSettingsFile(const Text& path, TSettingsValues& values, Text& error) {
  Text content;
  if (!ReadRegularFile(path, kMaxCameraOptionsBytes, content, error)) {
    error = "cannot read settings file " + path + ": " + error;
    return false;
  }
  if (!ParseSettingsFile(content, values, error)) {
    error = "settings file " + path + " is not a settings file of the window (six lines): " + error;
    return false;
  }
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

// A line of the catalog's, at notice or warning priority; name leads it for a camera.
void Note(const TStartNote& note, const Text& name = Text()) {
  Say(note.Warning ? kPriorityWarning : kPriorityNotice, note.Line, name);
}

// Opens the catalog; one that cannot be read is moved aside and said so.
bool OpenCatalog(TCatalog& catalog, const Text& path, Text& error) {
  Text aside;
  if (!catalog.Open(path, error, &aside)) {
    error = "cannot open the catalog " + path + ": " + error;
    return false;
  }
  if (!aside.empty()) Note({aside, true});
  return true;
}

// --adopt DIR URL: the pictures of URL's name in DIR become the series' own.
int Adopt(const TCommandLine& line) {
  const Text& dir = *line.Adopt;
  if (!DirectoryExists(dir)) return Fail(kExitNoDirectory, "directory " + dir + " does not exist");
  TCatalog catalog;
  Text error;
  const Text path = CatalogPath();
  if (!OpenCatalog(catalog, path, error)) return Fail(kExitNoDirectory, error);
  TRetention series(catalog, {}, dir.back() == '/' ? dir : dir + "/", *line.Address);
  std::vector<TStartNote> lines;
  const bool adopted = series.Adopt(lines, error);
  // The adopted files' names are a directory's: shown escaped, as every name is.
  for (const TStartNote& note : lines) std::printf("%s\n", PrintableText(note.Line).c_str());
  if (!adopted) return Fail(kExitNoDirectory, error);
  return 0;
}

// One series made ready from its command line: its settings, options and the retention that
// knows its pictures from the catalog.
struct TPrepared {
  TSeriesSettings Settings;
  TSeriesOptions Options;
  std::unique_ptr<TRetention> Retention;
};

// 0, or the exit status with error set. The series' pictures are catalogued in catalog (at
// catalog_path); name is the camera's, "" for a lone series.
int Prepare(const TCommandLine& line, TCatalog& catalog, bool& catalog_open,
            const Text& catalog_path, const Text& name, TPrepared& out, Text& error) {
  TSettingsValues values;
  values.Interval = "10";
  values.Counter = "1";
  if (line.SettingsFile) {
    if (!LoadSettingsFile(*line.SettingsFile, values, error)) return kExitUsage;
  }
  if (line.Address) values.Address = *line.Address;
  if (line.Directory) values.Directory = *line.Directory;
  // A service's own directory when nothing else names one: the last of systemd's
  // StateDirectory= list, which the unit gives as the program's state and then the instance's.
  // A camera of many gets one of its own there, named after it, so that no two share one.
  // An empty entry of the list is none.
  const std::vector<Text> states = StateEntries(std::getenv("STATE_DIRECTORY"));
  const Text state_directory = states.empty() ? Text() : states.back();
  const bool own_directory = values.Directory.empty() && !state_directory.empty() && !name.empty();
  if (values.Directory.empty() && !state_directory.empty())
    values.Directory = own_directory ? state_directory + "/" + name : state_directory;
  if (values.Address.empty()) return error = "no URL given (see --help)", kExitUsage;
  if (values.Directory.empty() && !name.empty())
    return error = "settings file " + *line.SettingsFile +
                   " names no directory (outside the service a camera must name one)",
           kExitUsage;
  if (values.Directory.empty()) return error = "no DIRECTORY given (see --help)", kExitUsage;

  TSeriesOptions& options = out.Options;
  options.Count = line.Count;
  options.Quiet = line.Quiet;
  options.MaxFailures = line.MaxFailures;
  TSeriesSettings& settings = out.Settings;
  settings.Hours = line.Hours;
  settings.Address = ParseAddress(values.Address);
  settings.Job.FailOnHttpError = line.Fail;
  settings.Job.ImagesOnly = line.ImagesOnly;
  settings.Job.SkipUnchanged = line.SkipUnchanged;
  settings.Job.FollowRedirects = !line.NoFollow;
  settings.Job.AllowDowngrade = line.AllowDowngrade;
  settings.Tls = line.Tls;
  settings.LeaveBusyAlone = true;
  settings.MinGap = std::chrono::milliseconds(line.MinGapMs);
  settings.KeepOpen = line.KeepOpen;
  if (!line.Tls.CaFile.empty() && access(line.Tls.CaFile.c_str(), R_OK) != 0)
    return error = "cannot read --ca-file " + line.Tls.CaFile + ": " + std::strerror(errno),
           kExitUsage;
  int64_t interval_ms = 0;
  if (line.IntervalMs) {
    interval_ms = *line.IntervalMs;
  } else if (!SettingsInterval(values, interval_ms)) {
    error = "interval out of range in settings file " + *line.SettingsFile;
    return kExitUsage;
  }
  settings.Interval = std::chrono::milliseconds(interval_ms);
  int32_t counter = 0;
  if (line.Counter) {
    counter = *line.Counter;
  } else if (!TryParseInt(values.Counter, counter)) {
    error = "counter '" + values.Counter + "' is not a valid integer value";
    return kExitUsage;
  }
  const Text directory = values.Directory;
  // A hundred cameras must not need a hundred directories made by hand; one that is there is
  // taken as it is.
  if (own_directory && mkdir(directory.c_str(), 0750) != 0 && errno != EEXIST)
    return error = "cannot make directory " + directory + ": " + std::strerror(errno),
           kExitNoDirectory;
  const bool exists = DirectoryExists(directory);
  if (const Text reason = UnreachableReason(directory, exists); !reason.empty())
    return error = reason, kExitUsage;
  if (!exists) return error = "directory " + directory + " does not exist", kExitNoDirectory;
  // What the series stored is in the catalog: its counter goes on after the highest number
  // there, and retention removes nothing else.
  if (!catalog_open && !OpenCatalog(catalog, catalog_path, error)) return kExitNoDirectory;
  catalog_open = true;
  out.Retention = std::make_unique<TRetention>(
      catalog, line.Retention, directory.back() == '/' ? directory : directory + "/",
      values.Address);
  TSeriesStart start;
  if (!out.Retention->Start(start, error)) return kExitNoDirectory;
  for (const TStartNote& note : start.Notes) Note(note, name);
  if (!line.Counter && start.HighestCounter == INT32_MAX) {
    error = "the series' counter has reached its largest value, 2147483647 (see --counter)";
    return kExitNoDirectory;
  }
  if (!line.Counter) counter = ContinuedCounter(counter, start.HighestCounter);
  // Said once at start, where an administrator reads it.
  if (line.Tls.Insecure)
    Say(kPriorityWarning,
        "--insecure: the camera's certificate is not verified; anyone on the way can pose as it",
        name);
  if (line.Tls.Legacy)
    Say(kPriorityWarning,
        "--tls-legacy: old TLS (TLS 1.0, RSA key exchange, CBC, legacy renegotiation) is "
        "allowed for this camera",
        name);
  settings.Counter = counter;
  settings.Directory = directory;
  if (start.NotItsDirectory) settings.StoredIn = out.Retention->Directory();
  settings.Retention = out.Retention.get();
  return 0;
}

// The command line of one camera: the program's own options without --cameras, its settings
// file, then its options file's words, which win.
int CameraLine(int argc, char** argv, const TCameraFile& camera, TCommandLine& line, Text& error) {
  if (!camera.Refused.empty()) return error = camera.Refused, kExitUsage;
  std::vector<Text> own;
  if (camera.OptionsPath) {
    Text content;
    if (!ReadRegularFile(*camera.OptionsPath, kMaxCameraOptionsBytes, content, error)) {
      error = "cannot read options file " + *camera.OptionsPath + ": " + error;
      return kExitUsage;
    }
    if (!ParseCameraOptions(content, own, error)) {
      error = "options file " + *camera.OptionsPath + ": " + error;
      return kExitUsage;
    }
  }
  line = CameraCommandLine(argc, argv, camera.SettingsPath, own);
  if (line.Action != TCommandLine::TAction::Run) {
    error = "options file " + camera.OptionsPath.value_or(Text()) + ": " + line.Error;
    return kExitUsage;
  }
  return 0;
}

// What a camera or a lone series is made from, as its files read now: a change restarts it at a
// reload. A file that cannot be read reads as something else than what ran, so Prepare says why.
Text SettingsSource(const Text& settings_path, const std::optional<Text>& options_path) {
  // Read as Prepare reads them: a FIFO or a device put there must not hold the reload.
  Text settings, options, error;
  Text source = ReadRegularFile(settings_path, kMaxCameraOptionsBytes, settings, error)
                    ? "s" + settings
                    : Text("-");
  if (options_path)
    source += ReadRegularFile(*options_path, kMaxCameraOptionsBytes, options, error)
                  ? Text("\0o", 2) + options
                  : Text("\0-", 2);
  return source;
}

// The series of one camera or of the lone series; "" for its name.
std::unique_ptr<TConsoleSeries> MakeSeries(TSeriesLoop& loop, TPrepared prepared,
                                           const Text& name) {
  return std::make_unique<TConsoleSeries>(loop, std::move(prepared.Settings), prepared.Options,
                                          name, std::move(prepared.Retention));
}

// A line on standard error that a reload leaves, at notice priority under the journal.
void Tell(const Text& message, const Text& name = Text()) {
  Say(kPriorityNotice, message, name);
}

int Main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "timelapse") == 0) return RunTimelapse(argc - 1, argv + 1);
  const TCommandLine line = ParseCommandLine(argc, argv);
  switch (line.Action) {
    case TCommandLine::TAction::Help:
      std::fputs((UsageText() + "\n" + TimelapseUsage()).c_str(), stdout);
      return 0;
    case TCommandLine::TAction::Version:
      std::printf("tessaly-capture %s\n", TESSALY_VERSION);
      return 0;
    case TCommandLine::TAction::Usage:
      return Fail(kExitUsage, line.Error + " (see --help)");
    case TCommandLine::TAction::Run:
      break;
  }
  if (line.Adopt) return Adopt(line);

  // Each camera that cannot start says why on a line that starts with its name; the others run,
  // and the exit status tells of it.
  std::vector<TPrepared> prepared;
  std::vector<Text> names;
  std::vector<Text> unstarted;
  std::map<Text, Text> unstarted_why;
  // What each prepared series was made from, to compare at a reload.
  std::map<Text, Text> sources;
  int worst = 0;
  // One catalog for every camera of the process, opened when the first needs it; it outlives
  // their series.
  TCatalog catalog;
  bool catalog_open = false;
  const Text catalog_path = CatalogPath();
  if (!line.Cameras) {
    prepared.emplace_back();
    Text error;
    if (line.SettingsFile) sources[Text()] = SettingsSource(*line.SettingsFile, std::nullopt);
    if (const int status =
            Prepare(line, catalog, catalog_open, catalog_path, Text(), prepared.back(), error);
        status != 0)
      return Fail(status, error);
    names.emplace_back();
  } else {
    // A socket or two per camera while it fetches, and its pictures: the soft limit on open
    // files (1024 by default) would refuse the thousandth camera.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
      files.rlim_cur = files.rlim_max;
      setrlimit(RLIMIT_NOFILE, &files);
    }
    std::vector<TCameraFile> cameras;
    Text error;
    if (!ListCameras(*line.Cameras, cameras, error)) return Fail(kExitUsage, error);
    if (cameras.empty()) return Fail(kExitUsage, "no cameras in " + *line.Cameras);
    for (const TCameraFile& camera : cameras) {
      TCommandLine own;
      TPrepared one;
      const Text source = SettingsSource(camera.SettingsPath, camera.OptionsPath);
      int status = CameraLine(argc, argv, camera, own, error);
      if (status == 0)
        status = Prepare(own, catalog, catalog_open, catalog_path, camera.Name, one, error);
      if (status != 0) {
        Fail(status, error, camera.Name);
        worst = std::max(worst, status);
        unstarted.push_back(camera.Name);
        unstarted_why[camera.Name] = error;
        continue;
      }
      prepared.push_back(std::move(one));
      names.push_back(camera.Name);
      sources[camera.Name] = source;
    }
    if (prepared.empty()) return worst;
  }

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
  // Those who watch the cameras: the status endpoint and the broker.
  TCameraWatchers watchers;
  // --listen: the status endpoint, told by every camera; it outlives their series.
  TStatusBoard board;
  std::unique_ptr<TStatusServer> endpoint;
  if (line.Listen) {
    endpoint = std::make_unique<TStatusServer>(board, line.HealthGraceSeconds);
    Text error;
    if (!endpoint->Start(*line.Listen, error)) return Fail(kExitUsage, error);
    TListenAddress bound = *line.Listen;
    bound.Port = endpoint->Port();
    Say(kPriorityNotice, "status page at http://" + ListenAddressText(bound) + "/");
    watchers.Add(&board);
  }
  // Events on an MQTT broker (--mqtt), sent by a thread of their own that outlives the series.
  std::unique_ptr<TMqttEvents> mqtt;
  if (line.Mqtt.Url) {
    TMqttSettings settings;
    Text error;
    ParseMqttUrl(*line.Mqtt.Url, settings.Url, error);
    if (!line.Mqtt.PasswordFile.empty()) {
      Text content;
      if (!ReadRegularFile(line.Mqtt.PasswordFile, 4096, content, error))
        return Fail(kExitUsage,
                    "cannot read --mqtt-password-file " + line.Mqtt.PasswordFile + ": " + error);
      settings.Url.Password = content.substr(0, content.find_first_of("\r\n"));
      settings.Url.HasPassword = true;
      if (settings.Url.User.empty())
        return Fail(kExitUsage, "--mqtt-password-file needs a user in the --mqtt address");
    }
    if (!line.Mqtt.CaFile.empty() && access(line.Mqtt.CaFile.c_str(), R_OK) != 0)
      return Fail(kExitUsage,
                  "cannot read --mqtt-ca-file " + line.Mqtt.CaFile + ": " + std::strerror(errno));
    settings.CaFile = line.Mqtt.CaFile;
    settings.Discovery = line.Mqtt.Discovery;
    settings.ImageMaxBytes = line.Mqtt.ImageMaxBytes;
    // A lone series is named after its settings file (garden.ini) or its directory.
    Text lone = line.SettingsFile ? *line.SettingsFile : line.Directory.value_or("camera");
    while (lone.size() > 1 && lone.back() == '/') lone.pop_back();
    lone = lone.substr(lone.rfind('/') + 1);
    if (lone.size() > 4 && lone.compare(lone.size() - 4, 4, ".ini") == 0)
      lone.resize(lone.size() - 4);
    settings.LoneName = lone;
    mqtt = std::make_unique<TMqttEvents>(settings, [](bool warning, const Text& said) {
      Say(warning ? kPriorityWarning : kPriorityNotice, said);
    });
    if (!mqtt->Start(error)) return Fail(kExitUsage, error);
    watchers.Add(mqtt.get());
  }
  TConsoleRun run;
  if (!watchers.Empty()) run.Watcher = &watchers;
  for (size_t i = 0; i < prepared.size(); ++i)
    run.Series.push_back(MakeSeries(loop, std::move(prepared[i]), names[i]));
  run.Unstarted = unstarted;
  run.UnstartedWhy = unstarted_why;

  // A reload (SIGHUP under the service manager) reads the files again. A series whose files
  // changed begins anew with them, one that cannot be made ready from them runs on as it was;
  // the others are not touched. The command line stays the one the program was started with.
  auto find = [&run](const Text& name) {
    return std::find_if(run.Series.begin(), run.Series.end(),
                        [&name](const auto& one) { return one->Name() == name; });
  };
  // Makes the series of name from line anew when its source differs; false when it could not.
  auto renew = [&](const TCommandLine& own, const Text& name, const Text& source, int status,
                   Text& error) {
    TPrepared one;
    if (status == 0) status = Prepare(own, catalog, catalog_open, catalog_path, name, one, error);
    if (status != 0) return false;
    if (auto old = find(name); old != run.Series.end()) {
      // Its beat goes on: the first fetch with the new settings falls at the next tick.
      const auto next_tick = (*old)->NextTick();
      (*old)->Retire();
      *old = MakeSeries(loop, std::move(one), name);
      if (next_tick) (*old)->SetBeginAt(*next_tick);
    } else {
      run.Series.push_back(MakeSeries(loop, std::move(one), name));
    }
    sources[name] = source;
    return true;
  };
  if (!line.Cameras) {
    run.Reload = [&](TConsoleRun&) {
      if (!line.SettingsFile) return Tell("reloaded: no settings file to read again");
      const Text source = SettingsSource(*line.SettingsFile, std::nullopt);
      if (source == sources[Text()]) return Tell("reloaded: the settings have not changed");
      Text error;
      if (renew(line, Text(), source, 0, error))
        return Tell("reloaded: the series begins anew with the changed settings");
      Fail(0, "reload: " + error + "; the series runs on with the settings it had");
    };
  } else {
    run.Reload = [&](TConsoleRun&) {
      std::vector<TCameraFile> cameras;
      Text error;
      if (!ListCameras(*line.Cameras, cameras, error) ||
          (cameras.empty() && (error = "no cameras in " + *line.Cameras, true)))
        return (void)Fail(0, "reload: " + error + "; every camera runs on as it was");
      int added = 0, removed = 0, restarted = 0, refused = 0;
      std::vector<Text> still_unstarted;
      for (auto one = run.Series.begin(); one != run.Series.end();) {
        const Text name = (*one)->Name();
        if (std::any_of(cameras.begin(), cameras.end(),
                        [&name](const TCameraFile& c) { return c.Name == name; })) {
          ++one;
          continue;
        }
        (*one)->Retire();
        one = run.Series.erase(one);
        sources.erase(name);
        ++removed;
      }
      for (const TCameraFile& camera : cameras) {
        const Text source = SettingsSource(camera.SettingsPath, camera.OptionsPath);
        const bool running = find(camera.Name) != run.Series.end();
        if (running && sources[camera.Name] == source) continue;
        TCommandLine own;
        const int status = CameraLine(argc, argv, camera, own, error);
        if (renew(own, camera.Name, source, status, error)) {
          ++(running ? restarted : added);
          continue;
        }
        ++refused;
        if (running) {
          Fail(0, "reload: " + error + "; the camera runs on as it was", camera.Name);
        } else {
          Fail(0, error, camera.Name);
          still_unstarted.push_back(camera.Name);
          run.UnstartedWhy[camera.Name] = error;
        }
      }
      run.Unstarted = still_unstarted;
      Tell("reloaded " + *line.Cameras + ": " + IntToText(added) + " started, " +
           IntToText(removed) + " stopped, " + IntToText(restarted) + " restarted, " +
           IntToText(refused) + " refused");
    };
  }
  const int status = RunConsoleSeries(loop, run);
  std::fflush(stdout);
  const bool mqtt_ended = !mqtt || mqtt->Stop(std::chrono::seconds(1));
  // The service manager asked for the stop: it ends well, whatever state the cameras were in.
  const int ended = run.Signalled && UnderListeningServiceManager() ? 0 : std::max(worst, status);
  // A job that did not stop in time ends with the process; static state must not go first.
  if (run.Abandoned || !mqtt_ended) std::_Exit(ended);
  return ended;
}

}  // namespace
}  // namespace tessaly

int main(int argc, char** argv) {
  return tessaly::Main(argc, argv);
}
