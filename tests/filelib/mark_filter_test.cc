#include "filelib/mark_filter.h"

#include <gtest/gtest.h>

#include <random>

namespace vslk64 {
namespace {

// A filter as four sets of allowed codes and a mode, against which random
// changes made to a CMarkFilter are checked: every match and summary must
// agree.
struct FilterModel {
  bool allowed[4][256];
  int mode = 0;

  FilterModel() {
    for (auto& layer : allowed)
      for (bool& a : layer) a = true;
  }
  // Mode 0: each code byte passes its own layer. Mode 1: some byte passes
  // layer 0, bytes 1 to 3 only when not 0. Other modes pass nothing.
  bool Match(const uint8_t code[4]) const {
    if (mode == 0)
      return allowed[0][code[0]] && allowed[1][code[1]] && allowed[2][code[2]] &&
             allowed[3][code[3]];
    if (mode != 1) return false;
    bool any = allowed[0][code[0]];
    for (int k = 1; k < 4; ++k) any = any || (code[k] != 0 && allowed[0][code[k]]);
    return any;
  }
  // All or none of the codes of every layer in use, else some.
  int32_t Summary() const {
    if (mode != 0 && mode != 1) return CMarkFilter::kNonePass;
    int full = 0, empty = 0, used = mode == 0 ? 4 : 1;
    for (int l = 0; l < used; ++l) {
      int n = 0;
      for (bool a : allowed[l]) n += a;
      full += n == 256;
      empty += n == 0;
    }
    return full == used    ? CMarkFilter::kAllPass
           : empty == used ? CMarkFilter::kNonePass
                           : CMarkFilter::kSomePass;
  }
};

TEST(MarkFilter, RandomChangesMatchAModel) {
  std::mt19937 rng(42);
  for (int run = 0; run < 40; ++run) {
    CMarkFilter f;
    FilterModel m;
    ASSERT_EQ(f.LayerCount(), 4);
    int column = -1;
    for (int op = 0; op < 60; ++op) {
      const int what = static_cast<int>(rng() % 10);
      // Often every layer or every item at once, sometimes one out of range.
      const int layer = rng() % 3 == 0 ? -1 : static_cast<int>(rng() % 5);
      const int item = rng() % 3 == 0 ? -1 : static_cast<int>(rng() % 257);
      if (what < 6) {
        // Layer or item -1: all of them; action 0 clears, 1 sets, 2 inverts.
        const int action = static_cast<int>(rng() % 3);
        const bool ok = layer < 4 && item < 256;
        ASSERT_EQ(f.SetItem(layer, item, action), ok ? 0 : -1) << layer << " " << item;
        for (int l = 0; ok && l < 4; ++l)
          for (int c = 0; c < 256; ++c)
            if ((layer < 0 || l == layer) && (item < 0 || c == item))
              m.allowed[l][c] = action == 2 ? !m.allowed[l][c] : action == 1;
      } else if (what < 8) {
        m.mode = rng() % 8 == 0 ? 5 : static_cast<int>(rng() % 2);
        f.SetMode(m.mode);
        // A column below -1 is ignored.
        const int set = static_cast<int>(rng() % 8) - 4;
        f.SetColumn(set);
        if (set >= -1) column = set;
      } else {
        // Whole masks copy to and from layers 0 to 3 only.
        uint8_t mask[32];
        for (uint8_t& b : mask)
          b = rng() % 3 == 0 ? static_cast<uint8_t>(rng()) : 0xFF * (rng() % 2);
        ASSERT_EQ(f.SetMask(layer, mask), layer >= 0 && layer < 4 ? 0 : -1) << layer;
        for (int c = 0; layer >= 0 && layer < 4 && c < 256; ++c)
          m.allowed[layer][c] = (mask[c >> 3] >> (c & 7)) & 1;
      }
      ASSERT_EQ(f.Summary(), m.Summary()) << "op " << op;
      ASSERT_EQ(f.GetColumn(), column);
      uint8_t mask[32];
      ASSERT_EQ(f.GetMask(layer, mask), layer >= 0 && layer < 4 ? 0 : -1) << layer;
      for (int c = 0; layer >= 0 && layer < 4 && c < 256; ++c)
        ASSERT_EQ((mask[c >> 3] >> (c & 7)) & 1, m.allowed[layer][c]) << layer << " " << c;
      for (int k = 0; k < 20; ++k) {
        uint8_t code[4];
        for (uint8_t& b : code) b = rng() % 4 == 0 ? 0 : static_cast<uint8_t>(rng() % 12);
        ASSERT_EQ(f.Match(code), m.Match(code)) << int(code[0]) << " " << int(code[1]);
      }
      CMarkFilter copy(f);
      ASSERT_TRUE(copy == f);
      copy.SetItem(static_cast<int>(rng() % 4), static_cast<int>(rng() % 256), 2);
      ASSERT_FALSE(copy == f);
    }
  }
}

}  // namespace
}  // namespace vslk64
