#include "cli/timelapse.h"

#include <getopt.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/url.h"
#include "capture/job/naming.h"
#include "capture/store/catalog.h"
#include "cli/commandline.h"
#include "cli/serieslog.h"
#include "film/filmmaker.h"

namespace tessaly {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::atomic<bool> stop_requested{false};

void OnStop(int) {
  stop_requested.store(true);
}

// Digits only, exactly count of them, at text[at...].
bool Digits(const Text& text, size_t at, size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// "N" or "N.N", positive, at most max.
bool Decimal(const Text& text, double max, double& value) {
  const size_t dot = text.find('.');
  int64_t whole = 0;
  int64_t part = 0;
  const Text after = dot == Text::npos ? Text() : text.substr(dot + 1);
  if (!ParseCount(text.substr(0, dot), 1000000000, whole) ||
      (dot != Text::npos && (after.size() > 9 || !ParseCount(after, 999999999, part))))
    return false;
  value = static_cast<double>(whole) + static_cast<double>(part) / std::pow(10.0, after.size());
  return value > 0 && value <= max;
}

// The local midnight that begins year-month-day (normalised as mktime does).
int64_t LocalMidnight(int year, int month, int day) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&local));
}

Text DateText(const std::tm& local) {
  char date[48];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return date;
}

TTimelapseLine Usage(const Text& error) {
  TTimelapseLine line;
  line.Action = TTimelapseLine::TAction::Usage;
  line.Error = error;
  return line;
}

}  // namespace

bool ParseLocalTime(const Text& text, int64_t& seconds) {
  seconds = 0;
  if (!text.empty() && text[0] == '@') return ParseCount(text.substr(1), int64_t{1} << 40, seconds);
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!Digits(text, 0, 4, year) || text.size() < 10 || text[4] != '-' ||
      !Digits(text, 5, 2, month) || text[7] != '-' || !Digits(text, 8, 2, day))
    return false;
  if (text.size() > 10) {
    if ((text[10] != ' ' && text[10] != 'T') || !Digits(text, 11, 2, hour) || text.size() < 16 ||
        text[13] != ':' || !Digits(text, 14, 2, minute))
      return false;
    if (text.size() > 16 && (text.size() != 19 || text[16] != ':' || !Digits(text, 17, 2, second)))
      return false;
  }
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 59)
    return false;
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  const std::time_t at = std::mktime(&local);
  // 31 February is no date; an hour the clocks skip is taken as mktime moves it.
  if (at == static_cast<std::time_t>(-1) || local.tm_mday != day || local.tm_mon != month - 1)
    return false;
  seconds = static_cast<int64_t>(at);
  return true;
}

