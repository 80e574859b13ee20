// Win32 implementation of the file seam.
//
// Sharing is the operating system's own: an open that lets others read passes
// FILE_SHARE_READ, one that shares nothing passes 0, so a conflicting open
// fails with a sharing violation. A positioned transfer is a seek
// (SetFilePointerEx) followed by ReadFile or WriteFile; the formats hold their
// handle lock across the pair. Paths are taken in the ANSI code page, as the
// host hands them to the exports.
//
// file_posix.cc implements the same seam for the other system, so the two files
// have the same shape by design: keep them in step.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/file.h"

namespace platform {
namespace {

// A dropped or busy network share: the read is worth another attempt.
IoStatus Classify(DWORD error) {
  return (error == ERROR_NETNAME_DELETED || error == ERROR_NETWORK_BUSY) ? IoStatus::kTransient
                                                                           : IoStatus::kFailed;
}

bool Seek(HANDLE h, int64_t pos) {
  LARGE_INTEGER to;
  to.QuadPart = pos;
  return ::SetFilePointerEx(h, to, nullptr, FILE_BEGIN) != 0;
}

class Win32File : public File {
 public:
  explicit Win32File(HANDLE h) : h_(h) {}
  ~Win32File() override { ::CloseHandle(h_); }

  IoResult ReadAt(void* buf, uint32_t n, int64_t pos) override {
    if (pos < 0 || !Seek(h_, pos)) return {IoStatus::kFailed, 0};
    uint32_t done = 0;
    while (done < n) {
      DWORD got = 0;
      if (!::ReadFile(h_, static_cast<char*>(buf) + done, n - done, &got, nullptr)) {
        if (done > 0) break;
        return {Classify(::GetLastError()), 0};
      }
      if (got == 0) break;  // end of file
      done += got;
    }
    return {IoStatus::kOk, done};
  }

  IoResult WriteAt(const void* buf, uint32_t n, int64_t pos) override {
    if (pos < 0 || !Seek(h_, pos)) return {IoStatus::kFailed, 0};
    uint32_t done = 0;
    while (done < n) {
      DWORD put = 0;
      if (!::WriteFile(h_, static_cast<const char*>(buf) + done, n - done, &put, nullptr)) {
        return {IoStatus::kFailed, done};
      }
      if (put == 0) break;
      done += put;
    }
    return {IoStatus::kOk, done};
  }

  int64_t Length() override {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(h_, &size)) return -1;
    return size.QuadPart;
  }

  bool Flush() override { return ::FlushFileBuffers(h_) != 0; }

  bool Truncate(int64_t length) override {
    return length >= 0 && Seek(h_, length) && ::SetEndOfFile(h_) != 0;
  }

 private:
  HANDLE h_;
};

void FillLocal(const SYSTEMTIME& st, LocalTime* out) {
  out->year = st.wYear;
  out->month = st.wMonth;
  out->day = st.wDay;
  out->hour = st.wHour;
  out->minute = st.wMinute;
  out->second = st.wSecond;
  out->dayOfWeek = st.wDayOfWeek;
}

class Win32FileSystem : public FileSystem {
 public:
  std::unique_ptr<File> Open(const char* path, Access access, Disposition disposition,
                             Share share) override {
    if (path == nullptr) return nullptr;
    const DWORD desired =
        access == Access::kRead ? GENERIC_READ : (GENERIC_READ | GENERIC_WRITE);
    const DWORD sharing = share == Share::kReaders ? FILE_SHARE_READ : 0;
    const DWORD creation =
        disposition == Disposition::kCreateAlways ? CREATE_ALWAYS : OPEN_EXISTING;
    HANDLE h = ::CreateFileA(path, desired, sharing, nullptr, creation, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    // Only disk files are recordings: not a console, pipe or device name.
    if (::GetFileType(h) != FILE_TYPE_DISK) {
      ::CloseHandle(h);
      return nullptr;
    }
    return std::make_unique<Win32File>(h);
  }

  bool Exists(const char* path) override {
    return path != nullptr && ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
  }

  bool CreationTime(const char* path, LocalTime* out) override {
    if (path == nullptr || out == nullptr) return false;
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!::GetFileAttributesExA(path, GetFileExInfoStandard, &attributes)) return false;
    SYSTEMTIME utc, local;
    if (!::FileTimeToSystemTime(&attributes.ftCreationTime, &utc) ||
        !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
      return false;
    }
    FillLocal(local, out);
    return true;
  }
};

}  // namespace

FileSystem& NativeFiles() {
  static Win32FileSystem fs;
  return fs;
}

LocalTime Now() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  LocalTime lt;
  FillLocal(st, &lt);
  return lt;
}

}  // namespace platform
