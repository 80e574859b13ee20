// KelGetWaveRuns: where a waveform channel's samples lie, from the block
// headers alone.
//
// A waveform block holds one run of samples, so its header (start time,
// end time, count) says all an index needs. The walk repeats what a
// sequence of waveform reads does, block search and all, reading 512-byte
// headers where the reads read whole blocks: each stretch starts at the
// block KelFindBlock gives for the time after the previous stretch and goes
// on along the chain while each block starts one divide after the last.
#include <algorithm>

#include "filelib/ceil_div.h"
#include "filelib/corruption.h"

#include "filelib/orf/kel_block.h"
#include "filelib/orf/kel_file_rec.h"
#include "filelib/orf/kel_read.h"
#include "filelib/orf/kel_status.h"
#include "filelib/orf/orf_format.h"

namespace vslk64 {
namespace {

using orf::kMaxTime32;

// The header of block addr, checked as a block read checks it.
int ReadHead(TKelFileRec& rec, int c, int32_t addr, TKelBlockHead* h) {
  const TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  if (addr > 0 && addr > rt.lastBlock && !rec.BeyondFile(addr)) return kKelRead;
  return ReadHeadChecked(rec, c, addr, h);
}

// One stretch from the first sample at or after from: *first and *count, or
// *count 0 when the data end. A status on failure.
int NextStretch(TKelFileRec& rec, int c, int64_t from, int64_t* first, int64_t* count) {
  *count = 0;
  const int64_t divide = orf::ChanDivide(rec.ChanHead(c));
  TKelChanRt& rt = rec.chans[static_cast<size_t>(c)];
  const int32_t addr = FindBlockLocked(rec, c, static_cast<int32_t>(from), kMaxTime32);
  if (addr <= 0) return addr;
  TKelBlockHead h;
  int st = ReadHead(rec, c, addr, &h);
  if (st != kKelOk) return st;
  if (h.itemCount == 0) return kKelOk;
  const int64_t i0 = h.start >= from ? 0 : CeilDiv(from - h.start, divide);
  if (i0 >= h.itemCount) return kKelOk;
  *first = h.start + i0 * divide;
  int64_t idx = i0;
  uint32_t visited = 0;
  for (;;) {
    int64_t last = h.itemCount - 1;
    if (h.end >= kMaxTime32) {
      last = std::min<int64_t>(last, (int64_t{kMaxTime32} - h.start) / divide);
    }
    if (last >= idx) *count += last - idx + 1;
    if (h.end >= kMaxTime32 || !ChainContinues(rt, h.next)) return kKelOk;
    if (++visited > rt.walkLimit) return KEL_CORRUPT_AS(kKelCorrupt, "++visited > rt.walkLimit");
    const int64_t expected = static_cast<int64_t>(h.end) + divide;
    st = ReadHead(rec, c, h.next, &h);
    if (st != kKelOk) return st;
    // Anything but the next sample time is a gap, which ends the stretch.
    if (h.itemCount == 0 || h.start != expected) return kKelOk;
    idx = 0;
  }
}

}  // namespace

int KelGetWaveRuns(int f, int c, int32_t tFrom, CKelRunSink& sink) {
  TKelFileRec* rec = KelRecord(f);
  if (!rec) return kKelNoFile;
  if (c < 0 || c >= rec->ChanCount()) return kKelNoChannel;
  const int kind = orf::ChanKind(rec->ChanHead(c));
  if (kind == 0) return kKelChanOff;
  if (!orf::IsWaveKind(kind)) return kKelNoChannel;
  platform::LockGuard guard(rec->chanLocks[static_cast<size_t>(c)]);
  if (rec->chans[static_cast<size_t>(c)].memUsed > 0) return kKelWalkByReads;
  const int64_t divide = orf::ChanDivide(rec->ChanHead(c));
  int64_t from = std::max<int32_t>(tFrom, 0);
  while (from <= kMaxTime32) {
    int64_t first = 0;
    int64_t count = 0;
    const int st = NextStretch(*rec, c, from, &first, &count);
    if (st < 0) return st;
    if (count == 0) return kKelOk;
    if (!sink.Put(static_cast<int32_t>(first), static_cast<uint32_t>(count))) return kKelOk;
    from = first + count * divide;
  }
  return kKelOk;
}

}  // namespace vslk64
