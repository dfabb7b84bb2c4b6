// Sizes judged by their value, however many digits they take: one that no body can have fails
// the transaction and drops the connection, and the next transaction, on a new connection,
// succeeds. The sizes that keep their old meaning stand beside them.
#include <ostream>
#include <string>

#include "http_test_support.h"
#include "net/tcpsocket.h"

namespace tessaly {
namespace {

using httptest::AfterRequest;
using httptest::DocumentText;
using httptest::NewClient;
using httptest::PeerUrl;

struct SizeCase {
  std::string name;
  std::string answer;  // after the status line; the peer then closes
  bool ok;
  std::string body;  // expected when ok
};

void PrintTo(const SizeCase& c, std::ostream* os) {
  *os << c.name;
}

const std::string kChunked = "Transfer-Encoding: chunked\r\n\r\n";

class Sizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(Sizes, NoBodyCanHaveFailTheTransaction) {
  const SizeCase& c = GetParam();
  const PeerScript next = AfterRequest(
      {PeerStep::Send("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nnext"), PeerStep::Close()});
  ScriptedPeer peer(
      {AfterRequest({PeerStep::Send("HTTP/1.1 200 OK\r\n" + c.answer), PeerStep::Close()}), next},
      ScriptedPeer::Options());
  auto client = NewClient();
  EXPECT_EQ(client->ExecuteRequest("GET", PeerUrl(peer, "/a.jpg")), c.ok)
      << client->Sock().SocketErrorText();
  if (c.ok) {
    EXPECT_EQ(DocumentText(*client), c.body);
  } else {
    EXPECT_EQ(client->Sock().Handle(), INVALID_SOCKET) << "dropped";
  }

  client->ResetMessage();
  EXPECT_TRUE(client->ExecuteRequest("GET", PeerUrl(peer, "/b.jpg")));
  EXPECT_EQ(DocumentText(*client), "next");
  EXPECT_EQ(peer.Accepted(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Http, Sizes,
    ::testing::Values(
        SizeCase{"ChunkOf80000000", kChunked + "80000000\r\nabc", false, ""},
        SizeCase{"ChunkOfEightFs", kChunked + "FFFFFFFF\r\nabc", false, ""},
        SizeCase{"ChunkOfNineDigits", kChunked + "100000000\r\nabc", false, ""},
        SizeCase{"ChunkOf80000000AfterZeros", kChunked + "3\r\nabc\r\n0000000080000000;x\r\nd",
                 false, ""},
        SizeCase{"ChunkOfFiveAfterZeros", kChunked + "0000000005\r\nhello\r\n0\r\n\r\n", true,
                 "hello"},
        SizeCase{"ChunkLineWithoutHexDigitsEndsTheBody", kChunked + "3\r\nabc\r\nzz\r\nd", true,
                 "abc"},
        SizeCase{"LengthAboveTheLargest", "Content-Length: 2147483648\r\n\r\nabc", false, ""},
        SizeCase{"LengthAboveTheLargestAfterZeros",
                 "Content-Length: 0000000000002147483648\r\n\r\nabc", false, ""},
        SizeCase{"LengthInHexAboveTheLargest", "Content-Length: $80000000\r\n\r\nabc", false, ""},
        SizeCase{"LengthBelowMinusOne", "Content-Length: -2\r\n\r\nabc", false, ""},
        SizeCase{"LaterLengthOfMinusOne", "Content-Length: 3\r\nContent-Length: -1\r\n\r\nabc",
                 false, ""},
        SizeCase{"LaterLengthThatDoesNotParse",
                 "Content-Length: 3\r\nContent-Length: three\r\n\r\nabc", false, ""},
        SizeCase{"LengthOfFiveAfterZeros", "Content-Length: 000000000005\r\n\r\nhello", true,
                 "hello"},
        SizeCase{"LengthMinusOneRunsUntilTheClose", "Content-Length: -1\r\n\r\nabc", true, "abc"},
        SizeCase{"LengthThatDoesNotParseRunsUntilTheClose", "Content-Length: 3x\r\n\r\nabcd", true,
                 "abcd"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tessaly
