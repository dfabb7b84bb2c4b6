// The blocking socket object: one platform socket with its options, readiness waits, bounded
// sends, buffered reads through a read-ahead buffer, and a last-error state.
//
// Every operation blocks the calling thread and reports failure by leaving a non-zero code
// (Windows Sockets numbering, see net/socketerror.h) in SocketError(); callers test it after
// each call. Nothing throws unless RaiseExcept is set, in which case a failure raises
// ENetSocketError at the point where it is reported.
//
// One object belongs to one thread. The only exception is SetStopFlag, which another thread
// (or a hook) may call to end a wait, a throttle sleep or the next send or receive early.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "base/bytebuffer.h"
#include "base/linelist.h"
#include "base/text.h"
#include "net/sockapi.h"
#include "net/socketerror.h"

namespace tessaly {

class TBlockSocket;

// Why OnStatus was called; Value carries the text noted for each reason.
enum THookSocketReason {
  SR_Resolving = 0,   // resolution starts; "host:port"
  SR_Resolved = 1,    // resolution done (also after a failure); "host:port"
  SR_Created = 2,     // a platform socket was made; "IPv4" or "IPv6"
  SR_Closed = 3,      // CloseNow ran; ""
  SR_Bound = 4,       // BindTo done (also after a failure); "host:port"
  SR_Connected = 5,   // ConnectTo done (also after a failure); "host:port"
  SR_Readable = 6,    // WaitReadable answered true; ""
  SR_Writable = 7,    // WaitWritable answered true; ""
  SR_Listening = 8,   // a listening socket stands; ""
  SR_Read = 10,       // one receive; decimal byte count
  SR_Written = 11,    // one send piece; decimal byte count
  SR_Throttled = 12,  // the bandwidth limiter is about to sleep; decimal milliseconds
  SR_Failed = 13,     // a failure was reported; "code,text"
};

// Hooks. An empty std::function means "not assigned": the call is skipped.
using THookSocketStatus =
    std::function<void(TBlockSocket& sender, THookSocketReason reason, const Text& value)>;
// May change the bytes of each piece received, or shorten it; it can never lengthen it.
using THookDataFilter = std::function<void(TBlockSocket& sender, Text& value)>;
using THookCreateSocket = std::function<void(TBlockSocket& sender)>;
// Sees every buffer handed to a send (writing true) and every piece received (writing false).
using THookMonitor =
    std::function<void(TBlockSocket& sender, bool writing, const void* buffer, int length)>;
using THookHeartbeat = std::function<void(TBlockSocket& sender)>;

// Socket options that may be given before the platform socket exists.
enum TSocketOptionKind : uint8_t {
  OptLinger = 0,          // SO_LINGER: Enabled, IntValue milliseconds (whole seconds used)
  OptReceiveBuffer = 1,   // SO_RCVBUF = IntValue
  OptSendBuffer = 2,      // SO_SNDBUF = IntValue
  OptNonBlocking = 3,     // FIONBIO = Enabled
  OptReceiveTimeout = 4,  // SO_RCVTIMEO = IntValue milliseconds
  OptSendTimeout = 5,     // SO_SNDTIMEO = IntValue milliseconds
  OptReuseAddress = 6,    // SO_REUSEADDR = Enabled
  OptTTL = 7,             // IP_TTL or IPV6_UNICAST_HOPS = IntValue
  OptBroadcast = 8,       // SO_BROADCAST = Enabled
  OptMulticastTTL = 9,    // IP_MULTICAST_TTL or IPV6_MULTICAST_HOPS = IntValue
  OptMulticastLoop = 10,  // IP_MULTICAST_LOOP or IPV6_MULTICAST_LOOP = Enabled
};

// How the peer's side of a connection ended, as far as the reads have seen it.
enum class TPeerEnd : uint8_t {
  Open,        // no end seen on this connection (yet)
  Orderly,     // the peer closed its sending side: everything it sent has arrived
  Reset,       // the connection was reset or failed: bytes may be missing
  TlsClosed,   // over TLS, the peer's closing alert arrived: everything it sent has arrived
  TlsBareEnd,  // over TLS, the TCP stream ended without the closing alert: possibly truncated
};

// One queued option. The socket's queue owns it until ApplyOption consumes it.
struct TSocketOption {
  TSocketOptionKind Kind = OptLinger;
  bool Enabled = false;
  int32_t IntValue = 0;
};

class TBlockSocket {
 public:
  // Closed (Handle() == -1) with every default: SF_Any, PreferIP4, InterPacketTimeout,
  // SendMaxChunk 65536, NonblockSendTimeout 15000 ms, no limits, no hooks.
  TBlockSocket();
  // Runs the base Close (which still sends SR_Closed: hooks must outlive the socket or be
  // cleared first) and drops the queued options. A derived class whose Close does more must
  // call Close in its own destructor: virtual calls do not reach it from here.
  virtual ~TBlockSocket();
  TBlockSocket(const TBlockSocket&) = delete;
  TBlockSocket& operator=(const TBlockSocket&) = delete;

