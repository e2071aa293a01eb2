// Test helper: runs a program with a time-out and collects its exit status and stderr.
#pragma once

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace tovanel::test {

struct RunResult {
  int exitCode = -1;     // -1 when killed by a signal or timed out
  int signal = 0;
  bool timedOut = false;
  std::string err;
};

inline RunResult RunTool(const std::vector<std::string>& argv, int timeoutSeconds, const std::string& stdoutFile = "") {
  RunResult r;
  int errPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0) return r;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(errPipe[1], 2);
    int out = stdoutFile.empty() ? open("/dev/null", O_WRONLY) : open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out >= 0) dup2(out, 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(errPipe[1]);
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  char buf[4096];
  for (;;) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long left = timeoutSeconds * 1000L - ((now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000);
    if (left <= 0) {
      r.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd p{errPipe[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::min(left, 200L))) > 0) {
      const ssize_t n = read(errPipe[0], buf, sizeof buf);
      if (n <= 0) break;
      r.err.append(buf, static_cast<std::size_t>(n));
    }
  }
  close(errPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && !r.timedOut) r.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  return r;
}

inline int LineCount(const std::string& s) {
  int n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

}  // namespace tovanel::test
