// The circular buffers in which a buffered channel (buffered_channel.h) keeps
// its newest data in memory until they are written out or dropped.
//
// CircBuffer holds time-ordered items of a fixed size whose first 8 bytes are
// the item's time (times, TMarker records, extended markers of the channel's
// item size). CircWBuffer holds samples of one contiguous stretch: sample k
// from the oldest lies at the oldest time + k × divide, so no time is stored
// per sample.
//
// Both keep at most capacity − 1 items, so that a full buffer and an empty
// one never look alike, and both hand out a range of items as at most two
// contiguous pieces of storage (the range may wrap at the storage's end).
// Neither locks: the owning channel's buffer lock guards them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "filelib/kel64_types.h"
#include "filelib/partition.h"

namespace vslk64 {

// A stretch of buffered items that lies contiguously in storage.
template <typename T>
struct TBufferPiece {
  const T* data = nullptr;
  uint64_t n = 0;
};

// Logical positions (0 = the oldest item) and the storage they map to, shared
// by both buffers.
class CircIndex {
 public:
  explicit CircIndex(uint64_t capacity) : capacity_(capacity) {}

  uint64_t Capacity() const { return capacity_; }
  uint64_t Count() const { return count_; }
  // The most a buffer may hold.
  uint64_t Usable() const { return capacity_ == 0 ? 0 : capacity_ - 1; }
  uint64_t Room() const { return Usable() - count_; }
  // Storage slot of position k.
  uint64_t Slot(uint64_t k) const {
    const uint64_t s = head_ + k;
    return s >= capacity_ ? s - capacity_ : s;
  }
  uint64_t Head() const { return head_; }
  uint64_t Tail() const { return Slot(count_); }
  // Splits positions [k1, k2) into the storage pieces they occupy: returns
  // the number of pieces (0, 1 or 2) and their first slots and lengths.
  int Pieces(uint64_t k1, uint64_t k2, uint64_t at[2], uint64_t len[2]) const {
    if (k2 <= k1) return 0;
    const uint64_t first = Slot(k1);
    const uint64_t n = k2 - k1;
    const uint64_t toEnd = capacity_ - first;
    at[0] = first;
    len[0] = std::min(n, toEnd);
    if (n <= toEnd) return 1;
    at[1] = 0;
    len[1] = n - toEnd;
    return 2;
  }
  void Added(uint64_t n) { count_ += n; }
  void Dropped(uint64_t n) {
    if (n >= count_) {
      Clear();
      return;
    }
    head_ = Slot(n);
    count_ -= n;
  }
  void Clear() {
    head_ = 0;
    count_ = 0;
  }

