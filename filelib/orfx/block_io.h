// CBlockIo: the block-transfer primitives of a 64-bit format file, as the
// block index and the channel classes see them.
//
// TKel64File implements it over its file handle and header; tests of the
// block and index code may implement it over memory. Every position is a
// byte position in the file.
#pragma once

#include <cstdint>

namespace vslk64 {

constexpr uint32_t kDataBlockSize = 65536;
constexpr uint32_t kIndexBlockSize = 4096;

class CBlockIo {
 public:
  virtual ~CBlockIo() = default;
  // One positioned transfer of exactly n bytes: 0, or -1 (no file),
  // -17/-18 (read/write failed or short), -20 (negative position),
  // -21 (write to a read-only file).
  virtual int ReadRaw(void* buf, uint32_t n, int64_t pos) = 0;
  virtual int WriteRaw(const void* buf, uint32_t n, int64_t pos) = 0;
  // The next free 64 KiB block or 4 KiB index block; 0 when none.
  virtual int64_t AllocBlock() = 0;
  virtual int64_t AllocIndexBlock() = 0;
  // The end of the allocated blocks (the header's nextBlock): every data and
  // index block of the file lies below it.
  virtual int64_t FileSize() = 0;
  // A hint that n bytes at pos will be read soon (platform::File::WillNeed);
  // the default does nothing.
  virtual void Prefetch(uint64_t /*pos*/, uint32_t /*n*/) {}
};

}  // namespace vslk64
