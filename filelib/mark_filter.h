// CMarkFilter: selects marker-type items by their four code bytes.
//
// Passed (by const pointer, null meaning "everything passes") to the reads of
// both formats. Each layer is a 256-bit set of accepted values for one code
// byte. Readers ask Summary() first so that the common all-pass and none-pass
// filters cost nothing per item; the summary is cached and recomputed after any
// change. The cache is atomic so that one filter may be shared by readers on
// several threads.
#pragma once

#include <atomic>
#include <cstdint>

#include "kel64_types.h"

namespace vslk64 {

// The code test both formats' filters share. `layers` are 256-bit sets of
// accepted values, `count` of them take part. Without anyCode every one of
// the first min(count, 4) code bytes must be in its own layer; with anyCode
// an item passes when its first code, or any later non-zero one, is in
// layer 0 (and nothing passes with no layer).
inline bool CodesPass(const uint8_t (*layers)[32], int count, bool anyCode,
                      const uint8_t code[4]) {
  const auto in = [&](int layer, uint8_t v) {
    return ((layers[layer][v >> 3] >> (v & 7)) & 1) != 0;
  };
  const int tested = count < 4 ? count : 4;
  if (anyCode) {
    if (count < 1) return false;
    if (in(0, code[0])) return true;
    for (int l = 1; l < tested; ++l) {
      if (code[l] != 0 && in(0, code[l])) return true;
    }
    return false;
  }
  for (int l = 0; l < tested; ++l) {
    if (!in(l, code[l])) return false;
  }
  return true;
}

class CMarkFilter {
 public:
  static constexpr int kMaxLayers = 8;
  static constexpr int kMaskBytes = 32;
  static constexpr int kCopyableLayers = 4;  // whole-mask copies: layers 0 to 3

  // Cached summary values.
  enum Summary : int32_t { kUnknown = 0, kNonePass = 1, kSomePass = 2, kAllPass = 3 };

  CMarkFilter();
  CMarkFilter(const CMarkFilter& other);
  CMarkFilter& operator=(const CMarkFilter& other);

  // layer -1: every layer below LayerCount(); item -1: every value.
  // action 0 clears, 1 sets, 2 inverts. Returns -1 (and changes nothing) for a
  // layer at or above LayerCount() or an item at or above 256, otherwise 0.
  int SetItem(int layer, int item, int action);
  // True when value v is accepted by layer (layer in 0..7, v in 0..255).
  bool GetItem(int layer, int item) const;

  void SetMode(int mode);
  int GetMode() const { return mode_; }

  // Number of layers taking part, 0 to 8; others are refused with -1.
  int SetLayerCount(int count);
  int LayerCount() const { return layerCount_; }

  // Trace selector for extended-marker reads; values below -1 are ignored.
  void SetColumn(int column);
  int GetColumn() const { return column_; }

  // Copy a whole 32-byte mask in or out; layers 0 to 3 only (else -1).
  int GetMask(int layer, uint8_t* mask32) const;
  int SetMask(int layer, const uint8_t* mask32);

  // The cached summary: kNonePass, kSomePass or kAllPass.
  int32_t Summary() const;

  // Whether an item with these four code bytes passes.
  bool Match(const uint8_t code[4]) const;
  bool Match(const TMarker& item) const { return Match(item.code); }

  bool operator==(const CMarkFilter& other) const;
  bool operator!=(const CMarkFilter& other) const { return !(*this == other); }

 private:
  bool Accepts(int layer, uint8_t v) const {
    return (layers_[layer][v >> 3] >> (v & 7)) & 1;
  }
  bool LayerFull(int layer) const;
  bool LayerEmpty(int layer) const;
  void Changed() { state_.store(kUnknown, std::memory_order_relaxed); }

  uint8_t layers_[kMaxLayers][kMaskBytes];
  int32_t layerCount_;
  int32_t column_;
  int32_t mode_;
  mutable std::atomic<int32_t> state_;
};

}  // namespace vslk64
