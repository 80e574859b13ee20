#include "filelib/orfx/kel64_file.h"

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
// FileLength: the operating system could not say how long the file is.
constexpr int64_t kErrNoLength = -5;

// One piece of a header-space transfer: a file position and a length.
struct Piece {
  int64_t pos;
  uint32_t bytes;
};

}  // namespace

TKel64File::TKel64File() : chanHeads_(head_.maxChans), chans_(head_.maxChans) {}

TKel64File::~TKel64File() {
  bool open;
  {
    Guard g(handleLock_);
    open = file_ != nullptr;
  }
  if (open) Close();
}

CKel64Chan* TKel64File::Chan(uint16_t chan) const {
  return chan < chans_.size() ? chans_[chan].get() : nullptr;
}

template <typename Absent, typename Op>
auto TKel64File::Dispatch(uint16_t chan, Absent absent, Op op)
    -> decltype(op(std::declval<CKel64Chan&>())) {
  using Result = decltype(op(std::declval<CKel64Chan&>()));
  SharedGuard table(chanTableLock_);
  CKel64Chan* ch = Chan(chan);
  return ch ? op(*ch) : static_cast<Result>(absent);
}

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
  if (file_ && pos <= static_cast<uint64_t>(INT64_MAX)) file_->WillNeed(static_cast<int64_t>(pos), n);
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
  return length < 0 ? kErrNoLength : length;
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
        return kErrCorrupt;
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

// --- Open and close --------------------------------------------------------------

int TKel64File::Open(const char* path, int mode, uint32_t flags) {
  ExclusiveGuard table(chanTableLock_);
  platform::UniqueLock g(mainLock_);
  {
    Guard h(handleLock_);
    if (file_) return kErrAlreadyOpen;
  }
  const bool readOnly = mode > 0;
  auto& fs = platform::Files();
  std::unique_ptr<platform::File> file =
      fs.Open(path, readOnly ? platform::Access::kRead : platform::Access::kReadWrite,
              platform::Disposition::kOpenExisting, platform::Share::kReaders);
  readOnly_ = readOnly;
  if (!file) {
    if (mode >= 0) return kErrNoFile;
    readOnly_ = true;
    file = fs.Open(path, platform::Access::kRead, platform::Disposition::kOpenExisting,
                   platform::Share::kReaders);
    if (!file) return kErrNoFile;
  }
  {
    Guard h(handleLock_);
    file_ = std::move(file);
  }
  openedExisting_ = true;
  int r = OpenLocked();
  g.unlock();
  // The checks read and write index blocks and take the main mutex for the
  // file's size, so they run with only the channel table held.
  if (r == kOk && !readOnly) r = CheckEntryNumbersOnOpen();
  if (r != kOk && (flags & 2) == 0) CloseHandle();
  return r;
}

int TKel64File::CheckEntryNumbersOnOpen() {
  int first = kOk;
  for (auto& chan : chans_) {
    if (!chan) continue;
    const int r = chan->CheckEntryNumbers();
    if (r < 0 && first == kOk) first = r;
    // Index blocks of one channel carrying their numbers show that the
    // file was written with them throughout.
    if (r == 2) break;
  }
  return first;
}

int TKel64File::OpenLocked() {
  // Whatever the object held before belongs to another file.
  chans_.clear();
  uint8_t image[kFileHeadSize];
  headDirty_ = false;
  int r = ReadRaw(image, kFileHeadSize, 0);
  if (r != kOk) return r;
  head_.Decode(image);
  if (FirstFailedHeadCheck(head_) != 0) return kErrBadHeader;

  chanHeads_.assign(head_.maxChans, TChanHead());
  r = ReadStringTableLocked();
  if (r != kOk) return r;

  std::vector<uint8_t> table(static_cast<size_t>(head_.maxChans) * kChanHeadSize);
  r = ReadHeaderSpaceLocked(table.data(), static_cast<uint32_t>(table.size()), head_.chanOffset);
  if (r != kOk) return r;
  for (uint32_t i = 0; i < head_.maxChans; ++i) chanHeads_[i].Decode(&table[i * kChanHeadSize]);

  r = BuildChannelsLocked();
  if (r != kOk) return r;

  // A file may run on past its last allocated block by less than one block
  // (a block whose write was cut short), never further.
  const int64_t length = FileLength();
  const int64_t next = head_.nextBlock;
  if (length >= 0 && (next >= 0 ? length - next > kMaxTailBytes : length > kMaxTailBytes + next)) {
    return kErrTooLong;
  }
  return kOk;
}

