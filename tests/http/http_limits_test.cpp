// What a hostile or broken server cannot do: grow the client's memory without bound, keep a
// transaction alive for ever, or have a cut-short body taken as complete; and what a hostile
// address cannot do: write request lines of its own.
#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "base/bigblock.h"
#include "http/digestretry.h"
#include "http/httpclient.h"
#include "http_test_support.h"
#include "net/tcpsocket.h"
#include "support/scriptedpeer.h"

namespace tessaly {
namespace {

using httptest::AfterRequest;
using httptest::DocumentText;
using httptest::NewClient;
using httptest::PeerUrl;

PeerStep Send(const std::string& bytes) {
  return PeerStep::Send(bytes);
}

std::string HeaderLine(size_t length) {
  return "X-Pad: " + std::string(length - 7, 'p');
}

// Header lines of `line_length` bytes (without their CR LF) that, with the status line and the
// blank line, make a header block of exactly `total` bytes counted with their line ends.
std::string HeaderBlockOf(size_t total, size_t line_length) {
  std::string block = "HTTP/1.0 200 OK\r\n";
  while (block.size() + 2 + line_length + 2 <= total) block += HeaderLine(line_length) + "\r\n";
  const size_t left = total - block.size() - 2;  // room for one more line and the blank line
  if (left >= 9) block += HeaderLine(left - 2) + "\r\n";
  return block + "\r\n";
}

struct LimitCase {
  std::string name;
  std::function<void(THTTPClient&)> setup;
  std::vector<PeerStep> answer;  // no Close: the server would wait for ever
  bool breach;
};

void PrintTo(const LimitCase& c, std::ostream* os) {
  *os << c.name;
}

void NoSetup(THTTPClient&) {}

std::vector<LimitCase> LimitCases() {
  const auto line_limit = [](int n) {
    return [n](THTTPClient& c) { c.SetMaxHeaderLineLength(n); };
  };
  const auto header_limit = [](int n) { return [n](THTTPClient& c) { c.SetMaxHeaderSize(n); }; };
  const auto body_limit = [](int n) { return [n](THTTPClient& c) { c.SetMaxBodySize(n); }; };
  const std::string ok = "HTTP/1.0 200 OK\r\n";
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  return {
      {"HeaderLineAtTheLimit",
       line_limit(1000),
       {Send(ok + HeaderLine(1000) + "\r\nContent-Length: 0\r\n\r\n")},
       false},
      {"HeaderLineOverTheLimit", line_limit(1000), {Send(ok + HeaderLine(1001) + "\r\n")}, true},
      {"EndlessHeaderLineAgainstTheDefault", NoSetup, {Send(ok + HeaderLine(2 << 20))}, true},
      {"LongestHeaderLineTheDefaultAllows",
       NoSetup,
       {Send(ok + HeaderLine(65536) + "\r\nContent-Length: 0\r\n\r\n")},
       false},
      {"EndlessStatusLine",
       line_limit(1000),
       {Send("HTTP/1.0 200 " + std::string(5000, 'O'))},
       true},
      {"EndlessFirstLineWithoutStatus", line_limit(1000), {Send(std::string(5000, '<'))}, true},
      {"HeaderBlockAtTheLimit",
       header_limit(4096),
       {Send(HeaderBlockOf(4096, 100)), PeerStep::Close()},
       false},
      {"HeaderBlockOverTheLimit",
       header_limit(4096),
       {Send(HeaderBlockOf(4097, 100)), PeerStep::Close()},
       true},
      {"EndlessHeaderLinesAgainstTheDefault", NoSetup, {Send(HeaderBlockOf(2 << 20, 1000))}, true},
      {"EndlessBlankLinesBeforeTheStatus",
       header_limit(4096),
       {Send(std::string(5000, '\n'))},
       true},
      {"EndlessInterimAnswers",
       header_limit(4096),
       {Send([] {
         std::string s;
         while (s.size() < 8000) s += "HTTP/1.1 100 Continue\r\n\r\n";
         return s;
       }())},
       true},
      {"BodyUntilCloseAtTheLimit",
       body_limit(1000),
       {Send(ok + "\r\n" + std::string(1000, 'b')), PeerStep::Close()},
       false},
      {"BodyUntilCloseOverTheLimit",
       body_limit(1000),
       {Send(ok + "\r\n" + std::string(1001, 'b')), PeerStep::Close()},
       true},
      {"EndlessStreamStopsAtOnce",
       body_limit(64 << 10),
       {Send(ok + "\r\n" + std::string(1 << 20, 'j'))},
       true},
      {"LengthAtTheLimit",
       body_limit(1000),
       {Send(ok + "Content-Length: 1000\r\n\r\n" + std::string(1000, 'b'))},
       false},
      {"AnnouncedLengthOverTheLimitReadsNothing",
       body_limit(1000),
       {Send(ok + "Content-Length: 1001\r\n\r\n")},
       true},
      {"HugeAnnouncedLengthAgainstTheDefault",
       NoSetup,
       {Send(ok + "Content-Length: 2147483647\r\n\r\n")},
       true},
      {"HugeChunkAgainstTheDefault", NoSetup, {Send(chunked + "7fffffff\r\n")}, true},
      {"ChunksAddUpOverTheLimit",
       body_limit(1000),
       {Send(chunked + "258\r\n" + std::string(600, 'c') + "\r\n258\r\n" + std::string(600, 'c'))},
       true},
      {"ChunksAddUpToTheLimit",
       body_limit(1000),
       {Send(chunked + "1f4\r\n" + std::string(500, 'c') + "\r\n1F4\r\n" + std::string(500, 'c') +
             "\r\n0\r\n\r\n")},
       false},
      {"EndlessChunkSizeLine",
       line_limit(1000),
       {Send(chunked + "5;" + std::string(5000, 'e'))},
       true},
  };
}

class Limit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(Limit, BreachFailsAndDropsTheConnection) {
  const LimitCase& param = GetParam();
  ScriptedPeer peer(AfterRequest(param.answer));
  ASSERT_EQ(peer.SetupError(), "");
  // A client that ignored a limit would wait here until its time-out and fail without the
  // breach being noted.
  auto client = NewClient(3000);
  param.setup(*client);

