// The chunk index of waveform entities, built at open from run heads and
// block headers, against the index a scan that reads every sample builds;
// damaged run heads; and the byte budget of the item-time cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/le.h"
#include "neuroshare/ns_api.h"
#include "neuroshare/ns_file_table.h"
#include "neuroshare/ns_index.h"
#include "neuroshare/ns_read_cache.h"
#include "tests/builder/recording.h"
#include "tests/neuroshare/watched_file.h"
#include "tests/support/temp_dir.h"

namespace nsv {
namespace {

using vslk64::TSTime64;

// The index as a scan that reads every sample makes it: reads of up to
// 32000 samples from time 0, each stopping at a gap, each starting one
// divide after the last sample of the one before. Negative: a read failed.
struct TScan {
  int status = 0;
  std::vector<TNsChunk> chunks;
};

TScan ScanByReading(vslk64::CKel64File& file, uint16_t chan, TSTime64 divide) {
  TScan scan;
  std::vector<int16_t> buf(kNsChunkSamples);
  TSTime64 from = 0;
  uint32_t total = 0;
  for (;;) {
    TSTime64 first = 0;
    const int n = file.ReadWaveS(chan, buf.data(), kNsChunkSamples, from, vslk64::kMaxTime64,
                                 &first, nullptr);
    if (n < 0) {
      scan.status = n;
      return scan;
    }
    if (n == 0) return scan;
    const TSTime64 last = first + (n - 1) * divide;
    scan.chunks.push_back({first, last, total, static_cast<uint32_t>(n)});
    total += static_cast<uint32_t>(n);
    from = last + divide;
  }
}

std::unique_ptr<vslk64::CKel64File> OpenDirect(const std::string& path, bool orf) {
  auto file = orf ? vslk64::NewKel32File() : vslk64::NewKel64File();
  if (file->Open(path.c_str(), 1, 0) != 0) return nullptr;
  return file;
}

recording_test::WaveRun Run(int64_t start, size_t n, int seed) {
  recording_test::WaveRun run;
  run.start = start;
  for (size_t i = 0; i < n; ++i) run.shorts.push_back(static_cast<int16_t>(seed + 3 * i));
  for (size_t i = 0; i < n; ++i) run.floats.push_back(static_cast<float>(seed) + i * 0.5f);
  return run;
}

// Runs laid out one after another with the given sample counts and the
// given extra gaps (in divides) between them.
recording_test::Channel Wave(int kind, int64_t divide, const std::vector<size_t>& counts,
                             const std::vector<int64_t>& gaps) {
  recording_test::Channel c;
  c.kind = kind;
  c.title = kind == 1 ? "Adc" : "Real";
  c.divide = divide;
  c.idealRate = 1000;
  int64_t t = 5 * divide;
  for (size_t i = 0; i < counts.size(); ++i) {
    c.runs.push_back(Run(t, counts[i], static_cast<int>(i)));
    t += static_cast<int64_t>(counts[i]) * divide + gaps[i % gaps.size()] * divide;
  }
  return c;
}

recording_test::Recording Layouts() {
  recording_test::Recording rec;
  // Gaps at block boundaries (a 16-bit block holds 32752 samples of one
  // run) and around 32000-sample boundaries.
  rec.channels[0] = Wave(1, 1, {32752, 32752, 32000, 64000, 31999, 32001, 96000, 5}, {1, 0, 3});
  // Many short runs: their heads reach past the first 4 KiB of a block.
  std::vector<size_t> shortRuns(1500);
  for (size_t i = 0; i < shortRuns.size(); ++i) shortRuns[i] = 1 + (i * 7) % 23;
  rec.channels[1] = Wave(1, 3, shortRuns, {1, 2, 5});
  // Float samples, gaps inside and between blocks, a longer divide.
  rec.channels[2] = Wave(9, 7, {16376, 16376, 100, 40000, 3, 33000}, {2, 0, 1, 0});
  // No data at all.
  rec.channels[3] = Wave(1, 2, {}, {1});
  return rec;
}

class WaveIndex : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { NsCloseAllFiles(); }
  void TearDown() override { NsCloseAllFiles(); }

  std::string Write(const recording_test::Recording& rec) {
    const bool orf = GetParam();
    const std::string path = dir_.File(orf ? "w.orf" : "w.orfx");
    // Small ORF blocks, so that runs cross many block boundaries.
    const bool ok =
        orf ? recording_test::WriteOrf(rec, path, 9, 2048) : recording_test::WriteOrfx(rec, path);
    EXPECT_TRUE(ok);
    return path;
  }

