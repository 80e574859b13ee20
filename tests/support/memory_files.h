// MemoryFiles: a file system held in memory, substituted for the real one
// (platform::ScopedFileSystem) by the fuzz targets and the tests that replay
// their findings, so that a run makes no files and no system calls.
//
// Files are byte vectors by path. A read-only open gets a handle that refuses
// writes and truncation and counts the attempts, so a caller can tell that a
// file opened read-only was left alone. Files never grow past kMaxFileBytes:
// a write beyond it fails as a full disk would, which keeps a writer driven
// by hostile numbers inside a fixed memory bound.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"

namespace testing_support {

class MemoryFiles : public platform::FileSystem {
 public:
  static constexpr int64_t kMaxFileBytes = int64_t{64} << 20;

  using Bytes = std::vector<uint8_t>;

  // Puts (or replaces) a file with these bytes.
  void Put(const std::string& path, const Bytes& bytes) {
    files_[path] = std::make_shared<Bytes>(bytes);
  }
  // A stretch of a view: size bytes at bytes, or size zero bytes when bytes
  // is null.
  struct Piece {
    const uint8_t* bytes;
    size_t size;
  };
  // Puts a file that reads the caller's bytes in place, without a copy (the
  // fuzzers' inputs arrive once per run, and their images are mostly runs of
  // zeros that need no memory at all): the pieces one after the other. Only
  // read-only opens succeed; the bytes must outlive the file system.
  void PutView(const std::string& path, const std::vector<Piece>& pieces) {
    View& view = views_[path] = View{pieces, {}, 0};
    for (const Piece& piece : pieces) {
      view.starts.push_back(view.size);
      view.size += piece.size;
    }
  }
  // The file's bytes, or null when there is no such file (or it is a view).
  const Bytes* Get(const std::string& path) const {
    auto it = files_.find(path);
    return it == files_.end() ? nullptr : it->second.get();
  }

  // Write or truncate calls made through read-only handles, and attempts to
  // open a view for writing.
  int readOnlyWrites = 0;

  std::unique_ptr<platform::File> Open(const char* path, platform::Access access,
                                       platform::Disposition disposition,
                                       platform::Share /*share*/) override {
    auto view = views_.find(path);
    if (view != views_.end()) {
      if (access != platform::Access::kRead) {
        ++readOnlyWrites;  // an attempt to write to a file handed over read-only
        return nullptr;
      }
      return std::make_unique<MemoryFile>(nullptr, &view->second, false, &readOnlyWrites);
    }
    std::shared_ptr<Bytes>& bytes = files_[path];
    if (disposition == platform::Disposition::kCreateAlways) {
      if (access != platform::Access::kReadWrite) return nullptr;
      bytes = std::make_shared<Bytes>();
    } else if (!bytes) {
      files_.erase(path);
      return nullptr;
    }
    return std::make_unique<MemoryFile>(bytes, nullptr, access == platform::Access::kReadWrite,
                                        &readOnlyWrites);
  }
  bool Exists(const char* path) override {
    return files_.count(path) != 0 || views_.count(path) != 0;
  }
  bool CreationTime(const char* path, platform::LocalTime* out) override {
    if (!Exists(path)) return false;
    *out = {2020, 1, 2, 3, 4, 5, 4};
    return true;
  }

 private:
  struct View {
    std::vector<Piece> pieces;
    std::vector<uint64_t> starts;  // of each piece in the file
    uint64_t size = 0;
  };

  // A file's bytes (read as one piece) or a view; opened read-only it
  // refuses writes and truncation, counting them.
  class MemoryFile : public platform::File {
   public:
    MemoryFile(std::shared_ptr<Bytes> bytes, const View* view, bool writable, int* refusedWrites)
        : bytes_(std::move(bytes)),
          view_(view),
          writable_(writable),
          refusedWrites_(refusedWrites) {}

    platform::IoResult ReadAt(void* buf, uint32_t n, int64_t pos) override {
      if (pos < 0) return {platform::IoStatus::kFailed, 0};
      // A file's bytes read as a view of one piece.
      View whole;
      if (!view_) whole = View{{{bytes_->data(), bytes_->size()}}, {0}, bytes_->size()};
      const View& v = view_ ? *view_ : whole;
      if (static_cast<uint64_t>(pos) >= v.size) return {platform::IoStatus::kOk, 0};
      const uint32_t got =
          static_cast<uint32_t>(std::min<uint64_t>(n, v.size - static_cast<uint64_t>(pos)));
      // The last piece starting at or before pos, then on through the pieces.
      uint64_t at = static_cast<uint64_t>(pos);
      size_t i = static_cast<size_t>(std::upper_bound(v.starts.begin(), v.starts.end(), at) -
                                     v.starts.begin()) -
                 1;
      uint8_t* out = static_cast<uint8_t*>(buf);
      for (uint32_t done = 0, take = 0; done < got; ++i, done += take, at += take) {
        const Piece& piece = v.pieces[i];
        const uint64_t skip = at - v.starts[i];
        take = static_cast<uint32_t>(std::min<uint64_t>(got - done, piece.size - skip));
        if (piece.bytes != nullptr) {
          std::memcpy(out + done, piece.bytes + skip, take);
        } else {
          std::memset(out + done, 0, take);
        }
      }
      return {platform::IoStatus::kOk, got};
    }
    platform::IoResult WriteAt(const void* buf, uint32_t n, int64_t pos) override {
      if (!writable_) return Refused(platform::IoResult{platform::IoStatus::kFailed, 0});
      if (pos < 0 || pos > kMaxFileBytes - n) return {platform::IoStatus::kFailed, 0};
      const size_t end = static_cast<size_t>(pos) + n;
      if (end > bytes_->size()) bytes_->resize(end);
      if (n != 0) std::memcpy(bytes_->data() + pos, buf, n);
      return {platform::IoStatus::kOk, n};
    }
    int64_t Length() override { return static_cast<int64_t>(view_ ? view_->size : bytes_->size()); }
    bool Flush() override { return true; }
    bool Truncate(int64_t length) override {
      if (!writable_) return Refused(false);
      if (length < 0 || length > kMaxFileBytes) return false;
      bytes_->resize(static_cast<size_t>(length));
      return true;
    }

   private:
    template <class T>
    T Refused(T result) {
      ++*refusedWrites_;
      return result;
    }

    std::shared_ptr<Bytes> bytes_;
    const View* view_;
    bool writable_;
    int* refusedWrites_;
  };

  std::map<std::string, std::shared_ptr<Bytes>> files_;
  std::map<std::string, View> views_;
};

}  // namespace testing_support
