// One HTTP/1.x transaction at a time over an owned blocking TCP socket: composes the request
// from the properties and the caller's header lines, connects (or reuses an idle connection to
// the same target), sends, and reads the status line, header lines and body into memory.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include "base/bytebuffer.h"
#include "base/linelist.h"
#include "base/text.h"
#include "base/url.h"
#include "http/netclient.h"

namespace tessaly {

class TFirstPartReader;
enum class TPartLimit : uint8_t;
class TTCPBlockSocket;
enum class TPeerEnd : uint8_t;

// How the body of the response being read is delimited.
enum class THTTPTransferMode : uint8_t { UntilClose = 0, ByLength = 1, Chunked = 2 };

// A body delimited by its length that ended before that length when the peer ended the
// connection.
struct THTTPShortEnd {
  int64_t Received = 0;  // body bytes that arrived
  int64_t Declared = 0;  // the length the answer declared
  TPeerEnd End{};        // how the peer ended the connection
};

class THTTPClient : public TNetClient {
 public:
  // Defaults: port "80", Timeout 90000, protocol "1.0", keep-alive on, no proxy, no range.
  THTTPClient();
  // Frees the socket (closing an open connection), then Document, Cookies and Headers.
  ~THTTPClient() override;

  // Sends Method to URL with the caller's Headers lines and Document as body, then reads the
  // answer into Headers, Document (positioned at 0), ResultCode, ResultString and MimeType.
  // True when a response was read completely in its transfer mode, whatever its status.
  bool ExecuteRequest(const Text& method, const Text& url);
  // The same with an address already read.
  bool ExecuteRequest(const Text& method, const TAddress& address);
  // Clears the range, Document and Headers and sets MimeType to "text/html".
  void ResetMessage();
  // Takes the status code and reason phrase of a status line into ResultCode/ResultString.
  void ParseStatusLine(const Text& line);

  TTCPBlockSocket& Sock() { return *sock_; }
  // Before a transaction: extra request header lines (without CR LF); after: the response's.
  TLineList& Headers() { return *headers_; }
  // Before a transaction: the request body; after: the response body.
  TByteBuffer& Document() { return *document_; }
  // name=value lines sent with every request and updated from every Set-Cookie answer.
  TLineList& Cookies() { return *cookies_; }

  // Before: the request body's content type; after: the response's Content-Type value.
  const Text& MimeType() const { return mime_type_; }
  void SetMimeType(const Text& value) { mime_type_ = value; }
  // "0.9", "1.0" or "1.1", written into the request line.
  const Text& Protocol() const { return protocol_; }
  void SetProtocol(const Text& value) { protocol_ = value; }
  // False adds "Connection: close" to the request.
  bool KeepAlive() const { return keep_alive_; }
  void SetKeepAlive(bool value) { keep_alive_ = value; }
  // Waits for "100 Continue" before sending a body under protocol "1.1".
  bool Status100() const { return status100_; }
  void SetStatus100(bool value) { status100_ = value; }
  // HTTP proxy; an empty host means a direct connection.
  const Text& ProxyHost() const { return proxy_host_; }
  void SetProxyHost(const Text& value) { proxy_host_ = value; }
  const Text& ProxyPort() const { return proxy_port_; }
  void SetProxyPort(const Text& value) { proxy_port_ = value; }
  const Text& ProxyUser() const { return proxy_user_; }
  void SetProxyUser(const Text& value) { proxy_user_ = value; }
  const Text& ProxyPass() const { return proxy_pass_; }
  void SetProxyPass(const Text& value) { proxy_pass_ = value; }
  // Status code of the last transaction: 500 when nothing was sent, 0 without a status line.
  int32_t ResultCode() const { return result_code_; }
  const Text& ResultString() const { return result_string_; }
  // Value of the "User-Agent" line; empty suppresses the line.
  const Text& UserAgent() const { return user_agent_; }
  void SetUserAgent(const Text& value) { user_agent_ = value; }
  // Size of the last length-delimited body piece asked for.
  int32_t DownloadSize() const { return download_size_; }
  // Bytes of the request body (or of header block plus body, when sent together).
  int32_t UploadSize() const { return upload_size_; }
  // Requested byte range; both 0 means none, an end below the start means an open end.
  int32_t RangeStart() const { return range_start_; }
  void SetRangeStart(int32_t value) { range_start_ = value; }
  int32_t RangeEnd() const { return range_end_; }
  void SetRangeEnd(int32_t value) { range_end_ = value; }
  // Appends ":port" to the "Host" line when the port text is not exactly "80".
  bool AddPortNumberToHost() const { return add_port_number_to_host_; }
  void SetAddPortNumberToHost(bool value) { add_port_number_to_host_ = value; }