int TKel64File::ReadStringTableLocked() {
  const uint64_t capacity = HeadSpaceCapacity(head_.headBlocks);
  const uint64_t room = capacity - head_.stringsOffset;  // checked positive at validation
  if (room < 8) return kErrCorrupt;
  uint8_t first[4];
  int r = ReadHeaderSpaceLocked(first, 4, head_.stringsOffset);
  if (r != kOk) return r;
  const uint64_t words = le::GetU32(first);
  if (words < 2 || 4 * words > room) return kErrCorrupt;
  std::vector<uint8_t> image(static_cast<size_t>(4 * words));
  r = ReadHeaderSpaceLocked(image.data(), static_cast<uint32_t>(image.size()), head_.stringsOffset);
  if (r != kOk) return r;
  return strings_.Parse(image.data(), static_cast<size_t>(words)) ? kOk : kErrCorrupt;
}

int TKel64File::BuildChannelsLocked() {
  chans_.clear();
  chans_.resize(head_.maxChans);
  for (uint32_t i = 0; i < head_.maxChans; ++i) {
    chans_[i] = MakeChanFromRecord(this, static_cast<uint16_t>(i));
  }
  return kOk;
}

int TKel64File::CloseHandle() {
  Guard h(handleLock_);
  if (!file_) return kErrNoFile;
  file_.reset();
  return kOk;
}

int TKel64File::Close() {
  {
    Guard h(handleLock_);
    if (!file_) return kErrNoFile;
  }
  const int r = readOnly_ ? kOk : Commit(0);
  FlushSysBuffers();
  CloseHandle();
  return r;
}

int TKel64File::Commit(int flags) {
  if (readOnly_) return kErrReadOnly;
  int first = kOk;
  const auto remember = [&first](int r) {
    if (first == kOk && r != kOk) first = r;
  };
  if ((flags & 2) == 0) {
    SharedGuard table(chanTableLock_);
    for (auto& chan : chans_) {
      if (chan) remember(chan->Commit());
    }
  }
  {
    Guard g(mainLock_);
    // The string table first: growing the header space to hold it changes
    // the header, which must reach the disk in the same commit.
    if (strings_.Dirty()) remember(WriteStringTableLocked());
    if (headDirty_) remember(WriteHeadLocked());
  }
  if (flags & 4) SetBuffering(-1, 0, 0.0);
  if (flags & 1) remember(FlushSysBuffers());
  return first;
}

int TKel64File::FlushSysBuffers() {
  if (readOnly_) return kErrReadOnly;
  Guard h(handleLock_);
  if (!file_) return kErrNoFile;
  return file_->Flush() ? kOk : kErrWrite;
}

bool TKel64File::CanWrite() { return !readOnly_; }

bool TKel64File::IsModified() {
  {
    Guard g(mainLock_);
    if (headDirty_ || strings_.Dirty()) return true;
  }
  SharedGuard table(chanTableLock_);
  for (auto& chan : chans_) {
    if (chan && chan->IsModified()) return true;
  }
  return false;
}

// --- File properties -------------------------------------------------------------

double TKel64File::GetTimeBase() {
  Guard g(mainLock_);
  return head_.timeBase;
}

void TKel64File::SetTimeBase(double secsPerTick) {
  Guard g(mainLock_);
  if (secsPerTick > 0 && secsPerTick != head_.timeBase) {
    head_.timeBase = secsPerTick;
    headDirty_ = true;
  }
}

namespace {
// Whether [offset, offset + bytes) lies inside an area of `size` bytes.
bool InArea(uint32_t offset, uint32_t bytes, uint32_t size) {
  return offset <= size && bytes <= size && static_cast<uint64_t>(offset) + bytes <= size;
}
}  // namespace

int TKel64File::GetExtraData(void* buf, uint32_t bytes, uint32_t offset) {
  Guard g(mainLock_);
  if (!InArea(offset, bytes, head_.extraBytes)) return kErrExtraRange;
  return ReadHeaderSpaceLocked(buf, bytes, static_cast<uint64_t>(head_.extraOffset) + offset);
}

int TKel64File::SetExtraData(const void* buf, uint32_t bytes, uint32_t offset) {
  Guard g(mainLock_);
  if (!InArea(offset, bytes, head_.extraBytes)) return kErrExtraRange;
  return WriteHeaderSpaceLocked(buf, bytes, static_cast<uint64_t>(head_.extraOffset) + offset);
}

uint32_t TKel64File::GetExtraDataSize() {
  Guard g(mainLock_);
  return head_.extraBytes;
}

int TKel64File::SetFileComment(int n, const char* text) {
  if (static_cast<unsigned>(n) >= kFileComments) return kErrBadArg;
  Guard g(mainLock_);
  head_.commentIds[n] =
      strings_.Replace(text ? std::string(text) : std::string(), head_.commentIds[n]);
  headDirty_ = true;
  return kOk;
}

int TKel64File::GetFileComment(int n, int bufSize, char* buf) {
  if (static_cast<unsigned>(n) >= kFileComments) return kErrBadArg;
  Guard g(mainLock_);
  return CopyTextOut(strings_.Lookup(head_.commentIds[n]), buf, bufSize);
}

