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
class SaveModel {
 public:
  explicit SaveModel(int ring) : ring_(ring) {}

  void Append(int32_t t) {
    Apply(t);
    if (held_.empty() || blocks_[held_.back()].times.size() == kPerBlock) {
      if (held_.size() == static_cast<size_t>(ring_)) Settle();
      blocks_.emplace_back();
      held_.push_back(blocks_.size() - 1);
    }
    blocks_.back().times.push_back(t);
    blocks_.back().store.push_back(saving_);
    maxTime_ = t;
  }

  void SetSave(int32_t t, bool save) {
    switches_.erase(switches_.lower_bound(t), switches_.end());
    if (t <= maxTime_) {
      Mark(t, INT32_MAX, save);
      saving_ = save;
    } else {
      Add(t, save);
    }
  }

  void SaveRange(int32_t from, int32_t to) {
    auto at = switches_.upper_bound(to);
    const bool atEnd = at == switches_.begin() ? saving_ : std::prev(at)->second;
    switches_.erase(switches_.lower_bound(from), at);
    Mark(from, to, true);
    if (to > maxTime_) {
      if (from > maxTime_) {
        Add(from, true);
      } else {
        saving_ = true;
      }
      Add(to + 1, atEnd);
    }
  }

  // A latest time applies the switches up to it.
  void Apply(int32_t t) {
    while (!switches_.empty() && switches_.begin()->first <= t) {
      saving_ = switches_.begin()->second;
      switches_.erase(switches_.begin());
    }
  }

  // Commit writes the held blocks with items to store; older held blocks
  // can then no longer join the chain and leave memory.
  void Commit() {
    size_t last = 0;
    bool any = false;
    for (size_t k = 0; k < held_.size(); ++k) {
      Block& b = blocks_[held_[k]];
      b.onDisk = b.onDisk || Any(b);
      if (b.onDisk) {
        last = k;
        any = true;
      }
    }
    for (size_t k = 0; any && k < last; ++k) Settle();
  }

  std::vector<int32_t> Stored(size_t* blocks) const {
    std::vector<int32_t> out;
    *blocks = 0;
    for (size_t k = 0; k < blocks_.size(); ++k) {
      const Block& b = blocks_[k];
      const bool held = std::find(held_.begin(), held_.end(), k) != held_.end();
      if (!(held ? b.onDisk || Any(b) : b.kept)) continue;
      ++*blocks;
      out.insert(out.end(), b.times.begin(), b.times.end());
    }
    return out;
  }

  int32_t maxTime() const { return maxTime_; }
  bool saving() const { return saving_; }
  size_t held() const { return switches_.size(); }

 private:
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
    Block& b = blocks_[held_.front()];
    b.kept = b.onDisk || Any(b);
    held_.erase(held_.begin());
  }
  void Mark(int32_t from, int32_t to, bool save) {
    for (size_t b : held_)
      for (size_t i = 0; i < blocks_[b].times.size(); ++i)
        if (blocks_[b].times[i] >= from && blocks_[b].times[i] <= to) blocks_[b].store[i] = save;
  }
  // A switch is held only where it changes the flag; past 8 the earliest
  // one takes effect at once.
  void Add(int32_t t, bool save) {
    switches_.erase(t);
    const auto next = switches_.upper_bound(t);
    if ((next == switches_.begin() ? saving_ : std::prev(next)->second) == save) return;
    if (next != switches_.end() && next->second == save) switches_.erase(next);
    switches_[t] = save;
    while (switches_.size() > 8) Apply(switches_.begin()->first);
  }

  int ring_;
  std::vector<Block> blocks_;
  std::vector<size_t> held_;  // blocks in memory, oldest first
  std::map<int32_t, bool> switches_;
  bool saving_ = true;
  int32_t maxTime_ = -1;
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
    SaveModel model(ring);
    std::vector<int32_t> batch;
    for (int op = 0; op < 250; ++op) {
      const int32_t now = std::max(model.maxTime(), 0);
      const int what = pick(0, 99);
      if (what < 40) {
        batch.clear();
        int32_t t = model.maxTime();
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
      maxHeld = std::max(maxHeld, model.held());
      ASSERT_EQ(KelIsSaving(f, 5), model.saving() ? 1 : 0) << "op " << op;
    }
    ASSERT_EQ(KelCloseFile(f), 0);

    const int g = KelOpenFile(path.c_str(), kKelOpenReadOnly);
    ASSERT_GE(g, 0);
    size_t blocks = 0;
    const std::vector<int32_t> want = model.Stored(&blocks);
    std::vector<int32_t> got(want.size() + 10);
    const int n = KelGetEventData(g, 5, got.data(), static_cast<int>(got.size()), 0, 0x7FFFFFFF,
                                  nullptr, nullptr);
    got.resize(n > 0 ? static_cast<size_t>(n) : 0);
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