  // ---- Published properties ---------------------------------------------------------------

  // Free for the user; the socket never reads it.
  int Tag() const { return tag_; }
  void SetTag(int value) { tag_ = value; }
  // When true, every reported failure raises ENetSocketError.
  bool RaiseExcept() const { return raise_except_; }
  void SetRaiseExcept(bool value) { raise_except_ = value; }
  // Longest line ReadUntil may assemble, in bytes; 0 = no limit. Beyond it: 10055.
  int MaxLineLength() const { return max_line_length_; }
  void SetMaxLineLength(int value) { max_line_length_ = value; }
  // Bandwidth limits in bytes per second; 0 or less = none.
  int MaxSendBandwidth() const { return max_send_bandwidth_; }
  void SetMaxSendBandwidth(int value) { max_send_bandwidth_ = value; }
  int MaxRecvBandwidth() const { return max_recv_bandwidth_; }
  void SetMaxRecvBandwidth(int value) { max_recv_bandwidth_ = value; }
  // Sets both limits to the same value.
  void SetMaxBandwidth(int value);
  // Line reads ending in CR LF also accept CR, LF and LF CR; a pair split across two packets
  // still counts as one line end.
  bool ConvertLineEnd() const { return convert_line_end_; }
  void SetConvertLineEnd(bool value) { convert_line_end_ = value; }
  // Address family wanted for the next platform socket.
  TSocketFamily Family() const { return family_; }
  virtual void SetFamily(TSocketFamily value);
  // With SF_Any and a host name: try IPv4 first.
  bool PreferIP4() const { return prefer_ip4_; }
  void SetPreferIP4(bool value) { prefer_ip4_ = value; }
  // true: every wait for a packet gets the whole timeout; false: the timeout is one budget for
  // the whole read.
  bool InterPacketTimeout() const { return inter_packet_timeout_; }
  void SetInterPacketTimeout(bool value) { inter_packet_timeout_ = value; }
  // Largest piece per platform send, and the piece size of ReadCountToStream. Values of 0 or
  // less are ignored (the piece size must stay positive).
  int SendMaxChunk() const { return send_max_chunk_; }
  void SetSendMaxChunk(int value);
  // A pending request to abort. Safe to set from any thread: the next send or receive fails
  // with 10053, a sliced WaitReadable gives up (false, no code of its own), a throttle sleep
  // ends early.
  bool StopFlag() const { return stop_flag_.load(); }
  void SetStopFlag(bool value) { stop_flag_.store(value); }
  // How long a send may make no progress (the peer takes nothing) before it fails with 10060,
  // in ms; -1 = no limit.
  int NonblockSendTimeout() const { return nonblock_send_timeout_; }
  void SetNonblockSendTimeout(int value) { nonblock_send_timeout_ = value; }
  // Limit of ConnectTo's wait for the connection to stand, in ms (10060 after it); -1 = no
  // limit but the platform's own.
  int ConnectTimeout() const { return connect_timeout_; }
  void SetConnectTimeout(int value) { connect_timeout_ = value; }
  // Slice length of WaitReadable in ms, with OnHeartbeat between slices; 0 = no slices.
  int HeartbeatRate() const { return heartbeat_rate_; }
  void SetHeartbeatRate(int value) { heartbeat_rate_ = value; }

