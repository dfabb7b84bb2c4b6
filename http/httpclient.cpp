// The transaction as a whole: construction, connection handling and the transaction's order.
#include "http/httpclient.h"

#include <sys/socket.h>

#include <algorithm>

#include "base/clock.h"
#include "net/tcpsocket.h"

namespace tessaly {
namespace {

// Slice length of the socket's waits while a transaction deadline is armed: how late the
// deadline may be noticed inside one long wait.
constexpr int32_t kDeadlineSliceMs = 100;

}  // namespace

THTTPClient::THTTPClient() {
  headers_ = std::make_unique<TLineList>();
  cookies_ = std::make_unique<TLineList>();
  document_ = std::make_unique<TByteBuffer>();
  sock_ = TTCPBlockSocket::CreateDefault();
  sock_->SetConvertLineEnd(true);
  sock_->SetReceiveBufferSize(65536);
  sock_->SetSendBufferSize(65536);
  SetTimeout(90000);
  SetTargetPort("80");
  ResetMessage();
}

THTTPClient::~THTTPClient() {
  stop_raise_.reset();  // waits for a callback running on another thread
  sock_.reset();
  document_.reset();
  cookies_.reset();
  headers_.reset();
}

void THTTPClient::ResetMessage() {
  range_start_ = 0;
  range_end_ = 0;
  document_->Clear();
  body_reserved_ = 0;
  headers_->Clear();
  mime_type_ = "text/html";
}

bool THTTPClient::ExecuteRequest(const Text& method, const Text& url) {
  return ExecuteRequest(method, ParseAddress(url));
}

bool THTTPClient::ExecuteRequest(const Text& method, const TAddress& address) {
  result_code_ = 500;
  result_string_.clear();
  download_size_ = 0;
  upload_size_ = 0;
  limit_exceeded_ = false;
  framing_failed_ = false;
  short_end_.reset();
  have_early_answer_ = false;
  early_status_line_.clear();
  early_header_lines_.clear();
  header_bytes_ = 0;
  stream_part_read_ = false;
  part_type_.clear();
  stream_limit_ = {};
  if (HasForbiddenBytes(address.Given)) return false;

  bool want_tls = false;
  InsertRequestLines(method, address, want_tls);
  ArmLimits();
  bool result = false;
  if (StopRequested()) {
    sock_->SetStopFlag(true);
    sock_->ClearError();
    sock_->CheckStop();  // nothing is sent: the transaction fails as a stopped send would
  } else {
    result = RunTransaction(method, want_tls);
  }
  if (!result && DeadlinePassed()) {
    // Whatever the server was still sending belongs to a transaction that has been given up.
    limit_exceeded_ = true;
    DropConnection();
  } else if (!result && StopRequested()) {
    DropConnection();  // the owner wants out: no graceful close that waits for the peer
  }
  DisarmLimits();
  return result;
}

void THTTPClient::SetStopToken(std::stop_token stop) {
  stop_raise_.reset();
  stop_ = std::move(stop);
  if (!stop_.stop_possible()) return;
  stop_raise_ = std::make_unique<std::stop_callback<std::function<void()>>>(
      stop_, std::function<void()>([this] { sock_->SetStopFlag(true); }));
}

bool THTTPClient::RunTransaction(const Text& method, bool want_tls) {
  if (!EnsureConnection(want_tls)) {
    connected_host_.clear();
    connected_port_.clear();
    return false;
  }
  if (!SendRequest()) return false;

  ResetMessage();
  transfer_mode_ = THTTPTransferMode::UntilClose;
  expected_length_ = -1;
  if (!ReadStatusLine()) return false;
  close_after_ = protocol_ != "1.1";
  if (!ReadHeaderLines()) return false;
  if (sock_->SocketError() != 0) return false;
  if (IsStreamAnswer(method)) return ReadFirstStreamPart();

  const bool result = ReadBody(method);
  document_->SetPosition(0);
  if (close_after_) CloseAfterAnswer();
  CollectCookies();
  return result;
}

bool THTTPClient::EnsureConnection(bool want_tls) {
  // An idle connection is reused only while nothing has arrived on it: stray bytes or the
  // peer's close both show as readable. A bare poll: the stop flag is not this test's to use.
  const bool idle = sock_->Handle() != INVALID_SOCKET && connected_host_ == TargetHost() &&
                    connected_port_ == TargetPort() && !sock_->PollReadable(0);
  StartDeadlineWatch();
  return idle || OpenConnection(want_tls);
}

bool THTTPClient::OpenConnection(bool want_tls) {
  sock_->Close();
  sock_->BindTo(IPInterface(), "0");
  if (sock_->SocketError() != 0) return false;
  sock_->ConnectTo(TargetHost(), TargetPort());
  if (sock_->SocketError() != 0) return false;
  if (want_tls) {
    // The handshake waits for the server like any read does.
    sock_->SSLPlug().SetTimeout(ReadTimeout());
    sock_->OpenTlsSession();
    if (sock_->SocketError() != 0) return false;
  }
  connected_host_ = TargetHost();
  connected_port_ = TargetPort();
  return true;
}

void THTTPClient::CloseAfterAnswer() {
  // The answer has been read as far as its framing goes, so nothing the server may still send
  // matters: the socket's graceful close would wait a millisecond for such input before
  // closing, which costs more than the rest of a small transaction.
  if (sock_->SSLPlug().TLSActive()) {
    sock_->Close();  // TLS must say goodbye in its own way
  } else {
    if (sock_->Handle() != INVALID_SOCKET && sock_->SocketError() == 0) {
      ShutdownSocket(sock_->Handle(), SHUT_WR);
    }
    sock_->CloseNow();
  }
  connected_host_.clear();
  connected_port_.clear();
}

void THTTPClient::DropConnection() {
  // Closes without draining: the peer may go on sending for ever.
  sock_->CloseNow();
  connected_host_.clear();
  connected_port_.clear();
}

bool THTTPClient::Breach() {
  limit_exceeded_ = true;
  DropConnection();
  return false;
}

bool THTTPClient::FramingFault() {
  // The answer cannot be delimited: what follows on the connection means nothing.
  framing_failed_ = true;
  DropConnection();
  return false;
}

void THTTPClient::ArmLimits() {
  // The socket refuses to assemble a longer line (10055), so an endless line costs no memory.
  // Without a line limit the header block's limit still bounds the line being assembled.
  const int32_t line_limit = max_header_line_length_ > 0 ? max_header_line_length_
                                                         : std::max<int32_t>(0, max_header_size_);
  sock_->SetMaxLineLength(line_limit);
  deadline_armed_ = transaction_timeout_ > 0;
  if (deadline_armed_) deadline_tick_ = TickCount() + static_cast<uint32_t>(transaction_timeout_);
}

void THTTPClient::StartDeadlineWatch() {
  if (!deadline_armed_ && !stop_.stop_possible()) return;
  // The socket calls the heartbeat between wait slices and before every send and receive;
  // raising its stop flag there ends whatever it is doing, and raising it again at every call
  // keeps a stop in force for every later step, whichever step used the flag up.
  sock_->SetHeartbeatRate(deadline_armed_ ? std::min(kDeadlineSliceMs, transaction_timeout_)
                                          : kDeadlineSliceMs);
  sock_->SetOnHeartbeat([this](TBlockSocket&) { RaiseStops(); });
}

void THTTPClient::RaiseStops() {
  if (StopRequested()) {
    sock_->SetStopFlag(true);
  } else if (DeadlinePassed()) {
    deadline_raised_ = true;
    sock_->SetStopFlag(true);
  }
}

void THTTPClient::DisarmLimits() {
  const bool watched = deadline_armed_ || stop_.stop_possible();
  deadline_armed_ = false;
  if (watched) {
    sock_->SetOnHeartbeat(nullptr);
    sock_->SetHeartbeatRate(0);
  }
  // Only what the deadline raised is cleared; a stop stays raised for whatever comes next.
  if (StopRequested()) {
    sock_->SetStopFlag(true);
  } else if (deadline_raised_) {
    sock_->SetStopFlag(false);
  }
  deadline_raised_ = false;
}

bool THTTPClient::DeadlinePassed() const {
  return deadline_armed_ && TickSpan(deadline_tick_, TickCount()) >= 0;
}

int32_t THTTPClient::ReadTimeout() const {
  if (!deadline_armed_) return Timeout();
  // A wait without limit would never reach a heartbeat slice, so the deadline bounds it.
  const int32_t remaining = std::max<int32_t>(0, TickSpan(TickCount(), deadline_tick_));
  return Timeout() < 0 ? remaining : std::min(Timeout(), remaining);
}

}  // namespace tessaly
