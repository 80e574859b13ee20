#include "filelib/orfx/index_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "filelib/le.h"
#include "filelib/status.h"
#include "tests/builder/orfx/orfx_block_builder.h"
#include "tests/orfx/chan_file_util.h"
#include "tests/orfx/mem_block_io.h"

namespace vslk64 {
namespace {

constexpr uint16_t kChan = 4;

// An event channel written through the index writer into a file image.
// Block k of a batch starting at `base` holds ten events from base + 1000k.
struct Channel {
  Channel() {
    head.kind = EventA;
    head.itemSize = 8;
  }

  int Write(int n, int64_t base = 0) {
    for (int k = 0; k < n; ++k) {
      auto block = std::make_unique<CEventBlock>(kChan);
      for (uint32_t i = 0; i < 10; ++i) {
        le::PutI64(block->Bytes() + kItemAreaAt + 8 * i, base + 1000 * written + 10 * i);
      }
      block->SetItems(10);
      block->SetDirty(true);
      const int rc = writer.WriteBlock(*block);
      if (rc != kOk) {
        blocks.push_back(std::move(block));  // kept for a second try
        return rc;
      }
      if (block->IsDirty()) return -100;
      pos.push_back(block->FilePos());
      ++written;
    }
    return kOk;
  }

  // The disk image empties the channel as its owner does: blocks and index
  // stay for reuse, the path and the cursor's holdings are dropped.
  void Empty() {
    ASSERT_EQ(kOk, writer.WriteAllLevels());
    if (head.blocksAlloc == 0) head.blocksAlloc = head.blocksUsed;
    head.blocksUsed = 0;
    head.lastTime = -1;
    if (head.blocksAlloc != 0) ++head.reuseCount;
    path.clear();
    cursor.Forget();
    written = 0;
    pos.clear();
  }

  // First times of every block a cursor reaches from the start, checking
  // that PrevBlock walks the same blocks back.
  std::vector<int64_t> ReadAll(CIndexCursor& c) {
    std::vector<int64_t> firsts;
    if (c.FindBlock(0) != kOk) return firsts;
    do {
      EXPECT_EQ(static_cast<int64_t>(firsts.size()), c.CurBlock());
      firsts.push_back(c.Block()->FirstTime());
    } while (c.NextBlock() == kOk);
    for (size_t k = firsts.size(); k-- > 1;) {
      EXPECT_EQ(kOk, c.PrevBlock());
      EXPECT_EQ(firsts[k - 1], c.Block()->FirstTime());
    }
    EXPECT_EQ(1, c.PrevBlock());
    return firsts;
  }

  TIndexBlock IndexAt(uint64_t at) {
    TIndexBlock b;
    std::memcpy(b.Bytes(), image.At(at), kIndexBlockSize);
    return b;
  }

  // Every block under index block `at` names its parent, its level and its
  // entry there; the top names none.
  void CheckParentRefs(uint64_t at, uint64_t ref) {
    const TIndexBlock b = IndexAt(at);
    EXPECT_EQ(ref, b.ParentRef()) << at;
    const uint32_t level = ParentLevel(ref);
    for (uint32_t e = 0; e < b.Items() && level > 0; ++e) {
      if (level == 1) {
        EXPECT_EQ(MakeParentRef(at, 0, e), le::GetU64(image.At(b.EntryPos(e)))) << e;
      } else {
        CheckParentRefs(b.EntryPos(e), MakeParentRef(at, level - 1, e));
      }
    }
  }

