#include "cli/commandline.h"

#include <getopt.h>

#include <initializer_list>
#include <utility>

#include "capture/window/scheduler.h"
#include "watch/mqtttext.h"

namespace tessaly {

bool ParseCount(const Text& text, int64_t max, int64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= max;
}

namespace {

// Digits and one of the units' names ("" among them for a plain number), as the number times
// that unit's factor; false for another form or a value past 2^62.
bool ParseScaled(const Text& text, std::initializer_list<std::pair<Text, int64_t>> units,
                 int64_t& value) {
  const size_t digits = text.find_first_not_of("0123456789");
  const Text unit = digits == Text::npos ? Text() : text.substr(digits);
  for (const auto& [name, factor] : units) {
    if (name != unit || !ParseCount(text.substr(0, digits), (int64_t{1} << 62) / factor, value))
      continue;
    value *= factor;
    return true;
  }
  return false;
}

bool ParseSize(const Text& text, int64_t& bytes) {
  return ParseScaled(text, {{"", 1}, {"K", 1 << 10}, {"M", 1 << 20}, {"G", 1 << 30}}, bytes);
}

TCommandLine UsageError(const Text& error) {
  TCommandLine line;
  line.Action = TCommandLine::TAction::Usage;
  line.Error = error;
  return line;
}

}  // namespace

bool ValidPin(const Text& text) {
  static const Text kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find(';', start);
    if (end == Text::npos) end = text.size();
    Text pin = text.substr(start, end - start);
    if (pin.rfind("sha256/", 0) != 0) return false;
    pin = pin.substr(pin.rfind("sha256//", 0) == 0 ? 8 : 7);
    if (pin.size() != 44 || pin[43] != '=' || pin.find_first_not_of(kBase64) != 43) return false;
    start = end + 1;
  }
  return true;
}

bool ParseInterval(const Text& text, int64_t& ms) {
  return ParseScaled(text,
                     {{"", 1000}, {"s", 1000}, {"ms", 1}, {"m", 60 * 1000}, {"h", 60 * 60 * 1000}},
                     ms) &&
         ms <= kLongestIntervalMs;
}

