// POSIX implementation of the file seam.
//
// Windows sharing modes are emulated with flock(): an open that lets others
// read takes a shared lock when it only reads and an exclusive one when it
// writes; an open that shares nothing takes an exclusive lock. A conflicting
// lock makes the open fail, as a sharing violation would.
//
// file_win32.cc implements the same seam for the other system, so the two files
// have the same shape by design: keep them in step.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/file.h"

namespace platform {
namespace {

class PosixFile : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }

  IoResult ReadAt(void* buf, uint32_t n, int64_t pos) override {
    uint32_t done = 0;
    while (done < n) {
      const ssize_t r = ::pread(fd_, static_cast<char*>(buf) + done, n - done, pos + done);
      if (r < 0) {
        if (done > 0) break;
        return {Classify(errno), 0};
      }
      if (r == 0) break;  // end of file
      done += static_cast<uint32_t>(r);
    }
    return {IoStatus::kOk, done};
  }

  void WillNeed(int64_t pos, uint32_t n) override {
    ::posix_fadvise(fd_, pos, n, POSIX_FADV_WILLNEED);
  }

  IoResult WriteAt(const void* buf, uint32_t n, int64_t pos) override {
    uint32_t done = 0;
    while (done < n) {
      const ssize_t r =
          ::pwrite(fd_, static_cast<const char*>(buf) + done, n - done, pos + done);
      if (r < 0) {
        if (errno == EINTR) continue;
        return {IoStatus::kFailed, done};
      }
      if (r == 0) break;
      done += static_cast<uint32_t>(r);
    }
    return {IoStatus::kOk, done};
  }

  int64_t Length() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
  }

  bool Flush() override { return ::fsync(fd_) == 0; }

  bool Truncate(int64_t length) override { return ::ftruncate(fd_, length) == 0; }

 private:
  static IoStatus Classify(int err) {
    return (err == EINTR || err == EAGAIN) ? IoStatus::kTransient : IoStatus::kFailed;
  }
  int fd_;
};

void FillLocal(time_t t, LocalTime* out) {
  struct tm tmv;
  localtime_r(&t, &tmv);
  out->year = tmv.tm_year + 1900;
  out->month = tmv.tm_mon + 1;
  out->day = tmv.tm_mday;
  out->hour = tmv.tm_hour;
  out->minute = tmv.tm_min;
  out->second = tmv.tm_sec;
  out->dayOfWeek = tmv.tm_wday;
}

class PosixFileSystem : public FileSystem {
 public:
  std::unique_ptr<File> Open(const char* path, Access access, Disposition disposition,
                             Share share) override {
    if (path == nullptr) return nullptr;
    int flags = (access == Access::kRead ? O_RDONLY : O_RDWR) | O_CLOEXEC;
    if (disposition == Disposition::kCreateAlways) flags |= O_CREAT | O_TRUNC;
    // Take the lock before truncating, so a create never destroys a file
    // another open still holds: open without O_TRUNC, lock, then truncate.
    const bool truncate = (flags & O_TRUNC) != 0;
    flags &= ~O_TRUNC;
    const int fd = ::open(path, flags, 0644);
    if (fd < 0) return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    const bool exclusive = share == Share::kNone || access == Access::kReadWrite;
    if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      ::close(fd);
      return nullptr;
    }
    if (truncate && ::ftruncate(fd, 0) != 0) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<PosixFile>(fd);
  }

  bool Exists(const char* path) override {
    struct stat st;
    return path != nullptr && ::stat(path, &st) == 0;
  }

  bool CreationTime(const char* path, LocalTime* out) override {
    if (path == nullptr || out == nullptr) return false;
#ifdef STATX_BTIME
    struct statx sx;
    if (::statx(AT_FDCWD, path, 0, STATX_BTIME | STATX_MTIME, &sx) == 0) {
      const bool born = (sx.stx_mask & STATX_BTIME) != 0;
      FillLocal(static_cast<time_t>(born ? sx.stx_btime.tv_sec : sx.stx_mtime.tv_sec), out);
      return true;
    }
#endif
    struct stat st;
    if (::stat(path, &st) != 0) return false;
    FillLocal(st.st_mtime, out);
    return true;
  }
};

}  // namespace

FileSystem& NativeFiles() {
  static PosixFileSystem fs;
  return fs;
}

LocalTime Now() {
  LocalTime lt;
  FillLocal(::time(nullptr), &lt);
  return lt;
}

}  // namespace platform
