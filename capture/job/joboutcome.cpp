#include "capture/job/joboutcome.h"

#include <cstring>

#include "base/clock.h"
#include "http/httpclient.h"
#include "http/multipart.h"
#include "net/socketerror.h"
#include "net/tcpsocket.h"

namespace tessaly {
namespace {

// A size as written in the user's terms: whole MiB as such, else bytes.
Text SizeText(int64_t bytes) {
  constexpr int64_t kMiB = 1024 * 1024;
  if (bytes >= kMiB && bytes % kMiB == 0) return IntToText(bytes / kMiB) + " MiB";
  return IntToText(bytes) + " bytes";
}

Text DurationText(int32_t ms) {
  if (ms >= 1000 && ms % 1000 == 0) return IntToText(ms / 1000) + " s";
  return IntToText(ms) + " ms";
}

// How the camera ended a connection before its answer was complete.
Text PeerEndText(THTTPClient& client) {
  const TTCPBlockSocket& sock = client.Sock();
  const Text after = IntToText(sock.BytesRead()) + " bytes";
  switch (sock.PeerEnd()) {
    case TPeerEnd::Reset:
      return "reset by the camera after " + after;
    case TPeerEnd::TlsBareEnd:
      return "TLS connection cut without close_notify";
    default:
      break;
  }
  if (const auto& end = client.ShortEnd())
    return "closed early: " + IntToText(end->Received) + " of " + IntToText(end->Declared) +
           " bytes";
  if (sock.BytesRead() == 0) return "closed without an answer";
  return "closed early after " + after;
}

}  // namespace

Text TransactionFailureText(THTTPClient& client, uint32_t started_tick) {
  if (client.LimitExceeded()) {
    const int32_t deadline = client.TransactionTimeout();
    if (deadline > 0 && TickSpan(started_tick, TickCount()) >= deadline)
      return "deadline of " + IntToText(client.TransactionTimeout()) + " ms passed";
    switch (client.StreamLimit()) {
      case TPartLimit::LineLength:
        return "part header line longer than " + IntToText(client.MaxHeaderLineLength()) + " bytes";
      case TPartLimit::HeaderSize:
        return "part header block larger than " + IntToText(client.MaxHeaderSize()) + " bytes";
      case TPartLimit::PartSize:
        return "part larger than " + SizeText(client.MaxBodySize());
      case TPartLimit::Undelimited:
        return "first frame not delimited within " +
               SizeText(TFirstPartReader::kMaxUndelimitedPart);
      case TPartLimit::None:
        break;
    }
    // The client drops the connection at a breach; the socket keeps the error that caused it.
    if (client.Sock().SocketError() == ErrLineTooLong)
      return "header line longer than " + IntToText(client.MaxHeaderLineLength()) + " bytes";
    // The empty line that ends the header block is kept with the headers once it arrived.
    const TLineList& headers = client.Headers();
    const bool header_complete = headers.Count() > 0 && headers[headers.Count() - 1].empty();
    if (!header_complete)
      return "header block larger than " + IntToText(client.MaxHeaderSize()) + " bytes";
    return "answer larger than " + SizeText(client.MaxBodySize());
  }
  if (client.FramingFailed())
    return client.TransferMode() == THTTPTransferMode::Chunked ? "broken chunk framing"
                                                               : "impossible Content-Length";
  const int code = client.Sock().SocketError();
  // A send that met a closed connection has seen no end of the answer: its code says it all.
  if (code == ErrPeerClosed && client.Sock().PeerEnd() != TPeerEnd::Open)
    return PeerEndText(client);
  // A time-out after the request went out is the camera's silence, not the network's.
  if (code == ErrTimedOut && client.Sock().BytesWritten() > 0) {
    if (const auto& end = client.ShortEnd())
      return "stalled after " + IntToText(end->Received) + " of " + IntToText(end->Declared) +
             " bytes";
    if (client.Sock().BytesRead() > 0)
      return "stalled after " + IntToText(client.Sock().BytesRead()) + " bytes";
    return "no answer within " + DurationText(client.Timeout());
  }
  // A refused TLS handshake says why (a certificate, a pin, an old protocol).
  if (code == ErrNegotiationFailed) return IntToText(code) + " " + client.Sock().GetErrorDescEx();
  if (code != 0) return IntToText(code) + " " + GetErrorDesc(code);
  return "incomplete answer";
}

Text SaveFailureText(const Text& path, int errno_value) {
  return "cannot save " + path + ": " + std::strerror(errno_value);
}

}  // namespace tessaly
