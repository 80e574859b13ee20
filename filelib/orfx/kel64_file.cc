// TKel64File's lifetime, open, close and commit, and its file-level
// properties. Raw transfers, allocation and the header space are in
// header_space.cc, per-channel operations in kel64_dispatch.cc, creation in
// kel64_create.cc.
#include "filelib/orfx/kel64_file.h"

#include "filelib/corruption.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <utility>

#include "filelib/corruption.h"
#include "filelib/le.h"
#include "filelib/orfx/buffered_channel.h"
#include "filelib/orfx/channel.h"
#include "filelib/orfx/disk_block_head.h"
#include "filelib/orfx/index_writer.h"

namespace vslk64 {
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
  if (r != kOk && (flags & kOpenKeepOnFailure) == 0) CloseHandle();
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
    if (r == kEntryNumbersPresent) break;
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
  const int failed = FirstFailedHeadCheck(head_);
  if (failed != 0) {
    // The first checks tell whether this is a file of the format at all;
    // a header that passes them and fails a later one is a damaged file.
    static constexpr const char* kDamage[] = {
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        "file head: extra data before the end of the head",
        "file head: channel table overlaps the extra data",
        "file head: channel count out of range",
        "file head: string table overlaps the channel table, or wrong channel head size",
        "file head: next index block beyond the next block",
        "file head: too many header blocks",
        "file head: string table beyond the header space",
    };
    const bool damaged = failed < static_cast<int>(std::size(kDamage)) && kDamage[failed];
    return damaged ? KEL_CORRUPT_AS(kErrBadHeader, kDamage[failed]) : kErrBadHeader;
  }

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
  if (room < 8) return KEL_CORRUPT("room < 8");
  uint8_t first[4];
  int r = ReadHeaderSpaceLocked(first, 4, head_.stringsOffset);
  if (r != kOk) return r;
  const uint64_t words = le::GetU32(first);
  if (words < 2 || 4 * words > room) return KEL_CORRUPT("words < 2 || 4 * words > room");
  std::vector<uint8_t> image(static_cast<size_t>(4 * words));
  r = ReadHeaderSpaceLocked(image.data(), static_cast<uint32_t>(image.size()), head_.stringsOffset);
  if (r != kOk) return r;
  return strings_.Parse(image.data(), static_cast<size_t>(words))
             ? kOk
             : KEL_CORRUPT("string table does not parse");
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
  if ((flags & kCommitHeadersOnly) == 0) {
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
  if (flags & kCommitEndBuffering) SetBuffering(-1, 0, 0.0);
  if (flags & kCommitFlushSystem) remember(FlushSysBuffers());
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


}  // namespace vslk64
