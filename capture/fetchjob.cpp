#include "capture/fetchjob.h"

#include <utility>

#include "base/fileutil.h"
#include "capture/naming.h"
#include "capture/safefile.h"
#include "http/httpclient.h"
#include "net/tcpsocket.h"

namespace tessaly {
namespace {

constexpr char kSaveErrorText[] = "Error - can't save file\r\nProbably disk full";

// A name taken between naming and writing gets the next suffix; this bounds the retries.
constexpr int kMaxNameAttempts = 1000;

// Writes the body under a fresh name without ever replacing a file. False on failure.
bool StoreBody(TJobContext& job, const TByteBuffer& body) {
  const Text name = UrlFileName(job.Address());
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    const Text path = job.MakeFileName(name);
    if (job.StopRequested()) return true;  // closing: store nothing rather than race the exit
    if (WriteFileWhole(path, body.Memory(), static_cast<size_t>(body.Size()), TExisting::Keep)) {
      return true;
    }
    if (!FileExists(path)) return false;  // not a lost race: a real write failure
  }
  return false;
}

}  // namespace

Text GetReferer(const Text& address) {
  if (address.size() < 8) return Text();
  const size_t slash = address.find('/', 7);
  return slash == Text::npos ? Text() : address.substr(0, slash);
}

bool DownloadImage(const Text& address, TByteBuffer& buffer, std::stop_token stop) {
  if (stop.stop_requested()) return false;
  THTTPClient client;
  client.SetTransactionTimeout(kJobTransactionTimeoutMs);
  client.Sock().SetConnectTimeout(30000);  // a camera that does not answer is given up
  client.Headers().Add("referer:" + GetReferer(address) + "\r\n\r\n");
  // Raised from the window thread while the worker waits in the socket.
  std::stop_callback abort(stop, [&client] { client.Sock().SetStopFlag(true); });
  const bool ok = client.ExecuteRequest("GET", address);
  if (ok) {
    // The document's memory moves into the job's buffer: a large body is never held twice.
    buffer.Adopt(client.Document().Release());
  }
  return ok;
}

void FetchImageJob(TJobContext& job) {
  TByteBuffer buffer;
  if (!DownloadImage(job.Address(), buffer, job.StopToken())) return;
  if (job.StopRequested()) return;
  if (!StoreBody(job, buffer)) {
    job.ShowMessage(kSaveErrorText);
    job.SetCaption(kSaveErrorText);
  }
}

}  // namespace tessaly
