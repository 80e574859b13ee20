#include "tests/builder/recording.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>

#include "filelib/le.h"
#include "platform/file.h"
#include "tests/builder/orf/orf_builder.h"
#include "tests/builder/orfx/orfx_block_builder.h"
#include "tests/builder/orfx/orfx_file_builder.h"
#include "tests/support/temp_dir.h"

namespace recording_test {

namespace le = vslk64::le;
using orfxtest::Bytes;

namespace {

bool IsWave(int kind) { return kind == 1 || kind == 9; }
bool IsExtMark(int kind) { return kind >= 6 && kind <= 8; }
uint32_t Cols(const Channel& ch) { return ch.kind == 8 ? 1 : ch.cols; }

template <class T, class TimeOf>
bool InOrder(const std::vector<T>& items, TimeOf timeOf, bool strictly) {
  for (size_t i = 1; i < items.size(); ++i) {
    const int64_t a = timeOf(items[i - 1]), b = timeOf(items[i]);
    if (b < a || (strictly && b == a)) return false;
  }
  return true;
}

// Whether a writer could have stored the channel: its shape fits its kind
// and its data are in time order.
bool Valid(const Channel& ch) {
  if (ch.kind < 1 || ch.kind > 9) return false;
  if (IsWave(ch.kind)) {
    if (ch.divide < 1) return false;
    int64_t next = std::numeric_limits<int64_t>::min();
    for (const WaveRun& run : ch.runs) {
      const bool source = ch.kind == 1 ? (!run.shorts.empty() || (run.count && run.shortAt))
                                       : (!run.floats.empty() || (run.count && run.floatAt));
      if (run.Size() == 0) continue;
      if (!source || run.start < next) return false;
      next = run.start + static_cast<int64_t>(run.Size()) * ch.divide;
    }
    return true;
  }
  if (ch.kind <= 4) return InOrder(ch.times, [](int64_t t) { return t; }, ch.kind == 4);
  if (ch.kind == 5) return InOrder(ch.markers, [](const Marker& m) { return m.time; }, false);
  if (ch.rows < 1 || Cols(ch) < 1) return false;
  if (ch.kind == 6 && (ch.divide < 1 || ch.preTrig >= ch.rows)) return false;
  const size_t points = static_cast<size_t>(ch.rows) * Cols(ch);
  for (const ExtMarker& m : ch.extMarks) {
    if (m.wave.size() > points || m.values.size() > points || m.text.size() > ch.rows) return false;
  }
  return InOrder(ch.extMarks, [](const ExtMarker& m) { return m.time; }, false);
}

bool Valid(const Recording& rec, uint32_t maxSlots) {
  const uint32_t slots = std::max<uint32_t>(32, rec.slots);
  if (slots > maxSlots || rec.comments.size() > 8 || rec.appId.size() > 8) return false;
  for (const auto& entry : rec.channels) {
    if (entry.first < 0 || static_cast<uint32_t>(entry.first) >= slots) return false;
    if (!Valid(entry.second)) return false;
  }
  return true;
}

void TimeDateBytes(const TimeDate& td, uint8_t out[8]) {
  out[0] = td.hun;
  out[1] = td.sec;
  out[2] = td.min;
  out[3] = td.hour;
  out[4] = td.day;
  out[5] = td.mon;
  le::PutU16(out + 6, td.year);
}

void AppIdBytes(const std::string& appId, char out[8]) {
  std::memset(out, 0, 8);
  std::memcpy(out, appId.data(), std::min<size_t>(appId.size(), 8));
}

// ---------------------------------------------------------------------------
// The 64-bit format.

constexpr uint32_t kItemArea = orfxtest::kBlockBytes - orfxtest::kHeadBytes;  // 65520
constexpr uint32_t kRunHead = 16;

uint32_t Round8(uint32_t n) { return (n + 7) & ~7u; }

// One data block of a channel, ready but for its parentRef.
struct PendingBlock {
  Bytes image;
  int64_t first = 0;  // time of the first item
  int64_t end = 0;    // time of the last item or sample
};

// Cuts a channel's data into the blocks a writer fills, in time order.
class BlockSource {
 public:
  virtual ~BlockSource() = default;
  // The next block, or false when the data are used up.
  virtual bool Next(PendingBlock& out) = 0;
};

// Fixed-size items: each block holds `capacity` of them but the last.
class ItemSource : public BlockSource {
 public:
  using Make = std::function<Bytes(size_t from, size_t to)>;
  using TimeOf = std::function<int64_t(size_t)>;
  ItemSource(size_t count, size_t capacity, Make make, TimeOf timeOf)
      : count_(count), capacity_(capacity), make_(std::move(make)), timeOf_(std::move(timeOf)) {}

