// Counted reads into a byte buffer, read filters, peeking and the receive events.
#include <functional>
#include <vector>

#include "blocksocket_testing.h"
#include "support/scriptedpeer.h"

namespace tessaly {
namespace {

constexpr int kTimeout = 5000;

Text StreamText(const TByteBuffer& stream) {
  return Text(stream.Memory(), static_cast<size_t>(stream.Size()));
}

// ---- ReadCountToStream reads exactly its count ----------------------------------------------

struct CountParam {
  const char* name;
  int count;
  int send_max_chunk;
  Text prefill;      // the stream's contents before the read
  int64_t position;  // where the read starts writing
  bool inter_packet_timeout;
};
void PrintTo(const CountParam& p, std::ostream* out) {
  *out << p.name;
}

class CountToStreamTest : public SocketLayerTestP<CountParam> {};

TEST_P(CountToStreamTest, TakesExactlyTheCountAndLeavesTheRest) {
  const CountParam& p = GetParam();
  const Text body = PatternText(static_cast<size_t>(p.count));
  const Text tail = "TAIL-after-the-body";
  ScriptedPeer peer({PeerStep::Send(body + tail), PeerStep::AwaitEof()});
  TStreamTestSocket socket;
  socket.SetSendMaxChunk(p.send_max_chunk);
  socket.SetInterPacketTimeout(p.inter_packet_timeout);
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());

  TByteBuffer stream;
  stream.Write(p.prefill);
  stream.SetPosition(p.position);
  socket.ReadCountToStream(stream, kTimeout, p.count);
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());

  Text expected = p.prefill.substr(0, static_cast<size_t>(p.position)) + body;
  if (expected.size() < p.prefill.size()) expected += p.prefill.substr(expected.size());
  EXPECT_TRUE(StreamText(stream) == expected) << "stream size " << stream.Size();
  EXPECT_EQ(stream.Position(), p.position + p.count);
  // Not one byte more was taken: the tail follows intact.
  EXPECT_EQ(socket.ReadExactText(static_cast<int>(tail.size()), kTimeout), tail);
  EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
}

INSTANTIATE_TEST_SUITE_P(
    Counts, CountToStreamTest,
    ::testing::Values(CountParam{"Zero", 0, 65536, "", 0, true},
                      CountParam{"One", 1, 65536, "", 0, true},
                      CountParam{"BelowChunk", 65535, 65536, "", 0, true},
                      CountParam{"ExactlyChunk", 65536, 65536, "", 0, true},
                      CountParam{"AboveChunk", 65537, 65536, "", 0, true},
                      CountParam{"ThreePieces", 150000, 65536, "", 0, true},
                      CountParam{"SmallPieces", 150000, 1000, "", 0, true},
                      CountParam{"OneBudgetPerPiece", 150000, 65536, "", 0, false},
                      CountParam{"AppendsAfterExisting", 150000, 65536, "HEAD", 4, true},
                      CountParam{"OverwritesFromPosition", 100, 64, Text(300, '#'), 50, true}),
    [](const ::testing::TestParamInfo<CountParam>& info) { return info.param.name; });

struct ShortParam {
  int send_max_chunk;
  int whole_pieces_kept;  // of the 1000 bytes that arrive before the close
};

class ShortBodyTest : public SocketLayerTestP<ShortParam> {};

TEST_P(ShortBodyTest, PeerClosingEarlyKeepsOnlyCompletePieces) {
  const Text body = PatternText(1000);
  ScriptedPeer peer({PeerStep::Send(body), PeerStep::Close()});
  TStreamTestSocket socket;
  socket.SetSendMaxChunk(GetParam().send_max_chunk);
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  TByteBuffer stream;
  socket.ReadCountToStream(stream, kTimeout, 2000);
  EXPECT_EQ(socket.SocketError(), WSAECONNRESET) << socket.GetErrorDesc(socket.SocketError());
  const size_t kept = static_cast<size_t>(GetParam().whole_pieces_kept * GetParam().send_max_chunk);
  EXPECT_EQ(StreamText(stream), body.substr(0, kept));
}

INSTANTIATE_TEST_SUITE_P(Pieces, ShortBodyTest,
                         ::testing::Values(ShortParam{65536, 0}, ShortParam{300, 3},
                                           ShortParam{1000, 1}),
                         [](const ::testing::TestParamInfo<ShortParam>& info) {
                           return "Chunk" + IntToText(info.param.send_max_chunk);
                         });

// ---- Reading until the peer closes ----------------------------------------------------------

class ReadAllTest : public SocketLayerTestP<Text> {};

