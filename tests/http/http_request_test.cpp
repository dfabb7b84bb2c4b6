// What goes on the wire: the exact request bytes for every combination of properties,
// captured by a scripted loopback peer.
#include <gtest/gtest.h>

#include <functional>
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

using httptest::NewClient;
using httptest::Wire;
using httptest::WithPort;

const std::string kAgent = "User-Agent: Mozilla/4.0 (compatible; Tessaly)";
const std::string kAnswer = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";

struct RequestCase {
  std::string name;
  std::function<void(THTTPClient&, const std::string& port)> setup;
  std::string method;
  std::string url;                 // "{port}" stands for the peer's port
  std::vector<std::string> lines;  // expected header block, "" being its blank last line
  std::string body;                // expected after the header block
  std::string host = "127.0.0.1";  // where the peer listens
};

void PrintTo(const RequestCase& c, std::ostream* os) {
  *os << c.name;
}

void NoSetup(THTTPClient&, const std::string&) {}

void ViaProxy(THTTPClient& client, const std::string& port) {
  client.SetProxyHost("127.0.0.1");
  client.SetProxyPort(port);
}

void WithBody(THTTPClient& client, const std::string& body) {
  client.Document().Write(body);
}

std::string Filler(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

std::vector<RequestCase> RequestCases() {
  const std::string host = "Host: 127.0.0.1:{port}";
  std::vector<RequestCase> cases = {
      {"EmptyHeaders",
       NoSetup,
       "GET",
       "http://127.0.0.1:{port}",
       {"GET / HTTP/1.0", host, kAgent, ""}},
      {"PathAndQueryAsWritten",
       NoSetup,
       "GET",
       "http://127.0.0.1:{port}/cam/a%20b.jpg?x=1&y#f",
       {"GET /cam/a%20b.jpg?x=1&y#f HTTP/1.0", host, kAgent, ""}},
      {"NoSchemeMeansHttp",
       NoSetup,
       "GET",
       "127.0.0.1:{port}/img",
       {"GET /img HTTP/1.0", host, kAgent, ""}},
      {"JobRefererLineKeepsItsLineEnds",
       [](THTTPClient& c, const std::string&) {
         c.Headers().Add("referer:http://cam.test/\r\n\r\n");
       },
       "GET",
       "http://127.0.0.1:{port}/live.jpg",
       {"GET /live.jpg HTTP/1.0", host, kAgent, "referer:http://cam.test/\r\n\r\n", ""}},
      {"CallerLinesFollowInTheirOrder",
       [](THTTPClient& c, const std::string&) {
         c.Headers().Add("X-B: 2");
         c.Headers().Add("X-A: 1");
       },
       "GET",
       "http://127.0.0.1:{port}/",
       {"GET / HTTP/1.0", host, kAgent, "X-B: 2", "X-A: 1", ""}},
      {"CallersEmptyLastLineIsNotDoubled",
       [](THTTPClient& c, const std::string&) {
         c.Headers().Add("X-A: 1");
         c.Headers().Add("");
       },
       "GET",
       "http://127.0.0.1:{port}/",
       {"GET / HTTP/1.0", host, kAgent, "X-A: 1", ""}},
      {"EmptyUserAgentIsLeftOut",
       [](THTTPClient& c, const std::string&) { c.SetUserAgent(""); },
       "GET",
       "http://127.0.0.1:{port}/",
       {"GET / HTTP/1.0", host, ""}},
      {"PortLeftOutOfHostOnRequest",
       [](THTTPClient& c, const std::string&) { c.SetAddPortNumberToHost(false); },
       "GET",
       "http://127.0.0.1:{port}/",
       {"GET / HTTP/1.0", "Host: 127.0.0.1", kAgent, ""}},
      {"MethodIsUpperCased",
       NoSetup,
       "head",
       "http://127.0.0.1:{port}/",
       {"HEAD / HTTP/1.0", host, kAgent, ""}},
      {"AsteriskForm",
       NoSetup,
       "OPTIONS",
       "http://127.0.0.1:{port}/*",
       {"OPTIONS * HTTP/1.0", host, kAgent, ""}},
      {"Protocol11",
       [](THTTPClient& c, const std::string&) { c.SetProtocol("1.1"); },
       "GET",
       "http://127.0.0.1:{port}/",
       {"GET / HTTP/1.1", host, kAgent, ""}},
      {"Protocol09SendsTheRequestLineAlone",
       [](THTTPClient& c, const std::string&) {
         c.SetProtocol("0.9");
         c.Headers().Add("X-Not-Sent: 1");
       },
       "GET",
       "http://127.0.0.1:{port}/old",
       {"GET /old"}},
      {"KeepAliveOff",
       [](THTTPClient& c, const std::string&) { c.SetKeepAlive(false); },
       "GET",
       "http://127.0.0.1:{port}/",
       {"GET / HTTP/1.0", host, "Connection: close", kAgent, ""}},
      {"BasicAuthorisationFromTheAddress",
       NoSetup,
       "GET",
       "http://user:pa:ss@127.0.0.1:{port}/",
       {"GET / HTTP/1.0", host, "Authorization: Basic dXNlcjpwYTpzcw==", kAgent, ""}},
      {"BasicAuthorisationFromProperties",
       [](THTTPClient& c, const std::string&) {
         c.SetUserName("alice");
         c.SetPassword("secret");
       },
       "GET",
       "http://127.0.0.1:{port}/",
       {"GET / HTTP/1.0", host, "Authorization: Basic YWxpY2U6c2VjcmV0", kAgent, ""}},
      {"UserInTheAddressWinsWithItsOwnPassword",
       [](THTTPClient& c, const std::string&) {
         c.SetUserName("alice");
         c.SetPassword("secret");
       },
       "GET",
       "http://bob@127.0.0.1:{port}/",
       {"GET / HTTP/1.0", host, "Authorization: Basic Ym9iOg==", kAgent, ""}},
      {"Cookies",
       [](THTTPClient& c, const std::string&) {
         c.Cookies().Add("a=1");
         c.Cookies().Add("b=two");
       },
       "GET",
       "http://127.0.0.1:{port}/",
       {"GET / HTTP/1.0", host, "Cookie: a=1; b=two", kAgent, ""}},
      {"ClosedRange",
       [](THTTPClient& c, const std::string&) {
         c.SetRangeStart(10);
         c.SetRangeEnd(20);
       },
       "GET",
       "http://127.0.0.1:{port}/",
       {"GET / HTTP/1.0", host, "Range: bytes=10-20", kAgent, ""}},
      {"OpenRange",
       [](THTTPClient& c, const std::string&) { c.SetRangeStart(500); },
       "GET",
       "http://127.0.0.1:{port}/",
       {"GET / HTTP/1.0", host, "Range: bytes=500-", kAgent, ""}},
      {"RangeFromZero",
       [](THTTPClient& c, const std::string&) { c.SetRangeEnd(99); },
       "GET",
       "http://127.0.0.1:{port}/",
       {"GET / HTTP/1.0", host, "Range: bytes=0-99", kAgent, ""}},
      {"EveryOptionalLineInItsPlace",
       [](THTTPClient& c, const std::string&) {
         c.SetKeepAlive(false);
         c.Cookies().Add("k=v");
         c.SetRangeStart(1);
         c.SetRangeEnd(2);
         c.SetMimeType("application/x-www-form-urlencoded");
         c.Headers().Add("X-Caller: yes");
         WithBody(c, "a=1&b=2");
       },
       "POST",
       "http://u:p@127.0.0.1:{port}/form",
       {"POST /form HTTP/1.0", host, "Authorization: Basic dTpw", "Connection: close",
        "Cookie: k=v", "Range: bytes=1-2", kAgent,
        "Content-Type: application/x-www-form-urlencoded", "Content-Length: 7", "X-Caller: yes",
        ""},
       "a=1&b=2"},
      {"BodyWithoutContentType",
       [](THTTPClient& c, const std::string&) {
         c.SetMimeType("");
         WithBody(c, "raw");
       },
       "PUT",
       "http://127.0.0.1:{port}/f",
       {"PUT /f HTTP/1.0", host, kAgent, "Content-Length: 3", ""},
       "raw"},
      {"ViaProxyTheAddressIsAbsolute",
       ViaProxy,
       "GET",
       "http://cam.example/a?b",
       {"GET http://cam.example:80/a?b HTTP/1.0", "Host: cam.example", kAgent, ""}},
      {"ViaProxyPort0080IsNotPort80",
       ViaProxy,
       "GET",
       "http://cam.example:0080/",
       {"GET http://cam.example:0080/ HTTP/1.0", "Host: cam.example:0080", kAgent, ""}},
      {"ViaProxyExplicitPort80",
       ViaProxy,
       "GET",
       "http://cam.example:80/",
       {"GET http://cam.example:80/ HTTP/1.0", "Host: cam.example", kAgent, ""}},
      {"ViaProxyIPv6HostIsBracketed",
       ViaProxy,
       "GET",
       "http://[fe80::1]:8080/x",
       {"GET http://[fe80::1]:8080/x HTTP/1.0", "Host: [fe80::1]:8080", kAgent, ""}},
      {"ViaProxySchemeAsWritten",
       ViaProxy,
       "GET",
       "HTTP://cam.example/",
       {"GET HTTP://cam.example:80/ HTTP/1.0", "Host: cam.example", kAgent, ""}},
      {"ViaProxyAsteriskStaysInThePath",
       ViaProxy,
       "OPTIONS",
       "http://cam.example/*",
       {"OPTIONS http://cam.example:80/* HTTP/1.0", "Host: cam.example", kAgent, ""}},
      {"ViaProxyWithCredentials",
       [](THTTPClient& c, const std::string& port) {
         ViaProxy(c, port);
         c.SetProxyUser("proxy");
         c.SetProxyPass("pw");
       },
       "GET",
       "http://user:pa:ss@cam.example/",
       {"GET http://cam.example:80/ HTTP/1.0", "Host: cam.example",
        "Proxy-Authorization: Basic cHJveHk6cHc=", "Authorization: Basic dXNlcjpwYTpzcw==", kAgent,
        ""}},
      {"IPv6LiteralIsBracketedInHostOnly",
       NoSetup,
       "GET",
       "http://[::1]:{port}/v6",
       {"GET /v6 HTTP/1.0", "Host: [::1]:{port}", kAgent, ""},
       "",
       "::1"},
  };
  // Bodies on both sides of the size that still travels with the header block.
  for (size_t size : {size_t{65535}, size_t{65536}, size_t{300000}}) {
    const std::string body = Filler(size);
    cases.push_back({"Body" + std::to_string(size),
                     [body](THTTPClient& c, const std::string&) { WithBody(c, body); },
                     "POST",
                     "http://127.0.0.1:{port}/up",
                     {"POST /up HTTP/1.0", host, kAgent, "Content-Type: text/html",
                      "Content-Length: " + std::to_string(size), ""},
                     body});
  }
  return cases;
}

class RequestBytes : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestBytes, AreExactlyTheseOnTheWire) {
  const RequestCase& param = GetParam();
  ScriptedPeer::Options options;
  options.host = param.host;
  // The answer waits for the request's last bytes; the comparison waits for the client's close,
  // so that whatever else the client might send is recorded too.
  const std::string last_bytes =
      !param.body.empty()
          ? param.body.substr(param.body.size() - std::min<size_t>(64, param.body.size()))
      : param.lines.size() == 1 ? std::string("\r\n")
                                : std::string("\r\n\r\n");
  ScriptedPeer peer(
      {PeerStep::AwaitText(last_bytes), PeerStep::Send(kAnswer), PeerStep::AwaitEof()}, options);
  ASSERT_EQ(peer.SetupError(), "");
  const std::string port = peer.PortText();

