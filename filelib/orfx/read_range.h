// TReadRange: the read or search request that a file operation of the 64-bit
// format hands to a channel, and the channel hands on to each block it visits.
// Every party narrows it as it delivers items, so the record says at any
// moment what is still wanted.
//
// Forward reads: items with tFrom <= time < tUpto, at most nMax of them;
// tFrom advances past what was delivered. Backward searches (PrevNTime): tFrom
// is the earliest time allowed, tUpto the time before which to look (moved
// back as blocks are passed), nMax the number of items still to step over.
#pragma once

#include <cstdint>

#include "filelib/kel64_types.h"

namespace vslk64 {

struct TChanHead;

// Blocks a channel may visit for one call before it hands control back to the
// file, which re-arms the budget and calls again.
constexpr int32_t kReadTries = 10;

// A backward search ran out of its block budget before it found its answer;
// the caller repeats it with the same range.
constexpr TSTime64 kSearchBudgetSpent = -3;

struct TReadRange {
  // flags: nothing has been delivered yet.
  static constexpr uint16_t kFirst = 1;

  TSTime64 tFrom = 0;
  TSTime64 tUpto = 0;
  uint64_t nMax = 0;  // items, records or samples still wanted; never below 0
  int32_t nTries = kReadTries;
  uint16_t flags = kFirst;
  const TChanHead* pHead = nullptr;  // the channel's header record, where a block needs it
  // A backward search that spent its budget: the number of the data block it
  // searches next, or -1.
  int64_t resumeAt = -1;

  TReadRange() = default;
  TReadRange(TSTime64 from, TSTime64 upto, uint64_t max) : tFrom(from), tUpto(upto), nMax(max) {}

  bool IsOpen() const { return tFrom < tUpto && tUpto >= 1 && nMax != 0; }
  void Close() { tFrom = tUpto; }
  bool First() const { return (flags & kFirst) != 0; }
  void ClearFirst() { flags = static_cast<uint16_t>(flags & ~kFirst); }
  // Takes n from nMax, stopping at 0.
  void Delivered(uint64_t n) { nMax = n < nMax ? nMax - n : 0; }

  // The part of a forward read before `limit` (a write buffer's oldest time,
  // when the rest comes from the buffer): read() runs with tUpto cut to limit,
  // which is then restored. Returns what read() returned; *stop says the whole
  // read ends there: read() failed, or its block budget ran out below limit
  // (the caller calls again).
  template <class Read>
  int ReadBefore(TSTime64 limit, Read read, bool* stop) {
    const TSTime64 upto = tUpto;
    tUpto = limit < upto ? limit : upto;
    const int n = read();
    const bool lowerOpen = IsOpen();
    tUpto = upto;
    *stop = n < 0 || (nTries < 1 && lowerOpen);
    return n;
  }
};

}  // namespace vslk64
