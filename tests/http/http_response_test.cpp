// How answers are read: status lines, header lines, the three body framings, interim answers,
// answers without a status line, and how a connection may end, against a scripted peer.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "http/httpclient.h"
#include "http_test_support.h"
#include "support/scriptedpeer.h"

// Table rows name only the fields that differ from their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace tessaly {
namespace {

using httptest::AfterRequest;
using httptest::DocumentText;
using httptest::NewClient;
using httptest::PeerUrl;
using Mode = THTTPTransferMode;

PeerStep Send(const std::string& bytes) {
  return PeerStep::Send(bytes);
}
// Lets what was sent so far leave as a packet of its own.
PeerStep Gap() {
  return PeerStep::Pause(40);
}

struct AnswerCase {
  std::string name;
  std::vector<PeerStep> answer;  // played once the request has arrived; no Close keeps it open
  std::string method = "GET";
  bool result = true;
  int code = 200;
  std::string reason = "OK";
  std::string document;
  bool document_may_be_cut = false;  // a reset may drop bytes still in flight
  std::string mime = "text/html";
  Mode mode = Mode::UntilClose;
  std::vector<std::string> headers;  // checked when not empty
  int timeout_ms = 5000;
  bool body_reached = true;  // Document is positioned at 0 only once the body step ran
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
  *os << c.name;
}

std::string Chunk(const std::string& data) {
  static const char* digits = "0123456789abcdef";
  std::string size;
  for (size_t n = data.size(); n > 0; n /= 16) size.insert(size.begin(), digits[n % 16]);
  return size + "\r\n" + data + "\r\n";
}

const std::string kLetters = "abcdefghijklmnopqrstuvwxyz";

std::vector<AnswerCase> AnswerCases() {
  return {
      {.name = "LengthDelimitedDoesNotWaitForClose",
       .answer = {Send(
           "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 5\r\n\r\nhello")},
       .document = "hello",
       .mime = "image/jpeg",
       .mode = Mode::ByLength,
       .headers = {"HTTP/1.0 200 OK", "Content-Type: image/jpeg", "Content-Length: 5", ""}},
      {.name = "LengthAndBodyInSeparatePackets",
       .answer = {Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n"), Gap(), Send("\r\n01234"),
                  Gap(), Send("56789")},
       .document = "0123456789",
       .mode = Mode::ByLength},
      {.name = "ContentLengthWithoutSpaceSetsNoLength",
       .answer = {Send("HTTP/1.0 200 OK\r\nContent-Length:5\r\n\r\nhello world"),
                  PeerStep::Close()},
       .document = "hello world"},
      {.name = "ContentTypeWithoutSpaceTakesTheWholeLine",
       .answer = {Send("HTTP/1.0 200 OK\r\nContent-Type:text/plain\r\nContent-Length: 1\r\n\r\nx")},
       .document = "x",
       .mime = "Content-Type:text/plain",
       .mode = Mode::ByLength},
      {.name = "LaterContentLengthWins",
       .answer = {Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\ncontent-length:  4 \r\n\r\nabcd")},
       .document = "abcd",
       .mode = Mode::ByLength},
      {.name = "ChunkedAfterLength",
       .answer = {Send(
           "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n" +
           Chunk("hello") + Chunk(" you") + "0\r\n\r\n")},
       .document = "hello you",
       .mode = Mode::Chunked},
      {.name = "ChunkedBeforeLength",
       .answer = {Send(
           "HTTP/1.1 200 OK\r\ntransfer-encoding: gzip, Chunked\r\nContent-Length: 3\r\n\r\n" +
           Chunk("hello") + "0\r\n\r\n")},
       .document = "hello",
       .mode = Mode::Chunked},
      {.name = "ChunkExtensionAndUpperCaseHex",
       .answer = {Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1A;ext=1\r\n" +
                       kLetters + "\r\nA ; x=\"y\"\r\n0123456789\r\n0\r\n\r\n")},
       .document = kLetters + "0123456789",
       .mode = Mode::Chunked},
      {.name = "ChunkSizeAndLineEndSplitAcrossPackets",
       .answer = {Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1"), Gap(),
                  Send("0\r"), Gap(), Send("\n0123456789"), Gap(), Send("abcdef\r"), Gap(),
                  Send("\n3\r\nxyz\r\n0\r\n\r\n")},
       .document = "0123456789abcdefxyz",
       .mode = Mode::Chunked},
      {.name = "ChunkSizeWithoutHexDigitsFails",
       .answer = {Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunk("hello") +
                       "zz\r\nmore")},
       .result = false,
       .document = "hello",
       .mode = Mode::Chunked},
      {.name = "LastChunkWithExtensionEndsTheBody",
       .answer = {Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunk("hello") +
                       "0;ext=\"x\"\r\n\r\n")},
       .document = "hello",
       .mode = Mode::Chunked},
      {.name = "ChunkedCutShortByClose",
       .answer = {Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nonly8byt"),
                  PeerStep::Close()},
       .result = false,
       .document = "only8byt",
       .mode = Mode::Chunked},
      {.name = "ZeroLengthReadsNothing",
       .answer = {Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n")},
       .mode = Mode::ByLength},
      {.name = "HeadSkipsTheBody",
       .answer = {Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n")},
       .method = "HEAD",
       .mode = Mode::ByLength},
      {.name = "LowerCaseHeadStillReadsABody",
       .answer = {Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n"), PeerStep::Close()},
       .method = "head",
       .result = false,
       .mode = Mode::ByLength},
      {.name = "NoContentSkipsTheBody",
       .answer = {Send("HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n")},
       .code = 204,
       .reason = "No Content",
       .mode = Mode::ByLength},
      {.name = "NotModifiedSkipsTheBody",
       .answer = {Send("HTTP/1.1 304 Not Modified\r\n\r\n")},
       .code = 304,
       .reason = "Not Modified"},
      {.name = "ErrorPageIsReadLikeAnyBody",
       .answer = {Send("HTTP/1.0 404 Not Found Here\r\nContent-Length: 4\r\n\r\ngone")},
       .code = 404,
       .reason = "Not Found Here",
       .document = "gone",
       .mode = Mode::ByLength},
      {.name = "InterimContinueIsPassedOver",
       .answer = {Send("HTTP/1.1 100 Continue\r\n\r\n"), Gap(),
                  Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")},
       .document = "ok",
       .mode = Mode::ByLength,
       .headers = {"HTTP/1.1 100 Continue", "HTTP/1.1 200 OK", "Content-Length: 2", ""}},
      {.name = "TwoInterimAnswers",
       .answer = {Send("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 "
                       "OK\r\n\r\nrest"),
                  PeerStep::Close()},
       .document = "rest",
       .headers = {"HTTP/1.1 100 Continue", "HTTP/1.1 100 Continue", "HTTP/1.1 200 OK", ""}},
      {.name = "LeadingBlankLinesBeforeTheStatusLine",
       .answer = {Send("\r\n\r\nHTTP/1.0 200 OK\r\n\r\nbody"), PeerStep::Close()},
       .document = "body"},
      {.name = "StatusLineWithoutReason",
       .answer = {Send("HTTP/1.0 503\r\n\r\n"), PeerStep::Close()},
       .code = 503,
       .reason = ""},
      {.name = "LowerCaseStatusLine",
       .answer = {Send("http/1.0 201 fine\r\n\r\nbody"), PeerStep::Close()},
       .code = 201,
       .reason = "fine",
       .document = "body"},
      {.name = "NoStatusLineMeansAllBody",
       .answer = {Send("GIF89a first line\r\n"), Gap(), Send("rest\r\nof it"), PeerStep::Close()},
       .code = 0,
       .reason = "",
       .document = "GIF89a first line\r\nrest\r\nof it",
       .headers = {}},
      {.name = "NoLineBeforeTheClose",
       .answer = {PeerStep::Close()},
       .result = false,
       .code = 0,
       .reason = "",
       .document = "\r\n",
       .body_reached = false},
      {.name = "NoLineBeforeTheTimeout",
       .answer = {},
       .result = false,
       .code = 0,
       .reason = "",
       .document = "\r\n",
       .timeout_ms = 300,
       .body_reached = false},
      {.name = "HeaderLinesCutShort",
       .answer = {Send("HTTP/1.0 200 OK\r\nX-A: 1\r\n"), PeerStep::Close()},
       .result = false,
       .headers = {"HTTP/1.0 200 OK", "X-A: 1", ""}},
      {.name = "AnyLineEndIsAccepted",
       .answer = {Send("HTTP/1.0 200 OK\r"), Gap(),
                  Send("\nContent-Type: a/b\rX-A: 1\n\rContent-Length: 2\n"), Gap(),
                  Send("\r\nok")},
       .document = "ok",
       .mime = "a/b",
       .mode = Mode::ByLength,
       .headers = {"HTTP/1.0 200 OK", "Content-Type: a/b", "X-A: 1", "Content-Length: 2", ""}},
      {.name = "BodyUntilOrderlyClose",
       .answer = {Send("HTTP/1.0 200 OK\r\n\r\npart1"), Gap(), Send("part2"), PeerStep::Close()},
       .document = "part1part2"},
      {.name = "BodyUntilCloseTimesOutWhenTheServerWaits",
       .answer = {Send("HTTP/1.0 200 OK\r\n\r\npart1")},
       .result = false,
       .document = "part1",
       .timeout_ms = 300},
      {.name = "ResetEndsNoBodyUntilClose",
       .answer = {Send("HTTP/1.0 200 OK\r\n\r\npart1"), Gap(), Send("part2"), PeerStep::Reset()},
       .result = false,
       .document = "part1part2",
       .document_may_be_cut = true},
      {.name = "ResetRightAfterTheHeaders",
       .answer = {Send("HTTP/1.0 200 OK\r\n\r\n"), PeerStep::Reset()},
       .result = false},
      {.name = "OrderlyCloseBeforeTheLengthIsComplete",
       .answer = {Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nhello"), PeerStep::Close()},
       .result = false,
       .document = "hello",
       .mode = Mode::ByLength},
      {.name = "ResetBeforeTheLengthIsComplete",
       .answer = {Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nhello"), PeerStep::Reset()},
       .result = false,
       .document = "hello",
       .document_may_be_cut = true,
       .mode = Mode::ByLength},
  };
}

class Answer : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(Answer, IsReadAsItsFramingSays) {
  const AnswerCase& param = GetParam();
  ScriptedPeer peer(AfterRequest(param.answer));
  ASSERT_EQ(peer.SetupError(), "");
  auto client = NewClient(param.timeout_ms);

  EXPECT_EQ(client->ExecuteRequest(param.method, PeerUrl(peer, "/x")), param.result);
  EXPECT_EQ(client->ResultCode(), param.code);
  EXPECT_EQ(client->ResultString(), param.reason);
  const std::string document = DocumentText(*client);
  if (param.document_may_be_cut) {
    EXPECT_EQ(param.document.substr(0, document.size()), document);
  } else {
    EXPECT_EQ(document, param.document);
  }
  if (param.body_reached) {
    EXPECT_EQ(client->Document().Position(), 0);
  }
  EXPECT_EQ(client->MimeType(), param.mime);
  EXPECT_EQ(client->TransferMode(), param.mode);
  if (!param.headers.empty() || param.code == 0) {
    EXPECT_EQ(client->Headers().Lines(), param.headers);
  }
  EXPECT_FALSE(client->LimitExceeded());
  client.reset();
  EXPECT_TRUE(peer.WaitFinished(5000)) << peer.Failure();
}

INSTANTIATE_TEST_SUITE_P(Http, Answer, ::testing::ValuesIn(AnswerCases()),
                         [](const auto& info) { return info.param.name; });

// ParseStatusLine on its own, for the forms a server may send.
struct StatusCase {
  std::string line;
  int code;
  std::string reason;
};

void PrintTo(const StatusCase& c, std::ostream* os) {
  *os << c.line;
}

class StatusLine : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusLine, GivesCodeAndReason) {
  THTTPClient client;
  client.ParseStatusLine(GetParam().line);
  EXPECT_EQ(client.ResultCode(), GetParam().code);
  EXPECT_EQ(client.ResultString(), GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Http, StatusLine,
    ::testing::Values(StatusCase{"HTTP/1.1 200 OK", 200, "OK"}, StatusCase{"HTTP/1.0 404", 404, ""},
                      StatusCase{"HTTP/1.0 404 ", 404, ""},
                      StatusCase{"HTTP/1.1   302   Moved  for now ", 302, "Moved  for now"},
                      StatusCase{"HTTP/1.1 $1F4 Hex", 500, "Hex"},
                      StatusCase{"HTTP/1.1 2OO OK", 0, "OK"}, StatusCase{"HTTP/1.1", 0, ""},
                      StatusCase{"ICY 200 OK", 200, "OK"}, StatusCase{"", 0, ""}));

// Cookies from Set-Cookie lines: later values win, an empty value deletes, attributes drop.
TEST(Cookies, FollowTheSetCookieLines) {
  ScriptedPeer peer(
      AfterRequest({Send("HTTP/1.0 200 OK\r\nSet-Cookie: a=1; Path=/\r\n"
                         "SET-COOKIE:b = two ;Secure\r\nSet-Cookie: a=3\r\n"
                         "set-cookie: old=\r\nContent-Length: 0\r\n\r\n")}));
  auto client = NewClient();
  client->Cookies().Add("OLD=stale");
  client->Cookies().Add("keep=me");
  ASSERT_TRUE(client->ExecuteRequest("GET", PeerUrl(peer, "/")));
  EXPECT_EQ(client->Cookies().Lines(), (std::vector<std::string>{"keep=me", "a=3", "b=two"}));
}

}  // namespace
}  // namespace tessaly