  orfxtest::OrfxImage image;
  orfxtest::MemBlockIo io{&image};
  TChanHead head;
  std::vector<TIndexNode> path;
  CIndexCursor cursor{kChan, &head, &io, &path};
  bool headChanged = false;
  CIndexWriter writer{kChan, &head, &io, &path, &cursor, &headChanged};
  std::vector<uint64_t> pos;
  std::vector<std::unique_ptr<CDataBlock>> blocks;  // blocks whose write failed
  int written = 0;
};

// Random batches of blocks against a model of where they go: reopens (the
// path dropped, so it is rebuilt from the file), empties (the blocks taken
// again in index order, with the reuse stamp, and new ones past them, new
// data earlier or later than the stale entries), and reads that fail, also
// half-way through a step onto the next reused block, after which the path
// must be rebuilt from the file, not stepped along again. Every walk, from
// the write path or from the file, finds the blocks of the current fill in
// order, and a search for any time finds the first block ending at or after it.
TEST(IndexWriterTest, RandomWritesReopensAndEmptiesAsAModel) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    Channel ch;
    std::vector<uint64_t> owned;  // the channel's blocks in index order
    int64_t base = 0;
    for (int step = 0; step < 30; ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      const uint32_t op = rng() % 10;
      const int n = 1 + static_cast<int>(rng() % (rng() % 2 ? 5 : 300));
      if (op < 5 && ch.written + n <= 600) {
        ASSERT_EQ(kOk, ch.Write(n, base));
      } else if (op < 7) {
        // Reopened, at times with the entry numbers of the top's children
        // lost (as a writer that stopped early leaves them), which the
        // check restores; the parent-reference walk below checks them.
        ASSERT_EQ(kOk, ch.writer.WriteAllLevels());
        ch.path.clear();
        ch.cursor.Invalidate();
        const TIndexBlock top = ch.IndexAt(ch.head.rootIndex);
        const bool twoLevels = ch.head.rootIndex != 0 && ParentLevel(top.ParentRef()) > 1;
        const bool lost = twoLevels && op == 6;
        for (uint32_t e = 0; lost && e < top.Items(); ++e) {
          uint8_t* at = ch.image.At(top.EntryPos(e));
          le::PutU64(at, le::GetU64(at) & ~kParentEntryMask);
        }
        EXPECT_EQ(lost ? 0 : twoLevels ? 2 : 1, ch.writer.CheckEntryNumbers());
        EXPECT_EQ(twoLevels ? 2 : 1, ch.writer.CheckEntryNumbers());
      } else if (op < 9) {
        ch.io.failReads = true;
        const int rc = ch.Write(n, base);
        ch.io.failReads = false;
        EXPECT_TRUE(rc == kOk || rc == kErrRead) << rc;
      } else {
        ch.Empty();
        base = rng() % 2 ? 0 : 5000000;
      }
      for (size_t k = 0; k < ch.pos.size(); ++k) {
        if (k == owned.size()) owned.push_back(ch.pos[k]);
        EXPECT_EQ(owned[k], ch.pos[k]) << k;
        EXPECT_EQ(ch.head.reuseCount, le::GetU16(ch.image.At(ch.pos[k]) + kHeadChanReuseAt));
      }
      EXPECT_EQ(static_cast<uint64_t>(ch.written), ch.head.blocksUsed);
      EXPECT_EQ(chantest::Times(base, 1000, ch.written), ch.ReadAll(ch.cursor));
      for (int probe = 0; probe < 5 && ch.written > 0; ++probe) {
        const int64_t t = base - 500 + static_cast<int64_t>(rng() % (1000 * ch.written + 1000));
        int want = 0;
        while (want < ch.written && base + 1000 * want + 90 < t) ++want;
        EXPECT_EQ(want == ch.written ? 1 : 0, ch.cursor.FindBlock(t)) << t;
        EXPECT_EQ(std::min(want, ch.written - 1), ch.cursor.CurBlock()) << t;
      }
      ASSERT_EQ(kOk, ch.writer.WriteAllLevels());
      CIndexCursor fresh(kChan, &ch.head, &ch.io);
      EXPECT_EQ(chantest::Times(base, 1000, ch.written), ch.ReadAll(fresh));
      if (ch.written > 0) {
        const uint64_t top = ch.IndexAt(ch.head.rootIndex).ParentRef();
        EXPECT_EQ(MakeParentRef(0, ParentLevel(top), 0), top);
        EXPECT_LE(ch.written > 255 ? 2u : 1u,
                  ParentLevel(top));  // an emptied tree keeps its height
        ch.CheckParentRefs(ch.head.rootIndex, top);
      }
      if (HasFailure()) return;
    }
  }
}