  bool Next(PendingBlock& out) override {
    if (next_ >= count_) return false;
    const size_t to = std::min(count_, next_ + capacity_);
    out.image = make_(next_, to);
    out.first = timeOf_(next_);
    out.end = timeOf_(to - 1);
    next_ = to;
    return true;
  }

 private:
  size_t count_, capacity_, next_ = 0;
  Make make_;
  TimeOf timeOf_;
};

inline int16_t SampleOf(const WaveRun& run, uint64_t i, int16_t*) { return run.Short(i); }
inline float SampleOf(const WaveRun& run, uint64_t i, float*) { return run.Float(i); }

// Waveform samples packed into runs: a sample one divide after the block's
// last one extends its last run, any other opens a new run at the next
// multiple of 8, which needs room for the run head and one sample. A block
// is done when its last run has no room left or a new run does not fit; the
// samples then go on in a new block, where a run continuing across the
// boundary starts afresh.
template <class T, class Run>
class WaveSource : public BlockSource {
 public:
  using Make = Bytes (*)(uint16_t, const std::vector<Run>&, uint16_t);
  WaveSource(const Channel& ch, uint16_t chan, Make make) : ch_(ch), chan_(chan), make_(make) {}

  bool Next(PendingBlock& out) override {
    constexpr uint32_t kSize = sizeof(T);
    std::vector<Run> runs;
    uint32_t headAt = 0;  // item-area offset of the last run's head
    int64_t last = 0;     // time of the block's last sample
    while (run_ < ch_.runs.size()) {
      const WaveRun& src = ch_.runs[run_];
      const uint64_t left = src.Size() - at_;
      if (left == 0) {
        ++run_;
        at_ = 0;
        continue;
      }
      const int64_t t = src.start + static_cast<int64_t>(at_) * ch_.divide;
      const bool extend = !runs.empty() && t == last + ch_.divide;
      const uint32_t used =
          runs.empty() ? 0 : headAt + kRunHead + static_cast<uint32_t>(runs.back().samples.size()) * kSize;
      const uint32_t begin = extend ? used : (runs.empty() ? 0 : Round8(used));
      const uint32_t dataAt = extend ? used : begin + kRunHead;
      const uint64_t room = dataAt < kItemArea ? (kItemArea - dataAt) / kSize : 0;
      const uint64_t m = std::min(left, room);
      if (m == 0) break;
      if (!extend) {
        runs.push_back(Run{t, {}});
        headAt = begin;
      }
      auto& samples = runs.back().samples;
      samples.reserve(samples.size() + m);
      for (uint64_t k = 0; k < m; ++k) samples.push_back(SampleOf(src, at_ + k, static_cast<T*>(nullptr)));
      at_ += m;
      last = t + static_cast<int64_t>(m - 1) * ch_.divide;
      if (kItemArea - (headAt + kRunHead + samples.size() * kSize) < kSize) break;
    }
    if (runs.empty()) return false;
    out.image = make_(chan_, runs, 0);
    out.first = runs.front().start;
    out.end = last;
    return true;
  }