  auto client = NewClient();
  param.setup(*client, port);
  const size_t body_size = param.body.size();
  ASSERT_TRUE(client->ExecuteRequest(param.method, WithPort(param.url, port)))
      << "code " << client->ResultCode();
  EXPECT_EQ(client->ResultCode(), 200);
  const std::string expected = WithPort(Wire(param.lines), port) + param.body;
  // A body below 64 KiB travels with the header block and is counted with it.
  const size_t upload = body_size == 0 ? 0 : body_size < 65536 ? expected.size() : body_size;
  EXPECT_EQ(client->UploadSize(), static_cast<int32_t>(upload));
  client.reset();

  ASSERT_TRUE(peer.WaitFinished(5000)) << peer.Failure();
  const std::string received = peer.Received();
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected) << "received:\n" << received.substr(0, 600);
  EXPECT_EQ(peer.Accepted(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Http, RequestBytes, ::testing::ValuesIn(RequestCases()),
                         [](const auto& info) { return info.param.name; });

// The "Expect: 100-continue" handshake: the body goes out only after an interim answer.
struct ExpectCase {
  std::string name;
  std::vector<PeerStep> answer;  // after the header block has arrived
  bool body_sent;
  int code;
  std::string document;
};

void PrintTo(const ExpectCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<ExpectCase> ExpectCases() {
  const std::string created = "HTTP/1.1 201 Created\r\nContent-Length: 4\r\n\r\ndone";
  return {
      {"ContinueThenBody",
       {PeerStep::Send("HTTP/1.1 100 Continue\r\n\r\n"), PeerStep::AwaitText("payload"),
        PeerStep::Send(created), PeerStep::AwaitEof()},
       true,
       201,
       "done"},
      {"ContinueWithHeaderLinesThenBody",
       {PeerStep::Send("HTTP/1.1 100 Continue\r\nX-Note: wait\r\n\r\n"),
        PeerStep::AwaitText("payload"), PeerStep::Send(created), PeerStep::AwaitEof()},
       true,
       201,
       "done"},
      {"FinalAnswerInsteadKeepsItsFraming",
       {PeerStep::Send("HTTP/1.1 417 Expectation Failed\r\nContent-Length: 4\r\n\r\nnope"),
        PeerStep::AwaitEof()},
       false,
       417,
       "nope"},
  };
}

class ExpectHandshake : public ::testing::TestWithParam<ExpectCase> {};

TEST_P(ExpectHandshake, SendsTheBodyOnlyAfterContinue) {
  const ExpectCase& param = GetParam();
  PeerScript script{PeerStep::AwaitText("\r\n\r\n")};
  script.insert(script.end(), param.answer.begin(), param.answer.end());
  ScriptedPeer peer(script);
  ASSERT_EQ(peer.SetupError(), "");
  const std::string port = peer.PortText();

  auto client = NewClient();
  client->SetProtocol("1.1");
  client->SetStatus100(true);
  client->Document().Write(std::string("payload"));
  ASSERT_TRUE(client->ExecuteRequest("POST", "http://127.0.0.1:" + port + "/e"));
  EXPECT_EQ(client->ResultCode(), param.code);
  EXPECT_EQ(httptest::DocumentText(*client), param.document);
  EXPECT_EQ(client->UploadSize(), param.body_sent ? 7 : 0);
  ASSERT_GT(client->Headers().Count(), 0);
  EXPECT_EQ(std::stoi(client->Headers()[0].substr(9, 3)), param.code);
  client.reset();

  ASSERT_TRUE(peer.WaitFinished(5000)) << peer.Failure();
  const std::string header =
      Wire({"POST /e HTTP/1.1", "Host: 127.0.0.1:" + port, kAgent, "Content-Type: text/html",
            "Content-Length: 7", "Expect: 100-continue", ""});
  EXPECT_EQ(peer.Received(), header + (param.body_sent ? "payload" : ""));
}

INSTANTIATE_TEST_SUITE_P(Http, ExpectHandshake, ::testing::ValuesIn(ExpectCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tessaly
