#include "support/childprocess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace tessaly {

namespace {

// Fills a sockaddr for a numeric IPv4 or IPv6 host; answers its length, 0 when host is no literal.
socklen_t NumericAddress(const std::string& host, int port, sockaddr_storage* out) {
  std::memset(out, 0, sizeof(*out));
  auto* v4 = reinterpret_cast<sockaddr_in*>(out);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof(sockaddr_in);
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
  if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof(sockaddr_in6);
  }
  return 0;
}

}  // namespace

ExitGuard::ExitGuard(const char* script, const std::string& argument) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return;
  const char* args[] = {"sh", "-c", script, "exit-guard", argument.c_str(), nullptr};
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls. Its own process group: a kill of the test's group spares it.
    dup2(ends[0], 0);
    setpgid(0, 0);
    execvp(args[0], const_cast<char* const*>(args));
    _exit(127);
  }
  close(ends[0]);
  if (pid < 0) {
    close(ends[1]);
    return;
  }
  pid_ = pid;
  pipe_ = ends[1];
}

ExitGuard::~ExitGuard() {
  if (pid_ < 0) return;
  // Killed before the pipe closes, so the script never runs.
  kill(pid_, SIGKILL);
  close(pipe_);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                  const std::string& log_path, std::string* error) {
  if (argv.empty()) {
    *error = "no program given";
    return nullptr;
  }
  int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log_fd < 0) {
    *error = "cannot create log " + log_path + ": " + std::strerror(errno);
    return nullptr;
  }
  // A pipe that closes on a successful exec tells the parent whether exec worked.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    close(log_fd);
    return nullptr;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    close(log_fd);
    close(report[0]);
    close(report[1]);
    return nullptr;
  }
  if (pid == 0) {
    // Child: only async-signal-safe calls from here on.
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, 0);
    dup2(log_fd, 1);
    dup2(log_fd, 2);
    setpgid(0, 0);
    // A test run that dies must not leave its servers behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the test process died before the line above
    execvp(args[0], args.data());
    int code = errno;
    ssize_t ignored = write(report[1], &code, sizeof(code));
    (void)ignored;
    _exit(127);
  }
  close(log_fd);
  close(report[1]);
  int exec_errno = 0;
  ssize_t got;
  do {
    got = read(report[0], &exec_errno, sizeof(exec_errno));
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  auto child = std::make_unique<ChildProcess>(Key(), pid, log_path);
  // The death signal reaches the child alone; helpers it forks (a web server's workers) go
  // with its group.
  child->guard_ =
      std::make_unique<ExitGuard>("cat >/dev/null; kill -KILL -- -\"$1\"", std::to_string(pid));
  if (got == static_cast<ssize_t>(sizeof(exec_errno))) {
    *error = "cannot run " + argv[0] + ": " + std::strerror(exec_errno);
    return nullptr;  // the destructor reaps it
  }
  return child;
}

ChildProcess::~ChildProcess() {
  Stop();
}

bool ChildProcess::IsRunning() {
  if (reaped_) return false;
  pid_t r = waitpid(pid_, &status_, WNOHANG);
  if (r == pid_ || (r < 0 && errno == ECHILD)) {
    reaped_ = true;
    return false;
  }
  return true;
}

void ChildProcess::Stop() {
  // First, while the group's number cannot have been given to anyone else.
  guard_.reset();
  if (reaped_) return;
  kill(pid_, SIGKILL);
  // Servers that fork helpers put them in the child's process group; take those down too.
  kill(-pid_, SIGKILL);
  while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
}

namespace {

// True when the system's TCP table shows a socket listening on 127.0.0.1:port.
bool PortListening(int port) {
  char entry[40];
  std::snprintf(entry, sizeof(entry), " 0100007F:%04X 00000000:0000 0A ", port);
  std::ifstream table("/proc/net/tcp");
  for (std::string line; std::getline(table, line);) {
    if (line.find(entry) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

bool ChildProcess::WaitUntilAccepting(const std::string& host, int port, int timeout_ms,
                                      std::string* error, bool look_only) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (look_only ? PortListening(port) : PortAccepts(host, port)) return true;
    if (!IsRunning()) {
      std::ostringstream msg;
      msg << "process exited (status " << status_ << ") before accepting on " << host << ":" << port
          << "; log:\n"
          << Log();
      *error = msg.str();
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      std::ostringstream msg;
      msg << "nothing accepted on " << host << ":" << port << " within " << timeout_ms
          << " ms; log:\n"
          << Log();
      *error = msg.str();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string ChildProcess::Log() const {
  std::ifstream in(log_path_, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

namespace {

// True when nothing listens or is bound at host:port right now.
bool PortBindable(const std::string& host, int port) {
  sockaddr_storage addr;
  socklen_t len = NumericAddress(host, port, &addr);
  if (len == 0) return false;
  int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  close(fd);
  return ok;
}

// Claims a port for this process until it ends: tests run in parallel processes, and a port
// that one of them was handed and let go must not be handed to another that starts a server
// on it a moment later. The claim is a lock on a file named after the port; the system drops
// it when the process ends, however it ends.
bool ClaimPort(int port) {
  const std::string path = "/tmp/tessaly-test-port-" + std::to_string(port) + ".lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  return true;  // the descriptor stays open: the claim lasts as long as the process
}

}  // namespace

int PickFreePort(const std::string& host) {
  // Below the range the system hands out for port 0, so that its own picks do not collide.
  constexpr int kFirst = 20000;
  constexpr int kCount = 12000;
  static std::mutex mutex;
  static std::mt19937 random(
      static_cast<unsigned>(getpid()) * 7919u ^
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::lock_guard<std::mutex> lock(mutex);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const int port = kFirst + static_cast<int>(random() % kCount);
    if (PortBindable(host, port) && ClaimPort(port)) return port;
  }
  return 0;
}

bool PortAccepts(const std::string& host, int port) {
  sockaddr_storage addr;
  socklen_t len = NumericAddress(host, port, &addr);
  if (len == 0) return false;
  int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  close(fd);
  return ok;
}

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tessaly-XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
  if (!path_.empty())
    guard_ = std::make_unique<ExitGuard>("cat >/dev/null; rm -rf -- \"$1\"", path_);
}

ScratchDir::~ScratchDir() {
  guard_.reset();
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::WriteFile(const std::string& name, const std::string& contents) const {
  if (path_.empty()) return "";
  std::string path = File(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  out.close();
  return out ? path : "";
}

}  // namespace tessaly