  const THookSocketStatus& OnStatus() const { return on_status_; }
  void SetOnStatus(THookSocketStatus hook) { on_status_ = std::move(hook); }
  const THookDataFilter& OnReadFilter() const { return on_read_filter_; }
  void SetOnReadFilter(THookDataFilter hook) { on_read_filter_ = std::move(hook); }
  const THookCreateSocket& OnCreateSocket() const { return on_create_socket_; }
  void SetOnCreateSocket(THookCreateSocket hook) { on_create_socket_ = std::move(hook); }
  const THookMonitor& OnMonitor() const { return on_monitor_; }
  void SetOnMonitor(THookMonitor hook) { on_monitor_ = std::move(hook); }
  const THookHeartbeat& OnHeartbeat() const { return on_heartbeat_; }
  void SetOnHeartbeat(THookHeartbeat hook) { on_heartbeat_ = std::move(hook); }

  // ---- State the owner may look at ----------------------------------------------------------

  // Code of the last failure; 0 = none. Each operation starts by clearing it.
  int SocketError() const { return socket_error_; }
  // Its text as GetErrorDescEx gives it; "" for 0.
  const Text& SocketErrorText() const { return socket_error_text_; }
  // The platform socket; -1 while closed.
  TSocketHandle Handle() const { return handle_; }
  // Bytes received and not yet handed out (a copy).
  Text ReadAhead() const;
  // Local end (refreshed by BindTo and ConnectTo) and remote end (also the datagram peer).
  const TSocketAddress& LocalAddress() const { return local_address_; }
  const TSocketAddress& PeerAddress() const { return peer_address_; }
  // Sets the destination of WriteDatagram.
  void SetPeerAddress(const TSocketAddress& address) { peer_address_ = address; }
  // The platform socket was made for the IPv6 family.
  bool UsingIP6() const { return using_ip6_; }
  // Line-end carry-over between packets (see ConvertLineEnd).
  bool SkipLF() const { return skip_lf_; }
  bool SkipCR() const { return skip_cr_; }
  // How the peer ended the connection; Open again for every new connection. A read that
  // fails with 10054 has recorded it.
  TPeerEnd PeerEnd() const { return peer_end_; }
  // Bytes received and sent since the platform socket was made or adopted.
  int64_t BytesRead() const { return bytes_read_; }
  int64_t BytesWritten() const { return bytes_written_; }
  // Options waiting for the next platform socket.
  int QueuedOptionCount() const { return static_cast<int>(queued_options_.size()); }

  // ---- Lifetime and connection --------------------------------------------------------------

  // Resolves host and port texts into `address` (events SR_Resolving, SR_Resolved). While no
  // socket exists and Family is SF_Any, an IPv4 or IPv6 literal fixes the family. Outcome in
  // SocketError (resolver codes 11001..11004 and the like); no event for a failure here.
  void ResolveEndpoint(TSocketAddress& address, const Text& ip, const Text& port);
  // Makes the platform socket for the address's family when none exists: clears ReadAhead,
  // applies the queued options oldest first, calls OnCreateSocket. Always restarts the byte
  // counters and clears the error; a pending StopFlag stays for the operation it stops.
  void OpenHandle(const TSocketAddress& address);
  // Binds to ip:port, making the socket when needed. "0.0.0.0" with "0" on a closed SF_Any
  // socket does nothing at all (no socket, no event).
  void BindTo(const Text& ip, const Text& port);
  // Resolves (as long as the system's lookup takes), makes the socket when needed and
  // connects, waiting in HeartbeatRate slices (100 ms without one): 10060 after
  // ConnectTimeout, 10053 when StopFlag is found set (also before and right after the lookup).
  // Empties ReadAhead and the line-end carry-over. A refused connect: 10061.
  virtual void ConnectTo(const Text& ip, const Text& port);
  // Base form: CloseNow.
  virtual void Close();
  // Closes the platform socket at once (when open), drops the queued options and sends
  // SR_Closed (always). ReadAhead, SocketError and the addresses stay.
  virtual void CloseNow();
  // Takes over an existing platform socket (for example from accept); ownership passes.
  virtual void AdoptHandle(TSocketHandle handle);

  // ---- Options ------------------------------------------------------------------------------

