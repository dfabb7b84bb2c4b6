// What one fetch job ended with, for callers that report every job (the console program).
#pragma once

#include <cstdint>

#include "base/text.h"

namespace tessaly {

class THTTPClient;

struct TJobOutcome {
  enum class TKind { Stored, FetchFailed, SaveFailed };
  TKind Kind = TKind::FetchFailed;
  // Stored: the file written.
  Text Path;
  // Stored: the body's size in bytes.
  int64_t Bytes = 0;
  // The failures: one line saying why, never the address (it may hold a password).
  Text Reason;
};

// Why a transaction that returned false failed: the bound that ended it (the deadline, the
// header line, header block or body limit), else the socket error's code and text ("10061
// Connection refused"). started_tick: TickCount() when the transaction began.
Text TransactionFailureText(THTTPClient& client, uint32_t started_tick);
// The text of a failed save: "cannot save PATH: " and the system's text for errno_value.
Text SaveFailureText(const Text& path, int errno_value);

}  // namespace tessaly
