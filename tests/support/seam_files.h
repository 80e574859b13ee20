// SeamFiles: a file system over the real one that can refuse opens for
// writing, make reads or writes of the files it opened fail, or let writers
// share reading. For the tests of the writers' failure paths.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "platform/file.h"

namespace testing_support {

class SeamFiles : public platform::FileSystem {
 public:
  bool refuseWriters = false;
  // Writers share reading, so that a test can read the bytes of a file still
  // open for writing (Windows refuses that otherwise).
  bool shareReads = false;
  std::atomic<bool> failReads{false};
  std::atomic<bool> failWrites{false};

  std::unique_ptr<platform::File> Open(const char* path, platform::Access access,
                                       platform::Disposition d, platform::Share share) override {
    if (refuseWriters && access == platform::Access::kReadWrite) return nullptr;
    if (shareReads) share = platform::Share::kReaders;
    auto inner = platform::NativeFiles().Open(path, access, d, share);
    if (!inner) return nullptr;
    return std::make_unique<SeamFile>(std::move(inner), this);
  }
  bool Exists(const char* path) override { return platform::NativeFiles().Exists(path); }
  bool CreationTime(const char* path, platform::LocalTime* out) override {
    return platform::NativeFiles().CreationTime(path, out);
  }

 private:
  class SeamFile : public platform::File {
   public:
    SeamFile(std::unique_ptr<platform::File> inner, SeamFiles* seam)
        : inner_(std::move(inner)), seam_(seam) {}
    platform::IoResult ReadAt(void* buf, uint32_t n, int64_t pos) override {
      if (seam_->failReads) return {platform::IoStatus::kFailed, 0};
      return inner_->ReadAt(buf, n, pos);
    }
    platform::IoResult WriteAt(const void* buf, uint32_t n, int64_t pos) override {
      if (seam_->failWrites) return {platform::IoStatus::kFailed, 0};
      return inner_->WriteAt(buf, n, pos);
    }
    int64_t Length() override { return inner_->Length(); }
    bool Flush() override { return inner_->Flush(); }
    bool Truncate(int64_t length) override { return inner_->Truncate(length); }

   private:
    std::unique_ptr<platform::File> inner_;
    SeamFiles* seam_;
  };
};

}  // namespace testing_support