int TKel64File::MaxChans() {
  Guard g(mainLock_);
  return static_cast<int>(head_.maxChans);
}

int TKel64File::AppID(TAppID* get, const TAppID* set) {
  Guard g(mainLock_);
  if (get) *get = head_.appID;
  if (set) {
    head_.appID = *set;
    headDirty_ = true;
  }
  return kOk;
}

int TKel64File::TimeDate(TTimeDate* get, const TTimeDate* set) {
  Guard g(mainLock_);
  int r = 0;
  if (get) {
    *get = head_.timeDate;
    r = TimeDateValidity(head_.timeDate);
  }
  if (set) {
    if (TimeDateValidity(*set) < 0) return kErrBadArg;
    head_.timeDate = *set;
    headDirty_ = true;
  }
  return r;
}

int TKel64File::GetVersion() {
  Guard g(mainLock_);
  return head_.Version();
}

TSTime64 TKel64File::MaxTime(bool recompute) {
  TSTime64 best;
  {
    Guard g(mainLock_);
    best = head_.maxTime;
  }
  if (best >= 0 && !recompute) return best;
  SharedGuard table(chanTableLock_);
  for (auto& chan : chans_) {
    if (chan) best = std::max(best, chan->ChanMaxTime());
  }
  return best;
}

void TKel64File::ExtendMaxTime(TSTime64 t) {
  Guard g(mainLock_);
  if (t > head_.maxTime || (t < 0 && head_.maxTime >= 0)) {
    head_.maxTime = t;
    headDirty_ = true;
  }
}

// --- Channel properties ------------------------------------------------------------

int TKel64File::GetFreeChan() {
  SharedGuard table(chanTableLock_);
  for (size_t i = 0; i < chans_.size(); ++i) {
    if (!chans_[i] || chans_[i]->ChanKind() == ChanOff) return static_cast<int>(i);
  }
  return kErrNoChannel;
}

int64_t TKel64File::ChanBytes(uint16_t chan) {
  return Dispatch(chan, 0, [](CKel64Chan& c) { return c.ChanBytes(); });
}

TDataKind TKel64File::ChanKind(uint16_t chan) {
  return Dispatch(chan, ChanOff, [](CKel64Chan& c) { return c.ChanKind(); });
}

TSTime64 TKel64File::ChanDivide(uint16_t chan) {
  return Dispatch(chan, 1, [](CKel64Chan& c) { return c.ChanDivide(); });
}

double TKel64File::IdealRate(uint16_t chan, double rate) {
  return Dispatch(chan, 0.0, [&](CKel64Chan& c) { return c.IdealRate(rate); });
}

int TKel64File::PhyChan(uint16_t chan) {
  return Dispatch(chan, kErrNoChannel, [](CKel64Chan& c) { return c.PhyChan(); });
}

int TKel64File::SetChanComment(uint16_t chan, const char* text) {
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) { return c.SetChanComment(text); });
}
int TKel64File::GetChanComment(uint16_t chan, int bufSize, char* buf) {
  return Dispatch(chan, kErrNoChannel,
                  [&](CKel64Chan& c) { return c.GetChanComment(bufSize, buf); });
}
int TKel64File::SetChanTitle(uint16_t chan, const char* text) {
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) { return c.SetChanTitle(text); });
}
int TKel64File::GetChanTitle(uint16_t chan, int bufSize, char* buf) {
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) { return c.GetChanTitle(bufSize, buf); });
}
int TKel64File::SetChanUnits(uint16_t chan, const char* units) {
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) { return c.SetChanUnits(units); });
}
int TKel64File::GetChanUnits(uint16_t chan, int bufSize, char* buf) {
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) { return c.GetChanUnits(bufSize, buf); });
}
int TKel64File::SetChanScale(uint16_t chan, double scale) {
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) { return c.SetChanScale(scale); });
}
int TKel64File::SetChanOffset(uint16_t chan, double offset) {
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) { return c.SetChanOffset(offset); });
}
int TKel64File::SetChanYRange(uint16_t chan, double low, double high) {
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) { return c.SetChanYRange(low, high); });
}
int TKel64File::ItemSize(uint16_t chan) {
  return Dispatch(chan, kErrNoChannel, [](CKel64Chan& c) { return c.ItemSize(); });
}
int TKel64File::SetInitLevel(uint16_t chan, bool level) {
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) { return c.SetInitLevel(level); });
}
int TKel64File::GetExtMarkInfo(uint16_t chan, uint64_t* rows, uint64_t* cols) {
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) { return c.GetExtMarkInfo(rows, cols); });
}
TSTime64 TKel64File::ChanMaxTime(uint16_t chan) {
  return Dispatch(chan, kErrNoChannel, [](CKel64Chan& c) { return c.ChanMaxTime(); });
}