  EXPECT_EQ(client->ExecuteRequest("GET", PeerUrl(peer, "/")), !param.breach);
  EXPECT_EQ(client->LimitExceeded(), param.breach);
  if (param.breach) {
    EXPECT_EQ(client->Sock().Handle(), INVALID_SOCKET);
    EXPECT_EQ(client->ConnectedHost(), "");
  }
  client.reset();
  EXPECT_TRUE(peer.WaitFinished(5000)) << peer.Failure();
}

INSTANTIATE_TEST_SUITE_P(Http, Limit, ::testing::ValuesIn(LimitCases()),
                         [](const auto& info) { return info.param.name; });

// Bytes reserved for the process's data: what the allocator has handed out, small blocks and
// mapped ones alike, and the big blocks that bodies take straight from the system, whose
// untouched pages no resident figure would show.
int64_t ReservedBytes() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<int64_t>(info.uordblks + info.hblkhd + BigBlockBytesMapped());
}

TEST(Memory, FollowsTheBytesThatArriveNotTheLengthAnnounced) {
  // Under the default body limit, yet far more than is ever sent.
  ScriptedPeer peer(AfterRequest(
      {Send("HTTP/1.0 200 OK\r\nContent-Length: 200000000\r\n\r\n" + std::string(3 << 20, 'm')),
       PeerStep::Close()}));
  auto client = NewClient(3000);
  ReleaseSpareBlock();
  const int64_t before = ReservedBytes();
  EXPECT_FALSE(client->ExecuteRequest("GET", PeerUrl(peer, "/")));
  EXPECT_FALSE(client->LimitExceeded());
  EXPECT_LT(ReservedBytes() - before, int64_t{16} << 20);
}

// The transaction deadline against a server that trickles one byte before every time-out.
struct TrickleCase {
  std::string name;
  std::string before;  // sent at once
  int timeout_ms;      // the client's per-wait limit
};

void PrintTo(const TrickleCase& c, std::ostream* os) {
  *os << c.name;
}

class Deadline : public ::testing::TestWithParam<TrickleCase> {};

TEST_P(Deadline, EndsATrickleThatNeverTimesOut) {
  PeerScript answer{Send(GetParam().before)};
  for (int i = 0; i < 50; ++i) {
    answer.push_back(Send("x"));
    answer.push_back(PeerStep::Pause(100));
  }
  answer.push_back(PeerStep::Close());
  ScriptedPeer peer(AfterRequest(answer));
  auto client = NewClient(GetParam().timeout_ms);
  client->SetTransactionTimeout(600);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client->ExecuteRequest("GET", PeerUrl(peer, "/")));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(client->LimitExceeded());
  EXPECT_EQ(client->Sock().Handle(), INVALID_SOCKET);
  // The trickle lasts five seconds; the deadline is noticed within a wait slice.
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
  EXPECT_GE(elapsed, std::chrono::milliseconds(550));
}

INSTANTIATE_TEST_SUITE_P(
    Http, Deadline,
    ::testing::Values(
        TrickleCase{"InTheStatusLine", "HTTP/1.0 200 ", 5000},
        TrickleCase{"InTheHeaderLines", "HTTP/1.0 200 OK\r\nX-Slow: ", 5000},
        TrickleCase{"InABodyUntilClose", "HTTP/1.0 200 OK\r\n\r\n", 5000},
        TrickleCase{"InABodyByLength", "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n", 5000},
        TrickleCase{"InAChunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n400\r\n",
                    5000},
        TrickleCase{"WithoutAWaitLimit", "HTTP/1.0 200 OK\r\n\r\n", -1}),
    [](const auto& info) { return info.param.name; });

