// What one fetch job ended with, for callers that report every job (the console program).
#pragma once

#include <cstdint>
#include <optional>

#include "base/text.h"

namespace tessaly {

class THTTPClient;

struct TJobOutcome {
  // Unchanged: the answer equals the last stored picture and was not stored again.
  enum class TKind { Stored, FetchFailed, SaveFailed, Unchanged };
  TKind Kind = TKind::FetchFailed;
  // Stored: the file written.
  Text Path;
  // Stored: the body's size in bytes.
  int64_t Bytes = 0;
  // Stored: a complete JPEG that ended in order short of the length its answer declared.
  bool ShortOfLength = false;
  // The failures: one line saying why, never the address (it may hold a password).
  Text Reason;
  // What the camera said of itself, for a series that leaves a busy camera alone: the answer's
  // status (0 without one), the wait its Retry-After asked for on a 429 or 503 (seconds from
  // the answer, at most a day), and whether the fetch failed on a time-out.
  int32_t Status = 0;
  std::optional<int64_t> RetryAfter;
  bool TimedOut = false;
};

// Why a transaction that returned false failed, in the user's terms: the bound that ended it
// (the deadline, the header line, header block or answer limit), broken framing, how the camera
// ended the connection ("closed early: 11200 of 11248 bytes", "reset by the camera after 5120
// bytes"), a silence of Timeout ("stalled after 1000 of 5000 bytes" when part of the answer had
// come), a refused TLS handshake's reason ("10091 TLS handshake failed: certificate verify
// failed (self-signed certificate)"), else the socket error's code and text ("10061
// Connection refused"). A stream's bound
// is named as such ("first frame not delimited within 32 MiB"). started_tick: TickCount() when
// the transaction began.
Text TransactionFailureText(THTTPClient& client, uint32_t started_tick);
// The text of a failed save: "cannot save PATH: " and the system's text for errno_value.
Text SaveFailureText(const Text& path, int errno_value);

}  // namespace tessaly