Text UsageText() {
  return "Usage: tessaly-capture [options] URL DIRECTORY\n"
         "       tessaly-capture [options] --cameras DIR\n"
         "       tessaly-capture --adopt DIR URL\n"
         "       tessaly-capture timelapse [options] DIRECTORY [URL|NAME] (films: below)\n"
         "Fetches the image at URL at once and then once per interval, and stores every answer\n"
         "as a new file in DIRECTORY; an existing file is never overwritten. One line per\n"
         "fetch on standard output: the time, then \"stored PATH BYTES MILLISECONDS\",\n"
         "\"unchanged\" or \"failed REASON\". A whole JPEG in a 2xx answer whose camera closes\n"
         "the connection short of its declared length is stored, its line ending \"short of its\n"
         "declared length\"; any other answer cut short is a failed fetch. An rtsp:// URL\n"
         "(RTSP over TCP, Basic or Digest) gives a whole picture of the stream as a JPEG,\n"
         "NAME_00000001.jpg, decoded from a keyframe on (FFmpeg's libraries).\n"
         "Repeated identical failures are folded (\"still failing since HH:MM: ...\"). Under\n"
         "the journal (JOURNAL_STREAM) lines have no time stamp and failures warning priority.\n"
         "SIGINT, SIGTERM or SIGHUP end the series at once, abandoning a fetch in flight (nothing\n"
         "of it is stored). A signal ignored at start (nohup) stays ignored. Under a service\n"
         "manager (NOTIFY_SOCKET) SIGHUP reloads instead: the settings file, or the cameras'\n"
         "files, are read again; a series whose files changed begins anew with them at its\n"
         "next tick, an added camera starts, a removed one stops, the others go on untouched;\n"
         "a file that cannot be used leaves its series running as it was and says why. The\n"
         "command line stays.\n"
         "\n"
         "  --every N[ms|s|m|h]  interval between fetches (default 10s; a plain number is\n"
         "                       seconds; 0 fetches back to back)\n"
         "  --counter N          number of the first picture (default: the settings' counter\n"
         "                       or 1, or, when higher, the number after the highest one\n"
         "                       this series has catalogued)\n"
         "  --count N            end after N stored pictures (default: until stopped)\n"
         "  --max-failures N     end with status 3 after N failed fetches in a row\n"
         "  --settings FILE      take URL, interval, DIRECTORY and counter from a settings\n"
         "                       file of the Tessaly window; the command line wins\n"
         "  --cameras DIR        one series per camera in one process: every file in DIR is\n"
         "                       a settings file of the window, named after its camera;\n"
         "                       NAME.options beside it holds that camera's own options,\n"
         "                       one a line (\"--every 30s\"), which win over the command\n"
         "                       line's. Every line starts with the camera's name; --count\n"
         "                       and --max-failures count per camera. A camera whose files\n"
         "                       cannot be used (not regular files, not settings files, a\n"
         "                       name with a space) is refused with a line; the others run\n"
         "  --listen ADDRESS:PORT\n"
         "                       with --cameras: serve a status page of every camera (/),\n"
         "                       /cameras.json, Prometheus metrics (/metrics), a health\n"
         "                       check (/health) and each camera's last picture\n"
         "                       (/cameras/NAME/latest.jpg) over HTTP at this address\n"
         "                       (127.0.0.1:8090, [::1]:8090; port 0: one the system picks,\n"
         "                       printed at start). Off by default; no password, so keep it\n"
         "                       on a loopback or trusted address\n"
         "  --health-grace N[s|m|h]\n"
         "                       /health answers 503 once a camera has failed, or not\n"
         "                       started, for longer than this (default 5m)\n"
         "  --between HH:MM-HH:MM[,HH:MM-HH:MM...]\n"
         "                       fetch only inside these ranges of local time; a range\n"
         "                       may pass midnight (22:00-02:00)\n"
         "  --daylight LAT,LON[,ANGLE]\n"
         "                       fetch only while the centre of the sun stands above ANGLE\n"
         "                       degrees there (default -6, civil twilight; 0 is sunrise\n"
         "                       to sunset; no refraction); with --between both must hold.\n"
         "                       Outside these hours nothing is fetched: the series prints\n"
         "                       \"paused until TIME\" and fetches at once when they open\n"
         "  --keep-for N[s|m|h|d]\n"
         "                       before each store, remove this series' pictures stored\n"
         "                       longer than N ago (a plain number is seconds)\n"
         "  --keep-size SIZE[K|M|G]\n"
         "                       before each store, remove this series' oldest pictures\n"
         "                       until they take no more than SIZE bytes together with the\n"
         "                       new one (K, M, G: 1024, 1024^2, 1024^3)\n"
         "  --min-free SIZE[K|M|G]\n"
         "                       before each store, remove this series' oldest pictures\n"
         "                       until SIZE stays free on the disk with the new one stored;\n"
         "                       when removing all it could (pictures with no other link)\n"
         "                       would not reach that, nothing is removed and the fetch\n"
         "                       fails as on a full disk, saying how much is free.\n"
         "                       Retention removes only the pictures this series stored and\n"
         "                       catalogued, the oldest stored first, and only while the file\n"
         "                       at that name is still the one stored. It never removes a\n"
         "                       file outside the catalog, of another series or put there\n"
         "                       by anyone else, a link or a directory. Each removal prints\n"
         "                       \"removed PATH BYTES\", each failed one \"could not remove\n"
         "                       PATH: REASON\" (the row stays; tried again after an hour or\n"
         "                       at the next start, the next oldest going meanwhile), also\n"
         "                       with --quiet\n"
         "  --ca-file FILE       trust the certificates of this PEM file for an https camera,\n"
         "                       besides the system's\n"
         "  --pin sha256//BASE64 trust exactly the certificate whose public key has this\n"
         "                       SHA-256 (of its DER SubjectPublicKeyInfo, base64; curl's\n"
         "                       form; several separated by \";\"), whoever issued it and\n"
         "                       whatever names it has; a failed fetch names the key it met\n"
         "  --insecure           do not verify the camera's certificate at all (a warning at\n"
         "                       start; the service's status says so)\n"
         "  --tls-legacy         allow old TLS for this camera: TLS 1.0 and 1.1, RSA key\n"
         "                       exchange, CBC ciphers, the lowest security level and\n"
         "                       servers without secure renegotiation (a warning at start)\n"
         "  --min-gap N[ms|s|m|h]\n"
         "                       start no two requests to the camera's host and port within\n"
         "                       N of each other, for every camera of the process that\n"
         "                       fetches there; a tick that comes too early waits until it may\n"
         "                       Busy cameras: after a 429 or 503 with Retry-After (seconds or\n"
         "                       a date; at most a day) the ticks before its end pass without\n"
         "                       a request; from the second 429, 503 or time-out in a row the\n"
         "                       next request waits 2, 4, then at most 8 intervals; each says\n"
         "                       \"busy, no request until TIME (WHY)\". The interval returns\n"
         "                       once the camera answers otherwise\n"
         "  --quiet              print only the failed fetches and the removals\n"
         "  --quiet              print only the failed fetches, the removals, and the pauses\n"
         "                       of the active hours with their ends\n"
         "  --fail               an answer with a status of 400 or more is a failed fetch\n"
         "                       (\"failed HTTP 503 Service Unavailable\"); nothing is stored\n"
         "  --images-only        store only complete JPEG, PNG, GIF and WebP pictures, one per\n"
         "                       answer (only line ends may follow a JPEG's end-of-image\n"
         "                       marker); anything else is a failed fetch with its reason\n"
         "                       (\"failed not a picture: text/html, 1234 bytes\")\n"
         "  --no-follow          store a redirect's answer instead of following it. By\n"
         "                       default 301, 302, 303, 307 and 308 are followed, up to 5\n"
         "                       in a row; a loop or a sixth fails with the chain of\n"
         "                       addresses. The user and password go only to addresses of\n"
         "                       the same scheme, host and port as URL; the file names stay\n"
         "                       those of URL\n"
         "  --allow-downgrade    follow a redirect from https to http (refused otherwise)\n"
         "  --keep-open          keep an rtsp camera's session open between the ticks\n"
         "                       whatever the interval (it is kept for intervals up to 30 s)\n"
         "  --skip-unchanged     do not store an answer equal byte for byte to the last\n"
         "                       picture stored; print \"unchanged\" (not counted by --count)\n"
         "  --mqtt mqtt://[USER@]HOST[:PORT][/PREFIX]\n"
         "                       tell an MQTT broker of every camera (mqtts:// for TLS,\n"
         "                       checked against the system's store; port 1883 or 8883;\n"
         "                       PREFIX default tessaly): PREFIX/CAMERA/stored, JSON per\n"
         "                       stored picture (camera, path, bytes, time, ms);\n"
         "                       PREFIX/CAMERA/state, retained JSON (state: running, failing,\n"
         "                       frozen, paused, not started, ended; detail, since, until);\n"
         "                       PREFIX/CAMERA/image, the last picture, retained, at most one\n"
         "                       every 10 s; PREFIX/status, online or offline (retained, also\n"
         "                       the will); and Home Assistant's discovery. QoS 1. A broker\n"
         "                       that is away delays no fetch: one line says so, the client\n"
         "                       reconnects (1 s doubling to 30 s), up to 10000 stored-picture\n"
         "                       messages wait (the oldest dropped beyond), and one line says\n"
         "                       when it is back. CAMERA is the camera's name with %, +, #\n"
         "                       and / written as %XX; a lone series is named after its\n"
         "                       settings file (without .ini) or DIRECTORY\n"
         "  --mqtt-password-file FILE\n"
         "                       the broker's password, the file's first line (not seen in\n"
         "                       ps, unlike one in the address, which it replaces)\n"
         "  --mqtt-ca-file FILE  trust this PEM file for an mqtts:// broker, besides the\n"
         "                       system's store\n"
         "  --mqtt-discovery PREFIX\n"
         "                       Home Assistant's discovery prefix (default homeassistant;\n"
         "                       off sends none): PREFIX/image/NODE/ID/config and\n"
         "                       PREFIX/sensor/NODE/ID/config, retained, one device per camera\n"
         "  --mqtt-image-max SIZE[K|M]\n"
         "                       the largest picture sent on CAMERA/image (default 1M; 0\n"
         "                       sends none)\n"
         "  --adopt DIR URL      take the pictures of URL's name in DIR into the catalog as\n"
         "                       the series' own (one line each), and make DIR and URL\n"
         "                       the series' directory and address from now on: for\n"
         "                       pictures of an earlier version, a catalog that was lost,\n"
         "                       a camera that moved to a new address, a directory on\n"
         "                       another disk. Nothing is fetched\n"
         "  --help               show this help and exit\n"
         "  --version            show the version and exit\n"
         "\n"
         "When neither the command line nor the settings file names a DIRECTORY, the\n"
         "pictures go to the last directory of $STATE_DIRECTORY, which systemd sets for a\n"
         "service; with --cameras, to a directory named after the camera there, made\n"
         "(mode 0750) when missing. Without $STATE_DIRECTORY such a camera does not start.\n"
         "\n"
         "The catalog: a series is DIRECTORY with the name the URL gives its pictures, and\n"
         "captures one URL (recorded without user and password): another URL that gives the\n"
         "same names in the same DIRECTORY is refused at start (give it a directory of its\n"
         "own, or --adopt when the camera moved). One process captures a series: a second is\n"
         "refused, naming the first one's PID. Every picture gets a row in catalog.sqlite\n"
         "in the state directory (the first entry of $STATE_DIRECTORY that is not empty\n"
         "under a service, else $XDG_STATE_HOME/tessaly, by default\n"
         "~/.local/state/tessaly), written before its name appears: no kill leaves a\n"
         "picture without its row, and each start settles what a kill left open. A picture\n"
         "whose row cannot be written is not stored: the fetch fails with SQLite's reason.\n"
         "A catalog that SQLite cannot read is moved aside (catalog.sqlite.broken-DATE) and\n"
         "a new one made. A series without a row goes on after the highest number among\n"
         "the files of its name, which it never removes (see --adopt). A directory made anew\n"
         "on the same file system is taken over with a line; when DIRECTORY is on another\n"
         "file system than the one the series stored on (an empty mount point) and holds\n"
         "none of its pictures, every fetch fails (\"failed DIRECTORY is not the directory\n"
         "this series stored in\") until that one is back or --adopt takes it over.\n"
         "\n"
         "Exit status: 0 at the end of the series (also after a signal; under a service\n"
         "manager, after its signal whatever state the cameras were in), 1 when DIRECTORY does\n"
         "not exist or cannot be read, the catalog cannot be opened, or the counter reached\n"
         "its largest value, 2 for a bad command line, a settings file that cannot be read or\n"
         "is not one of the window, or a DIRECTORY that cannot be written (or that a service\n"
         "cannot reach), 3 after --max-failures failed fetches in a row. With --cameras, the\n"
         "highest status of any camera: 0 only when none failed.\n";
}