  THTTPTransferMode TransferMode() const { return transfer_mode_; }
  // Host and port text of the open connection; "" when none is known.
  const Text& ConnectedHost() const { return connected_host_; }
  const Text& ConnectedPort() const { return connected_port_; }

  // Bounds on what a server may make the client hold; a breach fails the transaction at once
  // and drops the connection. Header bytes count the status and header lines with their ends.
  int32_t MaxHeaderLineLength() const { return max_header_line_length_; }
  void SetMaxHeaderLineLength(int32_t value) { max_header_line_length_ = value; }
  int32_t MaxHeaderSize() const { return max_header_size_; }
  void SetMaxHeaderSize(int32_t value) { max_header_size_ = value; }
  int64_t MaxBodySize() const { return max_body_size_; }
  void SetMaxBodySize(int64_t value) { max_body_size_ = value; }
  // Milliseconds one whole transaction may take; 0 means no limit. When it runs out the waiting
  // connect, send or read fails and the connection is dropped.
  int32_t TransactionTimeout() const { return transaction_timeout_; }
  void SetTransactionTimeout(int32_t value) { transaction_timeout_ = value; }
  // True when the last transaction failed on one of the bounds above.
  bool LimitExceeded() const { return limit_exceeded_; }
  // True when the last transaction failed on a length or chunk size that no body can have.
  bool FramingFailed() const { return framing_failed_; }
  // After a failed transaction: set when the peer ended the connection (End tells how) or fell
  // silent for Timeout (End is TPeerEnd::Open) before a body of declared length was complete;
  // Document then holds what arrived. Whether that is worth keeping is the caller's business.
  const std::optional<THTTPShortEnd>& ShortEnd() const { return short_end_; }

  // The stop request of whoever owns the client (it may be asked for from any thread). Once it
  // is, every connect, send, read and transaction of this client ends at once with 10053, and
  // it stays so: no step of the client uses the stop up.
  void SetStopToken(std::stop_token stop);
  bool StopRequested() const { return stop_.stop_requested(); }

  // When not empty, this whole line is sent in place of the "Authorization: Basic" one.
  const Text& AuthorizationLine() const { return authorization_line_; }
  void SetAuthorizationLine(const Text& value) { authorization_line_ = value; }
  // The request target of the last request composed, exactly as written in its request line.
  const Text& RequestTarget() const { return request_target_; }

  // When set, an answer of type multipart/x-mixed-replace (an endless stream of parts) ends with
  // its first part: Document holds that part's body alone, the connection is closed without
  // reading further, and an answer that ends or stalls before that part is complete fails. The
  // bounds above hold for the part. Off by default.
  bool FirstPartOfStream() const { return first_part_of_stream_; }
  void SetFirstPartOfStream(bool value) { first_part_of_stream_ = value; }
  // After a transaction: true when Document holds a stream's first part; PartType is then that
  // part's Content-Type value ("" when it had none).
  bool StreamPartRead() const { return stream_part_read_; }
  const Text& PartType() const { return part_type_; }
  // After a transaction that failed on a bound while reading a stream's framing: which bound
  // (LimitExceeded is then set too); TPartLimit::None otherwise.
  TPartLimit StreamLimit() const { return stream_limit_; }

 private:
  struct TRequestTarget;

