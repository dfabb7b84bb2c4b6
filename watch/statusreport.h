// What the status endpoint answers, as pure functions of a view of the board: the page's JSON,
// the Prometheus text and the health check's verdict.
#pragma once

#include <cstdint>
#include <ctime>

#include "base/text.h"
#include "watch/statusboard.h"

namespace tessaly {

// text as a Prometheus label value between its quotes: '\', '"' and line feeds escaped, bytes
// that are not UTF-8 replaced by U+FFFD.
Text LabelText(const Text& text);

// Which cards a page shows: page counts from 0, per page at most 500; state "" for all, else
// a state's name ("running", "not started", ...).
struct TCardsQuery {
  int64_t Page = 0;
  int64_t PerPage = 60;
  Text State;
};

// {"now":..,"total":..,"page":..,"pages":..,"states":{"running":N,..},"cameras":[{..},..]}:
// the cards of the page asked for, with every count the tiles show. No paths, no addresses.
Text CamerasJson(const TBoardView& view, const TCardsQuery& query, std::time_t now);

// The process's own figures for the metrics; -1 where unknown.
struct TProcessFigures {
  int64_t ResidentBytes = -1;
  int64_t Threads = -1;
  double StartTime = -1;
};
// The figures of a /proc/PID/status text (VmRSS, Threads); what is missing or malformed stays -1.
TProcessFigures ParseProcStatus(const Text& text);
// This process's figures, from /proc/self; start is when the process began (epoch seconds).
TProcessFigures OwnProcessFigures(double start);

// The Prometheus text exposition (version 0.0.4) of the board and the process.
Text MetricsText(const TBoardView& view, const TProcessFigures& process);

// The cameras failing (or not started) for longer than grace seconds at now, as
// [{"camera":..,"state":..,"since":..,"reason":..},..]; failing counts them.
Text UnhealthyJson(const TBoardView& view, std::time_t now, int64_t grace, int64_t& failing);

}  // namespace tessaly
