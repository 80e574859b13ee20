// A file system for the ORF tests that refuses read-write opens, fails
// writes or shares reading of files being written on demand, over the real
// one.
#pragma once

#include <atomic>
#include <memory>

#include "platform/file.h"

namespace orf_test {

class SeamFiles : public platform::FileSystem {
 public:
  bool refuseWriters = false;
  // Writers share reading, so that a test can read the bytes of a file still
  // open for writing (Windows refuses that otherwise).
  bool shareReads = false;
  std::atomic<bool> failWrites{false};

  std::unique_ptr<platform::File> Open(const char* path, platform::Access access,
                                       platform::Disposition d, platform::Share share) override {
    if (refuseWriters && access == platform::Access::kReadWrite) return nullptr;
    if (shareReads) share = platform::Share::kReaders;
    auto inner = platform::NativeFiles().Open(path, access, d, share);
    if (!inner) return nullptr;
    return std::make_unique<SeamFile>(std::move(inner), &failWrites);
  }
  bool Exists(const char* path) override { return platform::NativeFiles().Exists(path); }
  bool CreationTime(const char* path, platform::LocalTime* out) override {
    return platform::NativeFiles().CreationTime(path, out);
  }

 private:
  class SeamFile : public platform::File {
   public:
    SeamFile(std::unique_ptr<platform::File> inner, std::atomic<bool>* fail)
        : inner_(std::move(inner)), fail_(fail) {}
    platform::IoResult ReadAt(void* buf, uint32_t n, int64_t pos) override {
      return inner_->ReadAt(buf, n, pos);
    }
    platform::IoResult WriteAt(const void* buf, uint32_t n, int64_t pos) override {
      if (*fail_) return {platform::IoStatus::kFailed, 0};
      return inner_->WriteAt(buf, n, pos);
    }
    int64_t Length() override { return inner_->Length(); }
    bool Flush() override { return inner_->Flush(); }
    bool Truncate(int64_t length) override { return inner_->Truncate(length); }

   private:
    std::unique_ptr<platform::File> inner_;
    std::atomic<bool>* fail_;
  };
};

}  // namespace orf_test
