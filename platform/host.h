// What host programs and tests need from the operating system besides the
// file seam: loading a shared library by path and finding its functions by
// name, the running program's own path, private temporary folders, running a
// program and collecting its output, and ending the current process abruptly.
// The library itself uses none of this; nsinfo and the tests do, so that they
// build and run unchanged on every platform (host_posix.cc, host_win32.cc).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace platform {

// The directory separator a host writes into the paths it builds.
#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// The file name under which the build produces the shared library called
// base: libBASE.so, or BASE.dll on Windows.
std::string SharedLibraryFileName(const std::string& base);

// A shared library loaded at run time, as an analysis host loads it
// (dlopen / LoadLibrary). Unloaded when the object goes away.
class SharedLibrary {
 public:
  // Null when the library cannot be loaded; error then says why.
  static std::unique_ptr<SharedLibrary> Load(const std::string& path, std::string* error);
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // The address of the exported function or object called name, or null.
  void* Symbol(const char* name) const;

 private:
  explicit SharedLibrary(void* handle) : handle_(handle) {}
  void* handle_;
};

// The full path of the running program, or "" when it cannot be found.
std::string ExecutablePath();

// Creates a new private folder in the system's temporary folder, its name
// starting with prefix; returns its path, or "" on failure.
std::string MakeTempDir(const std::string& prefix);
// Removes a folder with everything in it; true when it is gone.
bool RemoveTree(const std::string& path);

// The current working folder, and changing it (tests of relative paths).
std::string CurrentDir();
bool ChangeDir(const std::string& path);

// A program run to its end: its exit code (-1 when it could not be started or
// did not exit normally), whether KillCurrentProcess ended it, and everything
// it wrote to stdout and stderr.
struct ProgramRun {
  int exitCode;
  bool killed;
  std::string output;
};
// Runs program with the arguments, each passed as one argument as given (no
// shell reads them), and waits for its end.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments);

// Ends the current process at once, as a kill from outside would: no exit
// handlers, no destructors, no flushing of buffers. For tests of what a
// killed writer leaves behind.
[[noreturn]] void KillCurrentProcess();

// Makes stdout write bytes exactly as given (no newline translation), so that
// a program's output is byte for byte the same on every platform.
void SetBinaryStdout();

// Whether the standard error stream goes to a terminal (where a progress bar
// may redraw itself) rather than to a file or a pipe.
bool StderrIsTerminal();

}  // namespace platform
