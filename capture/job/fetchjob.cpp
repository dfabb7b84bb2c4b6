#include "capture/job/fetchjob.h"

#include <cerrno>
#include <ctime>
#include <utility>

#include "base/clock.h"
#include "base/fileutil.h"
#include "base/url.h"
#include "capture/job/naming.h"
#include "capture/job/picturecheck.h"
#include "capture/job/safefile.h"
#include "capture/job/seriesdirectory.h"
#include "http/digestretry.h"
#include "http/httpclient.h"
#include "http/retryafter.h"
#include "media/rtspsource.h"
#include "net/tcpsocket.h"

namespace tessaly {
namespace {

constexpr char kSaveErrorText[] = "Error - can't save file\r\nProbably disk full";

// Redirects followed in a row when the options follow any.
constexpr int32_t kMaxRedirects = 5;

// A name taken between naming and writing gets the next suffix; this bounds the retries.
constexpr int kMaxNameAttempts = 1000;

// Writes the body under a fresh name without ever replacing a file. False on failure. The
// outcome gets the path written, or the path tried and the system's reason.
bool StoreBody(TJobContext& job, const TAddress& address, const TByteBuffer& body, bool jpeg_frame,
               TJobOutcome& outcome) {
  // Credentials in the address must never reach the file's name or the caption.
  const Text plain = UrlFileName(address.Plain);
  const Text name = IsRtspAddress(address) ? StreamPictureName(plain)
                    : jpeg_frame           ? JpegFrameName(plain)
                                           : plain;
  Text why;
  const int refused = job.MakeRoom(body.Size(), why);
  int error = refused != 0 ? refused : EEXIST;
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    outcome.Path = job.MakeFileName(name);
    if (job.StopRequested()) return true;  // closing: store nothing rather than race the exit
    if (refused != 0) break;
    // No picture without its record: one that cannot be written stores nothing.
    if (const Text cannot = job.Intend(outcome.Path, body.Size()); !cannot.empty()) {
      outcome.Kind = TJobOutcome::TKind::SaveFailed;
      outcome.Reason = "cannot catalog " + outcome.Path + ": " + cannot;
      return false;
    }
    if (WriteFileWhole(outcome.Path, body.Memory(), static_cast<size_t>(body.Size()),
                       TExisting::Keep)) {
      job.Written(outcome.Path, body.Size(), true);
      outcome.Kind = TJobOutcome::TKind::Stored;
      outcome.Bytes = body.Size();
      return true;
    }
    error = errno;  // before the calls below touch errno
    job.Written(outcome.Path, body.Size(), false);
    if (!EntryExists(outcome.Path)) break;  // not a lost race: a real write failure
  }
  outcome.Kind = TJobOutcome::TKind::SaveFailed;
  outcome.Reason = SaveFailureText(outcome.Path, error);
  if (!why.empty()) outcome.Reason += " (" + why + ")";
  return false;
}

// Some cameras declare a longer answer than the picture they send and then close in order:
// what arrived is all there is, and worth keeping when it is a whole JPEG. Only a success says
// that the body is the picture asked for; a refusal's body is never it.
bool KeepsShortJpeg(THTTPClient& client) {
  const auto& end = client.ShortEnd();
  if (!end || (end->End != TPeerEnd::Orderly && end->End != TPeerEnd::TlsClosed)) return false;
  if (client.ResultCode() < 200 || client.ResultCode() > 299) return false;
  const TByteBuffer& body = client.Document();
  return IsWholeJpeg(body.Memory(), static_cast<size_t>(body.Size()));
}

Text AnswerType(THTTPClient& client) {
  if (client.StreamPartRead()) return client.PartType();
  // The client's type has a default of its own; only the answer's header counts here.
  for (const Text& line : client.Headers().Lines())
    if (LowerAscii(line).rfind("content-type:", 0) == 0) return client.MimeType();
  return Text();
}

// The options' say on a completed answer: false when it is not to be stored, the outcome
// telling why.
bool Wanted(const TJobOptions& options, const TAnswerFacts& answer, const TByteBuffer& body,
            TJobOutcome& outcome) {
  const size_t size = static_cast<size_t>(body.Size());
  if (options.FailOnHttpError && answer.Status >= 400) {
    outcome.Reason = "HTTP " + IntToText(answer.Status);
    if (!answer.StatusText.empty()) outcome.Reason += " " + answer.StatusText;
  } else if (options.ImagesOnly) {
    outcome.Reason = PictureFault(body.Memory(), size, answer.Type);
  }
  if (!outcome.Reason.empty()) return false;
  if (options.SkipUnchanged && !options.LastStored.empty() &&
      FileHolds(options.LastStored, body.Memory(), size)) {
    outcome.Kind = TJobOutcome::TKind::Unchanged;
    return false;
  }
  return true;
}

// The answer's Retry-After value, "" without one.
Text RetryAfterValue(THTTPClient& client) {
  for (const Text& line : client.Headers().Lines())
    if (LowerAscii(line).rfind("retry-after:", 0) == 0) return line.substr(12);
  return Text();
}

// A picture from a camera that only streams, as a JPEG: from the series' kept session when it
// has one, else over one of the job's own. Both end at the same deadline and stop.
bool FetchStreamPicture(TJobContext& job, const TAddress& address, TByteBuffer& buffer,
                        TJobOutcome& outcome, TAnswerFacts& answer) {
  TMediaFailure failure;
  TWarmRtsp* warm = job.WarmSource();
  const bool ok = warm != nullptr
                      ? warm->Picture(buffer, job.StopToken(), kRtspDeadline, failure)
                      : GrabRtspPicture(address, buffer, job.StopToken(), kRtspDeadline, failure);
  outcome.Reason = failure.Reason;
  answer = {};
  answer.TimedOut = failure.TimedOut;
  answer.Type = "image/jpeg";
  return ok;
}

// The camera's own trust, on the plug every connection of the client uses.
void ApplyTls(THTTPClient& client, const TJobTls& tls) {
  TCustomSSL& plug = client.Sock().SSLPlug();
  if (!tls.CaFile.empty()) plug.SetCertCAFile(tls.CaFile);
  if (!tls.Pin.empty()) plug.SetPinnedPublicKey(tls.Pin);
  if (tls.Insecure) plug.SetVerifyCert(false);
  plug.SetLegacyTLS(tls.Legacy);
}

}  // namespace

