// Store/discard controls against a model: random appends, switches (past
// and future, beyond the limit of 8 held), ranges to keep, latest times and
// commits on an event channel with a small ring of memory-held blocks; after
// the close exactly the blocks that held an item to store are in the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "filelib/kel64_types.h"
#include "filelib/orf/kel_lib.h"
#include "tests/support/temp_dir.h"

namespace orf_test {
namespace {

using namespace vslk64;

constexpr int kPerBlock = 123;  // 512-byte blocks of 4-byte events

// What the writer is meant to do, block by block.
struct SaveModel {
  void Append(int32_t t) {
    Apply(t);
    if (held.empty() || blocks[held.back()].times.size() == kPerBlock) {
      if (held.size() == static_cast<size_t>(ring)) Settle();
      blocks.emplace_back();
      held.push_back(blocks.size() - 1);
    }
    blocks.back().times.push_back(t);
    blocks.back().store.push_back(saving);
    maxTime = t;
  }

  void SetSave(int32_t t, bool save) {
    switches.erase(switches.lower_bound(t), switches.end());
    if (t <= maxTime) {
      Mark(t, INT32_MAX, save);
      saving = save;
    } else {
      Add(t, save);
    }
  }

  void SaveRange(int32_t from, int32_t to) {
    auto at = switches.upper_bound(to);
    const bool atEnd = at == switches.begin() ? saving : std::prev(at)->second;
    switches.erase(switches.lower_bound(from), at);
    Mark(from, to, true);
    if (to > maxTime) {
      if (from > maxTime) {
        Add(from, true);
      } else {
        saving = true;
      }
      Add(to + 1, atEnd);
    }
  }

  // A latest time applies the switches up to it.
  void Apply(int32_t t) {
    while (!switches.empty() && switches.begin()->first <= t) {
      saving = switches.begin()->second;
      switches.erase(switches.begin());
    }
  }

  // Commit writes the held blocks with items to store; older held blocks
  // can then no longer join the chain and leave memory.
  void Commit() {
    size_t last = 0;
    bool any = false;
    for (size_t k = 0; k < held.size(); ++k) {
      Block& b = blocks[held[k]];
      b.onDisk = b.onDisk || Any(b);
      if (b.onDisk) {
        last = k;
        any = true;
      }
    }
    for (size_t k = 0; any && k < last; ++k) Settle();
  }

  // The times in the file after the close, and the blocks holding them.
  std::vector<int32_t> Stored(size_t* count) const {
    std::vector<int32_t> out;
    *count = 0;
    for (size_t k = 0; k < blocks.size(); ++k) {
      const Block& b = blocks[k];
      if (!(std::count(held.begin(), held.end(), k) ? b.onDisk || Any(b) : b.kept)) continue;
      ++*count;
      out.insert(out.end(), b.times.begin(), b.times.end());
    }
    return out;
  }

  struct Block {
    std::vector<int32_t> times;
    std::vector<bool> store;
    bool onDisk = false;
    bool kept = false;  // once out of memory: whether it reached the disk
  };

  static bool Any(const Block& b) {
    return std::find(b.store.begin(), b.store.end(), true) != b.store.end();
  }
  // The oldest held block leaves memory: stored when it holds an item to
  // store or was stored before.
  void Settle() {
    Block& b = blocks[held.front()];
    b.kept = b.onDisk || Any(b);
    held.erase(held.begin());
  }
  void Mark(int32_t from, int32_t to, bool save) {
    for (size_t b : held)
      for (size_t i = 0; i < blocks[b].times.size(); ++i)
        if (blocks[b].times[i] >= from && blocks[b].times[i] <= to) blocks[b].store[i] = save;
  }
  // A switch is held only where it changes the flag; past 8 the earliest
  // one takes effect at once.
  void Add(int32_t t, bool save) {
    switches.erase(t);
    const auto next = switches.upper_bound(t);
    if ((next == switches.begin() ? saving : std::prev(next)->second) == save) return;
    if (next != switches.end() && next->second == save) switches.erase(next);
    switches[t] = save;
    while (switches.size() > 8) Apply(switches.begin()->first);
  }