int TKel64File::GetChanScale(uint16_t chan, double* scale) {
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) {
    const double value = c.GetChanScale();
    if (scale) *scale = value;
    return kOk;
  });
}

int TKel64File::GetChanOffset(uint16_t chan, double* offset) {
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) {
    const double value = c.GetChanOffset();
    if (offset) *offset = value;
    return kOk;
  });
}

int TKel64File::GetChanYRange(uint16_t chan, double* low, double* high) {
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) {
    c.GetChanYRange(low, high);
    return kOk;
  });
}

TSTime64 TKel64File::PrevNTime(uint16_t chan, TSTime64 tFrom, TSTime64 tTo, uint32_t n,
                               const CMarkFilter* filter, bool asWave) {
  if (tTo >= tFrom) return -1;
  SharedGuard table(chanTableLock_);
  CKel64Chan* ch = Chan(chan);
  if (!ch) return kErrNoChannel;
  TReadRange range(tTo, tFrom, n);
  TSTime64 r;
  // The channel spent its block budget; called again with the range as it
  // left it, it finds the budget at 0 and searches to the end.
  do {
    r = ch->PrevNTime(range, filter, asWave);
  } while (r == kSearchBudgetSpent);
  return r;
}

int TKel64File::ChanUndelete(uint16_t chan, int action) {
  if (action == 0) {
    SharedGuard table(chanTableLock_);
    if (chan >= chanHeads_.size()) return kErrNoChannel;
    // A deleted channel has no object; its record says what it was.
    if (chans_[chan]) return ChanOff;
    return RestorableKind(chanHeads_[chan]);
  }
  if (action != 1) return kOk;
  ExclusiveGuard table(chanTableLock_);
  if (chan >= chanHeads_.size()) return kErrNoChannel;
  if (chans_[chan]) return chans_[chan]->ChanUndelete();
  TChanHead& head = chanHeads_[chan];
  const TDataKind kind = RestorableKind(head);
  if (kind == ChanOff) return kErrWrongKind;
  head.kind = kind;
  head.delKind = 0;
  std::unique_ptr<CKel64Chan> ch = MakeChanFromRecord(this, chan);
  if (!ch) {
    // A record no channel object can be made from stays deleted.
    head.delKind = kind;
    head.kind = ChanOff;
    return kErrCorrupt;
  }
  ch->MarkHeadChanged();
  chans_[chan] = std::move(ch);
  return kOk;
}

// --- Saving -----------------------------------------------------------------------

namespace {
// The slots a channel argument addresses: all for a negative one, else one.
struct Slots {
  size_t first, end;
};
Slots Addressed(int chan, size_t count) {
  if (chan < 0) return {0, count};
  const size_t c = static_cast<size_t>(chan);
  return c < count ? Slots{c, c + 1} : Slots{0, 0};
}
}  // namespace

void TKel64File::Save(int chan, TSTime64 t, bool save) {
  SharedGuard table(chanTableLock_);
  const Slots s = Addressed(chan, chans_.size());
  for (size_t i = s.first; i < s.end; ++i) {
    if (chans_[i]) chans_[i]->Save(t, save);
  }
}

void TKel64File::SaveRange(int chan, TSTime64 tFrom, TSTime64 tUpto) {
  SharedGuard table(chanTableLock_);
  const Slots s = Addressed(chan, chans_.size());
  for (size_t i = s.first; i < s.end; ++i) {
    if (chans_[i]) chans_[i]->SaveRange(tFrom, tUpto);
  }
}

bool TKel64File::IsSaving(uint16_t chan) {
  return Dispatch(chan, false, [](CKel64Chan& c) { return c.IsSaving(); });
}

int TKel64File::NoSaveList(uint16_t chan, TSTime64* times, uint32_t max, TSTime64 tFrom,
                           TSTime64 tUpto) {
  return Dispatch(chan, 0, [&](CKel64Chan& c) { return c.NoSaveList(times, max, tFrom, tUpto); });
}

int TKel64File::LatestTime(int chan, TSTime64 t) {
  SharedGuard table(chanTableLock_);
  const Slots s = Addressed(chan, chans_.size());
  for (size_t i = s.first; i < s.end; ++i) {
    if (chans_[i]) chans_[i]->LatestTime(t);
  }
  return kOk;
}

// --- Reading ---------------------------------------------------------------------

