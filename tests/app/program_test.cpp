// The program as a user runs it: a copy of the executable beside its own settings file, ended
// from outside.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/fileutil.h"
#include "capture/settings/settings.h"
#include "support/childprocess.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool CatchesSigterm(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("SigCgt:", 0) == 0)
      return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
  return false;
}

template <typename Done>
bool Within(std::chrono::milliseconds limit, Done done) {
  for (const auto end = Clock::now() + limit; !done(); std::this_thread::sleep_for(limit / 1000))
    if (Clock::now() > end) return false;
  return true;
}

// Saveable: a settings file with bytes that are not UTF-8 comes back byte for byte, for its
// owner alone. Not saveable (a directory of that name): the failure goes to standard error.
class ProgramEndTest : public testing::TestWithParam<bool> {};

TEST_P(ProgramEndTest, SigtermSavesTheSettingsAndEndsWithoutABox) {
  const bool saveable = GetParam();
  ScratchDir home;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  fs::copy_file(TESSALY_PROGRAM, home.File("tessaly"));
  const Text ini = "http://h/\xff.jpg\r\n7\r\n1\r\n1\r\n" + home.Path() + "/caf\xe9/\r\n\r\n";
  if (saveable)
    home.WriteFile(kIniName, ini);
  else
    fs::create_directory(home.File(kIniName));
  std::string error;
  auto program = ChildProcess::Start({home.File("tessaly")}, home.File("log"), &error);
  ASSERT_TRUE(program) << error;
  ASSERT_TRUE(Within(std::chrono::seconds(20), [&] { return CatchesSigterm(program->Pid()); }))
      << program->Log();
  kill(program->Pid(), SIGTERM);
  ASSERT_TRUE(Within(std::chrono::seconds(2), [&] { return !program->IsRunning(); }));
  EXPECT_TRUE(WIFEXITED(program->RawStatus()) && WEXITSTATUS(program->RawStatus()) == 0);
  const std::string failure = "Tessaly: Error: Can't save ini file " + home.File(kIniName);
  EXPECT_EQ(program->Log().find(failure) != std::string::npos, !saveable) << program->Log();
  Text saved;  // a directory reads as empty
  EXPECT_EQ(ReadWholeFile(home.File(kIniName), saved) && saved == ini, saveable) << saved;
  EXPECT_EQ(fs::status(home.File(kIniName)).permissions() ==
                (fs::perms::owner_read | fs::perms::owner_write),
            saveable);
}

INSTANTIATE_TEST_SUITE_P(Settings, ProgramEndTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "Saveable" : "NotSaveable"; });

// Answered without a display and before the window: nothing is saved beside the program.
class ProgramInfoTest : public testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(ProgramInfoTest, AnswersWithoutADisplay) {
  ScratchDir home;
  fs::copy_file(TESSALY_PROGRAM, home.File("tessaly"));
  unsetenv("QT_QPA_PLATFORM");
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  std::string error;
  auto program = ChildProcess::Start({home.File("tessaly"), "-reverse", GetParam().first},
                                     home.File("log"), &error);
  ASSERT_TRUE(program) << error;
  ASSERT_TRUE(Within(std::chrono::seconds(20), [&] { return !program->IsRunning(); }));
  EXPECT_TRUE(WIFEXITED(program->RawStatus()) && WEXITSTATUS(program->RawStatus()) == 0);
  EXPECT_EQ(program->Log().rfind(GetParam().second, 0), 0u) << program->Log();
  EXPECT_FALSE(fs::exists(home.File(kIniName)));
}

INSTANTIATE_TEST_SUITE_P(Options, ProgramInfoTest,
                         testing::Values(std::pair{"--version", "tessaly 1.01\n"},
                                         std::pair{"--help", "Usage: tessaly [Qt options]\n"}),
                         [](const auto& info) { return std::string(info.param.first + 2); });

}  // namespace
}  // namespace tessaly