  bool RunTransaction(const Text& method, bool want_tls);
  // Request side.
  static bool HasForbiddenBytes(const Text& url);
  void InsertRequestLines(const Text& method, const TAddress& address, bool& want_tls);
  Text ComposeHeaderText() const;
  bool SendRequest();
  bool ReadExpectAnswer();
  // Connection.
  bool EnsureConnection(bool want_tls);
  bool OpenConnection(bool want_tls);
  void CloseAfterAnswer();
  void DropConnection();
  void ArmLimits();
  void StartDeadlineWatch();
  // The socket's heartbeat: raises its stop flag while a stop is asked for or the deadline
  // has passed.
  void RaiseStops();
  void DisarmLimits();
  bool DeadlinePassed() const;
  int32_t ReadTimeout() const;
  // Response side.
  bool ReadLimitedLine(Text& line, bool counts_as_header);
  bool ReadStatusLine();
  void ApplyHeaderLine(const Text& line);
  bool ReadHeaderLines();
  bool ReadBody(const Text& method);
  bool ReadBodyUntilClose();
  bool ReadBodyByLength(int32_t size);
  // Reads a chunk-size line into size (0: the body ends). False when the transaction failed on a
  // bound or on a size no body can have.
  bool ReadChunkSize(int64_t& size);
  // Reads the CR LF that ends a chunk's data; false when the socket failed or the bytes are
  // others (then the framing has failed).
  bool ReadChunkEnd();
  bool ReadChunkedBody();
  void ReserveBody(int64_t needed, int64_t known_end);
  void CollectCookies();
  bool Breach();
  bool FramingFault();
  // Streams (multipart/x-mixed-replace).
  bool IsStreamAnswer(const Text& method) const;
  bool ReadFirstStreamPart();
  bool FeedStream(TFirstPartReader& reader, int64_t limit);
  Text ReadStreamPiece(int64_t limit);

  std::unique_ptr<TTCPBlockSocket> sock_;
  THTTPTransferMode transfer_mode_ = THTTPTransferMode::UntilClose;
  Text connected_host_;
  Text connected_port_;
  std::unique_ptr<TLineList> headers_;
  std::unique_ptr<TByteBuffer> document_;
  Text mime_type_ = "text/html";
  Text protocol_ = "1.0";
  bool keep_alive_ = true;
  bool status100_ = false;
  Text proxy_host_;
  Text proxy_port_ = "8080";
  Text proxy_user_;
  Text proxy_pass_;
  int32_t result_code_ = 0;
  Text result_string_;
  Text user_agent_ = "Mozilla/4.0 (compatible; Tessaly)";
  std::unique_ptr<TLineList> cookies_;
  int32_t download_size_ = 0;
  int32_t upload_size_ = 0;
  int32_t range_start_ = 0;
  int32_t range_end_ = 0;
  bool add_port_number_to_host_ = true;

  int32_t max_header_line_length_ = 64 * 1024;
  int32_t max_header_size_ = 1024 * 1024;
  int64_t max_body_size_ = 256 * 1024 * 1024;
  int32_t transaction_timeout_ = 0;
  bool limit_exceeded_ = false;
  bool framing_failed_ = false;
  std::optional<THTTPShortEnd> short_end_;
  Text authorization_line_;
  Text request_target_;

  // State of the transaction in progress.
  int64_t expected_length_ = -1;
  bool close_after_ = false;
  int64_t header_bytes_ = 0;
  // A final answer that came instead of "100 Continue", kept for the response reading.
  bool have_early_answer_ = false;
  Text early_status_line_;
  std::vector<Text> early_header_lines_;
  uint32_t deadline_tick_ = 0;
  bool deadline_armed_ = false;
  // The socket's stop flag was raised by the deadline (and so is the deadline's to clear).
  bool deadline_raised_ = false;
  std::stop_token stop_;
  // Raises the socket's stop flag at once when the stop is asked for, from the asking thread.
  std::unique_ptr<std::stop_callback<std::function<void()>>> stop_raise_;
  size_t body_reserved_ = 0;

  bool first_part_of_stream_ = false;
  bool stream_part_read_ = false;
  Text part_type_;
  TPartLimit stream_limit_{};
};

}  // namespace tessaly