  // Queue SO_RCVBUF / SO_SNDBUF (applied at once when the socket is open).
  void SetReceiveBufferSize(int size);
  void SetSendBufferSize(int size);
  // Applies the option at once when the socket is open, else queues it for the next socket.
  // A Close before then drops it.
  void QueueOption(std::unique_ptr<TSocketOption> option);
  // Applies every queued option, oldest first, and empties the queue.
  void ApplyQueuedOptions();
  // Makes the option's platform call on Handle (result ignored) and consumes the option.
  void ApplyOption(std::unique_ptr<TSocketOption> option);

  // ---- Readiness (timeouts in ms; -1 = no limit) --------------------------------------------

  // One poll; true when readable within the timeout. No event and no error report.
  virtual bool PollReadable(int timeout);
  // Waits for input in HeartbeatRate slices (OnHeartbeat before each), giving up when
  // StopFlag is found set (the flag is then cleared). SR_Readable when true.
  virtual bool WaitReadable(int timeout);
  // True at once when ReadAhead holds bytes; else WaitReadable.
  virtual bool HasInput(int timeout);
  // One poll for writing; SR_Writable when true.
  virtual bool WaitWritable(int timeout);
  // OnHeartbeat; when StopFlag is set: clears it, fails with 10053 and answers true.
  bool CheckStop();
  // CheckStop without reporting the failure (the caller reports it with its own).
  bool TakeStop();
  // Bandwidth limiter before a piece of `length` bytes: sleeps (in steps of at most 250 ms,
  // ending early on StopFlag) until next_tick, then charges this piece to next_tick.
  // next_tick 0 means nothing has been charged yet.
  void Throttle(int64_t length, int limit, uint32_t& next_tick);

  // ---- Receiving ----------------------------------------------------------------------------
  // All reads below except ReadSome, PeekSome, PeekOneByte and ReadDatagram serve ReadAhead
  // first. Bytes that arrived are never lost to a time-out or failure: they stay in ReadAhead
  // (or are counted in ReadExact's result). The peer's close shows as 10054, a time-out as
  // 10060. Every receive goes through PendingBytes and ReadSome, the points a transport
  // overrides; the line and exact reads do not call ReadAvailable itself. A failure inside a
  // line read is reported by the packet wait and again by the line read (two SR_Failed).

  // One platform receive of up to `length` bytes into buffer. Answers the count (after
  // OnReadFilter), 0 when the peer closed (10054) or StopFlag was set (10053), -1 on failure.
  virtual int ReadSome(void* buffer, int length);
  // Bytes the platform holds for reading now, 0..65536.
  virtual int PendingBytes();
  // The whole ReadAhead, else what one receive brings (waiting up to timeout for it). "" on
  // failure; 10054 when the peer has closed.
  virtual Text ReadAvailable(int timeout);
  // Text before the terminator (without it); the rest stays in ReadAhead. With ConvertLineEnd
  // and terminator CR LF any line end counts. An empty terminator answers "" at once.
  virtual Text ReadUntil(int timeout, const Text& terminator);
  // ReadUntil with CR LF; "" whenever SocketError is not 0.
  virtual Text ReadLine(int timeout);
  // Reads exactly `length` bytes into buffer; answers how many arrived (fewer on failure).
  virtual int ReadExact(void* buffer, int length, int timeout);
  // Exactly `length` bytes; "" on failure (the bytes received are then lost to the caller).
  virtual Text ReadExactText(int length, int timeout);
  // Reads `count` bytes into the stream at its position, SendMaxChunk bytes at a time; stops
  // at the first failure (pieces before it have been written). The stream grows piece by
  // piece: a caller that trusts the count may Reserve it first.
  void ReadCountToStream(TByteBuffer& stream, int timeout, int64_t count);
  // One byte; 0 on failure.
  virtual uint8_t ReadByte(int timeout);
  // 4 bytes, least significant first; 0 on failure.
  virtual int32_t ReadInt32(int timeout);
  // A ReadInt32 length, then that many bytes.
  virtual Text ReadBlock(int timeout);
  // Appends packets to the stream until a read fails (typically 10054 at the peer's close).
  virtual void ReadAllToStream(TByteBuffer& stream, int timeout);
  // A ReadInt32 size, then that many bytes into the stream.
  virtual void ReadSizedToStream(TByteBuffer& stream, int timeout);
  // The same with the size most significant byte first.
  virtual void ReadSizedToStreamBE(TByteBuffer& stream, int timeout);
  // Copies up to `length` queued bytes without taking them; -1 on failure.
  virtual int PeekSome(void* buffer, int length);
  // The first queued byte without taking it; 0 when none arrived within the timeout (10060).
  virtual uint8_t PeekOneByte(int timeout);
  // One datagram into buffer; its sender becomes PeerAddress.
  virtual int ReadDatagram(void* buffer, int length);
  // Discards ReadAhead and the input ready now, but no more than a bounded amount of bytes and
  // time (what is left is dropped by the close that follows); never fails, never throws. Does
  // nothing while StopFlag is set, and leaves it set.
  void DrainInput();
  // Lets OnReadFilter rewrite the `length` bytes at buffer; length may shrink.
  void FilterInput(void* buffer, int& length);

