// The real tessaly-capture --cameras --mqtt against a real mosquitto on a free loopback port:
// what a subscriber receives, what stays retained, the will, a broker that restarts, passwords.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "base/fileutil.h"
#include "cli/commandline.h"
#include "support/childprocess.h"
#include "support/tlspki.h"
#include "support/webserver.h"

namespace tessaly {
namespace {

using Args = std::vector<std::string>;

std::string Slurp(const std::string& path) {
  Text content;
  ReadWholeFile(path, content);
  return content;
}

// Polls until text is in the file, for at most 10 s.
bool Await(const std::string& path, const std::string& text) {
  for (int i = 0; i < 1000 && Slurp(path).find(text) == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return Slurp(path).find(text) != std::string::npos;
}

// A mosquitto that keeps its sessions over a restart (SIGTERM saves them), with or without
// a password file (user "tess", password "s3cret:x").
class Broker {
 public:
  Broker(const ScratchDir& dir, bool password, const TestPki* pki)
      : dir_(dir), port_(PickFreePort()), tls_port_(PickFreePort()) {
    // Running as root, mosquitto would switch to a user that cannot read the scratch dir.
    std::string conf =
        std::string(geteuid() == 0 ? "user root\n" : "") + "listener " + std::to_string(port_) +
        " 127.0.0.1\nlog_type all\npersistence true\npersistence_location " + dir.Path() + "/\n";
    if (password) {
      std::string error;
      RunToEnd({"mosquitto_passwd", "-b", "-c", dir.File("passwd"), "tess", "s3cret:x"},
               dir.File("passwd.log"), &error);
      conf += "allow_anonymous false\npassword_file " + dir.File("passwd") + "\n";
    } else {
      conf += "allow_anonymous true\n";
    }
    // A TLS listener beside the plain one, with the test CA's certificate for 127.0.0.1.
    if (pki != nullptr)
      conf += "listener " + std::to_string(tls_port_) + " 127.0.0.1\ncertfile " +
              pki->CertFile(TestCert::Good) + "\nkeyfile " + pki->KeyFile(TestCert::Good) + "\n";
    dir.WriteFile("mosquitto.conf", conf);
    Start();
  }
  void Start() {
    process_ = ChildProcess::Start({"mosquitto", "-c", dir_.File("mosquitto.conf")},
                                   dir_.File("broker.log"), &error_);
    if (process_) process_->WaitUntilAccepting("127.0.0.1", port_, 10000, &error_);
  }
  void Terminate() {
    kill(process_->Pid(), SIGTERM);
    for (int i = 0; i < 500 && process_->IsRunning(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::string& Error() const { return error_; }
  std::string Port() const { return std::to_string(port_); }
  std::string TlsPort() const { return std::to_string(tls_port_); }

 private:
  const ScratchDir& dir_;
  int port_, tls_port_;
  std::string error_;
  std::unique_ptr<ChildProcess> process_;
};

struct MqttCase {
  const char* name;
  // 'S' stored, states and discovery; 'P' with a password; 'W' a wrong password; 'K' kill -9;
  // 'R' the broker restarts; 'T' TLS with the broker's CA file; 'U' TLS without it.
  char kind;
  int count;                      // pictures of the camera "gate", after which the run ends
  std::vector<std::string> says;  // on standard error
};

void PrintTo(const MqttCase& row, std::ostream* out) {
  *out << row.name;
}

class MqttEventsTest : public testing::TestWithParam<MqttCase> {};

TEST_P(MqttEventsTest, Run) {
  const MqttCase& c = GetParam();
  ScratchDir dir, cameras, logs, broker_dir;
  std::string error;
  auto web = WebServer::Start(&error);
  ASSERT_TRUE(web) << error;
  const std::string picture(5000, 'p');
  web->Put("snap.jpg", picture);
  const bool tls = c.kind == 'T' || c.kind == 'U';
  std::unique_ptr<TestPki> pki(tls ? new TestPki() : nullptr);
  ASSERT_TRUE(!pki || pki->Ok()) << pki->Error();
  Broker broker(broker_dir, c.kind == 'P' || c.kind == 'W', pki.get());
  ASSERT_TRUE(broker.Error().empty()) << broker.Error();
  // "g+te" stands for a name that is no topic level as it is.
  cameras.WriteFile("g+te",
                    web->Url("snap.jpg") + "\r\n1\r\n0\r\n0\r\n" + dir.Path() + "\r\n1\r\n");
  // One that fails and ends after two failures.
  cameras.WriteFile("door",
                    "http://127.0.0.1:1/a.jpg\r\n1\r\n0\r\n0\r\n" + dir.Path() + "\r\n1\r\n");
  const std::string user = c.kind == 'P' || c.kind == 'W' ? "tess@" : "";
  dir.WriteFile("password", c.kind == 'W' ? "wrong\n" : "s3cret:x\n");
  const Args sub = {"mosquitto_sub", "-p", broker.Port(), "-u", "tess", "-P", "s3cret:x", "-v"};
  // A session of its own that the broker keeps over its restart: it misses nothing.
  Args watch = sub;
  watch.insert(watch.end(), {"-c", "-i", "watch", "-q", "1", "-t", "t/#", "-T", "t/+/image"});
  auto watcher = ChildProcess::Start(watch, logs.File("watch.log"), &error);
  ASSERT_TRUE(Await(broker_dir.File("broker.log"), "Sending SUBACK to watch"))
      << Slurp(logs.File("watch.log"));

  Args args = {"sh",
               "-c",
               "exec \"$0\" \"$@\" 2>" + logs.File("err"),
               TESSALY_CAPTURE_BIN,
               "--every",
               "200ms",
               "--count",
               std::to_string(c.count),
               "--max-failures",
               "2",
               "--mqtt",
               "mqtt://" + user + "127.0.0.1:" + broker.Port() + "/t",
               "--cameras",
               cameras.Path()};
  if (!user.empty()) args.insert(args.end(), {"--mqtt-password-file", dir.File("password")});
  if (tls) args[args.size() - 3] = "mqtts://127.0.0.1:" + broker.TlsPort() + "/t";
  if (c.kind == 'T') args.insert(args.end(), {"--mqtt-ca-file", pki->CaFile()});
  auto run = ChildProcess::Start(args, logs.File("out"), &error);
  ASSERT_TRUE(run) << error;
  if (c.kind == 'K') {
    ASSERT_TRUE(Await(logs.File("watch.log"), "t/g%2Bte/stored")) << Slurp(logs.File("err"));
    kill(run->Pid(), SIGKILL);
  }
  if (c.kind == 'R') {
    ASSERT_TRUE(Await(logs.File("watch.log"), "_00000002.jpg")) << Slurp(logs.File("err"));
    broker.Terminate();
    ASSERT_TRUE(Await(logs.File("err"), "no connection to"));
    // Pictures stored while the broker is away.
    ASSERT_TRUE(Await(logs.File("out"), "snap_00000005.jpg")) << Slurp(logs.File("out"));
    broker.Start();
  }
  for (int polls = 0; run->IsRunning() && polls < 3000; ++polls)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_FALSE(run->IsRunning()) << "still running after 30 s";
  const std::string said = Slurp(logs.File("err"));
  for (const std::string& text : c.says) EXPECT_NE(said.find(text), std::string::npos) << said;
  EXPECT_EQ(said.find("s3cret"), std::string::npos) << said;
  if (c.kind == 'K') {
    EXPECT_TRUE(Await(logs.File("watch.log"), "t/status offline")) << said;
    return;
  }
  // Every stored picture was told, with its path and size, once the program has ended.
  int stored = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    if (entry.path().filename().string().rfind("snap_", 0) != 0) continue;
    ++stored;
    if (c.kind == 'W' || c.kind == 'U') continue;
    EXPECT_TRUE(Await(logs.File("watch.log"), "t/g%2Bte/stored {\"camera\":\"g+te\",\"path\":\"" +
                                                  entry.path().string() + "\",\"bytes\":5000,"))
        << entry.path();
  }
  EXPECT_EQ(stored, c.count) << said;
  if (c.kind == 'W' || c.kind == 'U') return;  // captured all the same
  EXPECT_TRUE(
      Await(logs.File("watch.log"), "t/door/state {\"camera\":\"door\",\"state\":\"failing\""));
  // What a newcomer reads: the states, the offline status, the discovery and the last picture.
  Args fresh = sub;
  fresh.insert(fresh.end(), {"-t", "#", "-T", "t/+/image", "--retained-only", "-W", "2"});
  RunToEnd(fresh, logs.File("retained"), &error);
  const std::string retained = Slurp(logs.File("retained"));
  for (const char* text :
       {"t/status offline", "t/g%2Bte/state {\"camera\":\"g+te\",\"state\":\"ended\"",
        "homeassistant/image/t/g_te_", "homeassistant/sensor/t/door/config"})
    EXPECT_NE(retained.find(text), std::string::npos) << retained;
  Args image = sub;
  image.insert(image.end(), {"-t", "t/g%2Bte/image", "-C", "1", "-N", "-W", "2"});
  image.erase(image.begin() + 7);  // no -v: the payload alone
  RunToEnd(image, logs.File("image"), &error);
  EXPECT_EQ(Slurp(logs.File("image")), picture);
  // The discovery configs are JSON with the keys Home Assistant needs.
  EXPECT_EQ(RunToEnd({"python3", "-c", R"(import json, sys
for line in open(sys.argv[1]):
    if line == "Timed out\n":
        continue
    topic, payload = line.rstrip("\n").split(" ", 1)
    if topic.endswith("/config"):
        c = json.loads(payload)
        need = ["unique_id", "availability_topic", "device",
                "image_topic" if "/image/" in topic else "state_topic"]
        assert all(k in c for k in need), topic
        assert c["availability_topic"] == "t/status"
    else:
        json.loads(payload) if topic != "t/status" else None)",
                      logs.File("retained")},
                     logs.File("json.log"), &error),
            0)
      << Slurp(logs.File("json.log")) << retained;
}

const MqttCase kCases[] = {
    {"StoredStatesDiscovery", 'S', 3, {"mqtt: connected to 127.0.0.1:"}},
    {"Password", 'P', 2, {"mqtt: connected to 127.0.0.1:"}},
    {"WrongPassword", 'W', 2, {"refused the connection: Connection Refused: not authorised"}},
    {"WillOnKill", 'K', 100, {}},
    {"TlsWithItsCaFile", 'T', 2, {"mqtt: connected to 127.0.0.1:"}},
    {"TlsUntrusted", 'U', 2, {"mqtt: no connection to 127.0.0.1:"}},
    {"BrokerRestarts", 'R', 8, {"mqtt: no connection to 127.0.0.1:", " again; 0 stored-picture"}},
};

// The broker is the process's: a camera's options file cannot name another.
TEST(MqttOptions, NotInAnOptionsFile) {
  std::vector<Text> words = {"tessaly-capture", "--mqtt", "mqtt://h/t", "--cameras", "/c"};
  std::vector<char*> argv;
  for (Text& word : words) argv.push_back(word.data());
  for (const char* own : {"--mqtt", "--mqtt-image-max", "--mqtt-discovery"}) {
    const TCommandLine line = CameraCommandLine(5, argv.data(), "/c/gate", {own, "0"});
    EXPECT_EQ(line.Action, TCommandLine::TAction::Usage) << own;
  }
  const TCommandLine line = CameraCommandLine(5, argv.data(), "/c/gate", {"--every", "5"});
  EXPECT_EQ(line.Mqtt.Url.value_or(""), "mqtt://h/t");
}

INSTANTIATE_TEST_SUITE_P(Table, MqttEventsTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaly
