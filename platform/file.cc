// Platform-independent parts of the file seam: the substitutable file system
// and the whole-transfer helpers with their retry rule.
#include "platform/file.h"

namespace platform {
namespace {
FileSystem* g_current = nullptr;
}  // namespace

FileSystem& Files() { return g_current ? *g_current : NativeFiles(); }

ScopedFileSystem::ScopedFileSystem(FileSystem* fs) : previous_(g_current) { g_current = fs; }
ScopedFileSystem::~ScopedFileSystem() { g_current = previous_; }

TransferResult ReadFully(File& file, void* buf, uint32_t n, int64_t pos) {
  IoResult r{IoStatus::kTransient, 0};
  for (int attempt = 0; attempt < kReadAttempts && r.status == IoStatus::kTransient; ++attempt) {
    r = file.ReadAt(buf, n, pos);
  }
  if (r.status != IoStatus::kOk) return TransferResult::kFailed;
  return r.bytes == n ? TransferResult::kOk : TransferResult::kShort;
}

TransferResult WriteFully(File& file, const void* buf, uint32_t n, int64_t pos) {
  const IoResult r = file.WriteAt(buf, n, pos);
  if (r.status != IoStatus::kOk) return TransferResult::kFailed;
  return r.bytes == n ? TransferResult::kOk : TransferResult::kShort;
}

}  // namespace platform