  // ---- Sending ------------------------------------------------------------------------------
  // A send to a peer that has gone fails with 10054; it never raises a signal.

  // Sends the whole buffer in pieces of at most SendMaxChunk bytes, straight from the caller's
  // memory. Answers the bytes sent (fewer on failure). While the peer takes nothing the send
  // waits in HeartbeatRate slices (100 ms without one): 10060 after NonblockSendTimeout
  // without progress, 10053 when StopFlag is found set.
  virtual int WriteBuffer(const void* buffer, int length);
  virtual int WriteByte(uint8_t value);
  virtual int WriteText(const Text& text);
  // 4 bytes, least significant first.
  virtual int WriteInt32(int32_t value);
  // Length as 4 bytes, least significant first, then the bytes.
  virtual void WriteBlock(const Text& text);
  // The stream's bytes from its position on, in SendMaxChunk pieces, optionally preceded by
  // their count as 4 bytes (little- or big-endian). Stops at the first failure, the stream's
  // position then stands after the failed piece.
  virtual void WriteFromStream(TByteBuffer& stream, bool with_size, bool big_endian);
  virtual void WriteStreamRaw(TByteBuffer& stream);
  virtual void WriteStreamSized(TByteBuffer& stream);
  virtual void WriteStreamSizedBE(TByteBuffer& stream);
  // One datagram to PeerAddress; -1 on failure.
  virtual int WriteDatagram(const void* buffer, int length);

  // ---- Addresses and names ------------------------------------------------------------------

  // Refreshes LocalAddress and PeerAddress from the platform.
  void FetchAddresses();
  virtual Text LocalIP();
  virtual Text PeerIP();
  virtual int LocalPort();
  virtual int PeerPort();
  // The machine's host name; "127.0.0.1" when the platform reports none.
  Text HostName();
  // Numeric addresses of name for Family; "0.0.0.0" alone when none.
  void ResolveAll(const Text& name, TLineList& list);
  Text ResolveFirst(const Text& name);
  // Port of a service name or number; 0 when unknown.
  int PortNumber(const Text& port);
  // Socket type and protocol for the platform socket call: 0 and 0 here.
  virtual int SocketKind() const;
  virtual int SocketProtocol() const;

  // ---- Error state --------------------------------------------------------------------------

  // SocketError := 0, SocketErrorText := "".
  void ClearError();
  // Records a platform call's result: -1 takes the thread's last socket error, anything else
  // counts as success. Answers the new SocketError.
  virtual int CheckResult(int result);
  // Refreshes SocketErrorText; for a real failure (not 0, 10035 or 10036) sends SR_Failed with
  // "code,text" and throws ENetSocketError when RaiseExcept is set.
  void ReportError();
  // Text of any code; callable without an object.
  static Text GetErrorDesc(int code);
  // Text of this socket's SocketError.
  virtual Text GetErrorDescEx() const;

