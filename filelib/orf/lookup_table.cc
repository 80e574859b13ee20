#include "filelib/orf/lookup_table.h"

#include <new>

namespace vslk64 {
namespace {

constexpr TLookupEntry kUnfilled{-1, -1, -1};

TLookupEntry EntryOf(const TLookupBlock& b) { return {b.addr, b.start, b.end}; }

bool PowerOfTwo(int32_t v) { return v > 0 && (v & (v - 1)) == 0; }

}  // namespace

void CKelLookup::Clear() {
  std::vector<TLookupEntry>().swap(entries_);
  used_ = 0;
  stride_ = 1;
  gap_ = -1;
  endCount_ = afterCount_ = beforeCount_ = 0;
}

void CKelLookup::Refresh(int32_t addr, int32_t start, int32_t end) {
  for (int32_t i = 0; i < used_; ++i) {
    if (entries_[static_cast<size_t>(i)].addr == addr) {
      entries_[static_cast<size_t>(i)].start = start;
      entries_[static_cast<size_t>(i)].end = end;
      return;
    }
  }
}

void CKelLookup::Offer(const TLookupBlock& b) {
  if (entries_.empty() && !MakeRoom()) return;
  std::vector<TLookupEntry>& e = entries_;
  const int32_t k = gap_;

  // Blocks found while filling the gap after entry k.
  if (k >= 0 && k + 1 < used_) {
    if (e[k].start < b.start && b.start < e[k + 1].start) {
      if (b.prev == e[k].addr) {
        // It continues the run after entry k. Entry 0 (the channel's first
        // block) is never replaced.
        if (k > 0 && ++afterCount_ < stride_) {
          e[k] = EntryOf(b);
          return;
        }
        afterCount_ = 0;
        if (!MakeRoom()) return;  // thinning keeps the gap's two entries
        InsertAt(gap_ + 1, b);
        ++gap_;
        if (gap_ + 1 < used_ && b.next == e[gap_ + 1].addr) gap_ = -1;  // gap closed
      } else if (b.next == e[k + 1].addr) {
        // It leads into entry k + 1. The last entry (the channel's last
        // block) is never replaced either.
        if (k + 1 < used_ - 1 && ++beforeCount_ < stride_) {
          e[k + 1] = EntryOf(b);
          return;
        }
        beforeCount_ = 0;
        if (!MakeRoom()) return;
        InsertAt(gap_ + 1, b);
      }
      return;
    }
    if (b.start <= e[k].start) return;
  } else if (k >= 0 && b.start <= e[k].start) {
    return;
  }

  // Appending after the last entry.
  if (used_ > 0) {
    const int32_t last = used_ - 1;
    if (b.start <= e[last].start) return;
    const bool follows = b.prev == e[last].addr;
    const bool gapBeforeLast = k >= 0 && k + 1 == last;
    if (follows && !gapBeforeLast) {
      if (++endCount_ < stride_) {
        e[last] = EntryOf(b);
        return;
      }
    } else {
      afterCount_ = beforeCount_ = 0;
      gap_ = last;
    }
  }
  endCount_ = 0;
  if (!MakeRoom()) return;
  InsertAt(used_, b);
}

bool CKelLookup::MakeRoom() {
  const int32_t capacity = Capacity();
  if (used_ < capacity) return true;
  if (capacity >= kMaxEntries) {
    Thin();
    return true;
  }
  try {
    entries_.resize(static_cast<size_t>(capacity == 0 ? kFirstCapacity : capacity * 2), kUnfilled);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Halves the table: of each run of n entries (those up to the gap, and those
// after it) keeps every second one and the last, so that the gap's bounding
// entries and the first and last entries survive.
void CKelLookup::Thin() {
  std::vector<TLookupEntry>& e = entries_;
  int32_t out = 0;
  auto thinRun = [&](int32_t from, int32_t to) {
    const int32_t n = to - from;
    for (int32_t i = 0; i < n - 1; i += 2) e[out++] = e[from + i];
    if (n > 0) e[out++] = e[to - 1];
  };
  if (gap_ >= 0) {
    thinRun(0, gap_ + 1);
    const int32_t oldGap = gap_;
    gap_ = out - 1;
    thinRun(oldGap + 1, used_);
  } else {
    thinRun(0, used_);
  }
  for (int32_t i = out; i < used_; ++i) e[i] = kUnfilled;
  used_ = out;
  if (stride_ < kMaxStride) stride_ *= 2;
}

void CKelLookup::InsertAt(int32_t pos, const TLookupBlock& b) {
  std::vector<TLookupEntry>& e = entries_;
  for (int32_t i = used_; i > pos; --i) e[i] = e[i - 1];
  e[pos] = EntryOf(b);
  ++used_;
}

int32_t CKelLookup::Locate(int32_t t) const {
  if (used_ == 0) return -1;
  const std::vector<TLookupEntry>& e = entries_;
  int32_t lo = 0;
  int32_t hi = used_ - 1;
  while (hi - lo > 4) {
    const int32_t mid = (hi + 1 + lo) / 2;
    if (e[mid].start <= t && t <= e[mid].end) return mid;
    if (t < e[mid].start) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  int32_t i = lo;
  while (i <= hi && e[i].end < t) ++i;
  if (i > hi) return hi;
  return e[i].start <= t ? i : i - 1;
}

void CKelLookup::GetControl(int32_t w[kLookupControlWords]) const {
  w[0] = Capacity();
  w[1] = used_;
  w[2] = stride_;
  w[3] = gap_;
  w[4] = endCount_;
  w[5] = afterCount_;
  w[6] = beforeCount_;
}

bool CKelLookup::Load(const int32_t w[kLookupControlWords],
                      const std::vector<TLookupEntry>& entries) {
  Clear();
  try {
    entries_.assign(static_cast<size_t>(w[0]), kUnfilled);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (int32_t i = 0; i < w[1]; ++i) entries_[i] = entries[static_cast<size_t>(i)];
  used_ = w[1];
  stride_ = w[2];
  gap_ = w[3];
  endCount_ = w[4];
  afterCount_ = w[5];
  beforeCount_ = w[6];
  return true;
}

bool LookupControlValid(const int32_t w[kLookupControlWords], uint32_t blockCount) {
  const int32_t capacity = w[0], used = w[1], stride = w[2], gap = w[3];
  if (blockCount < 1) return false;
  if (used > capacity || used < 64) return false;
  if (!PowerOfTwo(capacity) || capacity < CKelLookup::kFirstCapacity ||
      capacity > CKelLookup::kMaxEntries)
    return false;
  if (!PowerOfTwo(stride)) return false;
  if (gap < -1 || gap >= used) return false;
  // Each run counter is reset when it reaches the stride, so a saved one is
  // below it; a larger one would count past the largest int.
  for (int i = 4; i < kLookupControlWords; ++i) {
    if (w[i] < 0 || w[i] >= stride) return false;
  }
  if (static_cast<uint32_t>(used) > blockCount) return false;
  return true;
}

uint32_t LookupChecksum(const int32_t w[kLookupControlWords],
                        const std::vector<TLookupEntry>& entries) {
  uint32_t sum = 0;
  const size_t words = static_cast<size_t>(w[1]);
  for (size_t i = 0; i < words && i / 3 < entries.size(); ++i) {
    const TLookupEntry& en = entries[i / 3];
    const int32_t v = i % 3 == 0 ? en.addr : i % 3 == 1 ? en.start : en.end;
    sum += static_cast<uint32_t>(v);
  }
  for (int i = 0; i < kLookupControlWords; ++i) sum += static_cast<uint32_t>(w[i]);
  return sum;
}

}  // namespace vslk64
