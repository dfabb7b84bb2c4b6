// Runs a capture series through the real fetch job for a given time: one job per one-second
// tick, each on a thread of its own as the scheduler runs it, ticks that fall during a job
// dropped. Every job writes into the given directory through a context like the window's.
//
//   tessaly_soak_driver ADDRESS DIRECTORY SECONDS [FIRST-COUNTER]
//
// TESSALY_SOAK_TIMEOUT_MS (default 3000): a job still running after this many milliseconds is
// asked to stop, as closing the window would ask it. The job's client keeps the product's own
// time-outs, which are far longer than a soak run can wait for.
//
// One line per job on standard output ("job N counter C ms T stored NAME|-" plus "stopped" when
// the job had to be stopped), then a summary with the process's memory figures.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "capture/job/fetchjob.h"
#include "capture/job/jobcontext.h"
#include "capture/job/naming.h"
#include "net/sockapi.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Memory {
  long rss_kib = -1;
  long hwm_kib = -1;
};

Memory ReadMemory() {
  Memory memory;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    std::istringstream fields(line);
    std::string name;
    long value = -1;
    fields >> name >> value;
    if (name == "VmRSS:") memory.rss_kib = value;
    if (name == "VmHWM:") memory.hwm_kib = value;
  }
  return memory;
}

std::set<std::string> Listing(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

// What the window gives a job: the address, the counter, the series directory, the caption and
// the message box (both only recorded here), and a stop request.
class SoakJob : public TJobContext {
 public:
  SoakJob(Text address, Text save_dir, int32_t counter)
      : address_(std::move(address)), save_dir_(std::move(save_dir)), counter_(counter) {}

  const Text& Address() const override { return address_; }
  int32_t Counter() const override { return counter_; }
  const Text& SaveDir() const override { return save_dir_; }
  Text MakeFileName(const Text& name) override { return FreshFilePath(save_dir_, name, counter_); }
  void ShowMessage(const Text& text) override { messages.push_back(text); }
  void SetCaption(const Text&) override {}
  std::stop_token StopToken() const override { return stop.get_token(); }

  std::vector<Text> messages;
  std::stop_source stop;

 private:
  Text address_;
  Text save_dir_;
  int32_t counter_;
};

// Runs one job on a thread of its own; asks it to stop once timeout_ms have passed.
bool RunJob(SoakJob& job, int timeout_ms) {
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;
  std::thread worker([&] {
    FetchImageJob(job);
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    done_changed.notify_all();
  });
  bool stopped = false;
  {
    std::unique_lock<std::mutex> lock(mutex);
    if (!done_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return done; })) {
      stopped = true;
      job.stop.request_stop();
    }
  }
  worker.join();
  return stopped;
}

int Run(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: " << argv[0] << " ADDRESS DIRECTORY SECONDS [FIRST-COUNTER]\n";
    return 2;
  }
  const std::string address = argv[1];
  std::string dir = argv[2];
  if (dir.empty() || dir.back() != '/') dir += '/';
  const int seconds = std::atoi(argv[3]);
  int32_t counter = argc > 4 ? std::atoi(argv[4]) : 0;
  const char* timeout_text = std::getenv("TESSALY_SOAK_TIMEOUT_MS");
  const int timeout_ms = timeout_text != nullptr ? std::max(1, std::atoi(timeout_text)) : 3000;

  TSocketLayerScope layer;
  const Memory start_memory = ReadMemory();
  std::cout << "start rss_kib " << start_memory.rss_kib << " hwm_kib " << start_memory.hwm_kib
            << std::endl;

  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::seconds(seconds);
  Clock::time_point tick = start;
  int jobs = 0;
  int stored = 0;
  int stopped_jobs = 0;
  int dropped_ticks = 0;
  int messages = 0;
  while (tick < end) {
    std::this_thread::sleep_until(tick);
    const std::set<std::string> before = Listing(dir);
    SoakJob job(address, dir, counter);
    const Clock::time_point job_start = Clock::now();
    const bool stopped = RunJob(job, timeout_ms);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - job_start).count();
    ++jobs;
    std::string stored_name = "-";
    for (const std::string& name : Listing(dir)) {
      if (before.count(name) == 0) {
        stored_name = name;
        ++stored;
      }
    }
    stopped_jobs += stopped ? 1 : 0;
    messages += static_cast<int>(job.messages.size());
    std::cout << "job " << jobs << " counter " << counter << " ms " << ms << " stored "
              << stored_name << (stopped ? " stopped" : "");
    for (const Text& message : job.messages) std::cout << " message \"" << message << "\"";
    std::cout << std::endl;
    ++counter;  // whatever happened, as the scheduler does
    // The next tick is the first one still ahead: those that fell during the job are dropped.
    tick += std::chrono::seconds(1);
    while (tick <= Clock::now()) {
      tick += std::chrono::seconds(1);
      ++dropped_ticks;
    }
  }

  const Memory end_memory = ReadMemory();
  std::cout << "summary jobs " << jobs << " stored " << stored << " stopped " << stopped_jobs
            << " dropped_ticks " << dropped_ticks << " messages " << messages << std::endl;
  std::cout << "end rss_kib " << end_memory.rss_kib << " hwm_kib " << end_memory.hwm_kib
            << std::endl;
  return messages == 0 ? 0 : 1;
}

}  // namespace
}  // namespace tessaly

int main(int argc, char** argv) {
  return tessaly::Run(argc, argv);
}
