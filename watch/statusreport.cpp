#include "watch/statusreport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>

namespace tessaly {
namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";

// text with every byte that is not UTF-8 replaced, each ASCII byte given to escape first.
template <typename Escape>
Text Escaped(const Text& text, Escape escape) {
  Text out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size();) {
    const size_t length = Utf8Length(text, i);
    if (length == 0) {
      out += kReplacement;
      ++i;
    } else if (length == 1) {
      escape(text[i], out);
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

void Add(Text& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Add(Text& out, const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0) out.append(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
}

constexpr TCameraState kStates[] = {TCameraState::Running,    TCameraState::Failing,
                                    TCameraState::Frozen,     TCameraState::Paused,
                                    TCameraState::NotStarted, TCameraState::Ended};

// A state's name as a Prometheus label value and a CSS class: "not_started".
Text StateKey(TCameraState state) {
  Text key = CameraStateName(state);
  std::replace(key.begin(), key.end(), ' ', '_');
  return key;
}

int64_t Failed(const TCameraCard& card) {
  return card.FetchFailed + card.SaveFailed;
}

}  // namespace

Text LabelText(const Text& text) {
  return Escaped(text, [](char c, Text& out) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  });
}

Text CamerasJson(const TBoardView& view, const TCardsQuery& query, std::time_t now) {
  std::map<Text, int64_t> states;
  for (TCameraState state : kStates) states[StateKey(state)] = 0;
  std::vector<const TCameraCard*> chosen;
  for (const TCameraCard& card : view.Cards) {
    const Text key = StateKey(card.Note.State);
    ++states[key];
    if (query.State.empty() || query.State == key ||
        query.State == CameraStateName(card.Note.State))
      chosen.push_back(&card);
  }
  const int64_t per = std::clamp<int64_t>(query.PerPage, 1, 500);
  const int64_t total = static_cast<int64_t>(chosen.size());
  const int64_t pages = std::max<int64_t>(1, (total + per - 1) / per);
  const int64_t page = std::clamp<int64_t>(query.Page, 0, pages - 1);
  Text out;
  Add(out,
      "{\"now\":%lld,\"total\":%lld,\"cameras_all\":%zu,\"page\":%lld,\"pages\":%lld,"
      "\"per_page\":%lld,\"states\":{",
      static_cast<long long>(now), static_cast<long long>(total), view.Cards.size(),
      static_cast<long long>(page), static_cast<long long>(pages), static_cast<long long>(per));
  bool first = true;
  for (const auto& [key, count] : states) {
    Add(out, "%s\"%s\":%lld", first ? "" : ",", key.c_str(), static_cast<long long>(count));
    first = false;
  }
  out += "},\"cameras\":[";
  const int64_t end = std::min(total, (page + 1) * per);
  for (int64_t i = page * per; i < end; ++i) {
    const TCameraCard& c = *chosen[static_cast<size_t>(i)];
    if (i > page * per) out += ',';
    out += "{\"name\":" + JsonString(c.Name) + ",\"state\":\"" + StateKey(c.Note.State) +
           "\",\"detail\":" + JsonString(c.Note.Detail) +
           ",\"last_failure\":" + JsonString(c.LastFailure);
    Add(out,
        ",\"state_since\":%lld,\"until\":%lld,\"picture\":%s,\"version\":%lld,\"taken\":%lld,"
        "\"bytes\":%lld,\"failure_at\":%lld,\"stored\":%lld,\"unchanged\":%lld,\"failed\":%lld,"
        "\"removed\":%lld}",
        static_cast<long long>(c.StateSince), static_cast<long long>(c.Note.Until),
        c.LastPath.empty() ? "false" : "true", static_cast<long long>(c.PictureVersion),
        static_cast<long long>(c.LastStored), static_cast<long long>(c.LastBytes),
        static_cast<long long>(c.LastFailureAt), static_cast<long long>(c.Stored),
        static_cast<long long>(c.Unchanged), static_cast<long long>(Failed(c)),
        static_cast<long long>(c.Removed));
  }
  out += "]}\n";
  return out;
}

TProcessFigures ParseProcStatus(const Text& text) {
  TProcessFigures figures;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == Text::npos) end = text.size();
    const Text line = text.substr(at, end - at);
    at = end + 1;
    const size_t colon = line.find(':');
    if (colon == Text::npos) continue;
    const Text key = line.substr(0, colon);
    if (key != "VmRSS" && key != "Threads") continue;
    // "  1234 kB" or "\t7": digits between blanks, nothing else.
    size_t i = colon + 1;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    int64_t value = 0;
    size_t digits = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9' && digits < 15; ++i, ++digits)
      value = value * 10 + (line[i] - '0');
    if (digits == 0) continue;
    const Text unit = TrimBlanks(line.substr(i));
    if (key == "Threads" && unit.empty()) figures.Threads = value;
    if (key == "VmRSS" && unit == "kB") figures.ResidentBytes = value * 1024;
  }
  return figures;
}

TProcessFigures OwnProcessFigures(double start) {
  std::ifstream file("/proc/self/status");
  const Text text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  TProcessFigures figures = ParseProcStatus(text);
  figures.StartTime = start;
  return figures;
}