 protected:
  // Hook calls; each is skipped when its hook is not assigned.
  void NotifyStatus(THookSocketReason reason, const Text& value);
  void NotifyMonitor(bool writing, const void* buffer, int length);
  void NotifyCreated();
  // Only when HeartbeatRate is not 0.
  void NotifyHeartbeat();
  // Sets the code without reporting it (a later ReportError reports it).
  void SetSocketError(int code) { socket_error_ = code; }
  // Records how the peer ended; the first end seen on a connection stands.
  void NotePeerEnd(TPeerEnd end);
  // Called when the socket is readable with nothing to read: finds out how the peer ended and
  // records it (answers 0), or answers the bytes that have arrived meanwhile.
  virtual int ProbePeerEnd();
  // ProbePeerEnd's work, with the end to record when the peer closed its side in order.
  int ProbeStreamEnd(TPeerEnd orderly);
  // Waits until the handle is writable, in HeartbeatRate slices (100 ms without one)
  // with OnHeartbeat before each, at most timeout ms (-1 = no limit). False with 10060 on
  // time-out, 10053 when StopFlag is found set (the flag is cleared), or the poll's failure.
  bool WaitWritableSliced(int timeout);

  // Fields a derived socket works with directly.
  TSocketHandle handle_ = INVALID_SOCKET;
  int socket_error_ = 0;
  Text socket_error_text_;
  TSocketAddress local_address_{};
  TSocketAddress peer_address_{};
  int64_t bytes_read_ = 0;
  int64_t bytes_written_ = 0;
  uint32_t next_write_tick_ = 0;
  uint32_t next_read_tick_ = 0;

 private:
  // Waits for input as ReadAvailable does; answers the bytes queued (> 0), or 0 with
  // SocketError set (10054 closed, 10060 time-out, or the wait's own failure).
  int AwaitInput(int timeout);
  // ReadSome of n queued bytes into dest, then the line-end carry-over; answers the bytes kept
  // at dest (>= 0), or -1 when the receive failed.
  int ReceiveQueued(char* dest, int n);
  // Drops one carried-over LF (after a lone CR) or CR (after a lone LF) from the front of a
  // piece just handed out, then forgets the carry-over; answers how many bytes to drop.
  int CarriedLineEndLength(const char* data, int length);
  // Exact read into dest with a shared time budget (-1 = no limit).
  int ReadExactInto(char* dest, int length, int& budget);
  // The read-ahead buffer keeps an offset so that taking a line from a big buffer does not
  // copy what follows it.
  int AheadSize() const { return static_cast<int>(read_ahead_.size() - read_ahead_pos_); }
  const char* AheadData() const { return read_ahead_.data() + read_ahead_pos_; }
  void ConsumeAhead(int count);
  void ClearAhead();
  Text TakeAhead();
  // ReceiveQueued onto the end of the read-ahead buffer (compacting it first). Room that was
  // not filled is given back, also when reporting the failure throws.
  int ReceiveIntoAhead(int n);
  // Polls Handle for reading or writing.
  bool PollHandle(bool for_writing, int timeout);
  // The platform connect, run non-blocking and waited for with WaitWritableSliced.
  void ConnectWithinLimit(const TSocketAddress& address);

  THookSocketStatus on_status_;
  THookDataFilter on_read_filter_;
  THookCreateSocket on_create_socket_;
  THookMonitor on_monitor_;
  THookHeartbeat on_heartbeat_;
  int tag_ = 0;
  Text read_ahead_;
  size_t read_ahead_pos_ = 0;
  bool raise_except_ = false;
  int max_line_length_ = 0;
  int max_send_bandwidth_ = 0;
  int max_recv_bandwidth_ = 0;
  bool convert_line_end_ = false;
  bool skip_lf_ = false;
  bool skip_cr_ = false;
  TSocketFamily family_ = SF_Any;
  bool using_ip6_ = false;
  bool prefer_ip4_ = true;
  std::vector<std::unique_ptr<TSocketOption>> queued_options_;
  bool inter_packet_timeout_ = true;
  TFdSet read_set_;
  int send_max_chunk_ = 65536;
  std::atomic<bool> stop_flag_{false};
  int nonblock_send_timeout_ = 15000;
  int connect_timeout_ = -1;
  int heartbeat_rate_ = 0;
  // The last WaitReadable gave up because StopFlag was set.
  bool wait_stopped_ = false;
  TPeerEnd peer_end_ = TPeerEnd::Open;
};

}  // namespace tessaly
// API complete
