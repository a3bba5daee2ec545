// Test support: a function run in a child process, with what it wrote to
// fd 1 and fd 2 and how it ended, for failures that end or mark the process.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace novrel::testing_support {

struct ChildRun {
  std::string out;  // everything written to fd 1
  std::string err;  // everything written to fd 2
  pid_t pid = 0;    // also the tid of the child's first thread
  int status = 0;

  bool aborted() const { return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT; }
  bool exited_cleanly() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

// Runs `body` in a forked child, which exits with 0 when it returns, and
// collects fd 1 and fd 2 separately. A child that keeps either open but
// writes nothing for `quiet_ms` is stuck (a report waiting for itself, say):
// it is killed, so that the test fails instead of hanging.
template <class Body>
ChildRun run_in_child(Body body, int quiet_ms = 20000) {
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) std::abort();
  ChildRun run;
  run.pid = ::fork();
  if (run.pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
    body();
    ::_exit(0);
  }
  ::close(out[1]);
  ::close(err[1]);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0 && ::poll(fds, 2, quiet_ms) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  if (open > 0) ::kill(run.pid, SIGKILL);
  ::waitpid(run.pid, &run.status, 0);
  for (const pollfd& p : fds)
    if (p.fd >= 0) ::close(p.fd);
  return run;
}

}  // namespace novrel::testing_support
