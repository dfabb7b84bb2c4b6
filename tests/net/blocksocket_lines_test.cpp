// Line reads over real loopback connections: line ends split across packets, the read-ahead
// buffer between reads, and the line-length limit.
#include <vector>

#include "blocksocket_testing.h"
#include "support/scriptedpeer.h"

namespace tessaly {
namespace {

constexpr int kTimeout = 5000;

struct LineCase {
  const char* name;
  std::vector<Text> packets;  // sent with a pause between them
  bool convert_line_end;
  std::vector<Text> lines;  // what successive ReadLine calls must give
};

// The outcome must not depend on how the packets are merged on the way.
const LineCase kLineCases[] = {
    {"TwoLinesOnePacket", {"one\r\ntwo\r\n"}, false, {"one", "two"}},
    {"CrThenLfInNextPacket", {"one\r", "\ntwo\r\n"}, true, {"one", "two"}},
    {"LfThenCrInNextPacket", {"one\n", "\rtwo\r\n"}, true, {"one", "two"}},
    {"CrLfSplitWithoutConversion", {"one\r", "\ntwo\r\n"}, false, {"one", "two"}},
    {"LoneLfStaysInLineWithoutConversion", {"a\nb\r\n"}, false, {"a\nb"}},
    {"EmptyLine", {"\r\n", "x\r\n"}, false, {"", "x"}},
    {"EveryLineEnd", {"a\rb\nc\r\nd\n\re\r\n"}, true, {"a", "b", "c", "d", "e"}},
    {"EmptyLineAfterLoneCr", {"a\r\r\nb\r\n"}, true, {"a", "", "b"}},
    {"TerminatorAcrossManyPackets", {"head", "er: va", "lue\r", "\n"}, false, {"header: value"}},
};

struct LineParam {
  LineCase line_case;
  Text host;
  bool one_byte_packets;
};

std::vector<LineParam> LineParams() {
  std::vector<LineParam> params;
  for (const LineCase& c : kLineCases) {
    for (const Text& host : LoopbackHosts()) {
      params.push_back({c, host, false});
      params.push_back({c, host, true});
    }
  }
  return params;
}

void PrintTo(const LineParam& p, std::ostream* out) {
  *out << p.line_case.name << " on " << p.host << (p.one_byte_packets ? ", byte by byte" : "");
}

class LineSplitTest : public SocketLayerTestP<LineParam> {};

TEST_P(LineSplitTest, LinesSurvivePacketBoundaries) {
  const LineParam& p = GetParam();
  PeerScript script;
  for (const Text& packet : p.line_case.packets) {
    if (p.one_byte_packets) {
      for (char byte : packet) {
        script.push_back(PeerStep::Send(Text(1, byte)));
        script.push_back(PeerStep::Pause(3));
      }
    } else {
      script.push_back(PeerStep::Send(packet));
      script.push_back(PeerStep::Pause(30));
    }
  }
  script.push_back(PeerStep::Close());
  ScriptedPeer peer(script, {.host = p.host});
  ASSERT_EQ(peer.SetupError(), "");

  TStreamTestSocket socket;
  socket.SetConvertLineEnd(p.line_case.convert_line_end);
  socket.ConnectTo(p.host, peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  for (const Text& expected : p.line_case.lines) {
    const Text line = socket.ReadLine(kTimeout);
    ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
    EXPECT_EQ(line, expected);
  }
  // Everything was consumed: the next read meets the peer's close.
  EXPECT_EQ(socket.ReadLine(kTimeout), "");
  EXPECT_EQ(socket.SocketError(), WSAECONNRESET) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(socket.ReadAhead(), "");
}

INSTANTIATE_TEST_SUITE_P(Packets, LineSplitTest, ::testing::ValuesIn(LineParams()),
                         [](const ::testing::TestParamInfo<LineParam>& info) {
                           return std::string(info.param.line_case.name) +
                                  (info.param.host == "::1" ? "_IPv6" : "_IPv4") +
                                  (info.param.one_byte_packets ? "_ByteByByte" : "");
                         });

// ---- Read-ahead carry-over between different kinds of read ---------------------------------

class ReadAheadTest : public SocketLayerTestP<Text> {};

TEST_P(ReadAheadTest, LaterReadsAreServedFromWhatArrivedEarlier) {
  const Text packet = "HEAD\r\nabcdefg";
  ScriptedPeer peer({PeerStep::Send(packet), PeerStep::AwaitText("bye"), PeerStep::Close()},
                    {.host = GetParam()});
  TStreamTestSocket socket;
  socket.ConnectTo(GetParam(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());

  EXPECT_EQ(socket.ReadLine(kTimeout), "HEAD");
  // One small send over loopback is queued whole, so one receive took all of it.
  ASSERT_EQ(socket.BytesRead(), static_cast<int64_t>(packet.size()));
  EXPECT_EQ(socket.ReadAhead(), "abcdefg");

  // An empty terminator answers at once and leaves everything where it is.
  EXPECT_EQ(socket.ReadUntil(kTimeout, ""), "");
  EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(socket.ReadAhead(), "abcdefg");

  EXPECT_EQ(socket.ReadExactText(5, kTimeout), "abcde");
  EXPECT_EQ(socket.ReadAhead(), "fg");
  EXPECT_EQ(socket.ReadByte(kTimeout), 'f');
  EXPECT_TRUE(socket.HasInput(0));
  EXPECT_EQ(socket.ReadAvailable(kTimeout), "g");
  EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  // None of these touched the socket.
  EXPECT_EQ(socket.BytesRead(), static_cast<int64_t>(packet.size()));

  socket.WriteText("bye");
  EXPECT_EQ(socket.ReadAvailable(kTimeout), "");
  EXPECT_EQ(socket.SocketError(), WSAECONNRESET) << socket.GetErrorDesc(socket.SocketError());
}

INSTANTIATE_TEST_SUITE_P(Hosts, ReadAheadTest, ::testing::ValuesIn(LoopbackHosts()), HostName);

// ---- Line-length limit --------------------------------------------------------------------

struct LimitCase {
  const char* name;
  int max_line_length;
  Text packet;
  int error;  // expected SocketError of the first ReadLine
  Text line;  // expected line when error is 0
};

const LimitCase kLimitCases[] = {
    {"NoLineEndBeyondLimit", 10, Text(20, 'x'), WSAENOBUFS, ""},
    {"LineExactlyAtLimit", 10, "0123456789\r\n", 0, "0123456789"},
    {"LineOneBeyondLimit", 10, "0123456789A\r\n", WSAENOBUFS, ""},
    {"ShortLineWithMoreBehindIt", 10, "ok\r\nsecond line\r\nthird line here\r\n", 0, "ok"},
    {"NoLimit", 0, Text(5000, 'y') + "\r\n", 0, Text(5000, 'y')},
};

struct LimitParam {
  LimitCase limit_case;
  Text host;
};

std::vector<LimitParam> LimitParams() {
  std::vector<LimitParam> params;
  for (const LimitCase& c : kLimitCases) {
    for (const Text& host : LoopbackHosts()) params.push_back({c, host});
  }
  return params;
}

void PrintTo(const LimitParam& p, std::ostream* out) {
  *out << p.limit_case.name << " on " << p.host;
}

class LineLimitTest : public SocketLayerTestP<LimitParam> {};

TEST_P(LineLimitTest, LimitAppliesToTheLineAndKeepsTheBytes) {
  const LimitCase& c = GetParam().limit_case;
  ScriptedPeer peer({PeerStep::Send(c.packet), PeerStep::AwaitEof()}, {.host = GetParam().host});
  TStreamTestSocket socket;
  socket.SetMaxLineLength(c.max_line_length);
  socket.ConnectTo(GetParam().host, peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());

  const Stopwatch watch;
  const Text line = socket.ReadLine(kTimeout);
  EXPECT_EQ(socket.SocketError(), c.error) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_LT(watch.Ms(), kTimeout / 2) << "the limit must end the read, not a time-out";
  if (c.error == 0) {
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(socket.ReadAhead(), c.packet.substr(c.line.size() + 2));
  } else {
    EXPECT_EQ(line, "");
    EXPECT_EQ(socket.ReadAhead(), c.packet) << "bytes of a refused line must stay buffered";
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, LineLimitTest, ::testing::ValuesIn(LimitParams()),
                         [](const ::testing::TestParamInfo<LimitParam>& info) {
                           return std::string(info.param.limit_case.name) +
                                  (info.param.host == "::1" ? "_IPv6" : "_IPv4");
                         });

// ---- Many lines through one big buffer ------------------------------------------------------

struct BulkParam {
  bool convert_line_end;
  int max_line_length;
};

class BulkLinesTest : public SocketLayerTestP<BulkParam> {};

TEST_P(BulkLinesTest, EveryLineOfALargeTransferArrivesInOrder) {
  constexpr int kLines = 20000;
  Text all;
  std::vector<Text> expected;
  for (int i = 0; i < kLines; ++i) {
    // Varying lengths so that lines straddle the packet boundaries at every offset.
    expected.push_back("line " + IntToText(i) + Text(static_cast<size_t>(i % 37), '.'));
    all += expected.back() + "\r\n";
  }
  ScriptedPeer peer({PeerStep::Send(all), PeerStep::Close()});
  TStreamTestSocket socket;
  socket.SetConvertLineEnd(GetParam().convert_line_end);
  socket.SetMaxLineLength(GetParam().max_line_length);
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  for (int i = 0; i < kLines; ++i) {
    const Text line = socket.ReadLine(kTimeout);
    ASSERT_EQ(socket.SocketError(), 0)
        << "line " << i << ": " << socket.GetErrorDesc(socket.SocketError());
    ASSERT_EQ(line, expected[static_cast<size_t>(i)]);
  }
  EXPECT_EQ(socket.BytesRead(), static_cast<int64_t>(all.size()));
}

INSTANTIATE_TEST_SUITE_P(Modes, BulkLinesTest,
                         ::testing::Values(BulkParam{false, 0}, BulkParam{true, 0},
                                           BulkParam{true, 64}),
                         [](const ::testing::TestParamInfo<BulkParam>& info) {
                           return std::string(info.param.convert_line_end ? "AnyEnd" : "CrLf") +
                                  (info.param.max_line_length ? "_Limited" : "");
                         });

}  // namespace
}  // namespace tessaly
