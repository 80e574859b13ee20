// Win32 implementation of the host helpers (platform/host.h).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <cstdio>

#include <string>

#include "platform/host.h"

namespace platform {
namespace {

// The exit code KillCurrentProcess leaves, as a shell reports a SIGKILL.
constexpr UINT kKilledExitCode = 137;

std::string SystemMessage(DWORD error) {
  char text[512];
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, text, sizeof text, nullptr);
  std::string message = n ? std::string(text, n) : "error " + std::to_string(error);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.pop_back();
  }
  return message;
}

// One argument quoted as the C runtime's command-line parser reads it back:
// in double quotes, with backslashes doubled where they precede a quote.
std::string Quoted(const std::string& arg) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

bool RemoveTreeEntries(const std::string& dir) {
  WIN32_FIND_DATAA entry;
  HANDLE find = ::FindFirstFileA((dir + "\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  do {
    const std::string name = entry.cFileName;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "\\" + name;
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // read-only files too
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ok = RemoveTreeEntries(path) && ::RemoveDirectoryA(path.c_str()) && ok;
    } else {
      ok = ::DeleteFileA(path.c_str()) && ok;
    }
  } while (::FindNextFileA(find, &entry));
  ::FindClose(find);
  return ok;
}

}  // namespace

std::string SharedLibraryFileName(const std::string& base) { return base + ".dll"; }

std::unique_ptr<SharedLibrary> SharedLibrary::Load(const std::string& path, std::string* error) {
  // The loader wants backslashes in a path.
  std::string native = path;
  for (char& c : native) {
    if (c == '/') c = '\\';
  }
  HMODULE module = ::LoadLibraryA(native.c_str());
  if (module == nullptr) {
    if (error) *error = SystemMessage(::GetLastError());
    return nullptr;
  }
  return std::unique_ptr<SharedLibrary>(new SharedLibrary(module));
}

SharedLibrary::~SharedLibrary() { ::FreeLibrary(static_cast<HMODULE>(handle_)); }

void* SharedLibrary::Symbol(const char* name) const {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::string ExecutablePath() {
  char path[MAX_PATH * 4];
  const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
  return (n == 0 || n >= sizeof path) ? std::string() : std::string(path, n);
}

std::string MakeTempDir(const std::string& prefix) {
  char base[MAX_PATH + 1];
  const DWORD n = ::GetTempPathA(sizeof base, base);
  if (n == 0 || n > MAX_PATH) return "";
  std::string dir(base, n);
  if (dir.back() != '\\') dir += '\\';
  static unsigned counter = 0;
  const unsigned long pid = ::GetCurrentProcessId();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string path = dir + prefix + std::to_string(pid) + "-" +
                             std::to_string(::GetTickCount()) + "-" + std::to_string(counter++);
    if (::CreateDirectoryA(path.c_str(), nullptr)) return path;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return "";
  }
  return "";
}

bool RemoveTree(const std::string& path) {
  const bool entries = RemoveTreeEntries(path);
  return ::RemoveDirectoryA(path.c_str()) && entries;
}

std::string CurrentDir() {
  char dir[MAX_PATH * 4];
  const DWORD n = ::GetCurrentDirectoryA(sizeof dir, dir);
  return (n == 0 || n >= sizeof dir) ? std::string() : std::string(dir, n);
}

bool ChangeDir(const std::string& path) { return ::SetCurrentDirectoryA(path.c_str()) != 0; }

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments) {
  ProgramRun run{-1, false, ""};
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return run;
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  std::string commandLine = Quoted(program);
  for (const std::string& a : arguments) commandLine += " " + Quoted(a);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
  ::CloseHandle(writeEnd);  // the child holds its own copy; EOF comes when it exits
  if (started) {
    char chunk[4096];
    DWORD n = 0;
    while (::ReadFile(readEnd, chunk, sizeof chunk, &n, nullptr) && n > 0) run.output.append(chunk, n);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    if (::GetExitCodeProcess(process.hProcess, &code)) {
      run.exitCode = static_cast<int>(code);
      run.killed = code == kKilledExitCode;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  ::CloseHandle(readEnd);
  return run;
}

void KillCurrentProcess() {
  ::TerminateProcess(::GetCurrentProcess(), kKilledExitCode);
  ::ExitProcess(kKilledExitCode);  // not reached: termination does not return
}

void SetBinaryStdout() {
  std::fflush(stdout);
  ::_setmode(::_fileno(stdout), _O_BINARY);
}

bool StderrIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

}  // namespace platform
