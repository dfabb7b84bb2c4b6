#include "capture/joboutcome.h"

#include <cstring>

#include "base/clock.h"
#include "http/httpclient.h"
#include "net/socketerror.h"
#include "net/tcpsocket.h"

namespace tessaly {

Text TransactionFailureText(THTTPClient& client, uint32_t started_tick) {
  if (client.LimitExceeded()) {
    const int32_t deadline = client.TransactionTimeout();
    if (deadline > 0 && TickSpan(started_tick, TickCount()) >= deadline)
      return "deadline of " + IntToText(client.TransactionTimeout()) + " ms passed";
    // The client drops the connection at a breach; the socket keeps the error that caused it.
    if (client.Sock().SocketError() == ErrLineTooLong)
      return "header line longer than " + IntToText(client.MaxHeaderLineLength()) + " bytes";
    // The empty line that ends the header block is kept with the headers once it arrived.
    const TLineList& headers = client.Headers();
    const bool header_complete = headers.Count() > 0 && headers[headers.Count() - 1].empty();
    if (!header_complete)
      return "header block larger than " + IntToText(client.MaxHeaderSize()) + " bytes";
    return "body larger than " + IntToText(client.MaxBodySize()) + " bytes";
  }
  const int code = client.Sock().SocketError();
  if (code != 0) return IntToText(code) + " " + GetErrorDesc(code);
  return "incomplete answer";
}

Text SaveFailureText(const Text& path, int errno_value) {
  return "cannot save " + path + ": " + std::strerror(errno_value);
}

}  // namespace tessaly
