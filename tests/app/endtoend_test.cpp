// Whole series through the real window and the real fetch job, against servers on 127.0.0.1.
#include <signal.h>

#include <QCheckBox>
#include <QComboBox>
#include <QWindow>
#include <algorithm>
#include <filesystem>
#include <vector>

#include "app/outsideclose.h"
#include "app/qtext.h"
#include "base/fileutil.h"
#include "capture/job/fetchjob.h"
#include "net/sockapi.h"
#include "net/tlsopenssl.h"
#include "support/scriptedpeer.h"
#include "support/tlspki.h"
#include "support/tlsservers.h"
#include "support/tlstesting.h"
#include "support/webserver.h"
#include "tests/app/windowharness.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::string Picture(size_t size, int seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + seed) & 0xFF);
  return bytes;
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class SeriesEndToEndTest : public testing::Test {
 public:
  static void SetUpTestSuite() {
    EnsureApplication();
    layer_ = std::make_unique<TSocketLayerScope>();
  }
  static void TearDownTestSuite() { layer_.reset(); }

  TForm1& Form() {
    if (!form_) {
      TForm1Setup setup{FetchImageJob, home_.Path() + "/",
                        std::make_unique<TRecordingDesktop>(desktop_)};
      form_ = std::make_unique<TForm1>(std::move(setup));
    }
    return *form_;
  }
  QLineEdit* Field(const char* name) {
    return Form().findChild<QLineEdit*>(QString::fromLatin1(name));
  }
  void Click(const char* name) {
    Form().findChild<QAbstractButton*>(QString::fromLatin1(name))->click();
  }
  // Fills the fields as a user would and presses Start.
  void StartSeries(const std::string& address, const char* interval, const char* counter,
                   bool bell = false) {
    Field("Edit1")->setText(QString::fromUtf8(address));
    Field("Edit2_Timer")->setText(QString::fromLatin1(interval));
    Form().findChild<QComboBox*>(QStringLiteral("ComboBox1_Time"))->setCurrentIndex(0);
    Field("Edit3_Directory")->setText(QString::fromUtf8(series_.Path()));
    Field("Edit_counter")->setText(QString::fromLatin1(counter));
    Form().findChild<QCheckBox*>(QStringLiteral("CheckBox_bell"))->setChecked(bell);
    Click("Button1_Start");
  }
  void StopAndDrain() {
    Click("Button2_Stop");
    ASSERT_TRUE(WaitFor([&] { return !Form().Scheduler().JobRunning(); }, seconds(10)));
  }

  static std::unique_ptr<TSocketLayerScope> layer_;
  ScratchDir home_;
  ScratchDir series_;
  std::shared_ptr<TDesktopLog> desktop_ = std::make_shared<TDesktopLog>();
  std::unique_ptr<TForm1> form_;
};

std::unique_ptr<TSocketLayerScope> SeriesEndToEndTest::layer_;

TEST_F(SeriesEndToEndTest, StoresEveryAnswerOfNginxUnderConsecutiveNames) {
  std::string error;
  auto web = WebServer::Start(&error);
  ASSERT_TRUE(web) << error;
  const std::string picture = Picture(250000, 3);
  web->Put("image.jpg", picture);

  StartSeries(web->Url("image.jpg"), "1", "7");
  const std::string third = series_.File("image_00000009.jpg");
  ASSERT_TRUE(WaitFor([&] { return FileExists(third); }, seconds(10)))
      << "files: " << Listing(series_.Path()).size();
  StopAndDrain();

  const std::vector<std::string> names = Listing(series_.Path());
  ASSERT_GE(names.size(), 3u);
  for (size_t i = 0; i < names.size(); ++i) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "image_%08zu.jpg", i + 7);
    EXPECT_EQ(names[i], expected);
    Text content;
    ASSERT_TRUE(ReadWholeFile(series_.File(names[i]), content));
    EXPECT_TRUE(content == picture) << names[i] << " holds " << content.size() << " bytes";
  }
  EXPECT_EQ(Form().windowTitle().toStdString(), series_.File(names.back()))
      << "the caption shows the last stored path";
  EXPECT_TRUE(desktop_->messages.empty());
  EXPECT_TRUE(desktop_->errors.empty());

  Form().close();
  Text saved;
  ASSERT_TRUE(ReadWholeFile(Form().IniFileName(), saved));
  EXPECT_EQ(saved, web->Url("image.jpg") + "\r\n1\r\n0\r\n0\r\n" + series_.Path() + "/\r\n7\r\n");
}

TEST_F(SeriesEndToEndTest, FailedFetchesStoreNothingAndTheSeriesGoesOn) {
  const int port = PickFreePort("127.0.0.1");  // nothing listens here
  StartSeries("http://127.0.0.1:" + std::to_string(port) + "/image.jpg", "1", "7", true);
  ASSERT_TRUE(WaitFor([&] { return desktop_->beeps >= 2 && !Form().Scheduler().JobRunning(); },
                      seconds(10)));
  StopAndDrain();
  EXPECT_EQ(Form().Scheduler().Counter(), 7 + desktop_->beeps) << "the counter advances per job";
  EXPECT_TRUE(Listing(series_.Path()).empty());
  EXPECT_TRUE(desktop_->messages.empty());
  EXPECT_EQ(Form().windowTitle(), QStringLiteral("TESSALY Version 1.01"));
}