 private:
  const Channel& ch_;
  uint16_t chan_;
  Make make_;
  size_t run_ = 0;
  uint64_t at_ = 0;
};

orfxtest::MarkerItem MarkerOf(int64_t time, const uint8_t code[4]) {
  orfxtest::MarkerItem item;
  item.time = time;
  std::memcpy(item.code, code, 4);
  return item;
}

std::unique_ptr<BlockSource> SourceFor(const Channel& ch, uint16_t chan) {
  switch (ch.kind) {
    case 1:
      return std::make_unique<WaveSource<int16_t, orfxtest::ShortRun>>(ch, chan, orfxtest::AdcBlock);
    case 9:
      return std::make_unique<WaveSource<float, orfxtest::FloatRun>>(ch, chan,
                                                                     orfxtest::RealWaveBlock);
    case 2:
    case 3:
      return std::make_unique<ItemSource>(
          ch.times.size(), 8190,
          [&ch, chan](size_t from, size_t to) {
            return orfxtest::EventBlock(
                chan, std::vector<int64_t>(ch.times.begin() + from, ch.times.begin() + to));
          },
          [&ch](size_t i) { return ch.times[i]; });
    case 4:
      // Level changes are stored as markers whose first code byte is the
      // level after the change: it alternates, starting from the opposite
      // of the initial level.
      return std::make_unique<ItemSource>(
          ch.times.size(), 4095,
          [&ch, chan](size_t from, size_t to) {
            std::vector<orfxtest::MarkerItem> items;
            for (size_t i = from; i < to; ++i) {
              const uint8_t code[4] = {static_cast<uint8_t>((i % 2 == 0) != ch.initLevel), 0, 0, 0};
              items.push_back(MarkerOf(ch.times[i], code));
            }
            return orfxtest::MarkerBlock(chan, items);
          },
          [&ch](size_t i) { return ch.times[i]; });
    case 5:
      return std::make_unique<ItemSource>(
          ch.markers.size(), 4095,
          [&ch, chan](size_t from, size_t to) {
            std::vector<orfxtest::MarkerItem> items;
            for (size_t i = from; i < to; ++i) items.push_back(MarkerOf(ch.markers[i].time, ch.markers[i].code));
            return orfxtest::MarkerBlock(chan, items);
          },
          [&ch](size_t i) { return ch.markers[i].time; });
    default: {
      const uint32_t size = ItemSize(ch);
      return std::make_unique<ItemSource>(
          ch.extMarks.size(), kItemArea / size,
          [&ch, chan, size](size_t from, size_t to) {
            std::vector<orfxtest::ExtMarkItem> items;
            for (size_t i = from; i < to; ++i) {
              orfxtest::ExtMarkItem item;
              item.time = ch.extMarks[i].time;
              std::memcpy(item.code, ch.extMarks[i].code, 4);
              item.payload = Payload(ch, ch.extMarks[i]);
              items.push_back(std::move(item));
            }
            return orfxtest::ExtMarkBlock(chan, size, items);
          },
          [&ch](size_t i) { return ch.extMarks[i].time; });
    }
  }
}

// Positions in the file as the format's allocator hands them out (64 KiB
// blocks, index blocks sixteen to a block), and the writes to them.
class BlockWriter {
 public:
  BlockWriter(platform::File& file, int64_t nextBlock) : file_(file), nextBlock_(nextBlock) {}

  int64_t AllocBlock() {
    const int64_t pos = nextBlock_;
    nextBlock_ += orfxtest::kBlockBytes;
    return pos;
  }
  int64_t AllocIndexBlock() {
    if (nextIndex_ == 0) nextIndex_ = AllocBlock();
    const int64_t q = nextIndex_;
    nextIndex_ = (q & 0xF000) < 0xF000 ? q + orfxtest::kIndexBytes : 0;
    return q;
  }
  void Write(const Bytes& bytes, int64_t pos) {
    if (ok_ && platform::WriteFully(file_, bytes.data(), static_cast<uint32_t>(bytes.size()), pos) !=
                   platform::TransferResult::kOk) {
      ok_ = false;
    }
  }
  bool ok() const { return ok_; }
  int64_t nextBlock() const { return nextBlock_; }
  int64_t nextIndexBlock() const { return nextIndex_; }

 private:
  platform::File& file_;
  int64_t nextBlock_;
  int64_t nextIndex_ = 0;
  bool ok_ = true;
};

// A channel's block index, grown as a writer grows it: one node per level
// along the rightmost path; a full node is written when its right sibling
// starts, and the tree gains a level when its top node fills.
class ChannelIndex {
 public:
  explicit ChannelIndex(uint16_t chan) : chan_(chan) {}

  // Lists the data block at pos, whose first item lies at time, after the
  // blocks listed so far; returns the parentRef the block must carry, or 0
  // when the time is not after the previous block's first time.
  uint64_t AddBlock(BlockWriter& out, int64_t pos, int64_t time) {
    if (!path_.empty() && time <= lastTime_) return 0;
    lastTime_ = time;
    const uint32_t e = Add(out, pos, time, 1);
    return static_cast<uint64_t>(path_[0].pos) + e;
  }
  void Flush(BlockWriter& out) {
    for (const Node& node : path_) out.Write(node.image, node.pos);
  }
  int64_t root() const { return root_; }

