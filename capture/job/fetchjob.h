// The image fetch job: one GET of the address with a referer line, and the body stored under a
// fresh name in the series directory.
#pragma once

#include <cstdint>
#include <stop_token>

#include "base/bytebuffer.h"
#include "base/text.h"
#include "base/url.h"
#include "capture/job/jobcontext.h"

namespace tessaly {

// How long one whole transaction of a job may take before it fails, in milliseconds: a server
// that trickles a byte before every time-out must not stall the series for ever.
inline constexpr int32_t kJobTransactionTimeoutMs = 10 * 60 * 1000;

// The address, without user information, up to (not including) the first "/" from its 8th
// character on; "" when that is shorter than 8 characters or has no such "/".
Text GetReferer(const Text& address);
// The same for an address already read.
Text GetReferer(const TAddress& address);

// What a completed answer was, besides its body.
struct TAnswerFacts {
  int32_t Status = 0;  // its status code; 0 without a status line
  Text StatusText;     // its reason phrase
  Text Type;           // its Content-Type value (a stream frame's own); "" without one
  // A complete JPEG whose connection was closed in order short of the length it declared.
  bool ShortOfLength = false;
  // Its Retry-After value; "" without one.
  Text RetryAfter;
  // Set also when the transaction failed: it failed on a time-out (connect or answer).
  bool TimedOut = false;
};

// One GET transaction with the referer line, answering a Digest challenge when the address
// carries a user. True when it completed (whatever the status), or when a body of declared length
// ended in order early but is a complete JPEG; buffer then holds the body from position 0. A stop
// request aborts the transaction. A stream answer gives its first frame; *jpeg_frame then tells
// whether that frame is a JPEG. On false, *failure (when given) says why in one line; on true,
// *answer (when given) says what came (on false, only TimedOut). tls: how an https camera is
// trusted.
bool DownloadImage(const TAddress& address, TByteBuffer& buffer, std::stop_token stop = {},
                   bool* jpeg_frame = nullptr, Text* failure = nullptr,
                   TAnswerFacts* answer = nullptr, const TJobTls& tls = {});

// The job of every worker: fetch, keep or refuse the answer by the context's options, then
// name and write the file. A failed fetch shows nothing, nor does a series directory that is no
// longer the one the series started in (nothing is stored then); a failed write shows the
// save-error box and caption. No reader ever sees a partial file. Every job that was not
// stopped reports its outcome to the context.
void FetchImageJob(TJobContext& job);

}  // namespace tessaly
