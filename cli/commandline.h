// The console program's command line: tessaly-capture [options] URL DIRECTORY.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/text.h"
#include "capture/hours/activehours.h"
#include "capture/job/jobcontext.h"
#include "capture/store/retention.h"
#include "watch/statusserver.h"

namespace tessaly {

// --mqtt and its companions: the process's own, never a camera's.
struct TMqttLine {
  std::optional<Text> Url;  // a valid ParseMqttUrl address
  Text PasswordFile;
  Text CaFile;
  Text Discovery = "homeassistant";  // empty: none
  int64_t ImageMaxBytes = 1 << 20;
  bool operator==(const TMqttLine&) const = default;
};

struct TCommandLine {
  enum class TAction { Run, Help, Version, Usage };
  TAction Action = TAction::Run;
  // Usage: what is wrong, one line.
  Text Error;
  std::optional<Text> Address;
  std::optional<Text> Directory;
  std::optional<Text> SettingsFile;
  // One series per camera of this directory; no URL, DIRECTORY or --settings then.
  std::optional<Text> Cameras;
  // --adopt DIR URL: catalog the pictures of URL's name in DIR as the series' own, and make
  // DIR and URL the series' directory and address; nothing is fetched.
  std::optional<Text> Adopt;
  std::optional<int64_t> IntervalMs;
  std::optional<int32_t> Counter;
  // Stored pictures after which the series ends; 0 runs until a signal.
  int64_t Count = 0;
  // Failed fetches in a row after which the series ends; 0 never ends it.
  int64_t MaxFailures = 0;
  bool Quiet = false;
  TActiveHours Hours;
  bool Fail = false;
  bool ImagesOnly = false;
  bool SkipUnchanged = false;
  bool KeepOpen = false;  // an rtsp camera's session stays open whatever the interval
  // Redirects are followed unless NoFollow; https to http only with AllowDowngrade.
  bool NoFollow = false;
  bool AllowDowngrade = false;
  TRetentionRules Retention;
  // --ca-file, --pin, --insecure, --tls-legacy.
  TJobTls Tls;
  // --min-gap: the least time between the starts of two requests to the camera's host:port.
  int64_t MinGapMs = 0;
  // --listen: the status endpoint's address (with --cameras only); --health-grace: the
  // seconds a camera may fail before its /health answers 503.
  std::optional<TListenAddress> Listen;
  int64_t HealthGraceSeconds = 300;
  TMqttLine Mqtt;
};

// Decimal digits only, at most max; the window's number fields take nothing else either.
bool ParseCount(const Text& text, int64_t max, int64_t& value);

// Reads the options with getopt_long (which prints nothing here) and the operands. Without
// --settings or --cameras both URL and DIRECTORY are required; with --settings either may be
// left out; with --cameras neither is given.
TCommandLine ParseCommandLine(int argc, char** argv);
// The command line of one camera of --cameras: argv's options without --cameras (argv is a
// command line that ParseCommandLine ran), the settings file, then own, the options file's
// words, which win. A usage error when own holds --cameras, --settings, --help, --version or a
// word that is not an option or its value.
TCommandLine CameraCommandLine(int argc, char** argv, const Text& settings_file,
                               const std::vector<Text>& own);
// "N" (seconds) or "N" followed by "ms", "s", "m" or "h", as milliseconds. False when the
// text has another form or the interval exceeds the longest one the series can keep.
bool ParseInterval(const Text& text, int64_t& ms);
// "sha256//BASE64" (or "sha256/BASE64"; several separated by ";"), each BASE64 the 44
// characters of a SHA-256.
bool ValidPin(const Text& text);
// What --help prints.
Text UsageText();

}  // namespace tessaly
