// Damage to what the waveform chunk index is built from at open (run heads,
// block headers) fails the open. (Whether the index answers as the samples
// do is index_model_test.cc's.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filelib/le.h"
#include "neuroshare/ns_api.h"
#include "tests/neuroshare/watched_file.h"
#include "tests/support/temp_dir.h"

namespace nsv {
namespace {

// A 16-bit waveform, one tick per sample, of runs of the given lengths with
// gap ticks between them.
nsv_test::Channel Runs(const std::vector<size_t>& counts, int64_t gap) {
  nsv_test::Channel c = nsv_test::Wave(1, 1);
  int64_t t = 5;
  for (size_t n : counts) {
    nsv_test::AddRun(c, t, std::vector<int16_t>(n, 1));
    t += static_cast<int64_t>(n) + gap;
  }
  return c;
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

// Files in memory (nsv_test::LayerTest's), opened through ns_OpenFile.
class WaveIndexDamage : public nsv_test::LayerTest {};

TEST_F(WaveIndexDamage, DamagedRunHeadsFailTheOpen) {
  recording_test::Recording rec;
  rec.channels[0] = Runs({32752, 32752, 32752, 10}, 0);
  rec.channels[1] = Runs(std::vector<size_t>(1500, 3), 1);
  ASSERT_TRUE(recording_test::WriteOrfx(rec, "/good.orfx"));
  const std::vector<uint8_t> bytes = *files_.Get("/good.orfx");

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
    files_.Put("/bad.orfx", copy);
    uint32_t h = 0;
    EXPECT_EQ(ns_OpenFile("/bad.orfx", &h), ns_FILEERROR);
    EXPECT_EQ(h, 0u);
  }
}

TEST_F(WaveIndexDamage, DamagedOrfBlockHeadersFailTheOpen) {
  recording_test::Recording rec;
  rec.channels[0] = Runs({20000}, 0);
  // The ORF builder writes through the real file system.
  testing_support::TempDir dir;
  std::string image;
  ASSERT_TRUE(recording_test::WriteOrf(rec, dir.File("good.orf"), 9, 1024));
  ASSERT_TRUE(testing_support::ReadFileBytes(dir.File("good.orf"), &image));
  const std::vector<uint8_t> bytes(image.begin(), image.end());
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
  files_.Put("/bad.orf", copy);
  uint32_t h = 0;
  EXPECT_EQ(ns_OpenFile("/bad.orf", &h), ns_FILEERROR);
}

}  // namespace
}  // namespace nsv