 private:
  struct Node {
    int64_t pos = 0;
    Bytes image;
    uint32_t items = 0;
  };

  Node NewNode(int64_t pos, uint64_t parentRef) const {
    Node node;
    node.pos = pos;
    node.image.assign(orfxtest::kIndexBytes, 0);
    orfxtest::Head head;
    head.parentRef = parentRef;
    head.chan = chan_;
    orfxtest::PutHead(node.image.data(), head);
    return node;
  }

  static uint32_t Append(Node& node, int64_t time, int64_t pos) {
    const uint32_t e = node.items++;
    uint8_t* at = node.image.data() + orfxtest::kHeadBytes + 16 * e;
    le::PutI64(at, time);
    le::PutU64(at + 8, static_cast<uint64_t>(pos));
    le::PutU32(node.image.data() + 12, node.items);
    return e;
  }

  uint32_t Add(BlockWriter& out, int64_t pos, int64_t time, size_t level) {
    if (path_.size() < level) {
      const int64_t q = out.AllocIndexBlock();
      Node top = NewNode(q, level * 256);
      root_ = q;
      if (level >= 2) {
        Node& old = path_[level - 2];
        Append(top, le::GetI64(old.image.data() + orfxtest::kHeadBytes), old.pos);
        le::PutU64(old.image.data(), static_cast<uint64_t>(q) + (level - 1) * 256);
      }
      path_.push_back(std::move(top));
    }
    if (path_[level - 1].items < orfxtest::kEntriesPerIndex) return Append(path_[level - 1], time, pos);
    const int64_t q = out.AllocIndexBlock();
    const uint32_t r = Add(out, q, time, level + 1);
    out.Write(path_[level - 1].image, path_[level - 1].pos);
    path_[level - 1] = NewNode(q, static_cast<uint64_t>(path_[level].pos) + level * 256 + r);
    Append(path_[level - 1], time, pos);
    return 0;
  }

  uint16_t chan_;
  std::vector<Node> path_;  // path_[k]: level k + 1
  int64_t root_ = 0;
  int64_t lastTime_ = 0;
};

// The string table as a writer builds it: one entry per distinct text with
// its reference count, identifiers handed out from 1 in order of first use.
class TextTable {
 public:
  uint32_t Add(const std::string& text) {
    if (text.empty()) return 0;
    auto it = ids_.find(text);
    if (it != ids_.end()) {
      ++counts_[it->second - 1];
      return it->second;
    }
    texts_.push_back(text);
    counts_.push_back(1);
    return ids_[text] = static_cast<uint32_t>(texts_.size());
  }
  void PutInto(orfx_test::OrfxFileBuilder& b) const {
    for (size_t i = 0; i < texts_.size(); ++i) b.SetString(static_cast<uint32_t>(i + 1), texts_[i], counts_[i]);
  }

