// CKelLookup: the sparse, time-ordered table of some of one ORF channel's
// blocks, which keeps the search for the block holding a time short in a
// long chain.
//
// Each channel's runtime record owns one. Every block read from disk is
// offered to it; the table grows from 32 to 2048 entries and is then thinned
// by halving, each thinning doubling the stride (how many consecutive blocks
// one entry stands for). Between entries gapIndex and gapIndex + 1 lies a run
// of blocks not yet seen; blocks found by walking the chain are inserted
// there. Version-9 files save the tables at close (control record and
// entries, below) and load them at open.
//
// Control record, seven 32-bit words: capacity, used, stride, gapIndex,
// endCount, afterCount, beforeCount. An entry: i32 block address, i32
// startTime, i32 endTime.
//
// Not thread-safe: the channel's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vslk64 {

struct TLookupEntry {
  int32_t addr;
  int32_t start;
  int32_t end;
};

// What the table needs to know of a block offered to it.
struct TLookupBlock {
  int32_t addr;
  int32_t prev;
  int32_t next;
  int32_t start;
  int32_t end;
};

constexpr int kLookupControlWords = 7;

class CKelLookup {
 public:
  static constexpr int32_t kFirstCapacity = 32;
  static constexpr int32_t kMaxEntries = 2048;
  // Strides stop doubling here; no channel has this many blocks per entry.
  static constexpr int32_t kMaxStride = 1 << 30;

  bool Empty() const { return used_ == 0; }
  int32_t Used() const { return used_; }
  int32_t Capacity() const { return static_cast<int32_t>(entries_.size()); }
  int32_t Stride() const { return stride_; }
  int32_t GapIndex() const { return gap_; }
  const TLookupEntry& Entry(int32_t i) const { return entries_[static_cast<size_t>(i)]; }

  // Forgets every entry and releases the storage.
  void Clear();

  // Takes note of a block read from disk; see the class comment. A table
  // that cannot grow for lack of memory skips the block.
  void Offer(const TLookupBlock& b);

  // A writer rewrote the block at addr with new times: its entry, if it
  // has one, takes them.
  void Refresh(int32_t addr, int32_t start, int32_t end);

  // The entry for time t: the last entry that starts at or before t, or -1
  // when t lies before the first entry (or the table is empty).
  int32_t Locate(int32_t t) const;

  // The control record in its saved order.
  void GetControl(int32_t words[kLookupControlWords]) const;

  // Replaces the table by a saved one. The caller has checked the record
  // (LookupControlValid) and the entries; false when memory runs out.
  bool Load(const int32_t words[kLookupControlWords], const std::vector<TLookupEntry>& entries);

 private:
  bool MakeRoom();
  void Thin();
  void InsertAt(int32_t pos, const TLookupBlock& b);

  std::vector<TLookupEntry> entries_;  // size() is the capacity
  int32_t used_ = 0;
  int32_t stride_ = 1;
  int32_t gap_ = -1;
  int32_t endCount_ = 0;
  int32_t afterCount_ = 0;
  int32_t beforeCount_ = 0;
};

// The validity test of a control record against its channel, without the
// entries: the channel has a block; 64 <= used <= capacity; capacity a power
// of two from 32 to 2048; stride a power of two; -1 <= gapIndex < used; and
// no more entries than the channel has blocks.
bool LookupControlValid(const int32_t words[kLookupControlWords], uint32_t blockCount);

// The checksum of a saved table: the sum modulo 2^32 of the first `used`
// 32-bit words of the entry array and of the seven control words.
uint32_t LookupChecksum(const int32_t words[kLookupControlWords],
                        const std::vector<TLookupEntry>& entries);

}  // namespace vslk64
