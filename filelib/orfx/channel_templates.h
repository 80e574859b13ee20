// The member templates of CKel64Chan that more than one channel family
// instantiates: the block walk of a read (ReadLocked) and the append of
// packed items (AppendItemsLocked). Included by the channel sources only.
#pragma once

#include "filelib/corruption.h"

#include <cstring>

#include "filelib/orfx/channel.h"
#include "filelib/orfx/kel64_file.h"
#include "filelib/status.h"

namespace vslk64 {
namespace chan_detail {

inline TSTime64 ItemTime(const uint8_t* item) {
  TSTime64 t;
  std::memcpy(&t, item, sizeof t);
  return t;
}

}  // namespace chan_detail

template <typename Read>
inline int CKel64Chan::ReadLocked(TReadRange& range, bool wave, Read read, TSTime64 reach) {
  const TSTime64 limit = WriteLimitLocked();
  int total = 0;
  // Items at the write block's first time may begin on disk, so a read from
  // that time starts there too.
  const TSTime64 from = range.tFrom > reach ? range.tFrom - reach : 0;
  if (from <= limit) {
    int rc = cursor_.FindBlockFrom(from);
    if (rc < 0) return rc;
    // rc 1: no block holds tFrom or anything later.
    while (rc == 0) {
      CDataBlock& block = *cursor_.Block();
      if (IsWriteBlockImageLocked(block)) break;
      const TSTime64 end = block.EndTime();
      const int n = read(block);
      if (n < 0) return n;
      total += n;
      if (!range.IsOpen()) break;
      rc = cursor_.NextBlock();
      if (rc < 0) return rc;
      // Items sharing the block's last time may go on in the next block (or
      // the write block). tFrom must then stay on that time, and the walk
      // goes on whatever the budget: a repeated call could not tell the
      // items already delivered from the rest.
      const TSTime64 next = rc == 0 ? cursor_.Block()->FirstTime() : limit;
      if (!wave && next == end) continue;
      // With the range still open every item of the block from tFrom on was
      // examined and none lay at or after tUpto, so end < tUpto. Moving tFrom
      // past them lets a repeated call continue after this block even when
      // the filter let nothing through. A waveform read that has delivered
      // keeps its tFrom: it is where the next contiguous sample must lie.
      if ((!wave || range.First()) && end >= range.tFrom && end < range.tUpto) {
        range.tFrom = end + 1;
      }
      if (range.nTries > 0 && --range.nTries == 0) break;
    }
  }
  if (writeBlock_ && range.nTries != 0 && range.IsOpen() && range.tUpto > limit) {
    // Samples already delivered must continue into the write block without
    // a gap: from its first time, or from inside it when an earlier call
    // ended there (a float read converted in pieces).
    if (wave && !range.First() && range.tFrom < limit) return total;
    const int n = read(*writeBlock_);
    if (n < 0) return n;
    total += n;
  }
  return total;
}

template <typename Add>
inline int CKel64Chan::AppendItemsLocked(const uint8_t* in, uint64_t n, uint64_t itemBytes, Add add,
                                  bool continuing) {
  if (n == 0) return kOk;
  // Reads bisect on item times, so the whole call is checked before any of
  // it is stored. The first item must come after everything stored; later
  // ones may share a time with the item before them (several events in one
  // clock tick), but never go back.
  TSTime64 prev = LastTimeLocked();
  for (uint64_t i = 0; i < n; ++i) {
    const TSTime64 t = chan_detail::ItemTime(in + i * itemBytes);
    if (t < prev || (i == 0 && t == prev && !continuing) || t >= kMaxTime64) {
      return kErrTimeOrder;
    }
    prev = t;
  }
  int rc = EnsureWriteBlockLocked();
  if (rc < 0) return rc;
  CDataBlock& block = *writeBlock_;
  while (n > 0) {
    // A full block whose write failed must reach the file before the block
    // is emptied for the next items.
    if (block.Items() >= block.MaxItems() && block.IsDirty()) {
      rc = WriteBlock(block);
      if (rc < 0) return rc;
    }
    const int k = add(block, in, n);
    if (k <= 0) {
      DropEmptyWriteBlock();
      return k < 0 ? k : KEL_CORRUPT("write block takes no item");
    }
    n -= static_cast<uint64_t>(k);
    if (block.Items() >= block.MaxItems()) {
      rc = WriteBlock(block);
      if (rc < 0) return rc;
    }
  }
  return kOk;
}

}  // namespace vslk64
