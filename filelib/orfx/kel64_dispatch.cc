// TKel64File's per-channel operations: each finds the channel under the
// shared channel-table lock and hands the call to it (channel properties,
// saving, reads, writes). The class and its lock order are in kel64_file.h.
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
template <typename Absent, typename Op>
auto TKel64File::Dispatch(uint16_t chan, Absent absent, Op op)
    -> decltype(op(std::declval<CKel64Chan&>())) {
  using Result = decltype(op(std::declval<CKel64Chan&>()));
  SharedGuard table(chanTableLock_);
  CKel64Chan* ch = Chan(chan);
  return ch ? op(*ch) : static_cast<Result>(absent);
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
  if (tTo >= tFrom) return kNoneFound;
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
    return KEL_CORRUPT("undeleted channel record makes no channel");
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
    if (r == 0 && range.tFrom <= from) return KEL_CORRUPT("r == 0 && range.tFrom <= from");
    range.nTries = kReadTries;
    at += static_cast<size_t>(r) * itemBytes;
  }
}

template <typename Item, typename Read>
int TKel64File::ReadFiltered(uint16_t chan, Item* out, int max, TSTime64 tFrom, TSTime64 tUpto,
                             const CMarkFilter* filter, Read read) {
  return ReadLoop(chan, out, max, tFrom, tUpto,
                  [&](CKel64Chan* ch, Item* o, TReadRange& range, bool) {
                    return (ch->*read)(o, range, filter);
                  });
}

int TKel64File::ReadEvents(uint16_t chan, TSTime64* times, int max, TSTime64 tFrom, TSTime64 tUpto,
                           const CMarkFilter* filter) {
  if (max < 1) return 0;
  return ReadFiltered(chan, times, max, tFrom, tUpto, filter, &CKel64Chan::ReadEvents);
}

int TKel64File::ReadMarkers(uint16_t chan, TMarker* items, int max, TSTime64 tFrom, TSTime64 tUpto,
                            const CMarkFilter* filter) {
  if (max < 1) return 0;
  return ReadFiltered(chan, items, max, tFrom, tUpto, filter, &CKel64Chan::ReadMarkers);
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

template <typename Sample, typename Read>
int TKel64File::ReadWaveLoop(uint16_t chan, Sample* data, int max, TSTime64 tFrom,
                             TSTime64 tUpto, TSTime64* tFirst, Read read) {
  if (max < 1 || tUpto < 1 || tFrom >= tUpto) return 0;
  TSTime64 ignored = 0;
  TSTime64* first = tFirst ? tFirst : &ignored;
  return ReadLoop(chan, data, max, tFrom, tUpto,
                  [&](CKel64Chan* ch, Sample* out, TReadRange& range, bool) {
                    return read(*ch, out, range, first);
                  });
}

int TKel64File::ReadWaveF(uint16_t chan, float* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                          TSTime64* tFirst, const CMarkFilter* filter) {
  const auto read = [&](CKel64Chan& ch, float* out, TReadRange& range, TSTime64* first) {
    return ch.ReadWaveF(out, range, first, filter);
  };
  return ReadWaveLoop(chan, data, max, tFrom, tUpto, tFirst, read);
}

int TKel64File::ReadWaveS(uint16_t chan, int16_t* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                          TSTime64* tFirst, const CMarkFilter* filter) {
  const auto read = [&](CKel64Chan& ch, int16_t* out, TReadRange& range, TSTime64* first) {
    return ch.ReadWaveS(out, range, first, filter);
  };
  return ReadWaveLoop(chan, data, max, tFrom, tUpto, tFirst, read);
}

int TKel64File::ReadWaveD(uint16_t chan, double* data, int max, TSTime64 tFrom, TSTime64 tUpto,
                          TSTime64* tFirst) {
  const auto read = [](CKel64Chan& ch, double* out, TReadRange& range, TSTime64* first) {
    return ch.ReadWaveD(out, range, first);
  };
  return ReadWaveLoop(chan, data, max, tFrom, tUpto, tFirst, read);
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
  return ReadFiltered(chan, reinterpret_cast<uint8_t*>(items), max, tFrom, tUpto, filter,
                      &CKel64Chan::ReadExtMarks);
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