TEST_F(SeriesEndToEndTest, ASlowServerMakesTicksDropAndJobsNeverOverlap) {
  // Each answer takes 2.5 intervals; the peer plays its scripts one connection at a time, and
  // the bell counts the jobs that started.
  const PeerScript slow{PeerStep::AwaitText("\r\n\r\n\r\n\r\n"), PeerStep::Pause(2500),
                        PeerStep::Send("HTTP/1.0 200 OK\r\n\r\nslow"), PeerStep::Close()};
  ScriptedPeer peer(std::vector<PeerScript>{slow, slow, slow, slow}, {});
  StartSeries("http://127.0.0.1:" + peer.PortText() + "/image.jpg", "1", "1", true);
  ASSERT_TRUE(WaitFor([&] { return FileExists(series_.File("image_00000002.jpg")); }, seconds(15)));
  StopAndDrain();
  const int jobs = desktop_->beeps;
  EXPECT_GE(jobs, 2);
  EXPECT_LE(jobs, 3) << "ticks during a job must be dropped, not queued";
  EXPECT_EQ(static_cast<int>(peer.Accepted()), jobs);
  EXPECT_EQ(static_cast<int>(Listing(series_.Path()).size()), jobs);
}

TEST_F(SeriesEndToEndTest, FetchesHttpsWithAVerifiedCertificate) {
  TestPki pki;
  ASSERT_TRUE(pki.Ok()) << pki.Error();
  auto web = TlsNginx::Start(pki);
  ASSERT_TRUE(web && web->Ok()) << (web ? web->Error() : "nginx");
  const std::string picture = Picture(120000, 5);
  web->WriteFile("cam.jpg", picture);
  // As at program start, with the test CA standing in for the system's trust store.
  ScopedEnv trust("SSL_CERT_FILE", pki.CaFile());
  UseOpenSSLByDefault();

  StartSeries(web->Url(TestCert::Good, "/cam.jpg"), "1", "1");
  ASSERT_TRUE(WaitFor([&] { return FileExists(series_.File("cam_00000002.jpg")); }, seconds(10)));
  StopAndDrain();
  SetDefaultSSLPlugClass(nullptr);

  Text content;
  ASSERT_TRUE(ReadWholeFile(series_.File("cam_00000001.jpg"), content));
  EXPECT_TRUE(content == picture) << content.size() << " bytes";
  EXPECT_TRUE(desktop_->messages.empty());
}

TEST_F(SeriesEndToEndTest, HttpsWithAnUntrustedCertificateStoresNothing) {
  TestPki pki;
  ASSERT_TRUE(pki.Ok()) << pki.Error();
  auto web = TlsNginx::Start(pki);
  ASSERT_TRUE(web && web->Ok()) << (web ? web->Error() : "nginx");
  web->WriteFile("cam.jpg", "picture");
  ScopedEnv trust("SSL_CERT_FILE", pki.CaFile());
  UseOpenSSLByDefault();

  StartSeries(web->Url(TestCert::SelfSigned, "/cam.jpg"), "1", "1", true);
  ASSERT_TRUE(WaitFor([&] { return desktop_->beeps >= 2 && !Form().Scheduler().JobRunning(); },
                      seconds(10)));
  StopAndDrain();
  SetDefaultSSLPlugClass(nullptr);

  EXPECT_TRUE(Listing(series_.Path()).empty());
  EXPECT_TRUE(desktop_->messages.empty());
  EXPECT_EQ(Form().windowTitle(), QStringLiteral("TESSALY Version 1.01"));
}

TEST_F(SeriesEndToEndTest, SigtermDuringASeriesIntoALatin1DirectorySavesItsBytes) {
  std::string error;
  auto web = WebServer::Start(&error);
  ASSERT_TRUE(web) << error;
  web->Put("image.jpg", "picture");
  const Text dir = series_.Path() + "/caf\xe9 [*]/";
  ASSERT_TRUE(fs::create_directory(dir));
  const Text ini = web->Url("image.jpg") + "\r\n0\r\n0\r\n0\r\n" + dir + "\r\n1\r\n";
  home_.WriteFile(kIniName, ini);
  Form().show();
  Click("Button1_Start");
  ASSERT_TRUE(WaitFor([&] { return FileExists(dir + "image_00000001.jpg"); }, seconds(10)));
  EXPECT_EQ(Form().windowHandle()->title(), ToQString(dir + "image_00000001.jpg"));

  TOutsideClose outside([&] { Form().CloseFromOutside(); });
  raise(SIGTERM);
  ASSERT_TRUE(WaitFor([&] { return !Form().isVisible(); }));
  Text saved;
  EXPECT_TRUE(ReadWholeFile(Form().IniFileName(), saved) && saved == ini) << saved;
  EXPECT_FALSE(Form().TimerEnabled());
  EXPECT_TRUE(desktop_->messages.empty());
}

}  // namespace
}  // namespace tessaly
