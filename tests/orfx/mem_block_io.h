// MemBlockIo: the block transfers of a 64-bit format file over an in-memory
// file image, for tests of the block and index code. Counts the transfers
// so tests can tell what was read, and can be told to fail a read or to
// refuse writes as a read-only file does.
#pragma once

#include <cstdint>
#include <cstring>

#include "filelib/orfx/block_io.h"
#include "filelib/status.h"
#include "tests/builder/orfx/orfx_block_builder.h"

namespace orfxtest {

class MemBlockIo : public vslk64::CBlockIo {
 public:
  explicit MemBlockIo(OrfxImage* image) : image_(image) {}

  int ReadRaw(void* buf, uint32_t n, int64_t pos) override {
    if (pos < 0) return vslk64::kErrNegativePos;
    ++reads;
    if (failReads || static_cast<uint64_t>(pos) + n > image_->bytes().size()) {
      return vslk64::kErrRead;
    }
    std::memcpy(buf, image_->bytes().data() + pos, n);
    return vslk64::kOk;
  }
  int WriteRaw(const void* buf, uint32_t n, int64_t pos) override {
    if (pos < 0) return vslk64::kErrNegativePos;
    if (readOnly) return vslk64::kErrReadOnly;
    ++writes;
    if (static_cast<uint64_t>(pos) + n > image_->bytes().size()) return vslk64::kErrWrite;
    std::memcpy(image_->bytes().data() + pos, buf, n);
    return vslk64::kOk;
  }
  int64_t AllocBlock() override { return static_cast<int64_t>(image_->AllocBlock()); }
  int64_t AllocIndexBlock() override { return static_cast<int64_t>(image_->AllocIndexBlock()); }
  int64_t FileSize() override { return static_cast<int64_t>(image_->NextBlock()); }

  int reads = 0;
  int writes = 0;
  bool failReads = false;
  bool readOnly = false;

 private:
  OrfxImage* image_;
};

}  // namespace orfxtest