TEST(Deadline, LeavesATransactionInTimeAlone) {
  ScriptedPeer peer(AfterRequest({Send("HTTP/1.0 200 OK\r\n\r\nquick"), PeerStep::Close()}));
  auto client = NewClient();
  client->SetTransactionTimeout(10000);
  EXPECT_TRUE(client->ExecuteRequest("GET", PeerUrl(peer, "/")));
  EXPECT_EQ(DocumentText(*client), "quick");
  EXPECT_FALSE(client->LimitExceeded());
  // The next transaction on the same object starts a deadline of its own.
  EXPECT_FALSE(client->Sock().StopFlag());
}

// A stop asked for at one step holds for every later one: the exchange ends at once with 10053,
// against peers that would otherwise keep it waiting for the read time-out.
struct StopCase {
  std::string name;
  THookSocketReason at;  // the event whose hook asks for the stop
  int code_before;       // ... once ResultCode is this
};

void PrintTo(const StopCase& c, std::ostream* os) {
  *os << c.name;
}

class Stop : public ::testing::TestWithParam<StopCase> {};

TEST_P(Stop, EndsTheExchangeAtOnce) {
  const std::string challenge =
      "HTTP/1.0 401 No\r\nWWW-Authenticate: Digest nonce=\"n\"\r\nContent-Length: 0\r\n\r\n";
  ScriptedPeer peer(
      std::vector<PeerScript>{AfterRequest({Send(challenge), PeerStep::AwaitEof()}), PeerScript{}},
      ScriptedPeer::Options{});
  auto client = NewClient(20000);
  std::stop_source stop;
  client->SetStopToken(stop.get_token());
  THTTPClient& watched = *client;
  client->Sock().SetOnStatus([&](TBlockSocket&, THookSocketReason reason, const Text&) {
    if (reason == GetParam().at && watched.ResultCode() == GetParam().code_before) {
      stop.request_stop();
    }
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ExecuteWithDigest(*client, "GET", PeerUrl(peer, "/").insert(7, "u:p@")));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(client->Sock().SocketError(), ErrStopped)
      << client->Sock().GetErrorDesc(client->Sock().SocketError());
  EXPECT_LT(elapsed, std::chrono::seconds(3)) << "the read time-out is 20 s";
  EXPECT_EQ(DocumentText(*client), "");
  EXPECT_EQ(peer.Received(1), "") << "no second request";
  EXPECT_TRUE(client->Sock().StopFlag()) << "the stop is kept for whatever comes next";
}

INSTANTIATE_TEST_SUITE_P(Http, Stop,
                         ::testing::Values(StopCase{"WhileTheNameIsResolved", SR_Resolving, 500},
                                           StopCase{"BetweenTheDigestRequests", SR_Closed, 401}),
                         [](const auto& info) { return info.param.name; });

// Addresses carrying control bytes must not reach the wire.
struct AddressCase {
  std::string name;
  std::string path;
  bool sent;
};

void PrintTo(const AddressCase& c, std::ostream* os) {
  *os << c.name;
}

class AddressBytes : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressBytes, WithControlBytesFailBeforeAnythingIsSent) {
  ScriptedPeer peer(AfterRequest({Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n")}));
  auto client = NewClient();
  client->Headers().Add("X-Caller: 1");
  const bool result = client->ExecuteRequest("GET", PeerUrl(peer, GetParam().path));
  EXPECT_EQ(result, GetParam().sent);
  if (!GetParam().sent) {
    EXPECT_EQ(client->ResultCode(), 500);
    EXPECT_EQ(client->Headers().Lines(), std::vector<std::string>{"X-Caller: 1"});
    // Had anything been sent, the peer would have answered it before the call returned.
    EXPECT_EQ(peer.Accepted(), 0u);
  } else {
    client.reset();
    ASSERT_TRUE(peer.WaitFinished(5000));
    EXPECT_EQ(peer.Received().substr(0, 5 + GetParam().path.size()),
              "GET " + GetParam().path + " ");
  }
}

INSTANTIATE_TEST_SUITE_P(Http, AddressBytes,
                         ::testing::Values(AddressCase{"CrLf", "/a\r\nX-Injected: 1", false},
                                           AddressCase{"LoneLf", "/a\nX-Injected: 1", false},
                                           AddressCase{"LoneCr", "/a\rb", false},
                                           AddressCase{"Tab", "/a\tb", false},
                                           AddressCase{"Nul", std::string("/a\0b", 4), false},
                                           AddressCase{"Escape", "/a\x1b[0m", false},
                                           AddressCase{"Delete", "/a\x7f", false},
                                           AddressCase{"EightBitBytesPass", "/caf\xe9.jpg", true},
                                           AddressCase{"EscapedCrLfPasses", "/a%0D%0Ab", true}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tessaly
