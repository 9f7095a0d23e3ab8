#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace platform {
namespace {

constexpr size_t kKeptErrors = 4096;

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// True once the program has ended. Whatever it left behind in its group is
// stopped first, while it is not yet reaped: until then its number (the
// group's) cannot pass to another process.
bool Ended(pid_t pid, int* status) {
  siginfo_t info{};
  if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != pid) return false;
  kill(-pid, SIGKILL);
  return waitpid(pid, status, 0) == pid;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& extraEnvironment,
                         const std::string& input, size_t maxOutput, int timeoutMilliseconds) {
  ProcessResult result;
  if (argv.empty()) {
    result.startError = "no program given";
    return result;
  }
  // Everything the child needs is built before fork.
  std::vector<std::string> environmentText;
  for (char** e = environ; *e; ++e) {
    bool replaced = false;
    for (const auto& extra : extraEnvironment)
      replaced = replaced || (strncmp(*e, extra.first.c_str(), extra.first.size()) == 0 && (*e)[extra.first.size()] == '=');
    if (!replaced) environmentText.push_back(*e);
  }
  for (const auto& extra : extraEnvironment) environmentText.push_back(extra.first + "=" + extra.second);
  std::vector<char*> envp, args;
  for (std::string& e : environmentText) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  std::vector<std::string> argCopy = argv;
  for (std::string& a : argCopy) args.push_back(&a[0]);
  args.push_back(nullptr);

  int in[2], out[2], err[2], status[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    result.startError = strerror(errno);
    return result;
  }
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(status, O_CLOEXEC) != 0) {
    result.startError = strerror(errno);
    return result;  // a few descriptors leak on this path only
  }
  const pid_t pid = fork();
  if (pid < 0) {
    result.startError = strerror(errno);
    return result;
  }
  if (pid == 0) {
    setpgid(0, 0);  // its own group, so a time-out stops its children too
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    environ = envp.data();
    execvp(args[0], args.data());
    const int code = errno;
    ssize_t ignored = write(status[1], &code, sizeof code);
    (void)ignored;
    _exit(127);
  }
  setpgid(pid, pid);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  close(status[1]);
  int execErrno = 0;
  if (read(status[0], &execErrno, sizeof execErrno) == static_cast<ssize_t>(sizeof execErrno)) {
    close(status[0]);
    close(in[1]);
    close(out[0]);
    close(err[0]);
    waitpid(pid, nullptr, 0);
    result.startError = strerror(execErrno);
    return result;
  }
  close(status[0]);
  result.started = true;

  signal(SIGPIPE, SIG_IGN);  // a signer that does not read its input must not end us
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  size_t written = 0;
  if (input.empty()) CloseFd(in[1]);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  char block[4096];
  bool exited = false;
  int waitStatus = 0;
  while (out[0] >= 0 || err[0] >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = !exited;
      break;
    }
    pollfd fds[3];
    int n = 0;
    for (int fd : {out[0], err[0]}) fds[n++] = {fd, POLLIN, 0};
    if (in[1] >= 0) fds[n++] = {in[1], POLLOUT, 0};
    // Woken now and then to notice the program's end while a child it left
    // behind still holds the pipes.
    const int wait = static_cast<int>(exited ? left.count() : std::min<long long>(left.count(), 100));
    if (poll(fds, n, wait) < 0 && errno != EINTR) break;
    if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t w = write(in[1], input.data() + written, input.size() - written);
      if (w > 0) written += static_cast<size_t>(w);
      if (w < 0 && errno != EAGAIN) CloseFd(in[1]);
      if (written == input.size()) CloseFd(in[1]);
    }
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? out[0] : err[0];
      if (fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      // stdout is read no further than one byte past the cap.
      const size_t room = i == 0 ? std::min(sizeof block, maxOutput + 1 - result.output.size()) : sizeof block;
      const ssize_t r = read(fd, block, room);
      if (r <= 0) {
        CloseFd(fd);
        continue;
      }
      std::string& sink = i == 0 ? result.output : result.errors;
      sink.append(block, static_cast<size_t>(r));
      if (i == 1 && sink.size() > kKeptErrors) sink.erase(0, sink.size() - kKeptErrors);
    }
    if (result.output.size() > maxOutput) {
      result.outputTooLong = true;
      break;
    }
    if (!exited && Ended(pid, &waitStatus)) {
      // Children that outlived it and held the pipes are stopped; what they
      // wrote is read for a moment more.
      exited = true;
      deadline = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(2));
    }
  }
  CloseFd(in[1]);
  CloseFd(out[0]);
  CloseFd(err[0]);
  if (result.timedOut || result.outputTooLong) {
    if (!exited) {
      kill(-pid, SIGKILL);
      waitpid(pid, &waitStatus, 0);
    }
    return result;
  }
  // Output closed: the program ends now, or is stopped at the limit.
  while (!exited && !Ended(pid, &waitStatus)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timedOut = true;
      kill(-pid, SIGKILL);
      waitpid(pid, &waitStatus, 0);
      return result;
    }
    usleep(10000);
  }
  if (WIFEXITED(waitStatus)) result.exitCode = WEXITSTATUS(waitStatus);
  return result;
}

std::string OwnExecutablePath() {
  std::string buffer(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", &buffer[0], buffer.size());
  if (length <= 0 || static_cast<size_t>(length) >= buffer.size()) return "";
  buffer.resize(static_cast<size_t>(length));
  return buffer;
}

}  // namespace platform
