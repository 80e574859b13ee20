// Damaged ORF files: random changes to the headers and block headers of a
// file holding every kind must give statuses, never a crash, a hang or a
// read outside a buffer (run under the sanitizers to see the last).
#include <random>

#include "filelib/orf/kel32_file.h"
#include "tests/orf/orf_fixture.h"

namespace orf_test {
namespace {

using namespace vslk64;
namespace ob = orf_builder;

std::string EveryKind(int version) {
  ob::OrfFile file(version, 32);
  for (int k = 1; k <= 9; ++k) {
    ob::Chan& ch = file.chan(k);
    ch.kind = k;
    ch.blockBytes = 512;
    ch.divide = 3;
    if (k >= 6 && k <= 8) ch.extraBytes = 8;
    if (k == 6) ch.traces = 2;
  }
  for (int b = 0; b < 12; ++b) {
    const int32_t t = 1000 * b;
    file.AddWave(1, 3 * 200 * b, Ramp(200, b));
    file.AddEvents(2, {t, t + 5});
    file.AddEvents(3, {t + 1});
    file.AddEvents(4, {t + 2, t + 7, t + 9});
    file.AddMarks(5, {{t + 3, {1, 2, 3, 4}, {}}});
    for (int k : {6, 7, 8}) file.AddMarks(k, {{t + k, {static_cast<uint8_t>(b), 0, 0, 0}, {1, 2, 3, 4, 5, 6, 7, 8}}});
    file.AddRealWave(9, 3 * 100 * b, std::vector<float>(100, 0.25f * b));
  }
  return file.Build();
}

bool IsStatusOrCount(int64_t r) { return r >= -22; }

void ReadEverything(CKel64File& k) {
  std::vector<TSTime64> times(64);
  std::vector<TMarker> marks(64);
  std::vector<uint8_t> ext(64 * 64);
  std::vector<int16_t> s(512);
  std::vector<float> v(512);
  bool level;
  TSTime64 first;
  const TSTime64 ranges[][2] = {{0, kMaxTime64}, {2500, 7000}, {11000, 11001}};
  for (int c = 0; c < 12; ++c) {
    for (const auto& r : ranges) {
      EXPECT_TRUE(IsStatusOrCount(k.ReadEvents(c, times.data(), 64, r[0], r[1], nullptr)));
      EXPECT_TRUE(IsStatusOrCount(k.ReadMarkers(c, marks.data(), 64, r[0], r[1], nullptr)));
      EXPECT_TRUE(IsStatusOrCount(k.ReadLevels(c, times.data(), 64, r[0], r[1], &level)));
      const int size = k.ItemSize(c);
      if (size >= 16 && size <= 64) {
        EXPECT_TRUE(IsStatusOrCount(
            k.ReadExtMarks(c, reinterpret_cast<TExtMark*>(ext.data()), 64, r[0], r[1], nullptr)));
      }
      EXPECT_TRUE(IsStatusOrCount(k.ReadWaveS(c, s.data(), 512, r[0], r[1], &first, nullptr)));
      EXPECT_TRUE(IsStatusOrCount(k.ReadWaveF(c, v.data(), 512, r[0], r[1], &first, nullptr)));
      EXPECT_TRUE(IsStatusOrCount(k.PrevNTime(c, r[1] > 20000 ? 20000 : r[1], r[0], 5, nullptr, c == 6)));
    }
    uint64_t rows, cols;
    k.GetExtMarkInfo(c, &rows, &cols);
  }
  k.MaxTime(false);
}

TEST_F(OrfFileTest, DamagedFilesGiveStatusesNotCrashes) {
  for (int version : {5, 8, 9}) {
    const std::string good = EveryKind(version);
    const std::string path = dir_.File("bad" + std::to_string(version) + ".orf");
    std::mt19937 rng(static_cast<unsigned>(version));
    const size_t headers = 512 + 32 * 140;
    int opened = 0;
    for (int round = 0; round < 150; ++round) {
      std::string bytes = good;
      const int changes = 1 + static_cast<int>(rng() % 6);
      for (int i = 0; i < changes; ++i) {
        // Mostly the file and channel headers, else the head of some block.
        size_t at;
        if (rng() % 2) {
          at = rng() % headers;
        } else {
          const size_t block = headers + (rng() % ((bytes.size() - headers) / 512)) * 512;
          at = ((block + 511) & ~size_t{511}) + rng() % 20;
          if (at >= bytes.size()) at = rng() % headers;
        }
        bytes[at] = static_cast<char>(rng() % 3 == 0 ? 0xFF : rng());
      }
      ASSERT_TRUE(testing_support::WriteFileBytes(path, bytes.data(), bytes.size()));
      TKel32File k;
      const int st = k.Open(path.c_str(), 1, 0);
      EXPECT_TRUE(st == 0 || (st < 0 && IsStatusOrCount(st))) << st;
      if (st != 0) continue;
      ++opened;
      ReadEverything(k);
    }
    EXPECT_GT(opened, 10);
  }
}

}  // namespace
}  // namespace orf_test