TEST_P(ReadAllTest, EverythingBeforeTheCloseEndsUpInTheStream) {
  const Text body = PatternText(300000);
  ScriptedPeer peer({PeerStep::Send(body.substr(0, 100000)), PeerStep::Pause(20),
                     PeerStep::Send(body.substr(100000)), PeerStep::Close()},
                    {.host = GetParam()});
  TStreamTestSocket socket;
  socket.ConnectTo(GetParam(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  TByteBuffer stream;
  socket.ReadAllToStream(stream, kTimeout);
  EXPECT_EQ(socket.SocketError(), WSAECONNRESET) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_TRUE(StreamText(stream) == body) << "stream size " << stream.Size();
  EXPECT_EQ(socket.BytesRead(), static_cast<int64_t>(body.size()));
}

INSTANTIATE_TEST_SUITE_P(Hosts, ReadAllTest, ::testing::ValuesIn(LoopbackHosts()), HostName);

// ---- A length announced by the peer ----------------------------------------------------------

class AnnouncedLengthTest : public SocketLayerTest {};

TEST_F(AnnouncedLengthTest, HugeAnnouncedBlockFailsWhenThePeerCloses) {
  // 0x7FFFFFFF bytes announced, 3 delivered.
  ScriptedPeer peer({PeerStep::Send(Text("\xFF\xFF\xFF\x7F", 4) + "abc"), PeerStep::Close()});
  TStreamTestSocket socket;
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(socket.ReadBlock(kTimeout), "");
  EXPECT_EQ(socket.SocketError(), WSAECONNRESET) << socket.GetErrorDesc(socket.SocketError());
}

// ---- Read filter ----------------------------------------------------------------------------

struct FilterCase {
  const char* name;
  std::function<void(Text&)> filter;
  Text sent;
  Text received;
};
void PrintTo(const FilterCase& p, std::ostream* out) {
  *out << p.name;
}

const FilterCase kFilterCases[] = {
    {"ChangesBytes",
     [](Text& t) {
       for (char& c : t) c = static_cast<char>(c == 'a' ? 'A' : c);
     },
     "banana", "bAnAnA"},
    {"Shortens", [](Text& t) { t.resize(t.size() - 1); }, "abcdef", "abcde"},
    {"CannotLengthen", [](Text& t) { t += "!!!"; }, "abc", "abc"},
    {"DropsEverything", [](Text& t) { t.clear(); }, "abc", ""},
};

class ReadFilterTest : public SocketLayerTestP<FilterCase> {};

TEST_P(ReadFilterTest, FilterRewritesWhatIsHandedOut) {
  ConnectedPair pair("127.0.0.1");
  ASSERT_EQ(pair.error, "");
  pair.server.SetOnReadFilter([&](TBlockSocket&, Text& value) { GetParam().filter(value); });
  pair.client.WriteText(GetParam().sent);
  ASSERT_TRUE(pair.server.WaitReadable(kTimeout));
  EXPECT_EQ(pair.server.ReadAvailable(kTimeout), GetParam().received);
  EXPECT_EQ(pair.server.SocketError(), 0) << pair.server.GetErrorDesc(pair.server.SocketError());
  EXPECT_EQ(pair.server.BytesRead(), static_cast<int64_t>(GetParam().sent.size()))
      << "the counter counts what the platform delivered";
}

INSTANTIATE_TEST_SUITE_P(Filters, ReadFilterTest, ::testing::ValuesIn(kFilterCases),
                         [](const ::testing::TestParamInfo<FilterCase>& info) {
                           return info.param.name;
                         });

// ---- Peeking and the events of a receive -----------------------------------------------------

class PeekTest : public SocketLayerTestP<Text> {};

TEST_P(PeekTest, PeekLeavesTheDataQueued) {
  ConnectedPair pair(GetParam());
  ASSERT_EQ(pair.error, "");
  pair.client.WriteText("hello");
  EXPECT_EQ(pair.server.PeekOneByte(kTimeout), 'h');
  char buffer[16];
  EXPECT_EQ(pair.server.PeekSome(buffer, sizeof buffer), 5);
  EXPECT_EQ(pair.server.PendingBytes(), 5);
  EXPECT_EQ(pair.server.BytesRead(), 0);

  EventLog log;
  log.Attach(pair.server);
  int monitored = 0;
  pair.server.SetOnMonitor([&](TBlockSocket&, bool writing, const void* data, int length) {
    EXPECT_FALSE(writing);
    EXPECT_EQ(Text(static_cast<const char*>(data), static_cast<size_t>(length)), "hello");
    monitored += length;
  });
  EXPECT_EQ(pair.server.ReadAvailable(kTimeout), "hello");
  EXPECT_EQ(log.Reasons(), std::vector<THookSocketReason>{SR_Read});
  EXPECT_EQ(log.Values(SR_Read), std::vector<Text>{"5"});
  EXPECT_EQ(monitored, 5);
}

INSTANTIATE_TEST_SUITE_P(Hosts, PeekTest, ::testing::ValuesIn(LoopbackHosts()), HostName);

}  // namespace
}  // namespace tessaly
