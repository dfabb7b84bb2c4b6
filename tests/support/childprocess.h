// Test peers that are real programs (proxies, web servers): start one with fork/exec, wait until
// it accepts connections, and kill and reap it when the test is done.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tessaly {

// A watcher process that runs `sh -c script` with argument once this test process has gone,
// however it ended (killed by ctest's time-out included): what a test leaves running or lying
// around ends with it. Destroying the guard cancels the script.
class ExitGuard {
 public:
  ExitGuard(const char* script, const std::string& argument);
  ~ExitGuard();
  ExitGuard(const ExitGuard&) = delete;
  ExitGuard& operator=(const ExitGuard&) = delete;

 private:
  pid_t pid_ = -1;
  int pipe_ = -1;  // the watcher runs the script when this end closes
};

class ChildProcess {
 public:
  // Runs argv[0] (searched in PATH) with the given arguments; stdin is /dev/null, stdout and
  // stderr go to log_path (truncated first). Answers nullptr and sets *error when the program
  // cannot be started; a program that fails after exec is seen by IsRunning/WaitUntilAccepting.
  static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv,
                                             const std::string& log_path, std::string* error);

  // Only Start makes these.
  class Key {
    friend class ChildProcess;
    Key() = default;
  };
  ChildProcess(Key, pid_t pid, std::string log_path) : pid_(pid), log_path_(std::move(log_path)) {}

  // Kills and reaps the child (and its process group) if it is still there.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // True while the child has not exited (reaps it when it has).
  bool IsRunning();
  // Exit status as waitpid reported it; meaningful once IsRunning answered false.
  int RawStatus() const { return status_; }

  // Polls a TCP connect to host:port until it succeeds, the child exits or timeout_ms passes.
  // On failure *error says which, with the child's log attached. With look_only (127.0.0.1
  // only) it looks for the listening socket instead of connecting: a server that serves one
  // connection only is not used up.
  bool WaitUntilAccepting(const std::string& host, int port, int timeout_ms, std::string* error,
                          bool look_only = false);

  // SIGKILL and reap; harmless when the child is gone already.
  void Stop();

  // What the child has written to its log so far.
  std::string Log() const;

 private:
  pid_t pid_;
  std::string log_path_;
  std::unique_ptr<ExitGuard> guard_;  // kills the child's process group if this process dies
  bool reaped_ = false;
  int status_ = 0;
};

// A TCP port on host that was free a moment ago, for programs that must be told their port.
// It is claimed for this process until it ends, so no other test process (running in
// parallel) is given it too. 0 when none could be had.
int PickFreePort(const std::string& host = "127.0.0.1");

// True when a TCP connect to host:port succeeds right now.
bool PortAccepts(const std::string& host, int port);

// A fresh directory under the system's temporary directory, removed with its contents.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Empty when the directory could not be made.
  const std::string& Path() const { return path_; }
  // Path() + "/" + name.
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Writes a whole file under the directory; answers its path ("" on failure).
  std::string WriteFile(const std::string& name, const std::string& contents) const;

 private:
  std::string path_;
  std::unique_ptr<ExitGuard> guard_;  // removes the directory if this process dies
};

}  // namespace tessaly
