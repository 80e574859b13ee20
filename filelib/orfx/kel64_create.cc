// Making files and channels with TKel64File: Create, EmptyFile, the
// channel setters of each kind, ChanDelete and the write buffers
// (SetBuffering). The class and its lock order are in kel64_file.h.
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

template <class Plain, class Buffered, typename... Args>
CKel64Chan& TKel64File::NewChanLocked(uint16_t chan, uint32_t phyChan, double rate,
                                      Args... args) {
  std::unique_ptr<CKel64Chan> ch;
  if (openedExisting_) {
    ch = std::make_unique<Plain>(this, chan, args...);
  } else {
    ch = std::make_unique<Buffered>(this, chan, args...);
  }
  ch->SetPhyChan(static_cast<int32_t>(phyChan));
  ch->IdealRate(rate);
  chans_[chan] = std::move(ch);
  return *chans_[chan];
}

int TKel64File::SetEventChan(uint16_t chan, double rate, TDataKind kind, uint32_t phyChan) {
  if (kind == Level) return SetLevelChan(chan, rate, phyChan);
  if (kind == Marker) return SetMarkerChan(chan, rate, kind, phyChan);
  if (kind != EventA && kind != EventB) return kErrBadArg;
  ExclusiveGuard table(chanTableLock_);
  const int r = PrepareSlotLocked(chan);
  if (r != kOk) return r;
  NewChanLocked<CEventChan, CBEventChan>(chan, phyChan, rate, kind);
  return kOk;
}

int TKel64File::SetMarkerChan(uint16_t chan, double rate, TDataKind kind, uint32_t phyChan) {
  if (kind != Level && kind != Marker) return kErrWrongKind;
  ExclusiveGuard table(chanTableLock_);
  const int r = PrepareSlotLocked(chan);
  if (r != kOk) return r;
  NewChanLocked<CMarkerChan, CBMarkerChan>(chan, phyChan, rate, kind);
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
  CKel64Chan& ch =
      NewChanLocked<CExtMarkChan, CBExtMarkChan>(chan, phyChan, rate, kind, r16, c16, divide);
  ch.SetPreTrig(static_cast<uint16_t>(preTrig));
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
  if (rate <= 0) rate = 1.0 / (timeBase * static_cast<double>(divide));
  if (kind == Adc) {
    NewChanLocked<CAdcChan, CBAdcChan>(chan, phyChan, rate, divide);
  } else {
    NewChanLocked<CRealWChan, CBRealWChan>(chan, phyChan, rate, divide);
  }
  return kOk;
}


}  // namespace vslk64