bool ParseDay(const Text& text, std::time_t now, Text& date, int64_t& from, int64_t& to) {
  date.clear();
  std::tm local{};
  if (text == "today" || text == "yesterday") {
    localtime_r(&now, &local);
    if (text == "yesterday") {
      // Noon of the day before: no change of the clocks moves it to another day.
      local.tm_mday -= 1;
      local.tm_hour = 12;
      local.tm_min = local.tm_sec = 0;
      local.tm_isdst = -1;
      std::mktime(&local);
    }
  } else {
    int64_t start = 0;
    if (text.size() != 10 || !ParseLocalTime(text, start)) return false;
    const std::time_t at = static_cast<std::time_t>(start);
    localtime_r(&at, &local);
  }
  date = DateText(local);
  from = LocalMidnight(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  to = LocalMidnight(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday + 1);
  return true;
}

TTimelapseLine ParseTimelapseLine(int argc, char** argv, std::time_t now) {
  static const option kOptions[] = {{"from", required_argument, nullptr, 'f'},
                                    {"to", required_argument, nullptr, 't'},
                                    {"day", required_argument, nullptr, 'd'},
                                    {"fps", required_argument, nullptr, 'r'},
                                    {"real-time", required_argument, nullptr, 'R'},
                                    {"max-gap", required_argument, nullptr, 'g'},
                                    {"crf", required_argument, nullptr, 'c'},
                                    {"preset", required_argument, nullptr, 'p'},
                                    {"out", required_argument, nullptr, 'o'},
                                    {"all", no_argument, nullptr, 'a'},
                                    {"quiet", no_argument, nullptr, 'q'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  static const char* const kPresets[] = {"ultrafast", "superfast", "veryfast", "faster",  "fast",
                                         "medium",    "slow",      "slower",   "veryslow"};
  TTimelapseLine line;
  bool from = false;
  bool to = false;
  opterr = 0;
  optind = 0;  // a fresh scan, also for a second call
  for (;;) {
    int index = 0;
    const int option = getopt_long(argc, argv, ":", kOptions, &index);
    if (option == -1) break;
    const Text value = optarg ? Text(optarg) : Text();
    int64_t number = 0;
    switch (option) {
      case 'f':
      case 't':
        if (!ParseLocalTime(value, option == 'f' ? line.From : line.To))
          return Usage("--" + Text(option == 'f' ? "from" : "to") +
                       " needs YYYY-MM-DD[ HH:MM[:SS]]" + " or @SECONDS, not " + value);
        (option == 'f' ? from : to) = true;
        break;
      case 'd':
        if (!ParseDay(value, now, line.Day, line.From, line.To))
          return Usage("--day needs YYYY-MM-DD, today or yesterday, not " + value);
        break;
      case 'r':
        if (!ParseCount(value, 240, number) || number < 1)
          return Usage("--fps needs a number of frames from 1 to 240, not " + value);
        line.Fps = static_cast<int>(number);
        break;
      case 'R':
        if (!Decimal(value, 1e9, line.RealTime))
          return Usage("--real-time needs a factor greater than 0, not " + value);
        break;
      case 'g':
        if (!ParseCount(value, int64_t{1} << 40, line.MaxGap) || line.MaxGap < 1)
          return Usage("--max-gap needs a number of seconds, not " + value);
        break;
      case 'c':
        if (!ParseCount(value, 51, number))
          return Usage("--crf needs a number from 0 (best) to 51, not " + value);
        line.Crf = static_cast<int>(number);
        break;
      case 'p': {
        bool known = false;
        for (const char* preset : kPresets) known = known || value == preset;
        if (!known) return Usage("--preset needs one of ultrafast ... veryslow, not " + value);
        line.Preset = value;
        break;
      }
      case 'o':
        if (value.empty()) return Usage("--out needs a file name");
        line.Out = value;
        break;
      case 'a':
        line.All = true;
        break;
      case 'q':
        line.Quiet = true;
        break;
      case 'h':
        line.Action = TTimelapseLine::TAction::Help;
        return line;
      case ':':
        return Usage(Text("option ") + argv[optind - 1] + " needs a value");
      default:
        return Usage(Text("unknown option ") + argv[optind - 1]);
    }
  }
  if (!line.Day.empty() && (from || to)) return Usage("--day cannot go with --from or --to");
  if (line.From >= line.To) return Usage("--from must come before --to");
  if (line.MaxGap > 0 && line.RealTime == 0) return Usage("--max-gap needs --real-time");
  const int operands = argc - optind;
  if (operands < 1) return Usage("no DIRECTORY given");
  if (operands > (line.All ? 1 : 2))
    return Usage(Text("unexpected word ") + argv[optind + (line.All ? 1 : 2)]);
  line.Dir = argv[optind];
  if (operands == 2) line.Series = Text(argv[optind + 1]);
  if (line.All && line.Out) return Usage("--all makes one film per series: no --out");
  return line;
}

Text TimelapseUsage() {
  return "Usage: tessaly-capture timelapse [options] DIRECTORY [URL|NAME]\n"
         "       tessaly-capture timelapse [options] --all DIRECTORY\n"
         "Makes a film (H.264 in MP4) of a series: its catalogued pictures, in the order they\n"
         "were stored, one picture per frame. The series is DIRECTORY's one series, or the one\n"
         "of URL there (or whose pictures are named NAME, as snapshot.jpg). With --all, one\n"
         "film for every series the catalog has in DIRECTORY or in a directory right under it\n"
         "(a series without pictures in the time is passed with a line). A picture that is\n"
         "gone, unreadable or not a picture is passed and counted. Pictures of another size\n"
         "are scaled to the first one's; an odd side is padded to an even one. On a terminal a\n"
         "line shows the frames done, the rate and the time left; at the end one line says\n"
         "\"made FILE: N frames of M pictures ...\". The film is written beside FILE as a hidden\n"
         "file and named FILE once complete; a failure, SIGINT or SIGTERM leaves no file. An\n"
         "existing FILE is never replaced: with --day that day is passed as made (status 0),\n"
         "otherwise it is an error. The exit status is 1 when a film could not be made.\n"
         "\n"
         "  --day DATE        the pictures of one local day: YYYY-MM-DD, today or yesterday;\n"
         "                    FILE is then NAME-DATE.mp4 in the series' directory (NAME the\n"
         "                    pictures' name without its extension)\n"
         "  --from TIME       the pictures stored at TIME or later; TIME is local,\n"
         "                    YYYY-MM-DD[ HH:MM[:SS]] (or with T), or @SECONDS since 1970\n"
         "  --to TIME         the pictures stored before TIME\n"
         "                    (without --day, FILE is NAME-film.mp4 in the series' directory)\n"
         "  --out FILE        write the film to FILE\n"
         "  --fps N           frames per second (default 30)\n"
         "  --real-time FACTOR\n"
         "                    hold each picture for the time to the next one divided by\n"
         "                    FACTOR (3600: an hour lasts a second), so that pauses show\n"
         "  --max-gap SECONDS with --real-time, cut longer times between pictures to this\n"
         "  --crf N           quality, 0 (lossless) to 51 (default 23; lower is better)\n"
         "  --preset NAME     x264's speed: ultrafast, superfast, veryfast, faster, fast,\n"
         "                    medium (default), slow, slower, veryslow\n"
         "  --quiet           no progress line\n"
         "  --help            show this help and exit\n"
         "\n"
         "Memory stays the same for any number of pictures: one picture is decoded at a time\n"
         "and the MP4 is written in fragments.\n";
}

namespace {

// One line of ours; names and paths come from the catalog and the disk: shown escaped.
void Say(FILE* stream, int priority, const Text& message) {
  const Text prefix = IsJournalStream(fileno(stream)) ? PriorityPrefix(priority) : Text();
  std::fprintf(stream, "%s%s\n", prefix.c_str(),
               PrintableText("tessaly-capture timelapse: " + message).c_str());
  std::fflush(stream);
}

Text Seconds(int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
  return text;
}

Text Clock(double seconds) {
  const int64_t whole = static_cast<int64_t>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(whole / 3600),
                static_cast<long long>(whole / 60 % 60), static_cast<long long>(whole % 60));
  return text;
}

Text Stem(const Text& name) {
  const Text base = FileNameBase(name);
  return base.empty() ? name : base;
}

// 0 made or passed; kExitFailed otherwise. Under --all, a series without pictures is passed.
int OneFilm(TCatalog& catalog, const TTimelapseLine& line, const TCatalogSeriesName& series) {
  TFilmRequest request;
  request.Series = series.Id;
  request.Dir = series.Dir;
  request.From = line.From;
  request.To = line.To;
  request.Out = line.Out ? *line.Out
                         : series.Dir + "/" + Stem(series.Name) + "-" +
                               (line.Day.empty() ? Text("film") : line.Day) + ".mp4";
  request.Settings.Fps = line.Fps;
  request.Settings.Variable = line.RealTime > 0;
  request.Settings.Crf = line.Crf;
  request.Settings.Preset = line.Preset;
  request.RealTime = line.RealTime;
  request.MaxGap = line.MaxGap;
  const Text what = "the series " + series.Name + " of " + series.Dir;
  struct stat existing {};
  if (lstat(request.Out.c_str(), &existing) == 0) {
    if (line.Day.empty()) {
      Say(stderr, kPriorityError, request.Out + " exists: no film made of " + what);
      return kExitFailed;
    }
    Say(stdout, kPriorityInfo, "already made " + request.Out);
    return 0;
  }
  const bool terminal = !line.Quiet && isatty(2) && !IsJournalStream(2);
  const auto start = std::chrono::steady_clock::now();
  auto shown = start;
  bool drawn = false;
  const auto progress = [&](const TFilmCount& count) {
    const auto now = std::chrono::steady_clock::now();
    if (!terminal || (now - shown < std::chrono::milliseconds(200) && count.Done < count.Pictures))
      return;
    shown = now;
    const double elapsed = std::chrono::duration<double>(now - start).count();
    const double rate = elapsed > 0 ? static_cast<double>(count.Done) / elapsed : 0;
    char text[160];
    std::snprintf(
        text, sizeof text, "frame %lld/%lld  %.1f/s  %s left ", static_cast<long long>(count.Done),
        static_cast<long long>(count.Pictures), rate,
        Clock(rate > 0 ? static_cast<double>(count.Pictures - count.Done) / rate : 0).c_str());
    // Redrawn in place: the carriage return is ours, the rest escaped as any line.
    std::fprintf(stderr, "\r%s", PrintableText(text).c_str());
    drawn = true;
  };
  TFilmCount count;
  Text error;
  const bool made = MakeFilm(catalog, request, stop_requested, progress, count, error);
  if (drawn) std::fputs("\n", stderr);
  if (!made && line.All && count.Pictures == 0 && !stop_requested.load()) {
    Say(stdout, kPriorityInfo, "no picture of " + what + " in that time: no film");
    return 0;
  }
  if (!made) {
    Say(stderr, kPriorityError, "no film of " + what + ": " + error);
    return kExitFailed;
  }
  const int64_t skipped = count.Gone + count.Unreadable + count.NotPictures;
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char rate[48];
  std::snprintf(rate, sizeof rate, "in %.1f s", elapsed);
  Say(stdout, kPriorityInfo,
      "made " + request.Out + ": " + IntToText(count.Frames) + " frames of " +
          IntToText(count.Pictures) + " pictures" +
          (skipped == 0 ? Text()
                        : " (skipped " + IntToText(skipped) + ": " + IntToText(count.Gone) +
                              " gone, " + IntToText(count.Unreadable) + " unreadable, " +
                              IntToText(count.NotPictures) + " not pictures)") +
          ", " + IntToText(count.Width) + "x" + IntToText(count.Height) + ", " +
          Seconds(count.DurationMs) + ", " + rate);
  return 0;
}

Text FullPath(const Text& path) {
  char* full = realpath(path.c_str(), nullptr);
  if (full == nullptr) return Text();
  Text result = full;
  free(full);
  return result;
}

}  // namespace

int RunTimelapse(int argc, char** argv) {
  const TTimelapseLine line = ParseTimelapseLine(argc, argv, std::time(nullptr));
  if (line.Action == TTimelapseLine::TAction::Help) {
    std::fputs(TimelapseUsage().c_str(), stdout);
    return 0;
  }
  if (line.Action == TTimelapseLine::TAction::Usage) {
    Say(stderr, kPriorityError, line.Error + " (see timelapse --help)");
    return kExitUsage;
  }
  const Text dir = FullPath(line.Dir);
  if (dir.empty()) {
    Say(stderr, kPriorityError, "cannot find " + line.Dir + ": " + std::strerror(errno));
    return kExitFailed;
  }
  // Reading the catalog must not make one where there is none.
  const Text path = CatalogPath();
  if (path.empty() || access(path.c_str(), F_OK) != 0) {
    Say(stderr, kPriorityError, "no catalog at " + path + ": no series to make a film of");
    return kExitFailed;
  }
  TCatalog catalog;
  Text error;
  if (!catalog.Open(path, error)) {
    Say(stderr, kPriorityError, "cannot open the catalog " + path + ": " + error);
    return kExitFailed;
  }
  std::vector<TCatalogSeriesName> chosen;
  for (TCatalogSeriesName& series : catalog.AllSeries()) {
    const bool here = series.Dir == dir;
    // A directory right under dir (the cameras' own directories), not deeper.
    const Text prefix = dir == "/" ? dir : dir + "/";
    const bool under = line.All && series.Dir.size() > prefix.size() &&
                       series.Dir.compare(0, prefix.size(), prefix) == 0 &&
                       series.Dir.find('/', prefix.size()) == Text::npos;
    if (!here && !under) continue;
    if (line.Series) {
      const Text name = line.Series->find("://") != Text::npos
                            ? UrlFileName(WithoutUserInfo(*line.Series))
                            : *line.Series;
      if (series.Name != name) continue;
    }
    chosen.push_back(std::move(series));
  }
  if (chosen.empty()) {
    Say(stderr, kPriorityError,
        "the catalog " + path + " has no series " + (line.Series ? *line.Series + " " : Text()) +
            "in " + dir);
    return kExitFailed;
  }
  if (chosen.size() > 1 && !line.All) {
    Text names;
    for (const TCatalogSeriesName& series : chosen) names += " " + series.Name;
    Say(stderr, kPriorityError, dir + " holds several series; name one of:" + names);
    return kExitUsage;
  }
  // A stop ends the film being made (its hidden file removed) and leaves the rest unmade.
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  int status = 0;
  for (const TCatalogSeriesName& series : chosen) {
    if (stop_requested.load()) break;
    if (OneFilm(catalog, line, series) != 0) status = kExitFailed;
  }
  return stop_requested.load() ? kExitFailed : status;
}

}  // namespace tessaly
