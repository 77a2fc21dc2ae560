#include "Process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace tavtest {

namespace {

std::vector<char*> PointerList(std::vector<std::string>& items) {
  std::vector<char*> list;
  for (std::string& item : items) list.push_back(item.data());
  list.push_back(nullptr);
  return list;
}

// Only async-signal-safe calls between fork and exec: the parent may have threads.
[[noreturn]] void RunChild(const ProcessSpec& setup, char* const* argv, char* const* envp, int out,
                           int err) {
  const int in = open("/dev/null", O_RDONLY);
  if (!setup.StdoutPath.empty()) out = open(setup.StdoutPath.c_str(), O_WRONLY);
  if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
  if (!setup.WorkDir.empty() && chdir(setup.WorkDir.c_str()) != 0) _exit(126);
  if (setup.FileSizeLimit >= 0) {
    const rlimit limit{rlim_t(setup.FileSizeLimit), rlim_t(setup.FileSizeLimit)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    signal(SIGXFSZ, SIG_IGN);
  }
  execve(setup.Binary.c_str(), argv, envp);
  _exit(127);
}

}  // namespace

ProcessResult RunProcess(const ProcessSpec& setup) {
  ProcessResult result;
  std::vector<std::string> args = setup.Args, env = setup.Env;
  args.insert(args.begin(), setup.Binary);
  std::vector<char*> argv = PointerList(args), envp = PointerList(env);
  int out[2], err[2];
  if (access(setup.Binary.c_str(), X_OK) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
      pipe2(err, O_CLOEXEC) != 0) {
    result.StartError = setup.Binary + ": " + std::strerror(errno);
    return result;
  }
  const pid_t pid = fork();
  if (pid == 0) RunChild(setup, argv.data(), envp.data(), out[1], err[1]);
  close(out[1]);
  close(err[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(setup.TimeoutSeconds);
  int status = 0;
  bool exited = pid < 0;
  if (pid < 0) result.StartError = std::string("fork: ") + std::strerror(errno);
  pollfd polls[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  while (polls[0].fd >= 0 || polls[1].fd >= 0) {
    // A grandchild (a server the child starts) may hold the pipes open after the child has
    // gone; then take what is there and stop.
    if (!exited && waitpid(pid, &status, WNOHANG) == pid) {
      exited = true;
      fcntl(out[0], F_SETFL, O_NONBLOCK);
      fcntl(err[0], F_SETFL, O_NONBLOCK);
    }
    if (!exited && !result.TimedOut && std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      result.TimedOut = true;
    }
    const int ready = poll(polls, 2, exited ? 0 : 20);
    if ((ready < 0 && errno != EINTR) || (ready == 0 && exited)) break;
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if (polls[i].fd < 0 || polls[i].revents == 0) continue;
      char chunk[65536];
      const ssize_t got = read(polls[i].fd, chunk, sizeof chunk);
      if (got > 0)
        (i == 0 ? result.Stdout : result.Stderr).append(chunk, std::size_t(got));
      else if (got == 0 || (errno != EINTR && errno != EAGAIN))
        polls[i].fd = -1;
    }
  }
  close(out[0]);
  close(err[0]);
  while (!exited && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (pid > 0) result.ExitCode = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  return result;
}

void UnsetEnv(std::vector<std::string>& env, const std::string& name) {
  std::erase_if(env, [&](const std::string& entry) { return entry.starts_with(name + "="); });
}

void SetEnv(std::vector<std::string>& env, const std::string& name, const std::string& value) {
  UnsetEnv(env, name);
  env.push_back(name + "=" + value);
}

std::string Describe(const std::vector<std::string>& args, const ProcessResult& result) {
  std::string text = "run";
  for (const std::string& arg : args) text += " [" + arg + "]";
  return text + ": " + result.StartError + (result.TimedOut ? " timed out," : "") + " exit code " +
         std::to_string(result.ExitCode) + ", " + std::to_string(result.Stdout.size()) +
         " bytes on stdout, stderr: " + Visible(result.Stderr);
}

void RemoveTree(const std::string& path) {
  std::error_code error;
  if (path.empty()) return;
  for (auto it = fs::recursive_directory_iterator(path, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_symlink(error))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::remove_all(path, error);
}

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "tavdump-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) Path = pattern;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Visible(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    text += c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '\\' ? "\\\\"
            : c >= 0x20 && c < 0x7F ? std::string(1, char(c)) : hex;
  }
  return text;
}

::testing::AssertionResult SameBytes(const std::string& what, std::string expected,
                                     const std::string& actual, bool address) {
  for (std::size_t at = 0; address && (at = expected.find("########", at)) != std::string::npos;) {
    const std::string digits = actual.substr(std::min(at, actual.size()), 8);
    if (digits.size() == 8 && digits.find_first_not_of("0123456789ABCDEF") == std::string::npos)
      expected.replace(at, 8, digits);
    at += 8;
  }
  if (expected == actual) return ::testing::AssertionSuccess();
  const auto at = std::size_t(
      std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end()).first -
      expected.begin());
  const std::size_t from = at < 32 ? 0 : at - 32;
  return ::testing::AssertionFailure()
         << what << " differs at byte " << at << " (expected " << expected.size() << " bytes, got "
         << actual.size() << ")\n  expected: ..."
         << Visible(expected.substr(std::min(from, expected.size()), 96)) << "\n  actual:   ..."
         << Visible(actual.substr(std::min(from, actual.size()), 96));
}

}  // namespace tavtest
