// TKel64File's raw transfers, its allocation of 64 KiB data blocks and
// 4 KiB index blocks, and the mapping of the header space (file header,
// channel header table, string table) onto block 0 and its continuation
// blocks. The class and its lock order are in kel64_file.h.
#include "filelib/orfx/kel64_file.h"

#include "filelib/corruption.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "filelib/le.h"
#include "filelib/orfx/buffered_channel.h"
#include "filelib/orfx/channel.h"
#include "filelib/orfx/disk_block_head.h"

namespace vslk64 {
namespace {

using Guard = platform::LockGuard;
using SharedGuard = platform::SharedLock;
using ExclusiveGuard = platform::ExclusiveLock;

constexpr uint32_t kIndexBlocksPerBlock = kDataBlockSize / kIndexBlockSize;
// The last position at which a whole block still lies inside the file
// positions the format can address.
constexpr int64_t kLastBlockStart = INT64_MAX - kDataBlockSize;

// One piece of a header-space transfer: a file position and a length.
struct Piece {
  int64_t pos;
  uint32_t bytes;
};

}  // namespace

// --- Raw transfers and allocation --------------------------------------------

int TKel64File::ReadRaw(void* buf, uint32_t n, int64_t pos) {
  if (pos < 0) return kErrNegativePos;
  Guard g(handleLock_);
  if (!file_) return kErrNoFile;
  if (pos > INT64_MAX - static_cast<int64_t>(n)) return kErrRead;
  return platform::ReadFully(*file_, buf, n, pos) == platform::TransferResult::kOk ? kOk : kErrRead;
}

void TKel64File::Prefetch(uint64_t pos, uint32_t n) {
  Guard g(handleLock_);
  if (file_ && pos <= static_cast<uint64_t>(INT64_MAX))
    file_->WillNeed(static_cast<int64_t>(pos), n);
}

int TKel64File::WriteRaw(const void* buf, uint32_t n, int64_t pos) {
  Guard g(handleLock_);
  if (!file_) return kErrNoFile;
  if (readOnly_) return kErrReadOnly;
  if (pos < 0) return kErrNegativePos;
  if (pos > INT64_MAX - static_cast<int64_t>(n)) return kErrWrite;
  return platform::WriteFully(*file_, buf, n, pos) == platform::TransferResult::kOk ? kOk
                                                                                    : kErrWrite;
}

int64_t TKel64File::FileLength() {
  Guard g(handleLock_);
  if (!file_) return kErrNoFile;
  const int64_t length = file_->Length();
  return length < 0 ? int64_t{kErrRead} : length;
}

int64_t TKel64File::AllocBlockLocked() {
  // nextBlock comes from the file: a value that is not a block position the
  // format can extend from gives no block rather than a wild one.
  const int64_t pos = head_.nextBlock;
  if (pos <= 0 || pos > kLastBlockStart) return 0;
  head_.nextBlock = pos + kDataBlockSize;
  headDirty_ = true;
  // The header on disk is only rewritten at a commit, but blocks reach the
  // file as they fill. Its end-of-allocation field is moved on ahead of each
  // block, so that a file whose writer stopped after a commit still accounts
  // for every block in it and opens with its committed data. A failure here
  // is left to the block's own write to report.
  uint8_t field[8];
  le::PutI64(field, head_.nextBlock);
  WriteRaw(field, sizeof field, head_off::kNextBlockAt);
  return pos;
}

int64_t TKel64File::AllocBlock() {
  Guard g(mainLock_);
  return AllocBlockLocked();
}

int64_t TKel64File::AllocIndexBlock() {
  Guard g(mainLock_);
  const int64_t next = head_.nextIndexBlock;
  // A left-over index position must be an index-block slot inside the
  // allocated blocks; anything else is not reused.
  if (next <= 0 || next % kIndexBlockSize != 0 || next >= head_.nextBlock) {
    head_.nextIndexBlock = AllocBlockLocked();
  }
  const int64_t q = head_.nextIndexBlock;
  if (q != 0) {
    const int64_t inBlock = q & (kDataBlockSize - 1);
    head_.nextIndexBlock =
        inBlock < static_cast<int64_t>((kIndexBlocksPerBlock - 1) * kIndexBlockSize)
            ? q + kIndexBlockSize
            : 0;
    headDirty_ = true;
  }
  return q;
}

int64_t TKel64File::FileSize() {
  Guard g(mainLock_);
  return head_.nextBlock;
}

// --- Header space ----------------------------------------------------------------

namespace {

// Splits header-space bytes [offset, offset + n) into file pieces, calling
// each(piece) in order and stopping at the first non-zero result. The range
// must lie inside the capacity of `blocks` continuation blocks. A
// continuation position that is not an allocated 64 KiB block is a damaged
// header and gives kErrCorrupt before anything at it is touched.
template <typename Each>
int ForEachPiece(const TFileHead& head, uint32_t blocks, uint64_t offset, uint32_t n, Each each) {
  while (n > 0) {
    Piece piece;
    if (offset < kHeadBlock0Bytes) {
      piece.pos = static_cast<int64_t>(offset);
      piece.bytes = static_cast<uint32_t>(std::min<uint64_t>(n, kHeadBlock0Bytes - offset));
    } else {
      const uint64_t k = (offset - kHeadBlock0Bytes) / kHeadBlockBytes;
      const uint64_t r = (offset - kHeadBlock0Bytes) % kHeadBlockBytes;
      if (k >= blocks) return kErrOutOfRange;
      const int64_t block = head.headBlockPos[k];
      if (block < static_cast<int64_t>(kHeadBlock0Bytes) || block % kDataBlockSize != 0 ||
          head.nextBlock < static_cast<int64_t>(kDataBlockSize) ||
          block > head.nextBlock - static_cast<int64_t>(kDataBlockSize)) {
        return KEL_CORRUPT(
            "block < static_cast<int64_t>(kHeadBlock0Bytes) || block % kDataBlockSize != 0 || ...");
      }
      piece.pos = block + static_cast<int64_t>(kDiskBlockHeadSize + r);
      piece.bytes = static_cast<uint32_t>(std::min<uint64_t>(n, kHeadBlockBytes - r));
    }
    const int r = each(piece);
    if (r != kOk) return r;
    offset += piece.bytes;
    n -= piece.bytes;
  }
  return kOk;
}

}  // namespace

int TKel64File::ReadHeaderSpaceLocked(void* buf, uint32_t n, uint64_t offset) {
  const uint32_t blocks = std::min(head_.headBlocks, kMaxHeadBlocks);
  if (offset + n > HeadSpaceCapacity(blocks)) return kErrOutOfRange;
  uint8_t* out = static_cast<uint8_t*>(buf);
  return ForEachPiece(head_, blocks, offset, n, [&](const Piece& p) {
    const int r = ReadRaw(out, p.bytes, p.pos);
    out += p.bytes;
    return r;
  });
}

int TKel64File::WriteHeaderSpaceLocked(const void* buf, uint32_t n, uint64_t offset) {
  if (readOnly_) return kErrReadOnly;
  const uint64_t end = offset + n;
  if (end > HeadSpaceCapacity(std::min(head_.headBlocks, kMaxHeadBlocks))) {
    const int r = GrowHeaderSpaceLocked(end);
    if (r != kOk) return r;
  }
  const uint32_t blocks = std::min(head_.headBlocks, kMaxHeadBlocks);
  const uint8_t* in = static_cast<const uint8_t*>(buf);
  return ForEachPiece(head_, blocks, offset, n, [&](const Piece& p) {
    const int r = WriteRaw(in, p.bytes, p.pos);
    in += p.bytes;
    return r;
  });
}

int TKel64File::GrowHeaderSpaceLocked(uint64_t end) {
  if (end <= kHeadBlock0Bytes) return kOk;
  const uint64_t need = (end - kHeadBlock0Bytes - 1) / kHeadBlockBytes + 1;
  if (need <= head_.headBlocks) return kOk;
  if (need > kMaxHeadBlocks || readOnly_) return kErrOutOfRange;
  // A continuation block is a block head marking it as header space, then
  // zeros.
  std::vector<uint8_t> block(kDataBlockSize, 0);
  TDiskBlockHead head;
  head.chan = kHeadSpaceChan;
  head.Encode(block.data());
  while (head_.headBlocks < need) {
    const int64_t pos = AllocBlockLocked();
    if (pos == 0) return kErrOutOfRange;
    head_.headBlockPos[head_.headBlocks] = pos;
    if (WriteRaw(block.data(), kDataBlockSize, pos) != kOk) return kErrOutOfRange;
    ++head_.headBlocks;
  }
  return kOk;
}

int TKel64File::ReadHeaderSpace(void* buf, uint32_t n, uint64_t offset) {
  Guard g(mainLock_);
  return ReadHeaderSpaceLocked(buf, n, offset);
}

int TKel64File::WriteHeaderSpace(const void* buf, uint32_t n, uint64_t offset) {
  Guard g(mainLock_);
  return WriteHeaderSpaceLocked(buf, n, offset);
}

int TKel64File::WriteHeadLocked() {
  uint8_t image[kFileHeadSize];
  head_.Encode(image);
  const int r = WriteHeaderSpaceLocked(image, kFileHeadSize, 0);
  if (r == kOk) headDirty_ = false;
  return r;
}

int TKel64File::WriteStringTableLocked() {
  const std::vector<uint8_t> image = strings_.Serialise();
  if (image.size() > kMaxHeadSpace) return kErrOutOfRange;
  const int r = WriteHeaderSpaceLocked(image.data(), static_cast<uint32_t>(image.size()),
                                       head_.stringsOffset);
  if (r == kOk) strings_.ClearDirty();
  return r;
}

int TKel64File::WriteChanHead(uint16_t chan) {
  Guard g(mainLock_);
  if (chan >= chanHeads_.size()) return kErrNoChannel;
  uint8_t image[kChanHeadSize];
  chanHeads_[chan].Encode(image);
  return WriteHeaderSpaceLocked(image, kChanHeadSize,
                                head_.chanOffset + static_cast<uint64_t>(chan) * kChanHeadSize);
}

int TKel64File::CopyText(uint32_t id, int bufSize, char* buf) {
  Guard g(mainLock_);
  return CopyTextOut(strings_.Lookup(id), buf, bufSize);
}

uint32_t TKel64File::ReplaceText(const char* text, uint32_t oldId) {
  Guard g(mainLock_);
  return strings_.Replace(text ? std::string(text) : std::string(), oldId);
}

void TKel64File::ReleaseText(uint32_t id) {
  Guard g(mainLock_);
  strings_.Release(id);
}

}  // namespace vslk64
