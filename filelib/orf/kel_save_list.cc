// Store/discard controls of a channel being written: the current store
// flag, the pending switches that change it at later times, and the marks
// on items still held in memory. A memory-held block none of whose items
// is marked never reaches the disk (kel_write.cc).
//
// The switch list holds at most kMaxSwitches entries, in time order, each
// one changing the flag in force before it: a request that would not
// change it is not kept. When a ninth switch is asked for, the earliest
// held one is applied at once (it becomes the current flag), so the most
// recent requests are the ones kept exactly.
#include <algorithm>

#include "filelib/le.h"
#include "filelib/orf/kel_lib.h"
#include "filelib/orf/kel_write.h"

namespace vslk64 {

void ApplySwitchesUpTo(TKelChanRt& rt, int32_t t) {
  size_t k = 0;
  while (k < rt.switches.size() && rt.switches[k].time <= t) rt.saving = rt.switches[k++].save;
  if (k > 0) rt.switches.erase(rt.switches.begin(), rt.switches.begin() + static_cast<long>(k));
}

void MarkMemItems(TKelFileRec& rec, int c, int32_t tFrom, int32_t tTo, bool save) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  const uint8_t* ch = rec.ChanHead(c);
  const bool wave = orf::IsWaveKind(orf::ChanKind(ch));
  const int32_t divide = orf::ChanDivide(ch);
  const uint32_t itemBytes = rec.ItemBytes(c);
  for (int k = 0; k < rt.memUsed; ++k) {
    TKelMemBlock& b = MemAt(rt, k);
    const uint8_t* img = b.image.data();
    const int count = le::GetU16(img + orf::kBItemCount);
    const int32_t start = le::GetI32(img + orf::kBStart);
    for (int i = 0; i < count; ++i) {
      const int64_t t = wave ? static_cast<int64_t>(start) + static_cast<int64_t>(i) * divide
                             : le::GetI32(img + orf::kBlockHeadSize + static_cast<size_t>(i) * itemBytes);
      if (t < tFrom || t > tTo) continue;
      const uint8_t mark = save ? 1 : 0;
      if (b.store[static_cast<size_t>(i)] != mark) {
        b.store[static_cast<size_t>(i)] = mark;
        // A block already on disk is rewritten whole when it leaves memory.
        b.modified = true;
      }
    }
  }
}

namespace {

platform::Mutex& ChanLock(TKelFileRec& rec, int c) {
  return rec.chanLocks[static_cast<size_t>(c)];
}

// The flag in force at t once the pending switches up to t have passed.
bool FlagAt(const TKelChanRt& rt, int32_t t) {
  bool flag = rt.saving;
  for (const TKelSwitch& s : rt.switches) {
    if (s.time > t) break;
    flag = s.save;
  }
  return flag;
}

void DropSwitches(TKelChanRt& rt, int32_t from, int32_t to) {
  rt.switches.erase(std::remove_if(rt.switches.begin(), rt.switches.end(),
                                   [&](const TKelSwitch& s) { return s.time >= from && s.time <= to; }),
                    rt.switches.end());
}

// Inserts a switch in time order; one that would not change the flag in
// force before it is not kept, and neither is a later one it makes
// redundant.
void AddSwitch(TKelChanRt& rt, int32_t t, bool save) {
  DropSwitches(rt, t, t);
  auto at = std::find_if(rt.switches.begin(), rt.switches.end(),
                         [t](const TKelSwitch& s) { return s.time > t; });
  const bool before = at == rt.switches.begin() ? rt.saving : std::prev(at)->save;
  if (before == save) return;
  at = rt.switches.insert(at, {t, save});
  auto next = std::next(at);
  if (next != rt.switches.end() && next->save == save) rt.switches.erase(next);
  while (rt.switches.size() > static_cast<size_t>(kMaxSwitches)) {
    rt.saving = rt.switches.front().save;
    rt.switches.erase(rt.switches.begin());
  }
}

void SetSaveLocked(TKelFileRec& rec, int c, int32_t t, bool save) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  DropSwitches(rt, t, INT32_MAX);
  if (t <= orf::ChanMaxTime(rec.ChanHead(c))) {
    MarkMemItems(rec, c, t, INT32_MAX, save);
    rt.saving = save;
  } else {
    AddSwitch(rt, t, save);
  }
}