  int ring = 1;
  std::vector<Block> blocks;
  std::vector<size_t> held;  // blocks in memory, oldest first
  std::map<int32_t, bool> switches;
  bool saving = true;
  int32_t maxTime = -1;
};

TEST(OrfSaveList, OnlyBlocksHoldingItemsToStoreReachTheDisk) {
  testing_support::TempDir dir;
  const std::string path = dir.File("save.orf");
  size_t maxHeld = 0;
  for (uint32_t seed = 1; seed <= 24; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const int ring = pick(1, 4);
    const int f = KelCreateFile(path.c_str(), 32, 0, false);
    ASSERT_GE(f, 0);
    ASSERT_EQ(KelSetEventChan(f, 5, 0, 512, "", "", 1, EventA), 0);
    ASSERT_EQ(KelSetBuffering(f, 5, static_cast<uint64_t>(ring) * 512), 0);
    SaveModel model;
    model.ring = ring;
    std::vector<int32_t> batch;
    for (int op = 0; op < 250; ++op) {
      const int32_t now = std::max(model.maxTime, 0);
      const int what = pick(0, 99);
      if (what < 40) {
        batch.clear();
        int32_t t = model.maxTime;
        for (int n = pick(1, 200); n > 0; --n) batch.push_back(t += pick(1, 3));
        ASSERT_EQ(KelWriteEvents(f, 5, batch.data(), static_cast<int>(batch.size())), 0);
        for (int32_t u : batch) model.Append(u);
      } else if (what < 60) {
        const int32_t t = std::max(0, now + pick(-300, 300));
        const bool save = pick(0, 1) == 1;
        ASSERT_EQ(KelSetSave(f, 5, t, save), 0);
        model.SetSave(t, save);
      } else if (what < 75) {
        const int32_t from = std::max(0, now + pick(-400, 200));
        const int32_t to = from + pick(0, 200);
        ASSERT_EQ(KelSaveRange(f, 5, from, to), 0);
        model.SaveRange(from, to);
      } else if (what < 85) {
        const int32_t t = now + pick(0, 50);
        ASSERT_EQ(KelLatestTime(f, 5, t), 0);
        model.Apply(t);
      } else if (what < 90) {
        ASSERT_EQ(KelCommit(f, true, false), 0);
        model.Commit();
      } else {
        // A burst of future switches, more than the list holds.
        for (int k = 0; k < 12; ++k) {
          const int32_t t = now + 5 + 10 * k;
          const bool save = (k & 1) == 0;
          ASSERT_EQ(KelSetSave(f, 5, t, save), 0);
          model.SetSave(t, save);
        }
      }
      maxHeld = std::max(maxHeld, model.switches.size());
      ASSERT_EQ(KelIsSaving(f, 5), model.saving ? 1 : 0) << "op " << op;
    }
    ASSERT_EQ(KelCloseFile(f), 0);

    const int g = KelOpenFile(path.c_str(), kKelOpenReadOnly);
    ASSERT_GE(g, 0);
    size_t blocks = 0;
    const std::vector<int32_t> want = model.Stored(&blocks);
    std::vector<int32_t> got(want.size() + 10);
    got.resize(static_cast<size_t>(
        std::max(0, KelGetEventData(g, 5, got.data(), static_cast<int>(got.size()), 0, 0x7FFFFFFF,
                                    nullptr, nullptr))));
    EXPECT_EQ(got, want);
    TKelChanInfo info;
    ASSERT_EQ(KelChanInfo(g, 5, &info), 0);
    EXPECT_EQ(info.blockCount, blocks);
    EXPECT_EQ(KelCloseFile(g), 0);
  }
  EXPECT_EQ(maxHeld, 8u);  // the runs did fill the switch list
}

}  // namespace
}  // namespace orf_test
