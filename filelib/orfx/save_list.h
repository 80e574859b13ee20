// CSaveList: which stretches of time a buffered channel (buffered_channel.h)
// keeps. A recording program buffers its newest data and decides afterwards
// which of them reach the disk; the list records those decisions as switch
// times. The saving state at time t is the state at the list's start time,
// flipped once for every switch at or before t.
//
// The list only describes times from its start on: what lies before has left
// the buffer, so the write path moves the start forward (ForgetBefore) as
// items go. Not locked: the owning channel's buffer lock guards it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "filelib/kel64_types.h"

namespace vslk64 {

class CSaveList {
 public:
  // A stretch of time [from, upto).
  struct TStretch {
    TSTime64 from;
    TSTime64 upto;
  };

  // Saving everything, from time 0.
  void Reset();

  TSTime64 Start() const { return start_; }
  size_t SwitchCount() const { return switches_.size(); }
  bool IsSaving(TSTime64 t) const;
  // The state after the last switch: whether new data are kept.
  bool SavingNow() const;

  // From t on, saving is on or off. A t at or before the start sets the
  // state of the whole list.
  void Save(TSTime64 t, bool on);
  // Saves [from, upto), leaving the states outside it unchanged.
  void SaveRange(TSTime64 from, TSTime64 upto);
  // The times in [from, upto) at which saving turns off or on, beginning
  // with from itself when saving is off there. Stores up to max of them;
  // returns how many there are.
  int NoSaveList(TSTime64* times, uint32_t max, TSTime64 from, TSTime64 upto) const;
  // Nothing at or before `buffered` (the newest buffered time) will be added
  // to the list's concerns any more, so switches between it and t can pile
  // up only as a program flips saving often: keeps the newest 100 switches
  // of (buffered, t], removing the oldest in pairs so the states after them
  // stay as they were.
  void Prune(TSTime64 buffered, TSTime64 t);
  // The list no longer describes times before t.
  void ForgetBefore(TSTime64 t);
  // The saving stretches below limit, cut to begin no earlier than lowest.
  std::vector<TStretch> SavingStretches(TSTime64 lowest, TSTime64 limit) const;

  // The write-out both kinds of write buffer share: for each saving stretch,
  // write(k1, k2) with the positions [k1, k2) of the buffer's items that lie
  // in it and in [*written, upto), advancing *written to k2 after each and to
  // upto at the end. Stops at the first status other than kOk (0) and
  // returns it.
  template <class Buffer, class Write>
  int WriteOut(const Buffer& buffer, uint64_t* written, uint64_t upto, Write write) const {
    for (const TStretch& s : SavingStretches(INT64_MIN, kMaxTime64)) {
      const uint64_t k1 = std::max(*written, buffer.LowerBound(s.from));
      const uint64_t k2 = std::min(upto, buffer.LowerBound(s.upto));
      if (k1 >= k2) continue;
      const int rc = write(k1, k2);
      if (rc != 0) return rc;
      *written = k2;
    }
    *written = upto;
    return 0;
  }

 private:
  // Number of switches at or before t.
  size_t SwitchesUpTo(TSTime64 t) const;

  std::vector<TSTime64> switches_;  // sorted, each after start_
  TSTime64 start_ = 0;
  bool startSaving_ = true;
};

}  // namespace vslk64