Text GetReferer(const Text& address) {
  return GetReferer(ParseAddress(address));
}

Text GetReferer(const TAddress& parsed) {
  const Text& address = parsed.Plain;  // credentials stay between us and the host
  if (address.size() < 8) return Text();
  const size_t slash = address.find('/', 7);
  return slash == Text::npos ? Text() : address.substr(0, slash);
}

bool DownloadImage(const TAddress& address, TByteBuffer& buffer, std::stop_token stop,
                   bool* jpeg_frame, Text* failure, TAnswerFacts* answer, const TJobTls& tls,
                   const TRedirectPolicy& redirects) {
  if (jpeg_frame != nullptr) *jpeg_frame = false;
  if (stop.stop_requested()) return false;
  const uint32_t started = TickCount();
  THTTPClient client;
  client.SetFirstPartOfStream(true);  // a stream address yields its first frame
  client.SetTransactionTimeout(kJobTransactionTimeoutMs);
  client.Sock().SetConnectTimeout(30000);  // a camera that does not answer is given up
  client.Headers().Add("referer:" + GetReferer(address) + "\r\n\r\n");
  // Asked for from the window thread while the worker waits in the socket; it holds for every
  // later step of the job, the second request of a Digest exchange included.
  client.SetStopToken(stop);
  ApplyTls(client, tls);
  Text refusal;
  const bool complete = ExecuteFollowingRedirects(client, "GET", address, redirects, &refusal);
  const bool short_jpeg = !complete && refusal.empty() && KeepsShortJpeg(client);
  const bool ok = complete || short_jpeg;
  if (ok && answer != nullptr)
    *answer = {client.ResultCode(), client.ResultString(), AnswerType(client), short_jpeg,
               RetryAfterValue(client)};
  if (!ok && answer != nullptr) answer->TimedOut = client.Sock().SocketError() == ErrTimedOut;
  if (ok) {
    if (jpeg_frame != nullptr && client.StreamPartRead()) {
      const TByteBuffer& frame = client.Document();
      *jpeg_frame =
          IsJpegFrame(client.PartType(), frame.Memory(), static_cast<size_t>(frame.Size()));
    }
    // The document's memory moves into the job's buffer: a large body is never held twice.
    buffer.Adopt(client.Document().Release());
  }
  if (!ok && failure)
    *failure = refusal.empty() ? TransactionFailureText(client, started) : refusal;
  return ok;
}

void FetchImageJob(TJobContext& job) {
  TByteBuffer buffer;
  TJobOutcome outcome;
  TAnswerFacts answer;
  bool jpeg_frame = false;
  // Read once: the request, its Host line, the referer, Digest and the file's name take their
  // parts from here.
  const TAddress address = job.AddressValue() ? *job.AddressValue() : ParseAddress(job.Address());
  // The window follows no redirect; the console program up to five in a row.
  const TJobOptions options = job.Options();
  const TRedirectPolicy redirects{options.FollowRedirects ? kMaxRedirects : 0,
                                  options.AllowDowngrade};
  const bool stream = IsRtspAddress(address);
  if (stream ? !FetchStreamPicture(job, address, buffer, outcome, answer)
             : !DownloadImage(address, buffer, job.StopToken(), &jpeg_frame, &outcome.Reason,
                              &answer, job.Tls(), redirects)) {
    outcome.TimedOut = answer.TimedOut;
    if (!job.StopRequested()) job.ReportOutcome(outcome);
    return;
  }
  outcome.Status = answer.Status;
  if ((answer.Status == 429 || answer.Status == 503) && !answer.RetryAfter.empty())
    outcome.RetryAfter = ParseRetryAfter(answer.RetryAfter, std::time(nullptr));
  if (job.StopRequested()) return;
  if (!Wanted(options, answer, buffer, outcome)) {
    job.ReportOutcome(outcome);
    return;
  }
  if (DirectoryReplaced(job.SaveDir(), job.SaveDirIdentity())) {
    // The series' disk has gone from under its mount point, say: filling what lies beneath
    // helps nobody. Nothing is shown, as for a failed fetch; the next job looks again.
    outcome.Kind = TJobOutcome::TKind::SaveFailed;
    outcome.Reason = job.DirectoryReplacedReason();
    job.ReportOutcome(outcome);
    return;
  }
  outcome.ShortOfLength = answer.ShortOfLength;
  if (!StoreBody(job, address, buffer, jpeg_frame, outcome)) {
    job.ReportOutcome(outcome);
    job.ShowMessage(kSaveErrorText);
    job.SetCaption(kSaveErrorText);
    return;
  }
  if (outcome.Kind == TJobOutcome::TKind::Stored) job.ReportOutcome(outcome);
}

}  // namespace tessaly
