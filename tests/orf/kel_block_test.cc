// ORF blocks: the checks on every block read, the search for the first block
// of a range through the lookup table and chain walks, corrupt chains, and
// saved lookup tables.
#include <random>

#include "filelib/orf/kel_file_rec.h"
#include "tests/orf/orf_fixture.h"

namespace orf_test {
namespace {

using namespace vslk64;
namespace ob = orf_builder;

// Event channel 0 with `n` blocks of two events each (10 i, 10 i + 4),
// interleaved with blocks of event channel 1.
ob::OrfFile EventChain(int version, int n, uint32_t blockBytes = 512) {
  ob::OrfFile file(version, 32);
  file.chan(0).kind = 2;
  file.chan(0).blockBytes = blockBytes;
  file.chan(1).kind = 3;
  file.chan(1).blockBytes = 512;
  for (int i = 0; i < n; ++i) {
    file.AddEvents(0, {10 * i, 10 * i + 4});
    if (i % 3 == 0) file.AddEvents(1, {10 * i + 1});
  }
  return file;
}

// The file-order indexes of channel 0's blocks in a built EventChain.
std::vector<int> Chan0Blocks(const ob::OrfFile& file, const std::string& bytes, int n) {
  std::vector<int> blocks;
  for (int i = 0; static_cast<int>(blocks.size()) < n; ++i)
    if (ob::GetI32(bytes, file.BlockPos(i) + ob::kBChanField) % 256 == 1) blocks.push_back(i);
  return blocks;
}

// Damaged block headers, chains that loop forward or back and a file whose
// links are incomplete end the read or search that meets them with a
// status; a block without items passes whatever its other fields hold.
TEST_F(OrfFileTest, DamagedBlocksAndChainsEndReadsWithAStatus) {
  const int n = 20;
  ob::OrfFile file = EventChain(8, n);
  file.chan(2).kind = 1;
  file.chan(2).divide = 3;
  const int wave = file.AddWave(2, 0, Ramp(10, 0));
  const std::string good = file.Build();
  const std::vector<int> blocks = Chan0Blocks(file, good, n);
  auto pos = [&](int k) { return file.BlockPos(blocks[static_cast<size_t>(k)]); };
  auto addr = [&](int k) { return file.BlockAddr(blocks[static_cast<size_t>(k)]); };
  enum Read { kEvents, kWave, kBack };
  const struct {
    const char* name;
    int64_t pos;
    int32_t value;
    int width;  // bytes written at pos
    Read read;
    int status;
  } cases[] = {
      {"another channel", pos(1) + ob::kBChanField, 6, 2, kEvents, kKelCorrupt},
      {"start after end", pos(1) + ob::kBStart, 1000, 4, kEvents, kKelCorrupt},
      {"negative start", pos(1) + ob::kBStart, -1, 4, kEvents, kKelCorrupt},
      {"more items than fit", pos(1) + ob::kBItemCount, 124, 2, kEvents, kKelCorrupt},
      {"previous block beyond the file", pos(1) + ob::kBPrev, 1 << 28, 4, kEvents, kKelCorrupt},
      {"waveform end not start + 9 x 3", file.BlockPos(wave) + ob::kBEnd, 28, 4, kWave,
       kKelCorrupt},
      {"next loops back", pos(3) + ob::kBNext, addr(1), 4, kEvents, kKelCorrupt},
      {"own successor", pos(7) + ob::kBNext, addr(7), 4, kEvents, kKelCorrupt},
      {"prev loops forward", pos(15) + ob::kBPrev, addr(18), 4, kBack, kKelCorrupt},
      {"links incomplete", ob::kHLinksComplete, 0, 2, kEvents, kKelNoLinks},
      {"links incomplete, waveform", ob::kHLinksComplete, 0, 2, kWave, kKelNoLinks},
      {"links incomplete, search", ob::kHLinksComplete, 0, 2, kBack, kKelNoLinks},
      {"a block without items", pos(1) + ob::kBItemCount, 0, 2, kEvents, 2 * n - 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = good;
    if (c.width == 2) ob::PutU16(bytes, c.pos, static_cast<uint16_t>(c.value));
    if (c.width == 4) ob::PutI32(bytes, c.pos, c.value);
    if (c.status > 0) ob::PutU16(bytes, pos(1) + ob::kBChanField, 77);
    const int f = Open(bytes);
    int32_t times[100];
    int16_t samples[16];
    EXPECT_EQ(c.read == kEvents ? KelGetEventData(f, 0, times, 100, 0, 1000, nullptr, nullptr)
              : c.read == kWave ? KelGetWaveData(f, 2, samples, 16, 0, 100, nullptr, nullptr)
                                : KelPrevNTime(f, 0, 195, 0, 100, false, nullptr),
              c.status);
    if (c.read == kBack && c.status == kKelCorrupt) {  // the walk back from the last block
      EXPECT_EQ(KelFindBlock(f, 0, 142, 142), kKelCorrupt);
    }
    Close(f);
  }
}

TEST_F(OrfFileTest, BlockAddressesAreChecked) {
  ob::OrfFile file = EventChain(8, 3);
  const std::string bytes = file.Build();
  const int f = Open(bytes);
  EXPECT_EQ(KelReadBlock(f, 0, static_cast<int32_t>(bytes.size())), kKelCorrupt);
  EXPECT_EQ(KelReadBlock(f, 0, -7), kKelCorrupt);
  EXPECT_EQ(KelReadBlock(f, 0, INT32_MIN + 2), kKelRead);      // held in memory: none are
  EXPECT_EQ(KelReadBlock(f, 1, file.BlockAddr(3)), kKelRead);  // above channel 1's last
  EXPECT_EQ(KelReadBlock(f, 5, file.BlockAddr(0)), kKelChanOff);
  EXPECT_EQ(KelReadBlock(f, 0, file.BlockAddr(0)), 0);
}

// The first block of a range found through the lookup table agrees with the
// chain, in both versions' addressing, on a short chain and on one of 3000
// blocks that fills and thins the table. (Reads through the found blocks
// are checked against written files by the random-write test.)
TEST_F(OrfFileTest, FindBlockAgreesWithTheChainAsTheTableThins) {
  for (const int version : {8, 9}) {
    const int n = version == 8 ? 3000 : 150;
    SCOPED_TRACE(version);
    ob::OrfFile file = EventChain(version, n);
    const std::string bytes = file.Build();
    const std::vector<int> blocks = Chan0Blocks(file, bytes, n);
    const int f = Open(bytes, "v" + std::to_string(version) + ".orf");
    std::mt19937 rng(version);
    for (int i = 0; i < 1000; ++i) {
      const int32_t t = static_cast<int32_t>(rng() % (10 * n + 40)) - 20;
      const int32_t to = t + static_cast<int32_t>(rng() % 12);
      int expect = -1;  // the block holding t or the next one, if it starts by `to`
      for (int k = std::max(0, t / 10 - 1); k < n && expect < 0; ++k)
        if (10 * k + 4 >= t) expect = 10 * k <= to ? k : n;
      ASSERT_EQ(KelFindBlock(f, 0, t, to),
                expect < 0 || expect == n ? 0 : file.BlockAddr(blocks[static_cast<size_t>(expect)]))
          << t << ".." << to;
    }
    int32_t w[7];
    ASSERT_EQ(KelLookupControl(f, 0, w), 0);
    EXPECT_EQ(w[2] >= 2, n > 2048);  // stride
    EXPECT_EQ(KelFindBlock(f, 0, 50, 40), 0);
    Close(f);
  }
}

// Version-9 files carry lookup tables saved at close, and end where they
// begin; a table is taken only when it checks out, loading stops at the
// first bad one, and the file reads the same either way. Tables said to lie
// at or beyond the end are not taken and do not move it.
TEST_F(OrfFileTest, SavedLookupTablesLoadOnlyWhenSound) {
  const int n = 200;
  for (const std::string damage : {"none", "checksum", "order", "beyond"}) {
    SCOPED_TRACE(damage);
    ob::OrfFile file(9, 32);
    file.chan(0).kind = file.chan(4).kind = 2;
    ob::SavedTable t{0, 128, 2, -1, 0, 0, 0, {}, false}, u{4, 256, 1, -1, 0, 0, 0, {}, false};
    for (int i = 0; i < n; ++i) {
      const int b = file.AddEvents(0, {10 * i, 10 * i + 4});
      if ((i % 2 == 0 && i < n - 2) || i == n - 1) t.blocks.push_back(b);
      u.blocks.push_back(file.AddEvents(4, {10 * i + 5}));
    }
    if (damage == "order") std::swap(t.blocks[3], t.blocks[4]);
    t.badChecksum = damage == "checksum";
    file.SaveTable(t);
    file.SaveTable(u);
    std::string bytes = file.Build();
    int64_t end = int64_t{ob::GetI32(bytes, ob::kHLookupAddr)} * 512;
    ASSERT_GT(end, 0);
    if (damage == "beyond") {
      ob::PutI32(bytes, ob::kHLookupAddr, static_cast<int32_t>(bytes.size() / 512));
      end = static_cast<int64_t>(bytes.size());
    }
    const int f = Open(bytes, damage + ".orf");
    EXPECT_EQ(KelFileBytes(f), end);
    int32_t w[7], w4[7];
    ASSERT_EQ(KelLookupControl(f, 0, w) + KelLookupControl(f, 4, w4), 0);
    EXPECT_EQ(w[1] + w4[1], damage == "none" ? 300 : 0);
    for (int i = 0; i < 200; ++i) {
      const int32_t from = (i * 37) % (10 * n - 10), r = from % 10;
      int32_t got;  // the next of the events at 10 k and 10 k + 4
      ASSERT_EQ(KelGetEventData(f, 0, &got, 1, from, 0x7FFFFFFF, nullptr, nullptr), 1);
      ASSERT_EQ(got, from - r + (r == 0 ? 0 : r <= 4 ? 4 : 10)) << from;
    }
    Close(f);
  }
}

// More channels walking at once than the file lends read-ahead windows to:
// each reads the same as alone, and a channel read to its end gives its
// window back.
TEST_F(OrfFileTest, ChannelsReadInTurnShareTheReadAhead) {
  const int chans = 6, n = 400;
  ob::OrfFile file(9, 32);
  for (int c = 0; c < chans; ++c) file.chan(c).kind = 2;
  for (int i = 0; i < n; ++i)
    for (int c = 0; c < chans; ++c) file.AddEvents(c, {1000 * i + c, 1000 * i + 500 + c});
  const int f = Open(file.Build());
  std::vector<int32_t> next(chans, 0);
  std::vector<int> seen(chans, 0);
  for (int round = 0; round < 2 * n; ++round) {
    for (int c = 0; c < chans; ++c) {
      int32_t t[3];
      const int r =
          KelGetEventData(f, c, t, 3, next[static_cast<size_t>(c)], 0x7FFFFFFF, nullptr, nullptr);
      ASSERT_GE(r, 0);
      for (int k = 0; k < r; ++k) {
        const int i = seen[static_cast<size_t>(c)]++;
        ASSERT_EQ(t[k], 1000 * (i / 2) + 500 * (i % 2) + c);
      }
      if (r > 0) next[static_cast<size_t>(c)] = t[r - 1] + 1;
    }
  }
  for (int c = 0; c < chans; ++c) EXPECT_EQ(seen[static_cast<size_t>(c)], 2 * n);
  EXPECT_EQ(KelRecord(f)->windowsHeld.load(), 0);
}

}  // namespace
}  // namespace orf_test
