#include "Process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

extern char** environ;

namespace tavtest {

namespace {

struct Pipe {
  int Read = -1;
  int Write = -1;
};

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

std::vector<char*> PointerList(std::vector<std::string>& items) {
  std::vector<char*> list;
  for (std::string& item : items) list.push_back(item.data());
  list.push_back(nullptr);
  return list;
}

long long NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Only async-signal-safe calls between fork and exec: the parent may have threads.
[[noreturn]] void RunChild(const ProcessSpec& spec, char* const* argv, char* const* envp,
                           const Pipe& out, const Pipe& err, int errorPipe) {
  int in = open("/dev/null", O_RDONLY);
  if (in < 0 || dup2(in, 0) < 0) _exit(126);
  if (spec.StdoutPath.empty()) {
    if (dup2(out.Write, 1) < 0) _exit(126);
  } else {
    int fd = open(spec.StdoutPath.c_str(), O_WRONLY);
    if (fd < 0 || dup2(fd, 1) < 0) _exit(126);
  }
  if (dup2(err.Write, 2) < 0) _exit(126);
  if (!spec.WorkDir.empty() && chdir(spec.WorkDir.c_str()) != 0) _exit(126);
  if (spec.FileSizeLimit >= 0) {
    rlimit limit{static_cast<rlim_t>(spec.FileSizeLimit), static_cast<rlim_t>(spec.FileSizeLimit)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    signal(SIGXFSZ, SIG_IGN);
  }
  execve(spec.Binary.c_str(), argv, envp);
  int code = errno;
  ssize_t ignored = write(errorPipe, &code, sizeof code);
  (void)ignored;
  _exit(127);
}

}  // namespace

ProcessResult RunProcess(const ProcessSpec& spec) {
  ProcessResult result;
  std::vector<std::string> args;
  args.push_back(spec.Arg0.empty() ? spec.Binary : spec.Arg0);
  args.insert(args.end(), spec.Args.begin(), spec.Args.end());
  std::vector<std::string> env = spec.Env;
  std::vector<char*> argv = PointerList(args);
  std::vector<char*> envp = PointerList(env);

  // The third pipe is closed by a successful exec and carries errno when exec fails.
  Pipe out, err, exec;
  for (Pipe* p : {&out, &err, &exec}) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      result.StartError = std::string("pipe failed: ") + std::strerror(errno);
      for (Pipe* q : {&out, &err, &exec}) CloseFd(q->Read), CloseFd(q->Write);
      return result;
    }
    *p = {fds[0], fds[1]};
  }

  pid_t pid = fork();
  if (pid == 0) RunChild(spec, argv.data(), envp.data(), out, err, exec.Write);
  CloseFd(out.Write);
  CloseFd(err.Write);
  CloseFd(exec.Write);
  if (pid < 0) {
    result.StartError = std::string("fork failed: ") + std::strerror(errno);
    CloseFd(out.Read), CloseFd(err.Read), CloseFd(exec.Read);
    return result;
  }

  const long long deadline = NowMs() + static_cast<long long>(spec.TimeoutSeconds) * 1000;
  int status = 0;
  bool exited = false;
  while (out.Read >= 0 || err.Read >= 0) {
    // A grandchild (a server the child starts, say) may keep the pipes open after the
    // child has gone; once it has, take what is there and stop.
    if (!exited && waitpid(pid, &status, WNOHANG) == pid) {
      exited = true;
      fcntl(out.Read, F_SETFL, O_NONBLOCK);
      fcntl(err.Read, F_SETFL, O_NONBLOCK);
    }
    if (!exited && !result.TimedOut && NowMs() >= deadline) {
      kill(pid, SIGKILL);
      result.TimedOut = true;
    }
    pollfd polls[2] = {{out.Read, POLLIN, 0}, {err.Read, POLLIN, 0}};
    int ready = poll(polls, 2, exited ? 0 : 20);
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0 && exited) break;
    for (int i = 0; i < 2; ++i) {
      if (polls[i].fd < 0 || polls[i].revents == 0) continue;
      char chunk[65536];
      ssize_t got = read(polls[i].fd, chunk, sizeof chunk);
      if (got > 0) {
        (i == 0 ? result.Stdout : result.Stderr).append(chunk, static_cast<std::size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        CloseFd(i == 0 ? out.Read : err.Read);
      }
    }
  }
  CloseFd(out.Read);
  CloseFd(err.Read);
  while (!exited && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }

  int execErrno = 0;
  if (read(exec.Read, &execErrno, sizeof execErrno) == static_cast<ssize_t>(sizeof execErrno))
    result.StartError = "exec " + spec.Binary + " failed: " + std::strerror(execErrno);
  CloseFd(exec.Read);

  if (WIFEXITED(status)) {
    result.ExitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.Signal = WTERMSIG(status);
  }
  return result;
}

std::vector<std::string> CurrentEnvironment() {
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
    env.emplace_back(*entry);
  return env;
}

void UnsetEnv(std::vector<std::string>& env, const std::string& name) {
  std::erase_if(env, [&](const std::string& entry) {
    return entry.size() > name.size() && entry[name.size()] == '=' &&
           entry.compare(0, name.size(), name) == 0;
  });
}

void SetEnv(std::vector<std::string>& env, const std::string& name, const std::string& value) {
  UnsetEnv(env, name);
  env.push_back(name + "=" + value);
}

std::string Describe(const ProcessResult& result) {
  std::string text;
  if (!result.StartError.empty()) text = "not started (" + result.StartError + "); ";
  if (result.TimedOut) text += "timed out; ";
  if (result.Signal != 0)
    text += "killed by signal " + std::to_string(result.Signal);
  else
    text += "exit code " + std::to_string(result.ExitCode);
  text += ", " + std::to_string(result.Stdout.size()) + " bytes on stdout, " +
          std::to_string(result.Stderr.size()) + " on stderr";
  return text;
}

TempDir::TempDir() {
  std::error_code error;
  std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) base = "/tmp";
  std::string pattern = (base / "tavdump-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) Path = pattern;
}

TempDir::~TempDir() {
  if (Path.empty()) return;
  std::error_code error;
  // Tests take write permission away from entries; give it back so that they can go.
  for (auto it = std::filesystem::recursive_directory_iterator(Path, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_symlink(error))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, error);
  }
  std::filesystem::permissions(Path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, error);
  std::filesystem::remove_all(Path, error);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace tavtest
