// The client against real web servers started by the suite on the loopback addresses: nginx
// (length-delimited answers, an error page, an empty file, IPv6, keep-alive, ranges) and
// Python's http.server (HTTP/1.0), plus a small Python server whose bodies end with its close.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "http/httpclient.h"
#include "http_test_support.h"
#include "net/tcpsocket.h"
#include "support/childprocess.h"

namespace tessaly {
namespace {

using httptest::DocumentText;
using httptest::NewClient;

std::string Picture() {
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

// Python handler whose answers carry no length: the body ends when the server closes.
const char* kUntilCloseServer = R"(
import http.server, sys
class H(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "image/x-test")
        self.end_headers()
        for i in range(64):
            self.wfile.write(bytes([i]) * 4096)
            self.wfile.flush()
    def log_message(self, *args):
        pass
http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), H).serve_forever()
)";

// One server per kind for the whole program, with a directory of its own.
struct Server {
  std::unique_ptr<ScratchDir> dir;
  std::unique_ptr<ChildProcess> process;
  int port = 0;
  std::string error;
};

enum class Kind { Nginx, PythonFiles, PythonUntilClose };

void WriteContent(const ScratchDir& dir) {
  dir.WriteFile("www/pic.jpg", Picture());
  dir.WriteFile("www/empty.bin", "");
  dir.WriteFile("www/index.html", "<html>camera</html>\n");
}

std::unique_ptr<Server> StartServer(Kind kind) {
  auto server = std::make_unique<Server>();
  server->dir = std::make_unique<ScratchDir>();
  const ScratchDir& dir = *server->dir;
  if (dir.Path().empty() || mkdir(dir.File("www").c_str(), 0755) != 0) {
    server->error = "no scratch directory";
    return server;
  }
  WriteContent(dir);
  server->port = PickFreePort();
  const std::string port = std::to_string(server->port);
  std::vector<std::string> argv;
  if (kind == Kind::Nginx) {
    const std::string conf =
        std::string(geteuid() == 0 ? "user root;\n" : "") +
        "worker_processes 1;\nerror_log stderr;\nevents { worker_connections 64; }\n"
        "http {\n  access_log off;\n  server {\n"
        "    listen 127.0.0.1:" +
        port + ";\n    listen [::1]:" + port +
        ";\n"
        "    root " +
        dir.File("www") + ";\n  }\n}\n";
    dir.WriteFile("nginx.conf", conf);
    argv = {"nginx",
            "-p",
            dir.Path(),
            "-c",
            dir.File("nginx.conf"),
            "-g",
            "daemon off; pid " + dir.File("nginx.pid") + ";"};
  } else if (kind == Kind::PythonFiles) {
    argv = {"python3",   "-m",          "http.server",   "--bind",
            "127.0.0.1", "--directory", dir.File("www"), port};
  } else {
    argv = {"python3", "-c", kUntilCloseServer, port};
  }
  server->process = ChildProcess::Start(argv, dir.File("server.log"), &server->error);
  if (server->process &&
      !server->process->WaitUntilAccepting("127.0.0.1", server->port, 15000, &server->error)) {
    server->process.reset();
  }
  return server;
}

Server& ServerOf(Kind kind) {
  static std::map<Kind, std::unique_ptr<Server>> servers;
  auto& slot = servers[kind];
  if (!slot) slot = StartServer(kind);
  return *slot;
}

struct FetchCase {
  std::string name;
  Kind kind;
  std::string host;  // as written in the address
  std::string path;
  std::string method;
  int code;
  std::string body;  // "*pic" stands for the picture; "*any" for any non-empty page
  std::string mime;
};

void PrintTo(const FetchCase& c, std::ostream* os) {
  *os << c.name;
}

class RealServer : public ::testing::TestWithParam<FetchCase> {};

