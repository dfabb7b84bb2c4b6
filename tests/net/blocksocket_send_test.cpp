// Sending: bounded pieces, the bandwidth limiter, a send that cannot proceed, and the framed
// forms read back by their counterparts.
#include <functional>
#include <numeric>
#include <vector>

#include "blocksocket_testing.h"
#include "support/scriptedpeer.h"

namespace tessaly {
namespace {

constexpr int kTimeout = 5000;

// ---- Pieces of at most SendMaxChunk -------------------------------------------------------

struct ChunkParam {
  int size;
  int send_max_chunk;
  Text host;
};

class SendChunkTest : public SocketLayerTestP<ChunkParam> {};

TEST_P(SendChunkTest, BufferGoesOutInBoundedPiecesAndArrivesWhole) {
  const ChunkParam& p = GetParam();
  const Text data = PatternText(static_cast<size_t>(p.size));
  ScriptedPeer peer({PeerStep::AwaitBytes(data.size()), PeerStep::Close()}, {.host = p.host});
  TStreamTestSocket socket;
  EventLog log;
  log.Attach(socket);
  int monitor_calls = 0;
  int monitored = 0;
  socket.SetOnMonitor([&](TBlockSocket&, bool writing, const void*, int length) {
    if (!writing) return;
    ++monitor_calls;
    monitored += length;
  });
  socket.SetSendMaxChunk(p.send_max_chunk);
  socket.ConnectTo(p.host, peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());

  EXPECT_EQ(socket.WriteText(data), p.size);
  EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(socket.BytesWritten(), p.size);
  EXPECT_EQ(monitor_calls, 1) << "the monitor sees the whole buffer once";
  EXPECT_EQ(monitored, p.size);

  std::vector<int> pieces;
  for (const Text& value : log.Values(SR_Written)) pieces.push_back(StrToInt(value));
  EXPECT_EQ(std::accumulate(pieces.begin(), pieces.end(), 0), p.size);
  for (int piece : pieces) EXPECT_LE(piece, p.send_max_chunk);
  EXPECT_GE(static_cast<int>(pieces.size()), (p.size + p.send_max_chunk - 1) / p.send_max_chunk);

  ASSERT_TRUE(peer.WaitFinished(kTimeout)) << peer.Failure();
  EXPECT_TRUE(peer.Received() == data) << "the bytes must arrive unchanged and in order";
}

std::vector<ChunkParam> ChunkParams() {
  std::vector<ChunkParam> params;
  for (const Text& host : LoopbackHosts()) {
    params.push_back({150000, 65536, host});
    params.push_back({150000, 40000, host});
    params.push_back({150000, 150000, host});
    params.push_back({1000, 7, host});
  }
  return params;
}

INSTANTIATE_TEST_SUITE_P(Sizes, SendChunkTest, ::testing::ValuesIn(ChunkParams()),
                         [](const ::testing::TestParamInfo<ChunkParam>& info) {
                           return IntToText(info.param.size) + "_by_" +
                                  IntToText(info.param.send_max_chunk) +
                                  (info.param.host == "::1" ? "_IPv6" : "_IPv4");
                         });

class SendTest : public SocketLayerTest {};

TEST_F(SendTest, EmptyWriteSendsNothingButIsMonitored) {
  ScriptedPeer peer(PeerScript{});
  TStreamTestSocket socket;
  EventLog log;
  log.Attach(socket);
  int monitor_calls = 0;
  socket.SetOnMonitor([&](TBlockSocket&, bool, const void*, int length) {
    ++monitor_calls;
    EXPECT_EQ(length, 0);
  });
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(socket.WriteText(""), 0);
  EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(monitor_calls, 1);
  EXPECT_TRUE(log.Values(SR_Written).empty());
}

TEST_F(SendTest, PieceSizeStaysPositive) {
  TStreamTestSocket socket;
  const int before = socket.SendMaxChunk();
  socket.SetSendMaxChunk(0);
  socket.SetSendMaxChunk(-5);
  EXPECT_EQ(socket.SendMaxChunk(), before);
}

// A peer that never reads: the send fills every buffer on the way and then cannot proceed.
TEST_F(SendTest, SendThatCannotProceedTimesOut) {
  ScriptedPeer peer(PeerScript{}, {.mode = ScriptedPeer::Mode::NeverAccept});
  TStreamTestSocket socket;
  EventLog log;
  log.Attach(socket);
  socket.SetSendBufferSize(4096);
  auto nonblocking = std::make_unique<TSocketOption>();
  nonblocking->Kind = OptNonBlocking;
  nonblocking->Enabled = true;
  socket.SetNonblockSendTimeout(100);
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  socket.QueueOption(std::move(nonblocking));  // open socket: applied at once

  const Text data(16 << 20, 'z');
  const Stopwatch watch;
  const int sent = socket.WriteText(data);
  EXPECT_EQ(socket.SocketError(), WSAETIMEDOUT) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_LT(sent, static_cast<int>(data.size()));
  EXPECT_EQ(socket.BytesWritten(), sent);
  EXPECT_LT(watch.Ms(), 10000);
  const std::vector<Text> failures = log.Values(SR_Failed);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], "10060,Connection timed out");
}

