#include "filelib/orfx/index_cursor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "filelib/corruption.h"
#include "filelib/le.h"
#include "filelib/status.h"
#include "tests/builder/orfx/orfx_block_builder.h"
#include "tests/orfx/chan_file_util.h"
#include "tests/orfx/mem_block_io.h"

namespace vslk64 {
namespace {

constexpr uint16_t kChan = 3;

// An event channel of n blocks; block k holds ten events from k * 1000 on,
// 10 ticks apart. Every seventh unit of the file belongs to another channel.
struct EventChannel {
  explicit EventChannel(int n) {
    head.kind = EventA;
    head.itemSize = 8;
    std::vector<orfxtest::BlockRef> refs;
    for (int k = 0; k < n; ++k) {
      if (k % 7 == 3) image.Put(image.AllocBlock(), orfxtest::EventBlock(kChan + 1, {1}));
      const uint64_t p = image.AllocBlock();
      image.Put(p, orfxtest::EventBlock(kChan, chantest::Times(1000 * k, 10, 10)));
      pos.push_back(p);
      refs.push_back({1000 * k, p});
    }
    tree = orfxtest::BuildIndexTree(image, kChan, refs);
    head.rootIndex = tree.root;
    head.blocksUsed = static_cast<uint64_t>(n);
  }