TEST(IndexWriterTest, AnEntryNotAfterTheLastOrOffTheTopIsRefusedAndChangesNothing) {
  for (int n : {3, 255}) {  // a node with room, and a full one
    SCOPED_TRACE(n);
    Channel ch;
    ASSERT_EQ(kOk, ch.Write(n));
    const size_t size = ch.image.bytes().size();
    ch.written -= 1;  // the next block starts where the last one did
    EXPECT_EQ(kErrCorrupt, ch.Write(1));
    EXPECT_EQ(kErrCorrupt, ch.writer.AddToIndex(ch.pos.back(), 1000 * (n - 1), 1));
    // The tree grows only at the top, one level at a time.
    for (uint32_t level : {0u, static_cast<uint32_t>(ch.path.size()) + 2}) {
      EXPECT_EQ(kErrBadArg, ch.writer.AddToIndex(ch.pos.back(), 1000 * n, level)) << level;
    }
    EXPECT_EQ(static_cast<uint64_t>(n), ch.head.blocksUsed);
    EXPECT_EQ(size, ch.image.bytes().size());
    EXPECT_EQ(chantest::Times(0, 1000, n), ch.ReadAll(ch.cursor));
  }
}

TEST(IndexWriterTest, ADamagedTreeIsReportedWhenThePathIsLoaded) {
  using Ch = Channel&;
  const struct {
    const char* what;
    void (*damage)(Channel&);
  } cases[] = {
      {"root off the grid", [](Ch c) { c.head.rootIndex += 8; }},
      {"more blocks than the file holds", [](Ch c) { c.head.blocksUsed = 1u << 20; }},
      {"top of another channel",
       [](Ch c) { le::PutU16(c.image.At(c.head.rootIndex) + 8, kChan + 1); }},
      {"over 255 entries", [](Ch c) { le::PutU32(c.image.At(c.head.rootIndex) + 12, 256); }},
      {"child off the grid", [](Ch c) { le::PutU64(c.image.At(c.head.rootIndex) + 24, 12345); }},
      {"more entries than blocks counted", [](Ch c) { c.head.blocksUsed -= 1; }},
  };
  for (const auto& cs : cases) {
    SCOPED_TRACE(cs.what);
    Channel ch;
    ASSERT_EQ(kOk, ch.Write(300));
    ASSERT_EQ(kOk, ch.writer.WriteAllLevels());
    ch.path.clear();
    cs.damage(ch);
    const uint64_t used = ch.head.blocksUsed;
    EXPECT_EQ(kErrCorrupt, ch.Write(1));
    EXPECT_EQ(used, ch.head.blocksUsed);
    EXPECT_TRUE(ch.path.empty());
  }
}

TEST(IndexWriterTest, AFailedWriteKeepsTheBlockDirtyInItsPlace) {
  Channel ch;
  ch.io.readOnly = true;
  EXPECT_EQ(kErrReadOnly, ch.Write(1));
  ASSERT_EQ(1u, ch.blocks.size());
  const CDataBlock& block = *ch.blocks[0];
  EXPECT_TRUE(block.IsDirty());
  EXPECT_NE(0u, block.FilePos());
  // Written again, it is rewritten in place, not listed a second time.
  const uint64_t at = block.FilePos();
  EXPECT_EQ(kErrReadOnly, ch.writer.WriteBlock(*ch.blocks[0]));
  EXPECT_EQ(at, block.FilePos());
  EXPECT_EQ(1u, ch.head.blocksUsed);
  EXPECT_EQ(1u, ch.path[0].block.Items());
  EXPECT_EQ(kErrReadOnly, ch.writer.WriteAllLevels());
}

}  // namespace
}  // namespace vslk64