// ---- Bandwidth limiter --------------------------------------------------------------------

struct ThrottleParam {
  const char* name;
  int limit;         // bytes per second
  int piece;         // bytes per write
  bool expect_wait;  // the second write has to wait
};
void PrintTo(const ThrottleParam& p, std::ostream* out) {
  *out << p.name;
}

class ThrottleTest : public SocketLayerTestP<ThrottleParam> {};

TEST_P(ThrottleTest, SecondWriteWaitsForTheFirstOnesShare) {
  const ThrottleParam& p = GetParam();
  ScriptedPeer peer({PeerStep::AwaitBytes(static_cast<size_t>(2 * p.piece)), PeerStep::Close()});
  TStreamTestSocket socket;
  EventLog log;
  log.Attach(socket);
  socket.SetMaxSendBandwidth(p.limit);
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  const Text data(static_cast<size_t>(p.piece), 'b');
  socket.WriteText(data);
  const Stopwatch watch;
  socket.WriteText(data);
  const long long elapsed = watch.Ms();
  EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  const std::vector<Text> waits = log.Values(SR_Throttled);
  if (p.expect_wait) {
    const long long share = 1000LL * p.piece / p.limit;
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_LE(StrToInt(waits[0]), share);
    EXPECT_GE(elapsed, share - 60);
    EXPECT_LT(elapsed, share + 3000);
  } else {
    EXPECT_TRUE(waits.empty());
  }
  ASSERT_TRUE(peer.WaitFinished(kTimeout)) << peer.Failure();
  EXPECT_EQ(peer.Received().size(), static_cast<size_t>(2 * p.piece));
}

INSTANTIATE_TEST_SUITE_P(Limits, ThrottleTest,
                         ::testing::Values(ThrottleParam{"Limited", 10000, 4000, true},
                                           ThrottleParam{"ZeroMeansNone", 0, 4000, false},
                                           ThrottleParam{"Unlimited", -1, 4000, false}),
                         [](const ::testing::TestParamInfo<ThrottleParam>& info) {
                           return info.param.name;
                         });

TEST_F(SendTest, StopFlagCutsTheLimiterSleepShort) {
  ScriptedPeer peer(PeerScript{});
  TStreamTestSocket socket;
  socket.SetMaxSendBandwidth(100);  // 2000 bytes are a 20 s share
  socket.SetOnStatus([](TBlockSocket& sender, THookSocketReason reason, const Text&) {
    if (reason == SR_Throttled) sender.SetStopFlag(true);
  });
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  socket.WriteText(Text(2000, 'c'));
  const Stopwatch watch;
  socket.WriteText(Text(10, 'c'));
  EXPECT_LT(watch.Ms(), 5000);
  EXPECT_TRUE(socket.StopFlag()) << "the limiter leaves the flag for the next transfer";
  EXPECT_EQ(socket.WriteText("x"), 0);
  EXPECT_EQ(socket.SocketError(), WSAECONNABORTED) << socket.GetErrorDesc(socket.SocketError());
}

// ---- Framed forms and their reads -----------------------------------------------------------

struct FrameCase {
  const char* name;
  std::function<void(TBlockSocket&)> write;
  Text wire;                                // bytes the write must put on the connection
  std::function<Text(TBlockSocket&)> read;  // reads the frame back, describes what it got
  Text read_back;
};
void PrintTo(const FrameCase& p, std::ostream* out) {
  *out << p.name;
}

TByteBuffer StreamAt(const Text& bytes, int64_t position) {
  TByteBuffer stream;
  stream.Write(bytes);
  stream.SetPosition(position);
  return stream;
}

Text ReadSized(TBlockSocket& socket, bool big_endian) {
  TByteBuffer stream;
  if (big_endian) {
    socket.ReadSizedToStreamBE(stream, kTimeout);
  } else {
    socket.ReadSizedToStream(stream, kTimeout);
  }
  return Text(stream.Memory(), static_cast<size_t>(stream.Size()));
}