// Drives one channel read to completion: the channel stops after a budget of
// blocks with the range still open, and is called again from where it
// stopped (the channel lock is released in between, so other readers of the
// channel get their turn). Items a failing call already copied stay in the
// buffer uncounted.
template <typename Item, typename Call>
int TKel64File::ReadLoop(uint16_t chan, Item* out, int max, TSTime64 tFrom, TSTime64 tUpto,
                         Call call) {
  SharedGuard table(chanTableLock_);
  CKel64Chan* ch = Chan(chan);
  if (!ch) return kErrNoChannel;
  // Extended markers are read as bytes, ItemSize() of them per item.
  const size_t itemBytes =
      std::is_same<Item, uint8_t>::value ? static_cast<size_t>(ch->ItemSize()) : sizeof(Item);
  uint8_t* at = reinterpret_cast<uint8_t*>(out);
  TReadRange range(tFrom, tUpto, static_cast<uint64_t>(max));
  int total = 0;
  for (;;) {
    const TSTime64 from = range.tFrom;
    const int r = call(ch, reinterpret_cast<Item*>(at), range, total == 0);
    if (r < 0) return r;
    total += r;
    if (range.nTries > 0 || !range.IsOpen()) return total;
    // A call that spent its budget has delivered or moved tFrom past the
    // blocks it examined; one that did neither was sent back over the same
    // blocks by an index that does not match them, and would be again.
    if (r == 0 && range.tFrom <= from) return kErrCorrupt;
    range.nTries = kReadTries;
    at += static_cast<size_t>(r) * itemBytes;
  }
}

int TKel64File::ReadEvents(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom, TSTime64 tUpto,
                           const CMarkFilter* filter) {
  if (max < 1) return 0;
  return ReadLoop(chan, times, max, tFrom, tUpto,
                  [filter](CKel64Chan* ch, TSTime64* out, TReadRange& range, bool) {
                    return ch->ReadEvents(out, range, filter);
                  });
}

int TKel64File::ReadMarkers(uint16_t chan, TMarker* items, int max, TSTime64 tFrom, TSTime64 tUpto,
                            const CMarkFilter* filter) {
  if (max < 1) return 0;
  return ReadLoop(chan, items, max, tFrom, tUpto,
                  [filter](CKel64Chan* ch, TMarker* out, TReadRange& range, bool) {
                    return ch->ReadMarkers(out, range, filter);
                  });
}

int TKel64File::ReadLevels(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom, TSTime64 tUpto,
                           bool* level) {
  if (max < 1) return 0;
  // The level asked for is the one before the first change delivered; calls
  // that continue a read must not replace it.
  bool ignored = false;
  bool* first = level ? level : &ignored;
  return ReadLoop(chan, times, max, tFrom, tUpto,
                  [&](CKel64Chan* ch, TSTime64* out, TReadRange& range, bool nothingYet) {
                    return ch->ReadLevels(out, range, nothingYet ? first : &ignored);
                  });
}

int TKel64File::ReadWaveF(uint16_t chan, float* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                          TSTime64* tFirst, const CMarkFilter* filter) {
  if (max < 1 || tUpto < 1 || tFrom >= tUpto) return 0;
  TSTime64 ignored = 0;
  TSTime64* first = tFirst ? tFirst : &ignored;
  return ReadLoop(chan, data, max, tFrom, tUpto,
                  [&](CKel64Chan* ch, float* out, TReadRange& range, bool) {
                    return ch->ReadWaveF(out, range, first, filter);
                  });
}

int TKel64File::ReadWaveS(uint16_t chan, int16_t* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                          TSTime64* tFirst, const CMarkFilter* filter) {
  if (max < 1 || tUpto < 1 || tFrom >= tUpto) return 0;
  TSTime64 ignored = 0;
  TSTime64* first = tFirst ? tFirst : &ignored;
  return ReadLoop(chan, data, max, tFrom, tUpto,
                  [&](CKel64Chan* ch, int16_t* out, TReadRange& range, bool) {
                    return ch->ReadWaveS(out, range, first, filter);
                  });
}

int TKel64File::ReadWaveD(uint16_t chan, double* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                          TSTime64* tFirst) {
  if (max < 1 || tUpto < 1 || tFrom >= tUpto) return 0;
  TSTime64 ignored = 0;
  TSTime64* first = tFirst ? tFirst : &ignored;
  return ReadLoop(chan, data, max, tFrom, tUpto,
                  [&](CKel64Chan* ch, double* out, TReadRange& range, bool) {
                    return ch->ReadWaveD(out, range, first);
                  });
}

int TKel64File::ReadWaveRuns(uint16_t chan, TSTime64 tFrom, CWaveRunSink& sink) {
  {
    SharedGuard table(chanTableLock_);
    CKel64Chan* ch = Chan(chan);
    if (!ch) return kErrNoChannel;
    const TDataKind kind = ch->ChanKind();
    // A channel with a buffer, or one whose samples are wave-mark points,
    // is walked by reading.
    if (!ch->HasBuffer() && (kind == Adc || kind == RealWave)) {
      return ch->ReadWaveRuns(tFrom, sink);
    }
  }
  return CKel64File::ReadWaveRuns(chan, tFrom, sink);
}

