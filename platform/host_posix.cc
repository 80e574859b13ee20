// POSIX implementation of the host helpers (platform/host.h).
#include <dlfcn.h>
#include <errno.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

#include "platform/host.h"

namespace platform {
namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}

}  // namespace

std::string SharedLibraryFileName(const std::string& base) { return "lib" + base + ".so"; }

std::unique_ptr<SharedLibrary> SharedLibrary::Load(const std::string& path, std::string* error) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    if (error) *error = why ? why : "cannot be loaded";
    return nullptr;
  }
  return std::unique_ptr<SharedLibrary>(new SharedLibrary(handle));
}

SharedLibrary::~SharedLibrary() { ::dlclose(handle_); }

void* SharedLibrary::Symbol(const char* name) const { return ::dlsym(handle_, name); }

std::string ExecutablePath() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  return std::string(path, static_cast<size_t>(n));
}

std::string MakeTempDir(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string dir = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
  if (::mkdtemp(&dir[0]) == nullptr) return "";
  return dir;
}

bool RemoveTree(const std::string& path) {
  return ::nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

std::string CurrentDir() {
  char dir[4096];
  return ::getcwd(dir, sizeof dir) ? std::string(dir) : std::string();
}

bool ChangeDir(const std::string& path) { return ::chdir(path.c_str()) == 0; }

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments) {
  ProgramRun run{-1, false, ""};
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int fds[2];
  if (::pipe(fds) != 0) return run;
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[0]);
    ::close(fds[1]);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  if (child < 0) {
    ::close(fds[0]);
    return run;
  }
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
    if (n > 0) {
      run.output.append(chunk, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return run;
  }
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  run.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  return run;
}

void KillCurrentProcess() {
  ::kill(::getpid(), SIGKILL);
  ::_exit(127);  // not reached: SIGKILL cannot be caught
}

void SetBinaryStdout() {}  // POSIX streams never translate newlines

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

}  // namespace platform