TEST_P(RealServer, AnswersAreReadWhole) {
  const FetchCase& param = GetParam();
  Server& server = ServerOf(param.kind);
  ASSERT_TRUE(server.process) << "server did not start: " << server.error;
  auto client = NewClient(10000);
  // The fetch job's own line, with the two line ends it carries itself.
  client->Headers().Add("referer:http://cam.test/\r\n\r\n");
  const std::string url = "http://" + param.host + ":" + std::to_string(server.port) + param.path;

  ASSERT_TRUE(client->ExecuteRequest(param.method, url)) << client->ResultCode();
  EXPECT_EQ(client->ResultCode(), param.code);
  const std::string document = DocumentText(*client);
  if (param.body == "*pic") {
    EXPECT_TRUE(document == Picture()) << "got " << document.size() << " bytes";
  } else if (param.body == "*any") {
    EXPECT_NE(document.find(std::to_string(param.code)), std::string::npos) << document;
  } else {
    EXPECT_EQ(document, param.body);
  }
  if (!param.mime.empty()) {
    EXPECT_EQ(client->MimeType(), param.mime);
  }
  EXPECT_EQ(client->Sock().Handle(), INVALID_SOCKET);  // HTTP/1.0: closed after every answer
}

INSTANTIATE_TEST_SUITE_P(
    Http, RealServer,
    ::testing::Values(
        FetchCase{"NginxPicture", Kind::Nginx, "127.0.0.1", "/pic.jpg", "GET", 200, "*pic",
                  "image/jpeg"},
        FetchCase{"NginxEmptyFile", Kind::Nginx, "127.0.0.1", "/empty.bin", "GET", 200, "", ""},
        FetchCase{"NginxNotFoundPage", Kind::Nginx, "127.0.0.1", "/missing.jpg", "GET", 404, "*any",
                  "text/html"},
        FetchCase{"NginxHead", Kind::Nginx, "127.0.0.1", "/pic.jpg", "HEAD", 200, "", "image/jpeg"},
        FetchCase{"NginxOverIPv6", Kind::Nginx, "[::1]", "/pic.jpg", "GET", 200, "*pic",
                  "image/jpeg"},
        FetchCase{"PythonPicture", Kind::PythonFiles, "127.0.0.1", "/pic.jpg", "GET", 200, "*pic",
                  "image/jpeg"},
        FetchCase{"PythonIndex", Kind::PythonFiles, "127.0.0.1", "/", "GET", 200,
                  "<html>camera</html>\n", "text/html"},
        FetchCase{"PythonNotFoundPage", Kind::PythonFiles, "127.0.0.1", "/missing.jpg", "GET", 404,
                  "*any", ""},
        FetchCase{"PythonBodyUntilClose", Kind::PythonUntilClose, "localhost", "/live", "GET", 200,
                  [] {
                    std::string s;
                    for (int i = 0; i < 64; ++i) s += std::string(4096, static_cast<char>(i));
                    return s;
                  }(),
                  "image/x-test"}),
    [](const auto& info) { return info.param.name; });

TEST(RealServer, NginxKeepsAnHttp11ConnectionAndServesRanges) {
  Server& server = ServerOf(Kind::Nginx);
  ASSERT_TRUE(server.process) << "server did not start: " << server.error;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/pic.jpg";
  const std::string picture = Picture();
  auto client = NewClient(10000);
  client->SetProtocol("1.1");
  client->SetRangeStart(1000);
  client->SetRangeEnd(1999);
  ASSERT_TRUE(client->ExecuteRequest("GET", url));
  EXPECT_EQ(client->ResultCode(), 206);
  EXPECT_TRUE(DocumentText(*client) == picture.substr(1000, 1000));
  ASSERT_NE(client->Sock().Handle(), INVALID_SOCKET);

  // Headers now hold the answer's lines; they would go out as request lines.
  client->Headers().Clear();
  client->SetRangeStart(299990);  // open end
  ASSERT_TRUE(client->ExecuteRequest("GET", url));
  EXPECT_EQ(client->ResultCode(), 206);
  EXPECT_TRUE(DocumentText(*client) == picture.substr(299990));
  // Both answers came over the one connection.
  EXPECT_GT(client->Sock().BytesRead(), 1010);
}

}  // namespace
}  // namespace tessaly