 private:
  uint64_t capacity_;
  uint64_t head_ = 0;  // slot of the oldest item
  uint64_t count_ = 0;
};

// Items of itemSize bytes, each beginning with its little-endian 64-bit time,
// in time order (times may repeat).
class CircBuffer {
 public:
  // A buffer for capacity items, or null when the storage cannot be had.
  static std::unique_ptr<CircBuffer> Make(uint64_t capacity, uint32_t itemSize) {
    if (itemSize < sizeof(TSTime64) || capacity > SIZE_MAX / itemSize) return nullptr;
    std::unique_ptr<CircBuffer> b(new (std::nothrow) CircBuffer(capacity, itemSize));
    if (!b) return nullptr;
    try {
      b->store_.resize(static_cast<size_t>(capacity * itemSize));
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    return b;
  }
  virtual ~CircBuffer() = default;

  uint64_t Capacity() const { return index_.Capacity(); }
  uint64_t Count() const { return index_.Count(); }
  uint64_t Usable() const { return index_.Usable(); }
  uint32_t ItemSize() const { return itemSize_; }
  bool Empty() const { return index_.Count() == 0; }

  const uint8_t* Item(uint64_t k) const { return &store_[index_.Slot(k) * itemSize_]; }
  uint8_t* MutableItem(uint64_t k) { return &store_[index_.Slot(k) * itemSize_]; }
  TSTime64 TimeAt(uint64_t k) const {
    TSTime64 t;
    std::memcpy(&t, Item(k), sizeof t);
    return t;
  }
  // Time of the oldest item; -1 when empty.
  TSTime64 OldestTime() const { return Empty() ? -1 : TimeAt(0); }
  TSTime64 NewestTime() const { return Empty() ? -1 : TimeAt(Count() - 1); }

  // Copies as many of the n items as there is room for; returns that number.
  uint64_t Add(const uint8_t* items, uint64_t n) {
    const uint64_t m = std::min(n, index_.Room());
    uint64_t at[2], len[2];
    const int pieces = index_.Pieces(index_.Count(), index_.Count() + m, at, len);
    // The positions past the newest item: their slots are free.
    for (int p = 0; p < pieces; ++p) {
      std::memcpy(&store_[at[p] * itemSize_], items, len[p] * itemSize_);
      items += len[p] * itemSize_;
    }
    index_.Added(m);
    return m;
  }
  void Drop(uint64_t n) { index_.Dropped(n); }
  void Clear() { index_.Clear(); }

  // Position of the first item at or after t (Count() when none is).
  uint64_t LowerBound(TSTime64 t) const {
    return PartitionPoint(uint64_t{0}, Count(), [&](uint64_t i) { return TimeAt(i) < t; });
  }
  // The items at positions [k1, k2) as storage pieces; returns their number.
  int Pieces(uint64_t k1, uint64_t k2, TBufferPiece<uint8_t> out[2]) const {
    uint64_t at[2], len[2];
    const int n = index_.Pieces(k1, std::min(k2, Count()), at, len);
    for (int p = 0; p < n; ++p) out[p] = {&store_[at[p] * itemSize_], len[p]};
    return n;
  }
  // The items with times in [t1, t2).
  int Range(TSTime64 t1, TSTime64 t2, TBufferPiece<uint8_t> out[2]) const {
    return Pieces(LowerBound(t1), LowerBound(t2), out);
  }

 private:
  CircBuffer(uint64_t capacity, uint32_t itemSize) : index_(capacity), itemSize_(itemSize) {}

  CircIndex index_;
  uint32_t itemSize_;
  std::vector<uint8_t> store_;
};

// Samples (int16_t or float) of one contiguous stretch.
template <typename Sample>
class CircWBuffer {
 public:
  static std::unique_ptr<CircWBuffer> Make(uint64_t capacity, TSTime64 divide) {
    if (divide < 1 || capacity > SIZE_MAX / sizeof(Sample)) return nullptr;
    std::unique_ptr<CircWBuffer> b(new (std::nothrow) CircWBuffer(capacity, divide));
    if (!b) return nullptr;
    try {
      b->store_.resize(static_cast<size_t>(capacity));
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    return b;
  }
  virtual ~CircWBuffer() = default;

  uint64_t Capacity() const { return index_.Capacity(); }
  uint64_t Count() const { return index_.Count(); }
  uint64_t Usable() const { return index_.Usable(); }
  bool Empty() const { return index_.Count() == 0; }
  TSTime64 Divide() const { return divide_; }

  // Time of the oldest sample, -1 when empty.
  TSTime64 OldestTime() const { return Empty() ? -1 : oldest_; }
  // Time of the newest sample, -1 when empty.
  TSTime64 NewestTime() const {
    return Empty() ? -1 : oldest_ + static_cast<TSTime64>(Count() - 1) * divide_;
  }
  // The time the next sample added will have.
  TSTime64 NextTime() const { return oldest_ + static_cast<TSTime64>(Count()) * divide_; }
  TSTime64 TimeAt(uint64_t k) const { return oldest_ + static_cast<TSTime64>(k) * divide_; }
  const Sample& At(uint64_t k) const { return store_[index_.Slot(k)]; }

  // Empties the buffer; the next sample added lies at t.
  void Restart(TSTime64 t) {
    index_.Clear();
    oldest_ = t;
  }
  uint64_t Add(const Sample* in, uint64_t n) {
    const uint64_t m = std::min(n, index_.Room());
    uint64_t at[2], len[2];
    const int pieces = index_.Pieces(index_.Count(), index_.Count() + m, at, len);
    for (int p = 0; p < pieces; ++p) {
      std::memcpy(&store_[at[p]], in, len[p] * sizeof(Sample));
      in += len[p];
    }
    index_.Added(m);
    return m;
  }
  void Drop(uint64_t n) {
    if (n >= Count()) {
      index_.Clear();
      oldest_ = -1;
      return;
    }
    index_.Dropped(n);
    oldest_ += static_cast<TSTime64>(n) * divide_;
  }

  // Position of the first sample at or after t (Count() when none is).
  uint64_t LowerBound(TSTime64 t) const {
    if (Empty() || t <= oldest_) return 0;
    const uint64_t k = (static_cast<uint64_t>(t - oldest_) + static_cast<uint64_t>(divide_) - 1) /
                       static_cast<uint64_t>(divide_);
    return std::min(k, Count());
  }
  int Pieces(uint64_t k1, uint64_t k2, TBufferPiece<Sample> out[2]) const {
    uint64_t at[2], len[2];
    const int n = index_.Pieces(k1, std::min(k2, Count()), at, len);
    for (int p = 0; p < n; ++p) out[p] = {&store_[at[p]], len[p]};
    return n;
  }
  int Range(TSTime64 t1, TSTime64 t2, TBufferPiece<Sample> out[2]) const {
    return Pieces(LowerBound(t1), LowerBound(t2), out);
  }

  // Replaces buffered samples by in[0..n), whose first lies at t (a time off
  // the sample grid is placed on the sample before it). Samples before the
  // oldest or after the newest are not stored. Returns the number of input
  // samples that lay inside the buffered stretch.
  uint64_t Overwrite(const Sample* in, uint64_t n, TSTime64 t) {
    if (Empty() || n == 0) return 0;
    const TSTime64 newest = NewestTime();
    const uint64_t d = static_cast<uint64_t>(divide_);
    if (t > newest) return 0;
    uint64_t skip = 0;  // input samples before the oldest
    uint64_t k = 0;     // buffer position of the first changed sample
    if (t < oldest_) {
      skip = (static_cast<uint64_t>(oldest_ - t) + d - 1) / d;
      if (skip >= n) return 0;
    } else {
      k = static_cast<uint64_t>(t - oldest_) / d;
    }
    const uint64_t m = std::min(n - skip, Count() - k);
    uint64_t at[2], len[2];
    const int pieces = index_.Pieces(k, k + m, at, len);
    in += skip;
    for (int p = 0; p < pieces; ++p) {
      std::memcpy(&store_[at[p]], in, len[p] * sizeof(Sample));
      in += len[p];
    }
    return m;
  }

 private:
  CircWBuffer(uint64_t capacity, TSTime64 divide) : index_(capacity), divide_(divide) {}

  CircIndex index_;
  std::vector<Sample> store_;
  TSTime64 oldest_ = -1;
  TSTime64 divide_;
};

}  // namespace vslk64
