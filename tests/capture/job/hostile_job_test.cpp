// Hostile answers through the whole fetch job, with the client as the job makes it (its own
// limits, time-outs and deadline): none of them may store or show anything, each must end
// quickly without help, and the next job of the series must store its picture.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "base/fileutil.h"
#include "capture/job/fetchjob.h"
#include "capture/job/naming.h"
#include "net/sockapi.h"
#include "support/childprocess.h"
#include "support/floodpeer.h"
#include "support/scriptedpeer.h"
#include "tests/capture/job/fakejob.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The job's request ends with four line-end pairs, all in one send.
const char kRequestEnd[] = "\r\n\r\n\r\n\r\n";
const std::string kOk = "HTTP/1.0 200 OK\r\n";
const std::string kChunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
// Far below the job's own time-outs: a case still running then has not ended by itself.
constexpr int kWatchdogMs = 10000;
constexpr int64_t kMiB = 1024 * 1024;
// The limits of the client as the job makes it.
constexpr int64_t kLineLimit = 64 * 1024;
constexpr int64_t kHeaderLimit = 1 * kMiB;

// Asks the job to stop, as closing the window would, if it still runs after kWatchdogMs.
class Watchdog {
 public:
  explicit Watchdog(std::stop_source stop)
      : thread_([this, stop](std::stop_token done) mutable {
          std::mutex mutex;
          std::unique_lock<std::mutex> lock(mutex);
          std::condition_variable_any wake;
          if (!wake.wait_for(lock, done, std::chrono::milliseconds(kWatchdogMs),
                             [&] { return done.stop_requested(); })) {
            fired_ = true;
            stop.request_stop();
          }
        }) {}
  // Only after the job has returned.
  bool Fired() {
    thread_.request_stop();
    thread_.join();
    return fired_;
  }

 private:
  std::atomic<bool> fired_{false};
  std::jthread thread_;
};

struct JobCase {
  std::string name;
  PeerScript answer;         // a scripted answer, or
  FloodPeer::Options flood;  // a flood when answer is empty
  bool flooded = false;
  int64_t may_take = 0;  // bytes of the flood after its prefix that the job's client may take
};

void PrintTo(const JobCase& c, std::ostream* os) {
  *os << c.name;
}

JobCase Scripted(std::string name, std::vector<PeerStep> answer) {
  JobCase c;
  c.name = std::move(name);
  c.answer = {PeerStep::AwaitText(kRequestEnd)};
  c.answer.insert(c.answer.end(), answer.begin(), answer.end());
  return c;
}

JobCase Flooded(std::string name, std::string prefix, FloodPeer::Generator generate,
                int64_t may_take) {
  JobCase c;
  c.name = std::move(name);
  c.flooded = true;
  c.may_take = may_take;
  c.flood.prefix = std::move(prefix);
  c.flood.generate = std::move(generate);
  c.flood.await_text = kRequestEnd;
  // Far past the header limits, so that a job that ignored them would hold the stream.
  c.flood.cap = uint64_t{64} << 20;
  return c;
}

std::vector<JobCase> JobCases() {
  using P = FloodPeer;
  const std::string quarter_mib(256 * 1024, 'q');
  return {
      Scripted("ResetInTheStatusLine", {PeerStep::Send("HTTP/1.0 20"), PeerStep::Reset()}),
      Scripted("ResetInTheHeaders", {PeerStep::Send(kOk + "Content-Ty"), PeerStep::Reset()}),
      Scripted("ResetMidBodyUntilClose",
               {PeerStep::Send(kOk + "\r\n" + quarter_mib), PeerStep::Reset()}),
      Scripted("ResetMidBodyByLength",
               {PeerStep::Send(kOk + "Content-Length: 1048576\r\n\r\n" + quarter_mib),
                PeerStep::Reset()}),
      Scripted("ResetMidChunk",
               {PeerStep::Send(kChunked + "400\r\n" + std::string(100, 'c')), PeerStep::Reset()}),
      Scripted("ResetBetweenChunks",
               {PeerStep::Send(kChunked + "3\r\nabc\r\n"), PeerStep::Reset()}),
      Scripted("HalfCloseInTheHeaders",
               {PeerStep::Send(kOk + "Content-Length: 5\r\n"), PeerStep::ShutdownWrite()}),
      Scripted(
          "HalfCloseShortOfTheLength",
          {PeerStep::Send(kOk + "Content-Length: 10\r\n\r\nhello"), PeerStep::ShutdownWrite()}),
      Scripted("HalfCloseMidChunk",
               {PeerStep::Send(kChunked + "a\r\nhello"), PeerStep::ShutdownWrite()}),
      Scripted("LengthOverTheBodyLimit",
               {PeerStep::Send(kOk + "Content-Length: 2147483647\r\n\r\nstart")}),
      Scripted("ChunkOverTheBodyLimit", {PeerStep::Send(kChunked + "7fffffff\r\nstart")}),
      Flooded("EndlessHeaderLine", kOk + "X-Endless: ", P::Repeat("a"), kLineLimit),
      Flooded("AMillionHeaderLines", kOk, P::RepeatTimes("X-Line: 1\r\n", 1000000), kHeaderLimit),
      Flooded("ChunkSizeOfEightFs", kChunked + "FFFFFFFF\r\n", P::Repeat("d"), kLineLimit),
  };
}