int TKel64File::ReadExtMarks(uint16_t chan, TExtMark* items, int max, TSTime64 tFrom,
                             TSTime64 tUpto, const CMarkFilter* filter) {
  if (max < 1 || tFrom >= tUpto || tUpto < 0) return 0;
  // Items are ItemSize() bytes each, so the loop walks the buffer in bytes.
  return ReadLoop(chan, reinterpret_cast<uint8_t*>(items), max, tFrom, tUpto,
                  [filter](CKel64Chan* ch, uint8_t* out, TReadRange& range, bool) {
                    return ch->ReadExtMarks(out, range, filter);
                  });
}

// --- Creating files and channels, writing, deleting ------------------------------

int TKel64File::Create(const char* path, uint16_t nChans, uint32_t extraBytes) {
  if (nChans < kMinChans) {
    nChans = kMinChans;
  } else if (nChans > kMaxChans || extraBytes > 65536) {
    return kErrBadArg;
  }
  // The whole extra-data area must fit in the header space, with the
  // channel table after it.
  if (static_cast<uint64_t>(kFileHeadSize) + extraBytes +
          static_cast<uint64_t>(nChans) * kChanHeadSize + 8 >
      kMaxHeadSpace) {
    return kErrBadArg;
  }
  int r;
  {
    ExclusiveGuard table(chanTableLock_);
    Guard g(mainLock_);
    {
      Guard h(handleLock_);
      if (file_) return kErrAlreadyOpen;
    }
    if (path == nullptr) return kErrNoFile;
    std::unique_ptr<platform::File> file =
        platform::Files().Open(path, platform::Access::kReadWrite,
                               platform::Disposition::kCreateAlways, platform::Share::kNone);
    if (!file) return kErrNoFile;
    {
      Guard h(handleLock_);
      file_ = std::move(file);
    }
    readOnly_ = false;
    r = CreateLocked(nChans, extraBytes);
  }
  if (r != kOk) Close();
  return r;
}

int TKel64File::CreateLocked(uint16_t nChans, uint32_t extraBytes) {
  chans_.clear();
  chans_.resize(nChans);
  chanHeads_.assign(nChans, TChanHead());
  strings_ = CStringTable();
  head_ = TFileHead::NewFile(nChans, extraBytes);
  headDirty_ = true;
  int r = WriteHeadLocked();
  if (r != kOk) return r;
  // Continuation blocks taken from here on change the header again; they
  // leave it dirty for the next Commit or Close.
  const std::vector<uint8_t> zeros(std::min<uint32_t>(extraBytes, 32768), 0);
  for (uint32_t done = 0; done < extraBytes;) {
    const uint32_t piece = std::min<uint32_t>(extraBytes - done, 32768);
    r = WriteHeaderSpaceLocked(zeros.data(), piece, static_cast<uint64_t>(head_.extraOffset) + done);
    if (r != kOk) return r;
    done += piece;
  }
  std::vector<uint8_t> table(static_cast<size_t>(nChans) * kChanHeadSize);
  for (uint32_t i = 0; i < nChans; ++i) chanHeads_[i].Encode(&table[i * kChanHeadSize]);
  r = WriteHeaderSpaceLocked(table.data(), static_cast<uint32_t>(table.size()), head_.chanOffset);
  if (r != kOk) return r;
  return WriteStringTableLocked();
}

int TKel64File::EmptyFile() {
  {
    Guard h(handleLock_);
    if (!file_) return kErrNoFile;
  }
  if (readOnly_) return kErrReadOnly;
  int first = kOk;
  {
    SharedGuard table(chanTableLock_);
    for (auto& chan : chans_) {
      if (!chan) continue;
      const int r = chan->EmptyData();
      if (first == kOk && r != kOk) first = r;
    }
  }
  ExtendMaxTime(-1);
  return first;
}

int TKel64File::ChanDelete(uint16_t chan) {
  const int r = Commit(0);
  if (r != kOk) return r;
  ExclusiveGuard table(chanTableLock_);
  CKel64Chan* ch = Chan(chan);
  if (!ch) return kErrNoChannel;
  const int d = ch->ChanDelete();
  chans_[chan].reset();
  return d;
}

namespace {
// Bytes for `seconds` of data at `bytesPerSec`, truncated toward zero and
// kept inside the 64-bit range.
uint64_t BytesFor(double bytesPerSec, double seconds) {
  const double need = bytesPerSec * seconds;
  if (!(need > 0)) return 0;
  return need >= 18446744073709551615.0 ? UINT64_MAX : static_cast<uint64_t>(need);
}
}  // namespace