const FrameCase kFrameCases[] = {
    {"Byte", [](TBlockSocket& s) { s.WriteByte(0xA5); }, "\xA5",
     [](TBlockSocket& s) { return IntToText(s.ReadByte(kTimeout)); }, "165"},
    {"Int32", [](TBlockSocket& s) { s.WriteInt32(-2); }, Text("\xFE\xFF\xFF\xFF", 4),
     [](TBlockSocket& s) { return IntToText(s.ReadInt32(kTimeout)); }, "-2"},
    {"Int32Order", [](TBlockSocket& s) { s.WriteInt32(0x01020304); }, "\x04\x03\x02\x01",
     [](TBlockSocket& s) { return IntToText(s.ReadInt32(kTimeout)); }, "16909060"},
    {"Block", [](TBlockSocket& s) { s.WriteBlock("abc"); }, Text("\x03\0\0\0abc", 7),
     [](TBlockSocket& s) { return s.ReadBlock(kTimeout); }, "abc"},
    {"EmptyBlock", [](TBlockSocket& s) { s.WriteBlock(""); }, Text(4, '\0'),
     [](TBlockSocket& s) { return s.ReadBlock(kTimeout); }, ""},
    {"StreamRawFromPosition",
     [](TBlockSocket& s) {
       TByteBuffer stream = StreamAt("skipdata", 4);
       s.WriteStreamRaw(stream);
     },
     "data", [](TBlockSocket& s) { return s.ReadExactText(4, kTimeout); }, "data"},
    {"StreamSized",
     [](TBlockSocket& s) {
       TByteBuffer stream = StreamAt("xyz", 0);
       s.WriteStreamSized(stream);
     },
     Text("\x03\0\0\0xyz", 7), [](TBlockSocket& s) { return ReadSized(s, false); }, "xyz"},
    {"StreamSizedBigEndian",
     [](TBlockSocket& s) {
       TByteBuffer stream = StreamAt("xyz", 0);
       s.WriteStreamSizedBE(stream);
     },
     Text("\0\0\0\x03xyz", 7), [](TBlockSocket& s) { return ReadSized(s, true); }, "xyz"},
    {"EmptyStreamSizedStillFramed",
     [](TBlockSocket& s) {
       TByteBuffer stream = StreamAt("abc", 3);
       s.WriteStreamSized(stream);
     },
     Text(4, '\0'), [](TBlockSocket& s) { return ReadSized(s, false) + "|"; }, "|"},
    {"EmptyStreamRawSendsNothing",
     [](TBlockSocket& s) {
       TByteBuffer stream = StreamAt("abc", 3);
       s.WriteStreamRaw(stream);
       s.WriteByte('!');
     },
     "!", [](TBlockSocket& s) { return Text(1, static_cast<char>(s.ReadByte(kTimeout))); }, "!"},
};

class FrameTest : public SocketLayerTestP<FrameCase> {};

TEST_P(FrameTest, WireBytesAndReadBack) {
  // First the exact bytes on the wire, as a scripted peer records them.
  {
    ScriptedPeer peer({PeerStep::AwaitEof()});
    TStreamTestSocket socket;
    socket.ConnectTo(peer.Host(), peer.PortText());
    ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
    GetParam().write(socket);
    EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
    socket.Close();
    ASSERT_TRUE(peer.WaitFinished(kTimeout)) << peer.Failure();
    EXPECT_EQ(peer.Received(), GetParam().wire);
  }
  // Then the matching read on the other end of a connected pair.
  ConnectedPair pair("127.0.0.1");
  ASSERT_EQ(pair.error, "");
  GetParam().write(pair.client);
  const Text got = GetParam().read(pair.server);
  EXPECT_EQ(pair.server.SocketError(), 0) << pair.server.GetErrorDesc(pair.server.SocketError());
  EXPECT_EQ(got, GetParam().read_back);
}

INSTANTIATE_TEST_SUITE_P(Frames, FrameTest, ::testing::ValuesIn(kFrameCases),
                         [](const ::testing::TestParamInfo<FrameCase>& info) {
                           return info.param.name;
                         });

// ---- Datagrams ------------------------------------------------------------------------------

class DatagramTest : public SocketLayerTestP<Text> {};

TEST_P(DatagramTest, DatagramReachesThePeerAndTheAnswerFindsItsSender) {
  TDatagramTestSocket a;
  TDatagramTestSocket b;
  a.BindTo(GetParam(), "0");
  ASSERT_EQ(a.SocketError(), 0) << a.GetErrorDesc(a.SocketError());
  b.BindTo(GetParam(), "0");
  ASSERT_EQ(b.SocketError(), 0) << b.GetErrorDesc(b.SocketError());
  ASSERT_GT(b.LocalPort(), 0);

  a.SetPeerAddress(b.LocalAddress());
  EXPECT_EQ(a.WriteDatagram("ping", 4), 4);
  EXPECT_EQ(a.SocketError(), 0) << a.GetErrorDesc(a.SocketError());
  ASSERT_TRUE(b.WaitReadable(kTimeout));
  char buffer[16] = {};
  EXPECT_EQ(b.ReadDatagram(buffer, sizeof buffer), 4);
  EXPECT_EQ(Text(buffer, 4), "ping");
  EXPECT_EQ(b.PeerPort(), a.LocalPort()) << "the sender becomes the peer";
  EXPECT_EQ(b.WriteDatagram("pong", 4), 4);
  ASSERT_TRUE(a.WaitReadable(kTimeout));
  EXPECT_EQ(a.ReadDatagram(buffer, sizeof buffer), 4);
  EXPECT_EQ(Text(buffer, 4), "pong");
  EXPECT_EQ(a.BytesWritten(), 4);
  EXPECT_EQ(a.BytesRead(), 4);
}

INSTANTIATE_TEST_SUITE_P(Hosts, DatagramTest, ::testing::ValuesIn(LoopbackHosts()), HostName);

}  // namespace
}  // namespace tessaly