class FakeJobTest : public ::testing::TestWithParam<JobCase> {
 protected:
  static void SetUpTestSuite() { layer_ = std::make_unique<TSocketLayerScope>(); }
  static void TearDownTestSuite() { layer_.reset(); }

  ScratchDir dir_;
  static std::unique_ptr<TSocketLayerScope> layer_;
};

std::unique_ptr<TSocketLayerScope> FakeJobTest::layer_;

std::string Url(const std::string& host, int port) {
  return "http://" + host + ":" + std::to_string(port) + "/snap.jpg";
}

TEST_P(FakeJobTest, StoresAndShowsNothingAndTheSeriesGoesOn) {
  const JobCase& param = GetParam();
  std::unique_ptr<ScriptedPeer> scripted;
  std::unique_ptr<FloodPeer> flood;
  std::string address;
  if (param.flooded) {
    flood = std::make_unique<FloodPeer>(param.flood);
    ASSERT_EQ(flood->SetupError(), "");
    address = Url(flood->Host(), flood->Port());
  } else {
    scripted = std::make_unique<ScriptedPeer>(param.answer);
    ASSERT_EQ(scripted->SetupError(), "");
    address = Url(scripted->Host(), scripted->Port());
  }
  FakeJob job(address, dir_.Path() + "/", 7);
  const bool peak_known = ResetPeakMemory();
  const MemoryFigures before = ReadMemoryFigures();

  const Clock::time_point start = Clock::now();
  Watchdog watchdog(job.stop);
  FetchImageJob(job);
  const auto elapsed_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  const MemoryFigures after = ReadMemoryFigures();
  EXPECT_FALSE(watchdog.Fired()) << "the job did not end by itself";
  RecordProperty("elapsed_ms", std::to_string(elapsed_ms));
  if (peak_known) RecordProperty("peak_growth_kib", std::to_string(after.hwm_kib - before.rss_kib));
  if (flood) {
    RecordProperty("peer_sent_bytes", std::to_string(flood->Sent()));
    EXPECT_FALSE(flood->CapReached());
    EXPECT_LE(flood->Sent(), param.flood.prefix.size() + static_cast<uint64_t>(param.may_take) +
                                 flood->InFlightAllowance());
  }

  EXPECT_TRUE(Listing(dir_.Path()).empty()) << "nothing is stored";
  EXPECT_TRUE(job.captions.empty()) << "the caption keeps its text";
  EXPECT_TRUE(job.messages.empty()) << "a failed fetch shows no box";

  // The next job of the series stores its picture under the next counter.
  ScriptedPeer good({PeerStep::AwaitText(kRequestEnd),
                     PeerStep::Send(kOk + "Content-Length: 4\r\n\r\nJPEG"), PeerStep::Close()});
  FakeJob next(Url(good.Host(), good.Port()), dir_.Path() + "/", 8);
  FetchImageJob(next);
  EXPECT_EQ(Listing(dir_.Path()), std::vector<std::string>{"snap_00000008.jpg"});
  Text stored;
  EXPECT_TRUE(ReadWholeFile(dir_.File("snap_00000008.jpg"), stored));
  EXPECT_EQ(stored, "JPEG");
  EXPECT_TRUE(next.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Hostile, FakeJobTest, ::testing::ValuesIn(JobCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tessaly