double TKel64File::SetBuffering(int chan, uint64_t bytes, double seconds) {
  if (readOnly_) return 0.0;
  SharedGuard table(chanTableLock_);
  if (seconds < 0) {
    Guard g(mainLock_);
    seconds = bufferSeconds_;
  }
  if (chan >= 0) {
    CKel64Chan* ch = static_cast<size_t>(chan) < chans_.size() ? chans_[chan].get() : nullptr;
    if (!ch) return kErrNoChannel;
    const double size = ch->ItemSize();
    const double rate = ch->IdealRate(-1.0);
    if (seconds > 0) {
      const uint64_t need = BytesFor(size * rate, seconds);
      if (bytes == 0 || need < bytes) bytes = need;
      seconds = rate > 0 && size > 0 ? static_cast<double>(bytes) / (size * rate) : 0.0;
    }
    if ((!ch->HasBuffer() || bytes == 0) && size > 0) {
      ch->ResizeBuffer(bytes / static_cast<uint64_t>(size));
    }
    return seconds;
  }
  double total = 0;  // bytes per second of all channels
  for (auto& ch : chans_) {
    if (ch) total += ch->ItemSize() * ch->IdealRate(-1.0);
  }
  if (!(seconds > 0 && total * seconds <= static_cast<double>(bytes))) {
    seconds = total > 0 ? static_cast<double>(bytes) / total : 0.0;
  }
  for (auto& ch : chans_) {
    if (ch && (!ch->HasBuffer() || bytes == 0)) {
      ch->ResizeBuffer(BytesFor(ch->IdealRate(-1.0), seconds));
    }
  }
  Guard g(mainLock_);
  bufferSeconds_ = seconds;
  return seconds;
}

int TKel64File::PrepareSlotLocked(uint16_t chan) {
  if (readOnly_) return kErrReadOnly;
  {
    Guard h(handleLock_);
    if (!file_) return kErrNoFile;
  }
  if (chan >= chans_.size()) return kErrNoChannel;
  if (chans_[chan]) return kErrChannelUsed;
  return kOk;
}

int TKel64File::SetEventChan(uint16_t chan, double rate, TDataKind kind, uint32_t phyChan) {
  if (kind == Level) return SetLevelChan(chan, rate, phyChan);
  if (kind == Marker) return SetMarkerChan(chan, rate, kind, phyChan);
  if (kind != EventA && kind != EventB) return kErrBadArg;
  ExclusiveGuard table(chanTableLock_);
  const int r = PrepareSlotLocked(chan);
  if (r != kOk) return r;
  std::unique_ptr<CKel64Chan> ch;
  if (openedExisting_) {
    ch = std::make_unique<CEventChan>(this, chan, kind);
  } else {
    ch = std::make_unique<CBEventChan>(this, chan, kind);
  }
  ch->SetPhyChan(static_cast<int32_t>(phyChan));
  ch->IdealRate(rate);
  chans_[chan] = std::move(ch);
  return kOk;
}

int TKel64File::SetMarkerChan(uint16_t chan, double rate, TDataKind kind, uint32_t phyChan) {
  if (kind != Level && kind != Marker) return kErrWrongKind;
  ExclusiveGuard table(chanTableLock_);
  const int r = PrepareSlotLocked(chan);
  if (r != kOk) return r;
  std::unique_ptr<CKel64Chan> ch;
  if (openedExisting_) {
    ch = std::make_unique<CMarkerChan>(this, chan, kind);
  } else {
    ch = std::make_unique<CBMarkerChan>(this, chan, kind);
  }
  ch->SetPhyChan(static_cast<int32_t>(phyChan));
  ch->IdealRate(rate);
  chans_[chan] = std::move(ch);
  return kOk;
}

int TKel64File::SetLevelChan(uint16_t chan, double rate, uint32_t phyChan) {
  return SetMarkerChan(chan, rate, Level, phyChan);
}

int TKel64File::SetTextMarkChan(uint16_t chan, double rate, uint64_t maxChars, uint32_t phyChan) {
  return SetExtMarkChan(chan, rate, TextMark, maxChars, 1, phyChan, 0, 0);
}

int TKel64File::SetExtMarkChan(uint16_t chan, double rate, TDataKind kind, uint64_t rows,
                               uint64_t cols, uint32_t phyChan, TSTime64 divide, int preTrig) {
  if (rows == 0 || cols == 0) return kErrBadArg;
  if (kind == WaveMark) {
    if (divide < 1) return kErrBadArg;
  } else if (kind == TextMark) {
    if (cols > 1) return kErrBadArg;
  } else if (kind != RealMark) {
    return kErrNoChannel;
  }
  if (preTrig < 0 || static_cast<uint64_t>(preTrig) > rows - 1) return kErrBadArg;
  // The shape must fit the record's 16-bit fields and at least one item a
  // block.
  if (rows > 0xFFFF || cols > 0xFFFF ||
      ExtMarkItemSize(kind, rows, cols) > kDataBlockSize - kDiskBlockHeadSize) {
    return kErrBadArg;
  }
  ExclusiveGuard table(chanTableLock_);
  const int r = PrepareSlotLocked(chan);
  if (r != kOk) return r;
  const uint16_t r16 = static_cast<uint16_t>(rows), c16 = static_cast<uint16_t>(cols);
  std::unique_ptr<CKel64Chan> ch;
  if (openedExisting_) {
    ch = std::make_unique<CExtMarkChan>(this, chan, kind, r16, c16, divide);
  } else {
    ch = std::make_unique<CBExtMarkChan>(this, chan, kind, r16, c16, divide);
  }
  ch->SetPhyChan(static_cast<int32_t>(phyChan));
  ch->IdealRate(rate);
  ch->SetPreTrig(static_cast<uint16_t>(preTrig));
  chans_[chan] = std::move(ch);
  return kOk;
}

