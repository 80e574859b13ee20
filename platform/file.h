// The operating-system seam for files: everything the two formats need from
// the platform (open with access and sharing, positioned read and write,
// length, flush, truncate, close, a status query and a creation time) and
// nothing else. file_posix.cc implements it on POSIX systems and
// file_win32.cc on Windows; the build compiles the one for its target.
//
// Tests substitute the FileSystem (ScopedFileSystem) to inject transient and
// hard I/O failures.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

enum class Access { kRead, kReadWrite };
enum class Disposition { kOpenExisting, kCreateAlways };
// kReaders: others may open the file for reading while we hold it;
// kNone: nobody else may open it.
enum class Share { kReaders, kNone };

enum class IoStatus {
  kOk,         // the call transferred `bytes` bytes (possibly fewer than asked)
  kTransient,  // an interruption worth retrying (a busy or dropped network share)
  kFailed,     // a hard failure
};

struct IoResult {
  IoStatus status;
  uint32_t bytes;
};

// One open operating-system file. Each call is a single attempt; callers
// serialise calls on one object themselves (the formats hold a handle lock).
class File {
 public:
  virtual ~File() = default;
  virtual IoResult ReadAt(void* buf, uint32_t n, int64_t pos) = 0;
  virtual IoResult WriteAt(const void* buf, uint32_t n, int64_t pos) = 0;
  // Length in bytes, or -1 when it cannot be obtained.
  virtual int64_t Length() = 0;
  virtual bool Flush() = 0;
  virtual bool Truncate(int64_t length) = 0;
  // A hint that bytes [pos, pos + n) will be read soon, so that the system
  // can fetch many scattered pieces at once instead of one after another.
  // Nothing may depend on it; the default does nothing.
  virtual void WillNeed(int64_t /*pos*/, uint32_t /*n*/) {}
};

// Broken-down local time, as the formats' date records want it.
struct LocalTime {
  int year;    // e.g. 2016
  int month;   // 1 to 12
  int day;     // 1 to 31
  int hour;
  int minute;
  int second;
  int dayOfWeek;  // 0 = Sunday
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Null when the file cannot be opened (or created) as asked, including when
  // the sharing of an open already held on it does not allow this one.
  virtual std::unique_ptr<File> Open(const char* path, Access access, Disposition disposition,
                                     Share share) = 0;
  // The file-status query: true when path names an existing file.
  virtual bool Exists(const char* path) = 0;
  // The creation time of the file in local time; where the file system keeps
  // none, the time of its last modification stands in.
  virtual bool CreationTime(const char* path, LocalTime* out) = 0;
};

// The file system in use (the real one unless a test substituted another).
FileSystem& Files();

// Substitutes a file system for the lifetime of this object (tests only).
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(FileSystem* fs);
  ~ScopedFileSystem();
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

 private:
  FileSystem* previous_;
};

// The real file system of this platform.
FileSystem& NativeFiles();

// Attempts made for one read before a transient failure counts as a failure.
constexpr int kReadAttempts = 100;

enum class TransferResult { kOk, kShort, kFailed };

// Reads exactly n bytes at pos, retrying transient failures up to
// kReadAttempts attempts in all. A read that ends early is kShort.
TransferResult ReadFully(File& file, void* buf, uint32_t n, int64_t pos);
// Writes exactly n bytes at pos; writes are not retried.
TransferResult WriteFully(File& file, const void* buf, uint32_t n, int64_t pos);

// Local date and time now.
LocalTime Now();

}  // namespace platform
