// The request half of a transaction: the request lines, the header block and its sending.
#include "base/codec.h"
#include "base/ipaddr.h"
#include "base/url.h"
#include "http/httpclient.h"
#include "net/tcpsocket.h"

namespace tessaly {
namespace {

// A request body below this size travels in the same send as the header block.
constexpr int64_t kSingleSendLimit = 65536;

Text BracketedHost(const Text& host) {
  return IsIPv6Text(host) ? "[" + host + "]" : host;
}

}  // namespace

bool THTTPClient::HasForbiddenBytes(const Text& url) {
  // Control bytes in the address would end the request line early and let the address write
  // header lines of its own (RFC 9112, section 3.2 allows none in a request target).
  for (const char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127) return true;
  }
  return false;
}

void THTTPClient::InsertRequestLines(const Text& method, const TAddress& address, bool& want_tls) {
  TUrlParts parts = address.Parts;
  if (parts.user.empty()) {
    parts.user = UserName();
    parts.password = Password();
  }

  const bool https = UpperAscii(parts.scheme) == "HTTPS";
  const bool tunnel = https && !proxy_host_.empty();
  // A plain-HTTP request reaches a proxy by absolute URI instead of a tunnel.
  sock_->SetHTTPTunnelIP(https ? proxy_host_ : Text());
  sock_->SetHTTPTunnelPort(https ? proxy_port_ : Text());
  sock_->SetHTTPTunnelUser(https ? proxy_user_ : Text());
  sock_->SetHTTPTunnelPass(https ? proxy_pass_ : Text());
  const bool via_proxy = !proxy_host_.empty() && !tunnel;

  TLineList& lines = *headers_;
  const int64_t body_size = document_->Size();
  const bool has_body = body_size > 0;
  if (status100_ && has_body && protocol_ == "1.1") lines.InsertFirst("Expect: 100-continue");
  if (has_body) lines.InsertFirst("Content-Length: " + IntToText(body_size));
  if (has_body && !mime_type_.empty()) lines.InsertFirst("Content-Type: " + mime_type_);
  if (!user_agent_.empty()) lines.InsertFirst("User-Agent: " + user_agent_);
  if (range_start_ > 0 || range_end_ > 0) {
    Text range = "Range: bytes=" + IntToText(range_start_) + "-";
    if (range_start_ <= range_end_) range += IntToText(range_end_);
    lines.InsertFirst(range);
  }
  if (cookies_->Count() > 0) {
    Text joined;
    for (int i = 0; i < cookies_->Count(); ++i) {
      if (i > 0) joined += "; ";
      joined += (*cookies_)[i];
    }
    lines.InsertFirst("Cookie: " + joined);
  }
  if (!keep_alive_) lines.InsertFirst("Connection: close");
  if (!authorization_line_.empty()) {
    lines.InsertFirst(authorization_line_);
  } else if (!parts.user.empty()) {
    lines.InsertFirst("Authorization: Basic " + Base64Encode(parts.user + ":" + parts.password));
  }
  if (!proxy_host_.empty() && !proxy_user_.empty() && !tunnel) {
    lines.InsertFirst("Proxy-Authorization: Basic " +
                      Base64Encode(proxy_user_ + ":" + proxy_pass_));
  }
  Text host_line = "Host: " + BracketedHost(parts.host);
  if (add_port_number_to_host_ && parts.port != "80") host_line += ":" + parts.port;
  lines.InsertFirst(host_line);

  Text uri = parts.uri;
  if (via_proxy) {
    // The port is always written so that the proxy never has to guess it.
    uri = parts.scheme + "://" + BracketedHost(parts.host) + ":" + parts.port + parts.uri;
  }
  if (uri == "/*") uri = "*";  // the asterisk form (RFC 9112, section 3.2.4)
  request_target_ = uri;

  Text request_line = UpperAscii(method) + " " + uri;
  if (protocol_ != "0.9") request_line += " HTTP/" + protocol_;
  lines.InsertFirst(request_line);

  SetTargetHost(via_proxy ? proxy_host_ : parts.host);
  SetTargetPort(via_proxy ? proxy_port_ : parts.port);

  if (!lines[lines.Count() - 1].empty()) lines.Add(Text());
  want_tls = https;
}

Text THTTPClient::ComposeHeaderText() const {
  if (protocol_ == "0.9") return (*headers_)[0] + "\r\n";
  return headers_->JoinedText();
}

bool THTTPClient::SendRequest() {
  document_->SetPosition(0);
  const Text header = ComposeHeaderText();
  const int64_t body_size = document_->Size();
  const bool expect_case = status100_ && body_size > 0 && protocol_ == "1.1";
  if (expect_case) {
    sock_->WriteText(header);
    if (sock_->SocketError() != 0) return false;
    if (!ReadExpectAnswer()) return false;
    if (!have_early_answer_) {
      upload_size_ = static_cast<int32_t>(body_size);
      sock_->WriteBuffer(document_->Memory(), static_cast<int>(body_size));
    }
  } else if (body_size > 0 && body_size < kSingleSendLimit) {
    const Text whole = header + ReadTextFromStream(*document_, body_size);
    sock_->WriteText(whole);
    upload_size_ = static_cast<int32_t>(whole.size());
  } else if (body_size > 0) {
    // Large bodies go out straight from the buffer's memory, without a copy into text.
    sock_->WriteText(header);
    if (sock_->SocketError() == 0) {
      upload_size_ = static_cast<int32_t>(body_size);
      sock_->WriteBuffer(document_->Memory(), static_cast<int>(body_size));
    }
  } else {
    sock_->WriteText(header);
  }
  return sock_->SocketError() == 0;
}

bool THTTPClient::ReadExpectAnswer() {
  // Waits for the server's word on "Expect: 100-continue". A final answer keeps its status
  // line and header lines, so that its body is read with the right framing.
  Text line;
  do {
    if (!ReadLimitedLine(line, true)) return false;
  } while (line.empty() && sock_->SocketError() == 0);
  ParseStatusLine(line);
  std::vector<Text> header_lines;
  while (sock_->SocketError() == 0) {
    Text next;
    if (!ReadLimitedLine(next, true)) return false;
    if (next.empty()) break;
    header_lines.push_back(next);
  }
  if (result_code_ >= 100 && result_code_ <= 199) return true;
  have_early_answer_ = true;
  early_status_line_ = line;
  early_header_lines_ = std::move(header_lines);
  return true;
}

}  // namespace tessaly
