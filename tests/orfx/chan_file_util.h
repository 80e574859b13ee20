// Helpers for the tests that read channel data through the file interface:
// channel records of each kind, opening a built or written file, and reading
// a channel's event or marker times, and the rule of backward searches over
// samples.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "tests/builder/orfx/orfx_channel_file.h"
#include "tests/support/temp_dir.h"

namespace vslk64 {
namespace chantest {

using orfx_test::ChanFields;
using orfxtest::Bytes;
using orfxtest::ChannelFile;

inline ChanFields Fields(uint8_t kind, int64_t divide = 0, uint16_t rows = 0, uint16_t cols = 0) {
  ChanFields f;
  f.kind = kind;
  f.divide = divide;
  f.rows = rows;
  f.cols = cols;
  f.itemSize = kind == 2 || kind == 3 ? 8 : kind == 4 || kind == 5 ? 16 : kind == 1 ? 2 : 4;
  if (kind >= 6 && kind <= 8) f.itemSize = orfxtest::ExtMarkItemSize(kind, rows, cols);
  f.pointBytes = kind == 6 ? 2 : kind == 7 ? 4 : kind == 8 ? 1 : 0;
  return f;
}

inline std::vector<int64_t> Times(int64_t first, int64_t step, int n) {
  std::vector<int64_t> t;
  for (int i = 0; i < n; ++i) t.push_back(first + step * i);
  return t;
}

inline orfxtest::MarkerItem Mark(int64_t t, uint8_t c0, uint8_t c1 = 0, uint8_t c2 = 0,
                                 uint8_t c3 = 0) {
  return orfxtest::MarkerItem{t, {c0, c1, c2, c3}};
}

// Opens a file in the given mode (1: read-only, 0: for writing).
inline std::unique_ptr<CKel64File> OpenFile(const std::string& path, int mode) {
  std::unique_ptr<CKel64File> f = NewKel64File();
  EXPECT_EQ(f->Open(path.c_str(), mode, 0), kOk);
  return f;
}

// Writes the file and opens it read-only, as the Neuroshare layer does.
inline std::unique_ptr<CKel64File> OpenBuilt(const ChannelFile& file,
                                             const testing_support::TempDir& dir,
                                             const std::string& name = "f.orfx") {
  EXPECT_TRUE(file.Write(dir.File(name)));
  return OpenFile(dir.File(name), 1);
}

// The event times of a channel from `from` on; more than `max` is a failure
// the caller sees as a longer result.
inline std::vector<TSTime64> ReadEvents(CKel64File& f, uint16_t chan, TSTime64 from, size_t max) {
  std::vector<TSTime64> out(max + 1);
  const int n =
      f.ReadEvents(chan, out.data(), static_cast<int>(out.size()), from, kMaxTime64, nullptr);
  EXPECT_GE(n, 0);
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

// The marker times of a channel (and their first codes) that pass the
// filter; more than `max` is a failure the caller sees as a longer result.
inline std::vector<TSTime64> MarkerTimes(CKel64File& f, uint16_t chan, size_t max,
                                         const CMarkFilter* filter = nullptr,
                                         std::vector<uint8_t>* codes = nullptr) {
  std::vector<TMarker> buf(max + 1);
  const int n =
      f.ReadMarkers(chan, buf.data(), static_cast<int>(buf.size()), 0, kMaxTime64, filter);
  EXPECT_GE(n, 0);
  std::vector<TSTime64> times;
  for (int i = 0; i < n; ++i) {
    times.push_back(buf[static_cast<size_t>(i)].time);
    if (codes) codes->push_back(buf[static_cast<size_t>(i)].code[0]);
  }
  return times;
}

// What a backward search over samples at times t (sorted) answers: the
// n-th sample back from before, where stepping back stops at a gap (the
// stretch's first sample answers) and at the channel's first sample (-1);
// never earlier than the first sample at or after earliest.
inline TSTime64 WavePrevN(const std::vector<TSTime64>& t, TSTime64 before, TSTime64 earliest,
                          uint32_t n, TSTime64 divide) {
  const size_t below =
      static_cast<size_t>(std::lower_bound(t.begin(), t.end(), before) - t.begin());
  if (below == 0) return -1;
  size_t j = below - 1;
  for (uint32_t c = 1; c < n && j > 0 && t[j - 1] == t[j] - divide; ++c) --j;
  if (below - j < n && j == 0 && t[0] >= earliest) return -1;
  if (t[j] >= earliest) return t[j];
  const size_t at = static_cast<size_t>(std::lower_bound(t.begin(), t.end(), earliest) - t.begin());
  return at < below ? t[at] : -1;
}

}  // namespace chantest
}  // namespace vslk64