  orfxtest::OrfxImage image;
  orfxtest::MemBlockIo io{&image};
  std::vector<uint64_t> pos;
  orfxtest::IndexTree tree;
  TChanHead head;
};

// Walks and searches over trees the writer builds are the index-writer
// model's; here a tree from the byte builder pins what the cursor reads.
TEST(IndexCursorTest, ReadsEachBlockOnceAndKeepsWhatItHolds) {
  EventChannel ch(300);
  CIndexCursor cursor(kChan, &ch.head, &ch.io);
  ASSERT_EQ(0, cursor.FindBlock(0));
  while (cursor.NextBlock() == 0) {
  }
  EXPECT_EQ(299, cursor.CurBlock());
  EXPECT_EQ(300 + 2 + 1, ch.io.reads);  // data blocks, level-1 blocks, top block
  EXPECT_EQ(0, cursor.FindBlock(299050));
  EXPECT_EQ(300 + 2 + 1, ch.io.reads);
  EXPECT_EQ(0, cursor.FindBlock(3000));
  EXPECT_EQ(300 + 2 + 1 + 2, ch.io.reads);  // the first level-1 block and the data block
}

struct Fault {
  const char* what;
  std::function<void(EventChannel&)> apply;
  int64_t t = 5000;  // a time whose search meets the fault
  int code = kErrCorrupt;
  const char* reason = "";  // part of the reason the check reports
};

using Ch = EventChannel&;
void PutU16(Ch ch, uint64_t at, uint16_t v) { le::PutU16(ch.image.At(at), v); }
void PutU32(Ch ch, uint64_t at, uint32_t v) { le::PutU32(ch.image.At(at), v); }
void PutU64(Ch ch, uint64_t at, uint64_t v) { le::PutU64(ch.image.At(at), v); }
// Where index block `node` keeps entry e's time (+ 8: its child).
uint64_t Entry(uint64_t node, uint32_t e) { return node + 16 + 16 * e; }
// Where the first level-1 block names data block e.
uint64_t Child(Ch c, uint32_t e) { return Entry(c.tree.nodes[0][0], e) + 8; }

TEST(CorruptIndexTest, EveryFaultGivesCorruptAndAnInvalidCursor) {
  const std::vector<Fault> faults = {
      {"top block of another channel", [](Ch c) { PutU16(c, c.tree.root + 8, kChan + 1); }},
      {"top block without entries", [](Ch c) { PutU32(c, c.tree.root + 12, 0); }},
      {"level-1 block with 256 entries", [](Ch c) { PutU32(c, c.tree.nodes[0][1] + 12, 256); },
       280000, kErrCorrupt, "items == 0 || items > kIndexEntries || n == 0"},
      {"entry times going back", [](Ch c) { le::PutI64(c.image.At(Child(c, 100) - 8), 98999); }},
      {"data block off its grid", [](Ch c) { PutU64(c, Child(c, 5), c.pos[5] + 4096); }},
      {"data block past the file", [](Ch c) { PutU64(c, Child(c, 5), c.image.NextBlock()); }},
      {"data block in the header block", [](Ch c) { PutU64(c, Child(c, 5), 0); }},
      {"index block off its grid",
       [](Ch c) { PutU64(c, Entry(c.tree.root, 1) + 8, c.tree.nodes[0][1] + 16); }, 280000},
      {"data block for an index block",
       [](Ch c) { PutU64(c, Entry(c.tree.root, 1) + 8, c.pos[255]); }, 280000},
      {"index block for a data block", [](Ch c) { PutU64(c, Child(c, 5), c.tree.nodes[0][0]); }},
      {"data block of another channel", [](Ch c) { PutU16(c, c.pos[5] + 8, kChan + 1); }},
      {"data block over capacity", [](Ch c) { PutU32(c, c.pos[5] + 12, 8191); }},
      {"rootIndex off the grid", [](Ch c) { c.head.rootIndex += 8; }},
      {"rootIndex past the end", [](Ch c) { c.head.rootIndex = c.image.NextBlock(); }},
      {"rootIndex missing", [](Ch c) { c.head.rootIndex = 0; }},
      {"more blocks than the file holds", [](Ch c) { c.head.blocksUsed = uint64_t{1} << 40; }},
      {"old blocks beyond the file", [](Ch c) { c.head.blocksAlloc = c.image.NextBlock(); }},
      {"a waveform divide below 1", [](Ch c) { c.head.kind = Adc, c.head.divide = 0; }},
      {"a failed read", [](Ch c) { c.io.failReads = true; }, 5000, kErrRead},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.what);
    EventChannel ch(300);
    const orfxtest::Bytes clean = ch.image.bytes();
    const TChanHead head = ch.head;
    CIndexCursor cursor(kChan, &ch.head, &ch.io);
    ASSERT_EQ(0, cursor.FindBlock(0));
    fault.apply(ch);
    cursor.Forget();
    ClearCorruption();
    EXPECT_EQ(fault.code, cursor.FindBlock(fault.t));
    const char* reason = LastCorruption().reason;
    EXPECT_NE(std::strstr(reason ? reason : "", fault.reason), nullptr) << reason;
    EXPECT_EQ(-1, cursor.CurBlock());
    EXPECT_EQ(1, cursor.NextBlock());
    // Once the file is whole again nothing half held is in the way.
    ch.io.failReads = false;
    ch.image.bytes() = clean;
    ch.head = head;
    EXPECT_EQ(0, cursor.FindBlock(5000));
    EXPECT_EQ(5, cursor.CurBlock());
    EXPECT_EQ(5000, cursor.Block()->FirstTime());
  }
}

TEST(CorruptIndexTest, AFaultMetWhileSteppingInvalidatesTheCursor) {
  EventChannel ch(300);
  PutU16(ch, ch.pos[256] + 8, kChan + 1);
  CIndexCursor cursor(kChan, &ch.head, &ch.io);
  ASSERT_EQ(0, cursor.FindBlock(255000));
  EXPECT_EQ(kErrCorrupt, cursor.NextBlock());
  EXPECT_EQ(-1, cursor.CurBlock());
  EXPECT_EQ(1, cursor.NextBlock());
  EXPECT_EQ(1, cursor.PrevBlock());
  EXPECT_EQ(0, cursor.FindBlock(257000));  // the blocks after it are still reachable
}

// Random damage to the index blocks and data blocks: every walk ends, with a
// block, no block or kErrCorrupt.
TEST(CorruptIndexTest, RandomDamageNeverEscapesTheChecks) {
  EventChannel ch(300);
  const orfxtest::Bytes clean = ch.image.bytes();
  std::mt19937_64 rng(20240611);
  std::vector<uint64_t> targets = {ch.tree.root, ch.tree.nodes[0][0], ch.tree.nodes[0][1]};
  for (int round = 0; round < 400; ++round) {
    std::vector<uint64_t> touched;
    const int hits = 1 + static_cast<int>(rng() % 4);
    for (int h = 0; h < hits; ++h) {
      uint64_t at;
      if (rng() % 2 == 0) {
        at = targets[rng() % targets.size()] + rng() % kIndexBlockSize;
      } else {
        at = ch.pos[rng() % ch.pos.size()] + rng() % 256;
      }
      *ch.image.At(at) = static_cast<uint8_t>(rng());
      touched.push_back(at);
    }
    CIndexCursor cursor(kChan, &ch.head, &ch.io);
    int rc = cursor.FindBlock(static_cast<int64_t>(rng() % 320000) - 1000);
    EXPECT_TRUE(rc == 0 || rc == 1 || rc == kErrCorrupt) << rc;
    for (int step = 0; step < 310 && rc == 0; ++step) {
      rc = (round % 2 == 0) ? cursor.NextBlock() : cursor.PrevBlock();
      EXPECT_TRUE(rc == 0 || rc == 1 || rc == kErrCorrupt) << rc;
    }
    EXPECT_NE(0, rc);  // every walk ends within the channel's blocks
    for (uint64_t at : touched) *ch.image.At(at) = clean[at];
  }
}

}  // namespace
}  // namespace vslk64