Text MetricsText(const TBoardView& view, const TProcessFigures& process) {
  Text out;
  out.reserve(256 + view.Cards.size() * 512);
  const auto family = [&out](const char* name, const char* type, const char* help) {
    Add(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
  };
  const auto each = [&](const char* name, auto value, bool only_set = false) {
    for (const TCameraCard& card : view.Cards) {
      const long long v = static_cast<long long>(value(card));
      if (only_set && v == 0) continue;
      out += name;
      out += "{camera=\"" + LabelText(card.Name) + "\"} ";
      Add(out, "%lld\n", v);
    }
  };
  family("tessaly_fetches_total", "counter",
         "Fetches that ended, by camera and outcome (stored, unchanged, fetch_failed, "
         "save_failed).");
  const std::pair<const char*, int64_t TCameraCard::*> outcomes[] = {
      {"stored", &TCameraCard::Stored},
      {"unchanged", &TCameraCard::Unchanged},
      {"fetch_failed", &TCameraCard::FetchFailed},
      {"save_failed", &TCameraCard::SaveFailed}};
  for (const TCameraCard& card : view.Cards) {
    const Text camera = LabelText(card.Name);
    for (const auto& [outcome, member] : outcomes)
      // The name by concatenation: Add's buffer is for figures, a name may be long.
      out += "tessaly_fetches_total{camera=\"" + camera + "\",outcome=\"" + outcome + "\"} " +
             IntToText(card.*member) + "\n";
  }
  family("tessaly_stored_bytes_total", "counter", "Bytes of the pictures stored, by camera.");
  each("tessaly_stored_bytes_total", [](const TCameraCard& c) { return c.StoredBytes; });
  family("tessaly_removed_pictures_total", "counter", "Pictures removed by retention, by camera.");
  each("tessaly_removed_pictures_total", [](const TCameraCard& c) { return c.Removed; });
  family("tessaly_removed_bytes_total", "counter",
         "Bytes of the pictures removed by retention, by camera.");
  each("tessaly_removed_bytes_total", [](const TCameraCard& c) { return c.RemovedBytes; });
  family("tessaly_last_stored_timestamp_seconds", "gauge",
         "When the camera's last picture was stored (Unix time), for cameras that stored one.");
  each(
      "tessaly_last_stored_timestamp_seconds", [](const TCameraCard& c) { return c.LastStored; },
      true);

  family("tessaly_fetch_duration_seconds", "histogram", "How long fetches took, all cameras.");
  int64_t cumulative = 0;
  for (size_t i = 0; i < kFetchBuckets.size(); ++i) {
    cumulative += view.Buckets[i];
    Add(out, "tessaly_fetch_duration_seconds_bucket{le=\"%g\"} %lld\n", kFetchBuckets[i],
        static_cast<long long>(cumulative));
  }
  Add(out, "tessaly_fetch_duration_seconds_bucket{le=\"+Inf\"} %lld\n",
      static_cast<long long>(view.Fetches));
  Add(out, "tessaly_fetch_duration_seconds_sum %.3f\n", view.DurationSum);
  Add(out, "tessaly_fetch_duration_seconds_count %lld\n", static_cast<long long>(view.Fetches));

  family("tessaly_cameras", "gauge", "Cameras by state.");
  for (TCameraState state : kStates) {
    const auto count =
        std::count_if(view.Cards.begin(), view.Cards.end(),
                      [state](const TCameraCard& c) { return c.Note.State == state; });
    Add(out, "tessaly_cameras{state=\"%s\"} %lld\n", StateKey(state).c_str(),
        static_cast<long long>(count));
  }
  if (process.ResidentBytes >= 0) {
    family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    Add(out, "process_resident_memory_bytes %lld\n", static_cast<long long>(process.ResidentBytes));
  }
  if (process.Threads >= 0) {
    family("process_threads", "gauge", "Number of OS threads in the process.");
    Add(out, "process_threads %lld\n", static_cast<long long>(process.Threads));
  }
  if (process.StartTime >= 0) {
    family("process_start_time_seconds", "gauge",
           "Start time of the process since unix epoch in seconds.");
    Add(out, "process_start_time_seconds %.3f\n", process.StartTime);
  }
  return out;
}

Text UnhealthyJson(const TBoardView& view, std::time_t now, int64_t grace, int64_t& failing) {
  failing = 0;
  Text out = "[";
  for (const TCameraCard& c : view.Cards) {
    const bool bad =
        c.Note.State == TCameraState::Failing || c.Note.State == TCameraState::NotStarted;
    if (!bad || now - c.StateSince <= grace) continue;
    const Text reason = c.Note.Detail.empty() ? c.LastFailure : c.Note.Detail;
    if (failing++ > 0) out += ',';
    out += "{\"camera\":" + JsonString(c.Name) + ",\"state\":\"" + StateKey(c.Note.State) +
           "\",\"since\":" + IntToText(c.StateSince) + ",\"reason\":" + JsonString(reason) + "}";
  }
  return out + "]";
}

}  // namespace tessaly