 private:
  std::map<std::string, uint32_t> ids_;
  std::vector<std::string> texts_;
  std::vector<uint32_t> counts_;
};

orfx_test::ChanFields RecordOf(const Channel& ch, TextTable& texts) {
  orfx_test::ChanFields f;
  f.kind = static_cast<uint8_t>(ch.kind);
  f.itemSize = ItemSize(ch);
  f.phyChan = ch.phyChan;
  f.titleId = texts.Add(ch.title);
  f.unitsId = texts.Add(ch.units);
  f.commentId = texts.Add(ch.comment);
  f.idealRate = ch.idealRate;
  f.scale = ch.scale;
  f.offset = ch.offset;
  f.yLow = ch.yLow;
  f.yHigh = ch.yHigh;
  if (IsWave(ch.kind) || ch.kind == 6 || ch.kind == 7) f.divide = ch.divide;
  if (IsExtMark(ch.kind)) {
    f.rows = ch.rows;
    f.cols = static_cast<uint16_t>(Cols(ch));
    f.preTrig = ch.kind == 8 ? 0 : ch.preTrig;
    f.pointBytes = ch.kind == 6 ? 2 : ch.kind == 7 ? 4 : 1;
  }
  if (ch.kind == 4) f.flags = ch.initLevel ? 1 : 0;
  return f;
}

// What the writer keeps of one channel while the blocks go out.
struct ChannelOut {
  int slot = 0;
  std::unique_ptr<BlockSource> source;
  ChannelIndex index;
  PendingBlock pending;
  bool hasPending = false;
  uint64_t blocksUsed = 0;
  int64_t lastTime = -1;
  explicit ChannelOut(uint16_t chan) : index(chan) {}
};

// ---------------------------------------------------------------------------
// The 32-bit format.

// One ORF block of a channel, added to the file when its turn comes.
struct OrfBlock {
  int slot;
  int64_t end;
  std::function<void(orf_builder::OrfFile&)> add;
};

bool FitsOrfTimes(const Channel& ch) {
  constexpr int64_t kLimit = int64_t{1} << 31;
  int64_t first = 0;
  if (IsWave(ch.kind)) {
    for (const WaveRun& run : ch.runs) {
      if (run.Size() > 0) {
        first = run.start;
        break;
      }
    }
  } else if (ch.kind <= 4) {
    first = ch.times.empty() ? 0 : ch.times.front();
  } else if (ch.kind == 5) {
    first = ch.markers.empty() ? 0 : ch.markers.front().time;
  } else {
    first = ch.extMarks.empty() ? 0 : ch.extMarks.front().time;
  }
  return first >= 0 && LastTime(ch) < kLimit && ch.divide < kLimit;
}

// Samples go into a block while they follow each other by one divide and
// the block has room; a gap starts a new block.
template <class T>
void OrfWaveBlocks(const Channel& ch, int slot, uint32_t perBlock, std::vector<OrfBlock>& out) {
  std::vector<T> samples;
  int64_t start = 0, last = 0;
  const auto flush = [&]() {
    if (samples.empty()) return;
    const int32_t t = static_cast<int32_t>(start);
    std::vector<T> copy;
    copy.swap(samples);
    out.push_back(OrfBlock{slot, last, [slot, t, copy](orf_builder::OrfFile& f) {
                             if constexpr (std::is_same<T, int16_t>::value) {
                               f.AddWave(slot, t, copy);
                             } else {
                               f.AddRealWave(slot, t, copy);
                             }
                           }});
  };
  for (const WaveRun& run : ch.runs) {
    for (uint64_t i = 0; i < run.Size(); ++i) {
      const int64_t t = run.start + static_cast<int64_t>(i) * ch.divide;
      if (!samples.empty() && (t != last + ch.divide || samples.size() >= perBlock)) flush();
      if (samples.empty()) start = t;
      samples.push_back(SampleOf(run, i, static_cast<T*>(nullptr)));
      last = t;
    }
  }
  flush();
}

template <class Item, class Make>
void OrfItemBlocks(const std::vector<Item>& items, int slot, uint32_t perBlock,
                   std::function<int64_t(const Item&)> timeOf, Make make, std::vector<OrfBlock>& out) {
  for (size_t from = 0; from < items.size(); from += perBlock) {
    const size_t to = std::min(items.size(), from + perBlock);
    out.push_back(OrfBlock{slot, timeOf(items[to - 1]), make(from, to)});
  }
}

orf_builder::Mark OrfMark(int64_t time, const uint8_t code[4], std::vector<uint8_t> attached) {
  orf_builder::Mark m;
  m.time = static_cast<int32_t>(time);
  std::memcpy(m.code, code, 4);
  m.attached = std::move(attached);
  return m;
}

}  // namespace

uint32_t ItemSize(const Channel& ch) {
  switch (ch.kind) {
    case 1: return 2;
    case 9: return 4;
    case 2: case 3: return 8;
    case 4: case 5: return 16;
    case 6: case 7: case 8:
      return orfxtest::ExtMarkItemSize(static_cast<uint32_t>(ch.kind), ch.rows, Cols(ch));
    default: return 0;
  }
}

std::vector<uint8_t> Payload(const Channel& ch, const ExtMarker& item) {
  const size_t points = static_cast<size_t>(ch.rows) * Cols(ch);
  std::vector<uint8_t> bytes;
  if (ch.kind == 6) {
    bytes.assign(points * 2, 0);
    for (size_t i = 0; i < item.wave.size() && i < points; ++i) le::PutI16(&bytes[2 * i], item.wave[i]);
  } else if (ch.kind == 7) {
    bytes.assign(points * 4, 0);
    for (size_t i = 0; i < item.values.size() && i < points; ++i) le::PutF32(&bytes[4 * i], item.values[i]);
  } else if (ch.kind == 8) {
    bytes.assign(ch.rows, 0);
    std::memcpy(bytes.data(), item.text.data(), std::min<size_t>(item.text.size(), ch.rows));
  }
  return bytes;
}

bool WriteOrfx(const Recording& rec, const std::string& path) {
  if (!Valid(rec, 2000)) return false;
  const uint32_t slots = std::max<uint32_t>(32, rec.slots);
  namespace fh = orfx_test::fh;

  // The header space first, so that any continuation blocks it needs come
  // straight after block 0 and the data blocks follow them.
  orfx_test::OrfxFileBuilder head(slots);
  TextTable texts;
  for (size_t n = 0; n < rec.comments.size(); ++n) {
    head.SetHeadU32(fh::kCommentIds + 4 * static_cast<uint32_t>(n), texts.Add(rec.comments[n]));
  }
  head.SetHeadF64(fh::kTimeBase, rec.timeBase);
  char appId[8];
  AppIdBytes(rec.appId, appId);
  head.PutHeaderSpace(fh::kAppId, appId, 8);
  uint8_t timeDate[8];
  TimeDateBytes(rec.timeDate, timeDate);
  head.PutHeaderSpace(fh::kTimeDate, timeDate, 8);
  std::map<int, orfx_test::ChanFields> records;
  for (const auto& entry : rec.channels) records[entry.first] = RecordOf(entry.second, texts);
  texts.PutInto(head);
  head.Bytes();

  std::unique_ptr<platform::File> file = platform::Files().Open(
      path.c_str(), platform::Access::kReadWrite, platform::Disposition::kCreateAlways,
      platform::Share::kNone);
  if (!file) return false;
  BlockWriter out(*file, head.HeadI64(fh::kNextBlock));

  std::vector<std::unique_ptr<ChannelOut>> chans;
  for (const auto& entry : rec.channels) {
    auto c = std::make_unique<ChannelOut>(static_cast<uint16_t>(entry.first));
    c->slot = entry.first;
    c->source = SourceFor(entry.second, static_cast<uint16_t>(entry.first));
    c->hasPending = c->source->Next(c->pending);
    chans.push_back(std::move(c));
  }
  // Blocks go to the file in the order they would fill while recording:
  // the one whose last item comes first.
  int64_t maxTime = -1;
  for (;;) {
    ChannelOut* next = nullptr;
    for (auto& c : chans) {
      if (c->hasPending && (!next || c->pending.end < next->pending.end)) next = c.get();
    }
    if (!next) break;
    const int64_t pos = out.AllocBlock();
    const uint64_t parentRef = next->index.AddBlock(out, pos, next->pending.first);
    if (parentRef == 0) return false;
    le::PutU64(next->pending.image.data(), parentRef);
    out.Write(next->pending.image, pos);
    ++next->blocksUsed;
    next->lastTime = next->pending.end;
    maxTime = std::max(maxTime, next->lastTime);
    next->hasPending = next->source->Next(next->pending);
  }
  for (auto& c : chans) {
    c->index.Flush(out);
    orfx_test::ChanFields& f = records[c->slot];
    f.rootIndex = static_cast<uint64_t>(c->index.root());
    f.blocksUsed = c->blocksUsed;
    f.lastTime = c->lastTime;
    head.SetChannel(static_cast<uint32_t>(c->slot), f);
  }
  head.SetHeadI64(fh::kNextBlock, out.nextBlock());
  head.SetHeadI64(fh::kNextIndexBlock, out.nextIndexBlock());
  head.SetHeadI64(fh::kMaxTime, maxTime);
  out.Write(head.Bytes(), 0);
  // The last block handed out may be a group of index blocks not all
  // written; the file still reaches its end.
  return out.ok() && file->Length() <= out.nextBlock() && file->Truncate(out.nextBlock()) &&
         file->Flush();
}

bool WriteOrf(const Recording& rec, const std::string& path, int version, uint32_t blockBytes) {
  if (version < 1 || version > 9 || !Valid(rec, 451)) return false;
  orf_builder::OrfFile f(version, static_cast<int>(std::max<uint32_t>(32, rec.slots)));
  f.timeBase = rec.timeBase;
  TimeDateBytes(rec.timeDate, f.timeDate);
  AppIdBytes(rec.appId, f.appId);
  for (size_t n = 0; n < rec.comments.size() && n < 5; ++n) f.fileComment[n] = rec.comments[n];

  std::vector<OrfBlock> blocks;
  for (const auto& entry : rec.channels) {
    const int slot = entry.first;
    const Channel& ch = entry.second;
    if (!FitsOrfTimes(ch)) return false;
    orf_builder::Chan& c = f.chan(slot);
    c.kind = ch.kind;
    c.blockBytes = ch.orfBlockBytes ? ch.orfBlockBytes : blockBytes;
    if (c.blockBytes < 512 || c.blockBytes > 65024) return false;
    c.divide = static_cast<int32_t>(ch.divide);
    c.scale = static_cast<float>(ch.scale);
    c.offset = static_cast<float>(ch.offset);
    c.minValue = static_cast<float>(ch.yLow);
    c.maxValue = static_cast<float>(ch.yHigh);
    c.idealRate = static_cast<float>(ch.idealRate);
    c.phyChan = static_cast<int16_t>(ch.phyChan);
    c.comment = ch.comment;
    c.title = ch.title;
    c.units = ch.units;
    // The ORF field holds the level that a reader reports before the first
    // change, the opposite of the level the channel starts at.
    c.initLevel = ch.initLevel ? 0 : 1;
    if (IsExtMark(ch.kind)) {
      const uint32_t pointBytes = ch.kind == 6 ? 2 : ch.kind == 7 ? 4 : 1;
      const uint32_t extra = ch.rows * Cols(ch) * pointBytes;
      if (extra > 0xFFFF) return false;
      c.extraBytes = static_cast<uint16_t>(extra);
      c.traces = static_cast<uint16_t>(Cols(ch));
      c.preTrigger = ch.kind == 6 ? static_cast<int16_t>(ch.preTrig) : 0;
    }
    uint32_t perBlock = (c.blockBytes - 20) / f.ItemBytes(slot);
    if (ch.kind == 4) perBlock &= ~1u;
    if (perBlock == 0) return false;

    switch (ch.kind) {
      case 1: OrfWaveBlocks<int16_t>(ch, slot, perBlock, blocks); break;
      case 9: OrfWaveBlocks<float>(ch, slot, perBlock, blocks); break;
      case 2: case 3: case 4:
        OrfItemBlocks<int64_t>(ch.times, slot, perBlock, [](const int64_t& t) { return t; },
                               [&ch, slot](size_t from, size_t to) {
                                 std::vector<int32_t> times(ch.times.begin() + from, ch.times.begin() + to);
                                 return [slot, times](orf_builder::OrfFile& file) { file.AddEvents(slot, times); };
                               }, blocks);
        break;
      case 5:
        OrfItemBlocks<Marker>(ch.markers, slot, perBlock, [](const Marker& m) { return m.time; },
                              [&ch, slot](size_t from, size_t to) {
                                std::vector<orf_builder::Mark> marks;
                                for (size_t i = from; i < to; ++i) marks.push_back(OrfMark(ch.markers[i].time, ch.markers[i].code, {}));
                                return [slot, marks](orf_builder::OrfFile& file) { file.AddMarks(slot, marks); };
                              }, blocks);
        break;
      default:
        OrfItemBlocks<ExtMarker>(ch.extMarks, slot, perBlock, [](const ExtMarker& m) { return m.time; },
                                 [&ch, slot](size_t from, size_t to) {
                                   std::vector<orf_builder::Mark> marks;
                                   for (size_t i = from; i < to; ++i) {
                                     marks.push_back(OrfMark(ch.extMarks[i].time, ch.extMarks[i].code, Payload(ch, ch.extMarks[i])));
                                   }
                                   return [slot, marks](orf_builder::OrfFile& file) { file.AddMarks(slot, marks); };
                                 }, blocks);
        break;
    }
  }
  // Interleaved as for the 64-bit format: in the order the blocks fill.
  std::stable_sort(blocks.begin(), blocks.end(),
                   [](const OrfBlock& a, const OrfBlock& b) { return a.end < b.end; });
  for (const OrfBlock& b : blocks) b.add(f);
  const std::string bytes = f.Build();
  return testing_support::WriteFileBytes(path, bytes.data(), bytes.size());
}

bool WriteDemoOrfx(const std::string& path) { return WriteOrfx(DemoRecording(), path); }

}  // namespace recording_test