void SaveRangeLocked(TKelFileRec& rec, int c, int32_t tFrom, int32_t tTo) {
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  const int32_t maxTime = orf::ChanMaxTime(rec.ChanHead(c));
  const bool atEnd = FlagAt(rt, tTo);
  DropSwitches(rt, tFrom, tTo);
  MarkMemItems(rec, c, tFrom, tTo, true);
  if (tTo > maxTime) {
    // Items still to come inside the range are stored; the flag in force
    // at tTo resumes after it.
    if (tFrom > maxTime) {
      AddSwitch(rt, tFrom, true);
    } else {
      rt.saving = true;
    }
    if (tTo < INT32_MAX) AddSwitch(rt, tTo + 1, atEnd);
  }
}

// Runs op on channel c, or on every used channel when c < 0.
template <class Op>
int ForChannels(int f, int c, Op op) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (rec->readOnly) return kKelReadOnly;
  if (c >= rec->ChanCount()) return kKelNoChannel;
  const int from = c < 0 ? 0 : c;
  const int to = c < 0 ? rec->ChanCount() : c + 1;
  for (int k = from; k < to; ++k) {
    if (orf::ChanKind(rec->ChanHead(k)) == 0) {
      if (c >= 0) return kKelChanOff;
      continue;
    }
    platform::LockGuard guard(ChanLock(*rec, k));
    op(*rec, k);
  }
  return kKelOk;
}

}  // namespace

int KelSetSave(int f, int c, int32_t t, bool save) {
  return ForChannels(f, c, [&](TKelFileRec& rec, int k) { SetSaveLocked(rec, k, t, save); });
}

int KelSaveRange(int f, int c, int32_t tFrom, int32_t tTo) {
  if (tTo < tFrom) return kKelBadArg;
  return ForChannels(f, c, [&](TKelFileRec& rec, int k) { SaveRangeLocked(rec, k, tFrom, tTo); });
}

int KelIsSaving(int f, int c) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (c < 0 || c >= rec->ChanCount()) return kKelNoChannel;
  if (orf::ChanKind(rec->ChanHead(c)) == 0) return 0;
  platform::LockGuard guard(ChanLock(*rec, c));
  return rec->chans[static_cast<size_t>(c)].saving ? 1 : 0;
}

int KelSavingAt(int f, int c, int32_t t) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (c < 0 || c >= rec->ChanCount()) return kKelNoChannel;
  platform::LockGuard guard(ChanLock(*rec, c));
  return FlagAt(rec->chans[static_cast<size_t>(c)], t) ? 1 : 0;
}

// The pending switch times that change the flag, counted from storing on;
// with none of them and the current flag off, the one time after the end of
// the channel's last block on disk (storing has been off since then).
int KelNoSaveList(int f, int c, int32_t* times, int max) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (c < 0 || c >= rec->ChanCount()) return kKelNoChannel;
  platform::LockGuard guard(ChanLock(*rec, c));
  const TKelChanRt& rt = rec->chans[static_cast<size_t>(c)];
  int n = 0;
  bool flag = true;
  for (const TKelSwitch& s : rt.switches) {
    if (s.save == flag) continue;
    flag = s.save;
    if (times && n < max) times[n] = s.time;
    ++n;
  }
  if (n == 0 && !rt.saving) {
    int32_t after = 0;
    if (rt.blockCount > 0) {
      TKelBlockHead h;
      if (KelReadBlockHead(f, rt.lastBlock, &h) == kKelOk && h.end < INT32_MAX) after = h.end + 1;
    }
    if (times && max > 0) times[0] = after;
    n = 1;
  }
  return n;
}

int KelLatestTime(int f, int c, int32_t t) {
  if (t < 0) return kKelOk;
  return ForChannels(f, c, [&](TKelFileRec& rec, int k) {
    TKelChanRt& rt = rec.chans[static_cast<size_t>(k)];
    ApplySwitchesUpTo(rt, t);
    rt.latestTime = std::max(rt.latestTime, t);
  });
}

}  // namespace vslk64
