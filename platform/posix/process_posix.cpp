#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern char** environ;

namespace platform {
namespace {

// The process groups of the programs running now, for StopRunningPrograms.
std::mutex g_runningLock;
std::vector<pid_t> g_running;
bool g_stopped = false;

void Forget(pid_t pid) {
  std::lock_guard<std::mutex> hold(g_runningLock);
  g_running.erase(std::remove(g_running.begin(), g_running.end(), pid), g_running.end());
}

// Stops the group and reaps its leader; the number leaves the list first,
// while the unreaped leader still keeps it from passing to another group.
void StopAndReap(pid_t pid, int* status) {
  kill(-pid, SIGKILL);
  Forget(pid);
  waitpid(pid, status, 0);
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// True once the program has ended. Whatever it left behind in its group is
// stopped first, while it is not yet reaped.
bool Ended(pid_t pid, int* status) {
  siginfo_t info{};
  if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != pid) return false;
  StopAndReap(pid, status);
  return true;
}

bool IsExecutableFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The file to start: a bare name is looked up in the absolute folders of
// PATH only. An empty entry or "." would be the current folder, where a
// planted program could wait. "" when none has it.
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = getenv("PATH");
  const std::string list = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    const std::string folder = list.substr(start, end - start);
    start = end + 1;
    if (folder.empty() || folder[0] != '/') continue;
    const std::string candidate = folder + (folder.back() == '/' ? "" : "/") + name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return "";
}

// Starts `program` in a group of its own (so a time-out stops its children
// too) with the pipes as its standard streams, no signal blocked and every
// signal at its default action: our interrupt clean-up blocks some and the
// runner ignores SIGPIPE, and a program inheriting either would outlive a
// stop or a broken pipe. Not started (with a reason) once the programs were
// stopped for good.
bool Spawn(const std::string& program, char** args, char** envp, const int (&fds)[3], pid_t* pid,
           std::string* error) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  for (int i = 0; i < 3; ++i) posix_spawn_file_actions_adddup2(&actions, fds[i], i);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int code = 0;
  {
    std::lock_guard<std::mutex> hold(g_runningLock);
    code = g_stopped ? EINTR : posix_spawn(pid, program.c_str(), &actions, &attributes, args, envp);
    if (code == 0) g_running.push_back(*pid);
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (code == 0) return true;
  *pid = -1;
  *error = code == EINTR ? "interrupted" : strerror(code);
  return false;
}

}  // namespace

void StopRunningPrograms() {
  std::lock_guard<std::mutex> hold(g_runningLock);
  g_stopped = true;
  for (pid_t pid : g_running) kill(-pid, SIGKILL);
}

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& extraEnvironment,
                         const std::string& input, size_t maxOutput, int timeoutMilliseconds) {
  ProcessResult result;
  if (argv.empty()) {
    result.startError = "no program given";
    return result;
  }
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

  const std::string program = FindProgram(argv[0]);
  if (program.empty()) {
    result.startError = "not found on PATH (a bare name is looked up in its absolute folders only)";
    return result;
  }
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  pid_t pid = -1;
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    result.startError = strerror(errno);
  } else {
    Spawn(program, args.data(), envp.data(), {in[0], out[1], err[1]}, &pid, &result.startError);
  }
  CloseFd(in[0]);
  CloseFd(out[1]);
  CloseFd(err[1]);
  if (pid < 0) {
    CloseFd(in[1]);
    CloseFd(out[0]);
    CloseFd(err[0]);
    return result;
  }
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
      if (i == 1 && sink.size() > kKeptErrorBytes) sink.erase(0, sink.size() - kKeptErrorBytes);
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
    if (!exited) StopAndReap(pid, &waitStatus);
    return result;
  }
  // Output closed: the program ends now, or is stopped at the limit.
  while (!exited && !Ended(pid, &waitStatus)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timedOut = true;
      StopAndReap(pid, &waitStatus);
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
