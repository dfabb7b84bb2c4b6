// Time limits, the peer going away, and the stop flag.
#include <atomic>
#include <thread>
#include <vector>

#include "blocksocket_testing.h"
#include "support/scriptedpeer.h"

namespace tessaly {
namespace {

// ---- Counting the time-out per packet or per read --------------------------------------------

struct TrickleParam {
  bool inter_packet_timeout;
  int timeout;  // ms given to ReadLine
  Text host;
};

class TrickleTest : public SocketLayerTestP<TrickleParam> {};

// The peer sends a line in 8 pieces, 300 ms apart (2.1 s in all); the read has 1000 ms.
TEST_P(TrickleTest, TimeoutIsPerPacketOrForTheWholeRead) {
  const TrickleParam& p = GetParam();
  const Text line = "0123456789abcdef";
  PeerScript script;
  for (size_t i = 0; i < line.size(); i += 2) {
    if (i > 0) script.push_back(PeerStep::Pause(300));
    script.push_back(PeerStep::Send(line.substr(i, 2)));
  }
  script.push_back(PeerStep::Send("\r\n"));
  script.push_back(PeerStep::AwaitEof());
  ScriptedPeer peer(script, {.host = p.host});
  TStreamTestSocket socket;
  socket.SetInterPacketTimeout(p.inter_packet_timeout);
  socket.ConnectTo(p.host, peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());

  const Stopwatch watch;
  const Text got = socket.ReadLine(p.timeout);
  const long long elapsed = watch.Ms();
  const bool one_budget = !p.inter_packet_timeout && p.timeout != -1;
  if (!one_budget) {
    EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
    EXPECT_EQ(got, line);
    return;
  }
  EXPECT_EQ(socket.SocketError(), WSAETIMEDOUT) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(got, "");
  EXPECT_GE(elapsed, p.timeout - 50);
  EXPECT_LT(elapsed, 2000) << "the budget must end the read before the line is complete";
  // Nothing that arrived is lost: a patient read gets the whole line.
  EXPECT_FALSE(socket.ReadAhead().empty());
  socket.SetInterPacketTimeout(true);
  EXPECT_EQ(socket.ReadLine(5000), line);
  EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
}

std::vector<TrickleParam> TrickleParams() {
  std::vector<TrickleParam> params;
  for (const Text& host : LoopbackHosts()) {
    params.push_back({true, 1000, host});
    params.push_back({false, 1000, host});
    params.push_back({false, -1, host});  // no limit stays no limit
  }
  return params;
}

INSTANTIATE_TEST_SUITE_P(Modes, TrickleTest, ::testing::ValuesIn(TrickleParams()),
                         [](const ::testing::TestParamInfo<TrickleParam>& info) {
                           return std::string(info.param.inter_packet_timeout ? "PerPacket"
                                                                              : "WholeRead") +
                                  (info.param.timeout < 0 ? "NoLimit" : "") +
                                  (info.param.host == "::1" ? "_IPv6" : "_IPv4");
                         });

// ---- A silent peer: every kind of read times out --------------------------------------------

enum class ReadKind { Line, Available, Exact, Byte, PeekByte, Count };

struct SilentParam {
  const char* name;
  ReadKind kind;
  ScriptedPeer::Mode mode;
};
void PrintTo(const SilentParam& p, std::ostream* out) {
  *out << p.name;
}

class SilentPeerTest : public SocketLayerTestP<SilentParam> {};

TEST_P(SilentPeerTest, ReadTimesOutWithItsCodeAndEvent) {
  ScriptedPeer peer(PeerScript{}, {.mode = GetParam().mode});
  TStreamTestSocket socket;
  EventLog log;
  log.Attach(socket);
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  constexpr int kTimeout = 200;
  const Stopwatch watch;
  char buffer[8];
  TByteBuffer stream;
  switch (GetParam().kind) {
    case ReadKind::Line:
      EXPECT_EQ(socket.ReadLine(kTimeout), "");
      break;
    case ReadKind::Available:
      EXPECT_EQ(socket.ReadAvailable(kTimeout), "");
      break;
    case ReadKind::Exact:
      EXPECT_EQ(socket.ReadExact(buffer, 8, kTimeout), 0);
      break;
    case ReadKind::Byte:
      EXPECT_EQ(socket.ReadByte(kTimeout), 0);
      break;
    case ReadKind::PeekByte:
      EXPECT_EQ(socket.PeekOneByte(kTimeout), 0);
      break;
    case ReadKind::Count:
      socket.ReadCountToStream(stream, kTimeout, 10);
      EXPECT_EQ(stream.Size(), 0);
      break;
  }
  EXPECT_EQ(socket.SocketError(), WSAETIMEDOUT) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(socket.SocketErrorText(), "Connection timed out");
  EXPECT_GE(watch.Ms(), kTimeout - 20);
  EXPECT_LT(watch.Ms(), 5000);
  const std::vector<Text> failures = log.Values(SR_Failed);
  ASSERT_FALSE(failures.empty());
  EXPECT_EQ(failures.back(), "10060,Connection timed out");
}

INSTANTIATE_TEST_SUITE_P(
    Reads, SilentPeerTest,
    ::testing::Values(SilentParam{"Line", ReadKind::Line, ScriptedPeer::Mode::Script},
                      SilentParam{"Available", ReadKind::Available, ScriptedPeer::Mode::Script},
                      SilentParam{"Exact", ReadKind::Exact, ScriptedPeer::Mode::Script},
                      SilentParam{"Byte", ReadKind::Byte, ScriptedPeer::Mode::NeverAccept},
                      SilentParam{"PeekByte", ReadKind::PeekByte, ScriptedPeer::Mode::Script},
                      SilentParam{"Count", ReadKind::Count, ScriptedPeer::Mode::NeverAccept}),
    [](const ::testing::TestParamInfo<SilentParam>& info) { return info.param.name; });

// ---- The peer closes or resets -----------------------------------------------------------

struct EndParam {
  bool reset;
  Text host;
};

class PeerEndTest : public SocketLayerTestP<EndParam> {};

TEST_P(PeerEndTest, ReadsEndWithConnectionResetAndSendsRaiseNoSignal) {
  const Text data = "abc";
  ScriptedPeer peer({PeerStep::Send(data), PeerStep::Pause(20),
                     GetParam().reset ? PeerStep::Reset() : PeerStep::Close()},
                    {.host = GetParam().host});
  TStreamTestSocket socket;
  socket.ConnectTo(GetParam().host, peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  ASSERT_TRUE(peer.WaitFinished(5000)) << peer.Failure();

  Text got;
  int rounds = 0;
  while (socket.SocketError() == 0 && rounds++ < 100) got += socket.ReadAvailable(5000);
  EXPECT_EQ(socket.SocketError(), WSAECONNRESET) << socket.GetErrorDesc(socket.SocketError());
  if (!GetParam().reset) {
    EXPECT_EQ(got, data);
  }
  EXPECT_EQ(data.compare(0, got.size(), got), 0) << "only a prefix of what was sent may arrive";

  // Writing to the gone peer fails with a code; it must not kill the process with a signal.
  int sends = 0;
  do {
    socket.WriteText("more data for nobody");
  } while (socket.SocketError() == 0 && ++sends < 100);
  EXPECT_NE(socket.SocketError(), 0) << "a send to a closed peer must fail eventually";
}

std::vector<EndParam> EndParams() {
  std::vector<EndParam> params;
  for (const Text& host : LoopbackHosts()) {
    params.push_back({false, host});
    params.push_back({true, host});
  }
  return params;
}

INSTANTIATE_TEST_SUITE_P(Ends, PeerEndTest, ::testing::ValuesIn(EndParams()),
                         [](const ::testing::TestParamInfo<EndParam>& info) {
                           return std::string(info.param.reset ? "Reset" : "Close") +
                                  (info.param.host == "::1" ? "_IPv6" : "_IPv4");
                         });

// ---- Stop flag ------------------------------------------------------------------------------

enum class StopPoint { ReadSome, ReadAvailable, WriteBuffer, CheckStop };

struct StopParam {
  const char* name;
  StopPoint point;
};
void PrintTo(const StopParam& p, std::ostream* out) {
  *out << p.name;
}

class StopFlagTest : public SocketLayerTestP<StopParam> {};

TEST_P(StopFlagTest, PendingStopAbortsTheNextTransferOnce) {
  ScriptedPeer peer({PeerStep::Send("queued"), PeerStep::AwaitEof()});
  TStreamTestSocket socket;
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  ASSERT_TRUE(socket.WaitReadable(5000));  // the data is queued before the stop is asked for

  socket.SetStopFlag(true);
  char buffer[16];
  switch (GetParam().point) {
    case StopPoint::ReadSome:
      EXPECT_EQ(socket.ReadSome(buffer, sizeof buffer), 0);
      break;
    case StopPoint::ReadAvailable:
      EXPECT_EQ(socket.ReadAvailable(1000), "");
      break;
    case StopPoint::WriteBuffer:
      EXPECT_EQ(socket.WriteText("never sent"), 0);
      break;
    case StopPoint::CheckStop:
      EXPECT_TRUE(socket.CheckStop());
      break;
  }
  EXPECT_EQ(socket.SocketError(), WSAECONNABORTED) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_FALSE(socket.StopFlag()) << "the flag is consumed by the abort";

  // The connection itself is intact: the data is still there, and sends work again.
  EXPECT_EQ(socket.ReadAvailable(5000), "queued");
  EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  socket.WriteText("after");
  EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  socket.Close();
  ASSERT_TRUE(peer.WaitFinished(5000)) << peer.Failure();
  EXPECT_EQ(peer.Received(), "after");
}

INSTANTIATE_TEST_SUITE_P(Points, StopFlagTest,
                         ::testing::Values(StopParam{"ReadSome", StopPoint::ReadSome},
                                           StopParam{"ReadAvailable", StopPoint::ReadAvailable},
                                           StopParam{"WriteBuffer", StopPoint::WriteBuffer},
                                           StopParam{"CheckStop", StopPoint::CheckStop}),
                         [](const ::testing::TestParamInfo<StopParam>& info) {
                           return info.param.name;
                         });

// An abort raised in the middle of assembling a line must not leave anything behind that did
// not arrive, nor lose what did.
struct RaisingStopParam {
  const char* name;
  bool raise_except;
};
void PrintTo(const RaisingStopParam& p, std::ostream* out) {
  *out << p.name;
}

class StopMidLineTest : public SocketLayerTestP<RaisingStopParam> {};

TEST_P(StopMidLineTest, AbortedLineKeepsExactlyTheBytesReceived) {
  ScriptedPeer peer({PeerStep::Send("abc"), PeerStep::AwaitText("go"), PeerStep::Send("def\r\n"),
                     PeerStep::AwaitEof()});
  TStreamTestSocket socket;
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(socket.ReadLine(100), "");
  ASSERT_EQ(socket.SocketError(), WSAETIMEDOUT) << socket.GetErrorDesc(socket.SocketError());
  ASSERT_EQ(socket.ReadAhead(), "abc");

  socket.WriteText("go");
  ASSERT_TRUE(socket.WaitReadable(5000));  // "def" is queued: the next read must receive
  socket.SetRaiseExcept(GetParam().raise_except);
  socket.SetStopFlag(true);
  bool raised = false;
  try {
    EXPECT_EQ(socket.ReadLine(5000), "");
  } catch (const ENetSocketError& error) {
    raised = true;
    EXPECT_EQ(error.ErrorCode(), WSAECONNABORTED);
  }
  EXPECT_EQ(raised, GetParam().raise_except);
  EXPECT_EQ(socket.SocketError(), WSAECONNABORTED) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(socket.ReadAhead(), "abc");

  socket.SetRaiseExcept(false);
  EXPECT_EQ(socket.ReadLine(5000), "abcdef");
  EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
}

INSTANTIATE_TEST_SUITE_P(Reporting, StopMidLineTest,
                         ::testing::Values(RaisingStopParam{"Quiet", false},
                                           RaisingStopParam{"Raising", true}),
                         [](const ::testing::TestParamInfo<RaisingStopParam>& info) {
                           return info.param.name;
                         });

// ---- Sliced waits -----------------------------------------------------------------------------

struct SliceParam {
  const char* name;
  int heartbeat_rate;
  bool stop_from_heartbeat;  // else from another thread
};
void PrintTo(const SliceParam& p, std::ostream* out) {
  *out << p.name;
}

class SlicedWaitTest : public SocketLayerTestP<SliceParam> {};

TEST_P(SlicedWaitTest, StopFlagEndsALongWaitWithinOneSlice) {
  ScriptedPeer peer(PeerScript{});
  TStreamTestSocket socket;
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  socket.SetHeartbeatRate(GetParam().heartbeat_rate);
  std::atomic<int> beats{0};
  socket.SetOnHeartbeat([&](TBlockSocket& sender) {
    if (++beats == 2 && GetParam().stop_from_heartbeat) sender.SetStopFlag(true);
  });
  std::thread stopper;
  if (!GetParam().stop_from_heartbeat) {
    stopper = std::thread([&] {
      const Stopwatch bound;
      while (beats.load() < 2 && bound.Ms() < 10000) std::this_thread::yield();
      socket.SetStopFlag(true);
    });
  }
  const Stopwatch watch;
  const bool readable = socket.WaitReadable(20000);
  const long long elapsed = watch.Ms();
  if (stopper.joinable()) stopper.join();
  EXPECT_FALSE(readable);
  EXPECT_FALSE(socket.StopFlag()) << "the wait consumes the flag";
  EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_LT(elapsed, 10000) << "the wait must not run to its full limit";
  EXPECT_GE(beats.load(), 2);
}

INSTANTIATE_TEST_SUITE_P(Slices, SlicedWaitTest,
                         ::testing::Values(SliceParam{"FromHeartbeat", 50, true},
                                           SliceParam{"FromOtherThread", 50, false},
                                           SliceParam{"LongerSlices", 300, true}),
                         [](const ::testing::TestParamInfo<SliceParam>& info) {
                           return info.param.name;
                         });

class WaitTest : public SocketLayerTest {};

TEST_F(WaitTest, IdleZeroWaitAnswersAtOnceAndHeartbeatsOnlyWithARate) {
  ScriptedPeer peer(PeerScript{});
  TStreamTestSocket socket;
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  int beats = 0;
  socket.SetOnHeartbeat([&](TBlockSocket&) { ++beats; });
  const Stopwatch watch;
  EXPECT_FALSE(socket.WaitReadable(0));
  EXPECT_FALSE(socket.HasInput(0));
  EXPECT_LT(watch.Ms(), 1000);
  EXPECT_EQ(beats, 0) << "no heartbeat without a rate";
  socket.SetHeartbeatRate(40);
  EXPECT_FALSE(socket.WaitReadable(200));
  EXPECT_GE(beats, 1);
}

TEST_F(WaitTest, WaitOnAClosedSocketFailsInsteadOfHanging) {
  TStreamTestSocket socket;
  const Stopwatch watch;
  EXPECT_FALSE(socket.WaitReadable(-1));
  EXPECT_NE(socket.SocketError(), 0);
  EXPECT_EQ(socket.ReadAvailable(-1), "");
  EXPECT_NE(socket.SocketError(), 0);
  EXPECT_LT(watch.Ms(), 5000);
}

}  // namespace
}  // namespace tessaly