  testing_support::TempDir dir_;
};

TEST_P(WaveIndex, ChunksFromRunHeadsAreTheChunksOfAScanThatReadsTheSamples) {
  const std::string path = Write(Layouts());
  auto direct = OpenDirect(path, GetParam());
  ASSERT_NE(direct, nullptr);
  uint32_t h = 0;
  ASSERT_EQ(ns_OpenFile(path.c_str(), &h), ns_OK);
  TNsFile& record = *NsFindFile(h);
  int waves = 0;
  for (const auto& entity : record.entities) {
    if (!NsIsWaveKind(entity->kind)) continue;
    ++waves;
    const TScan scan = ScanByReading(*direct, entity->chan, entity->divide);
    ASSERT_EQ(scan.status, 0);
    ASSERT_EQ(entity->chunks.size(), scan.chunks.size()) << "channel " << entity->chan;
    for (size_t i = 0; i < scan.chunks.size(); ++i) {
      EXPECT_EQ(entity->chunks[i], scan.chunks[i]) << "channel " << entity->chan << " chunk " << i;
    }
    uint32_t total = 0;
    for (const TNsChunk& c : scan.chunks) total += c.count;
    EXPECT_EQ(entity->itemCount, total);
  }
  EXPECT_EQ(waves, 4);
  ns_CloseFile(h);
}

// Offsets into the files the builders lay out.
constexpr uint32_t kBlock = 65536;
constexpr uint32_t kRunCountAt = 16 + 8;  // the first run's count

// The position of the n-th data block (in file order) of chan in an ORFX
// file: 64 KiB units whose head names the channel at level 0 with items.
int64_t OrfxBlockOf(const std::vector<uint8_t>& bytes, uint16_t chan, int n) {
  for (size_t pos = kBlock; pos + kBlock <= bytes.size(); pos += kBlock) {
    const uint8_t* p = bytes.data() + pos;
    const uint64_t parent = vslk64::le::GetU64(p);
    if (vslk64::le::GetU16(p + 8) == chan && ((parent >> 8) & 7) == 0 &&
        vslk64::le::GetU32(p + 12) != 0 && n-- == 0) {
      return static_cast<int64_t>(pos);
    }
  }
  return -1;
}

// The bytes of a file, as unsigned bytes.
std::vector<uint8_t> Slurp(const std::string& path) {
  std::string bytes;
  EXPECT_TRUE(testing_support::ReadFileBytes(path, &bytes));
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

TEST(WaveIndexDamage, DamagedRunHeadsFailTheOpenAsTheReadingScanFails) {
  testing_support::TempDir dir;
  recording_test::Recording rec;
  rec.channels[0] = Wave(1, 1, {32752, 32752, 32752, 10}, {0});
  std::vector<size_t> shortRuns(1500, 3);
  rec.channels[1] = Wave(1, 1, shortRuns, {1});
  const std::string good = dir.File("good.orfx");
  ASSERT_TRUE(recording_test::WriteOrfx(rec, good));
  const std::vector<uint8_t> bytes = Slurp(good);

  struct Damage {
    const char* what;
    uint16_t chan;
    int block;
    uint32_t at;     // offset in the block
    uint32_t value;  // written as u32
  };
  // Run heads of short runs are 24 bytes apart (16 + 3 samples rounded to
  // 8): head 200 lies beyond the first 4 KiB.
  const Damage damages[] = {
      {"a run longer than its block", 0, 1, kRunCountAt, 40000},
      {"a run of no samples", 0, 2, kRunCountAt, 0},
      {"a run head beyond 4 KiB reaching past the block", 1, 0, 16 + 200 * 24 + 8, 0x40000000},
      {"a run head beyond 4 KiB out of time order", 1, 0, 16 + 200 * 24, 3},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    std::vector<uint8_t> copy = bytes;
    const int64_t pos = OrfxBlockOf(copy, d.chan, d.block);
    ASSERT_GE(pos, 0);
    vslk64::le::PutU32(copy.data() + pos + d.at, d.value);
    const std::string path = dir.File("bad.orfx");
    ASSERT_TRUE(testing_support::WriteFileBytes(path, copy.data(), copy.size()));

    auto direct = OpenDirect(path, false);
    ASSERT_NE(direct, nullptr);
    EXPECT_LT(ScanByReading(*direct, d.chan, 1).status, 0) << "the reading scan fails too";
    uint32_t h = 0;
    EXPECT_EQ(ns_OpenFile(path.c_str(), &h), ns_FILEERROR);
    EXPECT_EQ(h, 0u);
  }
}

TEST(WaveIndexDamage, DamagedOrfBlockHeadersFailTheOpenAsTheReadingScanFails) {
  testing_support::TempDir dir;
  recording_test::Recording rec;
  rec.channels[0] = Wave(1, 1, {20000}, {0});
  const std::string good = dir.File("good.orf");
  ASSERT_TRUE(recording_test::WriteOrf(rec, good, 9, 1024));
  const std::vector<uint8_t> bytes = Slurp(good);
  // Every 1024-byte block of channel 0 after the header: damage the end
  // time of one in the middle of the chain (start above end).
  int seen = 0;
  int64_t victim = -1;
  for (size_t pos = 512; pos + 1024 <= bytes.size(); pos += 512) {
    const uint8_t* p = bytes.data() + pos;
    if (vslk64::le::GetU16(p + 16) == 1 && vslk64::le::GetU16(p + 18) == (1024 - 20) / 2 &&
        vslk64::le::GetI32(p + 12) - vslk64::le::GetI32(p + 8) == (1024 - 20) / 2 - 1 &&
        ++seen == 5) {
      victim = static_cast<int64_t>(pos);
      break;
    }
  }
  ASSERT_GE(victim, 0);
  std::vector<uint8_t> copy = bytes;
  vslk64::le::PutI32(copy.data() + victim + 12, vslk64::le::GetI32(copy.data() + victim + 8) - 1);
  const std::string path = dir.File("bad.orf");
  ASSERT_TRUE(testing_support::WriteFileBytes(path, copy.data(), copy.size()));
  auto direct = OpenDirect(path, true);
  ASSERT_NE(direct, nullptr);
  EXPECT_LT(ScanByReading(*direct, 0, 1).status, 0);
  uint32_t h = 0;
  EXPECT_EQ(ns_OpenFile(path.c_str(), &h), ns_FILEERROR);
}

INSTANTIATE_TEST_SUITE_P(Formats, WaveIndex, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Orf" : "Orfx";
                         });

// The item-time cache against a model: chunks used are read once while
// their bytes fit the budget, and the least recently used go first.
class ReadCacheBudget : public nsv_test::LayerTest {};

TEST_F(ReadCacheBudget, KeepsChunksWhileTheirBytesFitAndDropsTheLeastRecentlyUsed) {
  std::vector<int64_t> times(4000 * 6);
  for (size_t i = 0; i < times.size(); ++i) times[i] = 10 * static_cast<int64_t>(i);
  nsv_test::Recording rec;
  rec.channels[0] = nsv_test::Events(2, times);
  const uint32_t h = Open(rec);
  ASSERT_NE(h, 0u);
  TNsFile& record = *NsFindFile(h);
  const TNsEntity& entity = *record.entities[0];
  ASSERT_EQ(entity.chunks.size(), 6u);
  constexpr size_t kChunkBytes = 4000 * sizeof(TSTime64);

  struct Case {
    size_t budgetChunks;
    std::vector<int> touches;  // chunk numbers, in order
  };
  const Case cases[] = {
      {6, {0, 1, 2, 3, 4, 5, 5, 4, 3, 2, 1, 0, 3}},
      {2, {0, 1, 0, 2, 1, 0, 0, 2, 2, 1}},
      {1, {0, 0, 1, 0, 1, 1}},
      {3, {0, 1, 2, 0, 3, 1, 2, 4, 0, 5, 5, 4}},
  };
  for (const Case& c : cases) {
    NsDropReadCache();
    NsSetReadCacheBudget(c.budgetChunks * kChunkBytes);
    file_->reads.clear();
    std::vector<int> model;  // most recently used first
    int expectedReads = 0;
    for (int k : c.touches) {
      auto it = std::find(model.begin(), model.end(), k);
      if (it == model.end()) {
        ++expectedReads;
      } else {
        model.erase(it);
      }
      model.insert(model.begin(), k);
      if (model.size() > c.budgetChunks) model.pop_back();
      TSTime64 t;
      ASSERT_EQ(TimeOfIndex(record, entity, 4000 * k + 17, t), 0);
      EXPECT_EQ(t, 10 * (4000 * k + 17));
      EXPECT_LE(NsReadCacheBytes(), c.budgetChunks * kChunkBytes);
    }
    EXPECT_EQ(file_->TotalReads(), expectedReads) << "budget of " << c.budgetChunks << " chunks";
  }
  NsSetReadCacheBudget(kNsReadCacheBytes);
  ASSERT_EQ(ns_CloseFile(h), ns_OK);
  EXPECT_EQ(NsReadCacheBytes(), 0u);
}

}  // namespace
}  // namespace nsv
