// What the series tells the service manager, read at a datagram socket of the test's own.
#include "cli/servicenotify.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "support/childprocess.h"

namespace tessaly {
namespace {

struct WatchdogRow {
  const char* usec;
  bool other_pid;  // WATCHDOG_PID names another process: the variables were inherited
  int64_t period_ms;
};

class ServiceNotifierTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = place_.File("notify");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    setenv("NOTIFY_SOCKET", path_.c_str(), 1);
  }
  void TearDown() override {
    close(fd_);
    for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) unsetenv(name);
  }
  std::string Next() {
    pollfd ready{fd_, POLLIN, 0};
    char bytes[512];
    const ssize_t n = poll(&ready, 1, 5000) == 1 ? recv(fd_, bytes, sizeof(bytes), 0) : 0;
    return std::string(bytes, n > 0 ? static_cast<size_t>(n) : 0);
  }
  ScratchDir place_;
  std::string path_;
  const int fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
};

// The watchdog is pinged at half its time-out, never at zero, and not for another process.
TEST_F(ServiceNotifierTest, WatchdogPeriod) {
  const WatchdogRow rows[] = {{"200000", false, 100}, {"1", false, 1}, {"200000", true, 0}};
  for (const WatchdogRow& row : rows) {
    setenv("WATCHDOG_USEC", row.usec, 1);
    setenv("WATCHDOG_PID", std::to_string(getpid() + (row.other_pid ? 1 : 0)).c_str(), 1);
    EXPECT_EQ(TServiceNotifier().WatchdogPeriod().count(), row.period_ms) << row.usec;
  }
}

// A status with line ends (a camera's reason may hold one) stays one assignment.
TEST_F(ServiceNotifierTest, StatusIsOneLine) {
  TServiceNotifier notifier;
  notifier.Status("failed\nREADY=1\r\nx\x1b[2J");
  EXPECT_EQ(Next(), "STATUS=failed\\x0aREADY=1\\x0d\\x0ax\\x1b[2J");
}

}  // namespace
}  // namespace tessaly
