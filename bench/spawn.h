// Starting the servers and clients a benchmark compares against.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace tessaly::bench {

// Starts argv in its own process group, stdin from /dev/null, stdout and stderr appended to
// `log`; answers the child's pid, -1 when none could be made.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::string& log) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, 0);
    dup2(out, 1);
    dup2(out, 2);
    setpgid(0, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

}  // namespace tessaly::bench