int TKel64File::SetWaveChan(uint16_t chan, TSTime64 divide, TDataKind kind, double rate,
                            uint32_t phyChan) {
  ExclusiveGuard table(chanTableLock_);
  const int r = PrepareSlotLocked(chan);
  if (r != kOk) return r;
  if (divide <= 0) return kErrBadArg;
  if (kind != Adc && kind != RealWave) return kErrWrongKind;
  double timeBase;
  {
    Guard g(mainLock_);
    timeBase = head_.timeBase;
  }
  std::unique_ptr<CKel64Chan> ch;
  if (kind == Adc) {
    if (openedExisting_) {
      ch = std::make_unique<CAdcChan>(this, chan, divide);
    } else {
      ch = std::make_unique<CBAdcChan>(this, chan, divide);
    }
  } else if (openedExisting_) {
    ch = std::make_unique<CRealWChan>(this, chan, divide);
  } else {
    ch = std::make_unique<CBRealWChan>(this, chan, divide);
  }
  ch->SetPhyChan(static_cast<int32_t>(phyChan));
  ch->IdealRate(rate > 0 ? rate : 1.0 / (timeBase * static_cast<double>(divide)));
  chans_[chan] = std::move(ch);
  return kOk;
}

int TKel64File::RefuseWrite(uint16_t chan) {
  if (readOnly_) return kErrReadOnly;
  SharedGuard table(chanTableLock_);
  return Chan(chan) ? kErrWrongKind : kErrNoChannel;
}

int TKel64File::WriteEvents(uint16_t chan, const TSTime64* times, uint64_t n) {
  if (readOnly_) return kErrReadOnly;
  if (n == 0) return kOk;
  if (times == nullptr) return kErrBadArg;
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) { return c.WriteEvents(times, n); });
}

int TKel64File::WriteLevels(uint16_t chan, const TSTime64* times, uint64_t n) {
  return WriteEvents(chan, times, n);
}

int TKel64File::WriteMarkers(uint16_t chan, const TMarker* items, uint64_t n) {
  if (readOnly_) return kErrReadOnly;
  if (n == 0) return kOk;
  if (items == nullptr) return kErrBadArg;
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) { return c.WriteMarkers(items, n); });
}

int TKel64File::WriteExtMarks(uint16_t chan, const TExtMark* items, uint64_t n) {
  if (readOnly_) return kErrReadOnly;
  if (n == 0) return kOk;
  if (items == nullptr) return kErrBadArg;
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) {
    return c.WriteExtMarks(reinterpret_cast<const uint8_t*>(items), n);
  });
}

TSTime64 TKel64File::WriteWaveF(uint16_t chan, const float* data, uint64_t n, TSTime64 tFrom) {
  if (readOnly_) return kErrReadOnly;
  if (n == 0) return tFrom;
  if (data == nullptr) return kErrBadArg;
  return Dispatch(chan, static_cast<TSTime64>(kErrNoChannel),
                  [&](CKel64Chan& c) { return c.WriteWaveF(data, n, tFrom); });
}

TSTime64 TKel64File::WriteWaveS(uint16_t chan, const int16_t* data, uint64_t n, TSTime64 tFrom) {
  if (readOnly_) return kErrReadOnly;
  if (n == 0) return tFrom;
  if (data == nullptr) return kErrBadArg;
  return Dispatch(chan, static_cast<TSTime64>(kErrNoChannel),
                  [&](CKel64Chan& c) { return c.WriteWaveS(data, n, tFrom); });
}

int TKel64File::EditMarker(uint16_t chan, TSTime64 t, const TMarker* item, uint64_t bytes) {
  if (bytes < 8) return kErrBadArg;
  if (readOnly_) return kErrReadOnly;
  if (item == nullptr) return kErrBadArg;
  return Dispatch(chan, kErrNoChannel, [&](CKel64Chan& c) {
    return c.EditMarker(t, reinterpret_cast<const uint8_t*>(item), bytes);
  });
}

}  // namespace vslk64