namespace {

// The status endpoint's options, beyond every character.
constexpr int kListenOption = 0x300;
constexpr int kHealthGraceOption = 0x301;

// Reads the options of argv[1..] into line, over what it holds; getopt moves the operands to
// the end, from first on. False, line a usage error, help or version, when the reading ends.
bool ReadOptions(int argc, char** argv, TCommandLine& line, int& first) {
  constexpr int kMqtt = 0x4d00;  // --mqtt and its companions: no short forms
  static const option kOptions[] = {
      {"every", required_argument, nullptr, 'e'},
      {"counter", required_argument, nullptr, 'c'},
      {"count", required_argument, nullptr, 'n'},
      {"settings", required_argument, nullptr, 's'},
      {"cameras", required_argument, nullptr, 'C'},
      {"max-failures", required_argument, nullptr, 'f'},
      {"quiet", no_argument, nullptr, 'q'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {"between", required_argument, nullptr, 'b'},
      {"daylight", required_argument, nullptr, 'd'},
      {"fail", no_argument, nullptr, 'F'},
      {"images-only", no_argument, nullptr, 'i'},
      {"skip-unchanged", no_argument, nullptr, 'u'},
      {"no-follow", no_argument, nullptr, 'N'},
      {"allow-downgrade", no_argument, nullptr, 'D'},
      {"keep-for", required_argument, nullptr, 'k'},
      {"keep-size", required_argument, nullptr, 'z'},
      {"min-free", required_argument, nullptr, 'm'},
      {"ca-file", required_argument, nullptr, 'A'},
      {"pin", required_argument, nullptr, 'P'},
      {"insecure", no_argument, nullptr, 'I'},
      {"tls-legacy", no_argument, nullptr, 'L'},
      {"mqtt", required_argument, nullptr, kMqtt},
      {"mqtt-password-file", required_argument, nullptr, kMqtt + 1},
      {"mqtt-ca-file", required_argument, nullptr, kMqtt + 2},
      {"mqtt-discovery", required_argument, nullptr, kMqtt + 3},
      {"mqtt-image-max", required_argument, nullptr, kMqtt + 4},
      {"min-gap", required_argument, nullptr, 'g'},
      {"adopt", required_argument, nullptr, 'O'},
      {"listen", required_argument, nullptr, kListenOption},
      {"health-grace", required_argument, nullptr, kHealthGraceOption},
      {"keep-open", no_argument, nullptr, 'K'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  optind = 0;  // a fresh scan, also for a second call
  for (;;) {
    int index = 0;
    const int option = getopt_long(argc, argv, ":", kOptions, &index);
    if (option == -1) break;
    const Text value = optarg ? optarg : "";
    // A short option that is not known is named by optopt; a long one only by its word.
    const Text given = option == '?' && optopt != 0   ? Text("-") + static_cast<char>(optopt)
                       : optind > 0 && optind <= argc ? Text(argv[optind - 1])
                                                      : Text();
    switch (option) {
      case 'e': {
        int64_t ms = 0;
        if (!ParseInterval(value, ms))
          return line = UsageError("bad interval for --every: '" + value + "'"), false;
        line.IntervalMs = ms;
        break;
      }
      case 'c': {
        int32_t counter = 0;
        if (!TryParseInt(value, counter))
          return line = UsageError("bad number for --counter: '" + value + "'"), false;
        line.Counter = counter;
        break;
      }
      case 'n':
        if (!ParseCount(value, 2147483647, line.Count) || line.Count == 0)
          return line = UsageError("bad number for --count: '" + value + "'"), false;
        break;
      case 'f':
        if (!ParseCount(value, 2147483647, line.MaxFailures) || line.MaxFailures == 0)
          return line = UsageError("bad number for --max-failures: '" + value + "'"), false;
        break;
      case 'b':
        if (!ParseBetween(value, line.Hours.Ranges))
          return line = UsageError("bad range for --between: '" + value + "'"), false;
        break;
      case 'd':
        if (!ParseDaylight(value, line.Hours.Daylight.emplace()))
          return line = UsageError("bad place for --daylight: '" + value + "'"), false;
        break;
      case 'k':
        if (!ParseScaled(value, {{"", 1}, {"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}},
                         line.Retention.KeepForSeconds))
          return line = UsageError("bad age for --keep-for: '" + value + "'"), false;
        break;
      case 'z':
        if (!ParseSize(value, line.Retention.KeepBytes) || line.Retention.KeepBytes == 0)
          return line = UsageError("bad size for --keep-size: '" + value + "'"), false;
        break;
      case 'm':
        if (!ParseSize(value, line.Retention.MinFreeBytes))
          return line = UsageError("bad size for --min-free: '" + value + "'"), false;
        break;
      case 'A':
        if (value.empty()) return line = UsageError("--ca-file needs a file"), false;
        line.Tls.CaFile = value;
        break;
      case 'P':
        if (!ValidPin(value))
          return line = UsageError("bad pin for --pin: '" + value + "' (sha256//BASE64)"), false;
        line.Tls.Pin = value;
        break;
      case 'I':
        line.Tls.Insecure = true;
        break;
      case 'L':
        line.Tls.Legacy = true;
        break;
      case 'g':
        if (!ParseInterval(value, line.MinGapMs))
          return line = UsageError("bad interval for --min-gap: '" + value + "'"), false;
        break;
      case kMqtt: {
        TMqttUrl url;
        Text why;
        // The address may hold a password: the error names only what is wrong.
        if (!ParseMqttUrl(value, url, why))
          return line = UsageError("bad address for --mqtt: " + why), false;
        line.Mqtt.Url = value;
        break;
      }
      case kMqtt + 1:
      case kMqtt + 2:
        if (value.empty())
          return line = UsageError(option == kMqtt + 1 ? "--mqtt-password-file needs a file"
                                                       : "--mqtt-ca-file needs a file"),
                 false;
        (option == kMqtt + 1 ? line.Mqtt.PasswordFile : line.Mqtt.CaFile) = value;
        break;
      case kMqtt + 3:
        if (value != "off" && !ValidTopicPrefix(value))
          return line = UsageError("bad topic prefix for --mqtt-discovery: '" + value + "'"), false;
        line.Mqtt.Discovery = value == "off" ? Text() : value;
        break;
      case kMqtt + 4:
        if (!ParseSize(value, line.Mqtt.ImageMaxBytes) || line.Mqtt.ImageMaxBytes > (64 << 20))
          return line = UsageError("bad size for --mqtt-image-max: '" + value + "'"), false;
        break;
      case 's':
        line.SettingsFile = value;
        break;
      case 'C':
        line.Cameras = value;
        break;
      case 'O':
        line.Adopt = value;
        break;
      case 'q':
        line.Quiet = true;
        break;
      case 'F':
        line.Fail = true;
        break;
      case 'i':
        line.ImagesOnly = true;
        break;
      case 'u':
        line.SkipUnchanged = true;
        break;
      case 'K':
        line.KeepOpen = true;
        break;
      case 'N':
        line.NoFollow = true;
        break;
      case 'D':
        line.AllowDowngrade = true;
        break;
      case kListenOption:
        if (!ParseListenAddress(value, line.Listen.emplace()))
          return line = UsageError("bad address for --listen: '" + value +
                                   "' (127.0.0.1:8090 or [::1]:8090)"),
                 false;
        break;
      case kHealthGraceOption: {
        int64_t ms = 0;
        if (!ParseInterval(value, ms) || ms < 1000)
          return line = UsageError("bad time for --health-grace: '" + value + "'"), false;
        line.HealthGraceSeconds = ms / 1000;
        break;
      }
      case 'h':
        line.Action = TCommandLine::TAction::Help;
        return false;
      case 'V':
        line.Action = TCommandLine::TAction::Version;
        return false;
      case ':':
        return line = UsageError("option '" + given + "' needs a value"), false;
      default:
        return line = UsageError("unknown option '" + given + "'"), false;
    }
  }
  first = optind;
  return true;
}

}  // namespace

TCommandLine ParseCommandLine(int argc, char** argv) {
  TCommandLine line;
  int first = 0;
  if (!ReadOptions(argc, argv, line, first)) return line;
  const int operands = argc - first;
  if (line.Adopt) {
    if (operands != 1 || line.Cameras || line.SettingsFile)
      return UsageError("--adopt DIR takes one URL and nothing else");
    line.Address = argv[first];
    return line;
  }
  if (line.Listen && !line.Cameras) return UsageError("--listen needs --cameras");
  if (line.Cameras) {
    if (operands > 0) return UsageError("no URL or DIRECTORY with --cameras");
    if (line.SettingsFile) return UsageError("--settings and --cameras exclude each other");
    return line;
  }
  if (operands > 2) return UsageError("too many operands (expected URL DIRECTORY)");
  if (operands < 2 && !line.SettingsFile)
    return UsageError(operands == 0 ? "URL and DIRECTORY missing" : "DIRECTORY missing");
  if (operands >= 1) line.Address = argv[first];
  if (operands == 2) line.Directory = argv[first + 1];
  return line;
}

TCommandLine CameraCommandLine(int argc, char** argv, const Text& settings_file,
                               const std::vector<Text>& own) {
  TCommandLine line;
  int first = 0;
  ReadOptions(argc, argv, line, first);
  line.Cameras.reset();
  // One endpoint for the process: an options file's --listen would only be ignored.
  line.Listen.reset();
  // The broker is the process's: a camera's file cannot name another.
  const TMqttLine mqtt = line.Mqtt;
  line.Mqtt = TMqttLine();
  std::vector<Text> words = {argv[0]};
  words.insert(words.end(), own.begin(), own.end());
  std::vector<char*> pointers;
  for (Text& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  const int count = static_cast<int>(words.size());
  if (!ReadOptions(count, pointers.data(), line, first)) {
    if (line.Action == TCommandLine::TAction::Usage) return line;
    return UsageError("--help and --version have no place in an options file");
  }
  // Abbreviated as getopt allows, too ("--cam").
  if (line.Cameras) return UsageError("--cameras has no place in an options file");
  if (line.SettingsFile) return UsageError("--settings has no place in an options file");
  if (line.Adopt) return UsageError("--adopt has no place in an options file");
  if (line.Listen) return UsageError("--listen has no place in an options file");
  if (!(line.Mqtt == TMqttLine()))
    return UsageError("--mqtt and its options have no place in an options file");
  line.Mqtt = mqtt;
  if (first < count)
    return UsageError("'" + Text(pointers[first]) +
                      "' is not an option (a value given to one that takes none?)");
  line.SettingsFile = settings_file;
  return line;
}

}  // namespace tessaly
