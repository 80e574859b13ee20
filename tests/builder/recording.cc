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
uint32_t PointBytes(int kind) { return kind == 6 ? 2 : kind == 7 ? 4 : 1; }

// The time of item i of a channel of kinds 2 to 8.
int64_t TimeAt(const Channel& ch, size_t i) {
  return ch.kind <= 4 ? ch.times[i] : ch.kind == 5 ? ch.markers[i].time : ch.extMarks[i].time;
}

// The payload of an extended marker as both formats store it (little-endian
// samples or floats, or the text's characters), zero-padded to the channel's
// rows × cols points.
Bytes Payload(const Channel& ch, const ExtMarker& item) {
  const size_t points = static_cast<size_t>(ch.rows) * Cols(ch);
  Bytes bytes(points * PointBytes(ch.kind), 0);
  for (size_t i = 0; ch.kind == 6 && i < item.wave.size(); ++i) {
    le::PutI16(&bytes[2 * i], item.wave[i]);
  }
  for (size_t i = 0; ch.kind == 7 && i < item.values.size(); ++i) {
    le::PutF32(&bytes[4 * i], item.values[i]);
  }
  if (ch.kind == 8) std::memcpy(bytes.data(), item.text.data(), item.text.size());
  return bytes;
}

// Item i of a channel of kinds 4 to 8 as a marker; a level change's first
// code byte is the level after the change: it alternates, starting from the
// opposite of the initial level.
orfxtest::ExtMarkItem MarkAt(const Channel& ch, size_t i) {
  orfxtest::ExtMarkItem m;
  m.time = TimeAt(ch, i);
  if (ch.kind == 4) m.code[0] = static_cast<uint8_t>((i % 2 == 0) != ch.initLevel);
  if (ch.kind == 5) std::memcpy(m.code, ch.markers[i].code, 4);
  if (IsExtMark(ch.kind)) {
    std::memcpy(m.code, ch.extMarks[i].code, 4);
    m.payload = Payload(ch, ch.extMarks[i]);
  }
  return m;
}

// Whether a writer could have stored the channel: its shape fits its kind
// and its data are in time order (level changes strictly).
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
  if (IsExtMark(ch.kind)) {
    if (ch.rows < 1 || Cols(ch) < 1) return false;
    if (ch.kind == 6 && (ch.divide < 1 || ch.preTrig >= ch.rows)) return false;
    const size_t points = static_cast<size_t>(ch.rows) * Cols(ch);
    for (const ExtMarker& m : ch.extMarks) {
      if (m.wave.size() > points || m.values.size() > points || m.text.size() > ch.rows) {
        return false;
      }
    }
  }
  for (size_t i = 1; i < ItemCount(ch); ++i) {
    const int64_t a = TimeAt(ch, i - 1), b = TimeAt(ch, i);
    if (b < a || (ch.kind == 4 && b == a)) return false;
  }
  return true;
}

bool Valid(const Recording& rec, uint32_t maxSlots) {
  const uint32_t slots = std::max<uint32_t>(32, rec.slots);
  if (slots > maxSlots || rec.comments.size() > 8 || rec.appId.size() > 8) return false;
  for (const auto& entry : rec.channels) {
    const bool inRange = entry.first >= 0 && static_cast<uint32_t>(entry.first) < slots;
    if (!inRange || !Valid(entry.second)) return false;
  }
  return true;
}

void TimeDateBytes(const TimeDate& td, uint8_t out[8]) {
  const uint8_t fields[6] = {td.hun, td.sec, td.min, td.hour, td.day, td.mon};
  std::memcpy(out, fields, 6);
  le::PutU16(out + 6, td.year);
}

inline int16_t SampleOf(const WaveRun& run, uint64_t i, int16_t*) { return run.Short(i); }
inline float SampleOf(const WaveRun& run, uint64_t i, float*) { return run.Float(i); }

// ---------------------------------------------------------------------------
// The 64-bit format.

constexpr uint32_t kItemArea = orfxtest::kBlockBytes - orfxtest::kHeadBytes;  // 65520
constexpr uint32_t kRunHead = 16;

// One data block of a channel, ready but for its parentRef.
struct PendingBlock {
  Bytes image;
  int64_t first = 0;  // time of the first item
  int64_t end = 0;    // time of the last item or sample
};

// Cuts a channel's data into the blocks a writer fills, in time order: sets
// the next block, or returns false when the data are used up.
using BlockSource = std::function<bool(PendingBlock&)>;

// Fixed-size items: each block holds as many as fit but the last.
BlockSource ItemBlocks(const Channel& ch, uint16_t chan) {
  const size_t count = static_cast<size_t>(ItemCount(ch)), capacity = kItemArea / ItemSize(ch);
  return [&ch, chan, count, capacity, next = size_t{0}](PendingBlock& out) mutable {
    if (next >= count) return false;
    const size_t to = std::min(count, next + capacity);
    if (ch.kind <= 3) {
      out.image = orfxtest::EventBlock(
          chan, std::vector<int64_t>(ch.times.begin() + next, ch.times.begin() + to));
    } else {
      // Markers and level changes are extended markers without a payload.
      std::vector<orfxtest::ExtMarkItem> items;
      for (size_t i = next; i < to; ++i) items.push_back(MarkAt(ch, i));
      out.image = orfxtest::ExtMarkBlock(chan, ItemSize(ch), items);
    }
    out.first = TimeAt(ch, next);
    out.end = TimeAt(ch, to - 1);
    next = to;
    return true;
  };
}

// Waveform samples packed into runs: a sample one divide after the block's
// last one extends its last run, any other opens a new run at the next
// multiple of 8, which needs room for the run head and one sample. A block
// is done when its last run has no room left or a new run does not fit; the
// samples then go on in a new block, where a run continuing across the
// boundary starts afresh.
template <class Run>
BlockSource WaveBlocks(const Channel& ch, uint16_t chan,
                       Bytes (*make)(uint16_t, const std::vector<Run>&, uint16_t)) {
  using T = typename decltype(Run::samples)::value_type;
  constexpr uint32_t kSize = sizeof(T);
  return [&ch, chan, make, run = size_t{0}, at = uint64_t{0}](PendingBlock& out) mutable {
    std::vector<Run> runs;
    uint32_t used = 0;  // item-area bytes up to the end of the last run's samples
    int64_t last = 0;   // time of the block's last sample
    for (; run < ch.runs.size(); ++run, at = 0) {
      const WaveRun& src = ch.runs[run];
      for (; at < src.Size(); ++at) {
        const int64_t t = src.start + static_cast<int64_t>(at) * ch.divide;
        const bool extend = !runs.empty() && t == last + ch.divide;
        const uint32_t dataAt = extend ? used : ((used + 7) & ~7u) + kRunHead;
        if (dataAt + kSize > kItemArea) break;
        if (!extend) runs.push_back(Run{t, {}});
        runs.back().samples.push_back(SampleOf(src, at, static_cast<T*>(nullptr)));
        used = dataAt + kSize;
        last = t;
      }
      if (at < src.Size()) break;
    }
    if (runs.empty()) return false;
    out.image = make(chan, runs, 0);
    out.first = runs.front().start;
    out.end = last;
    return true;
  };
}

// Positions in the file as the format's allocator hands them out (64 KiB
// blocks, index blocks sixteen to a block), and the writes to them.
class BlockWriter {
 public:
  BlockWriter(platform::File& file, int64_t nextBlock) : file_(file), nextBlock_(nextBlock) {}

  int64_t AllocBlock() { return (nextBlock_ += orfxtest::kBlockBytes) - orfxtest::kBlockBytes; }
  int64_t AllocIndexBlock() {
    if (nextIndex_ == 0) nextIndex_ = AllocBlock();
    const int64_t q = nextIndex_;
    nextIndex_ = (q & 0xF000) < 0xF000 ? q + orfxtest::kIndexBytes : 0;
    return q;
  }
  void Write(const Bytes& bytes, int64_t pos) {
    ok_ = ok_ && platform::WriteFully(file_, bytes.data(), static_cast<uint32_t>(bytes.size()),
                                      pos) == platform::TransferResult::kOk;
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
    Node node{pos, Bytes(orfxtest::kIndexBytes, 0)};
    orfxtest::PutHead(node.image.data(), orfxtest::Head{parentRef, chan_, 0, 0});
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
    Node& node = path_[level - 1];
    if (node.items < orfxtest::kEntriesPerIndex) return Append(node, time, pos);
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
    uint32_t& id = ids_[text];
    if (id == 0) {
      texts_.push_back({text, 0});
      id = static_cast<uint32_t>(texts_.size());
    }
    ++texts_[id - 1].second;
    return id;
  }
  void PutInto(orfx_test::OrfxFileBuilder& b) const {
    for (size_t i = 0; i < texts_.size(); ++i) {
      b.SetString(static_cast<uint32_t>(i + 1), texts_[i].first, texts_[i].second);
    }
  }

 private:
  std::map<std::string, uint32_t> ids_;
  std::vector<std::pair<std::string, uint32_t>> texts_;
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
    f.pointBytes = static_cast<uint16_t>(PointBytes(ch.kind));
  }
  if (ch.kind == 4) f.flags = ch.initLevel ? 1 : 0;
  return f;
}

// What the writer keeps of one channel while the blocks go out.
struct ChannelOut {
  int slot;
  BlockSource source;
  ChannelIndex index;
  PendingBlock pending{};
  bool hasPending = false;
  uint64_t blocksUsed = 0;
  int64_t lastTime = -1;
};

// ---------------------------------------------------------------------------
// The 32-bit format.

// One ORF block of a channel, added to the file when its turn comes.
struct OrfBlock {
  int slot;
  int64_t first, end;
  std::function<void(orf_builder::OrfFile&)> add;
};

// Samples go into a block while they follow each other by one divide and
// the block has room; a gap starts a new block.
template <class T>
void OrfWaveBlocks(const Channel& ch, int slot, uint32_t perBlock, std::vector<OrfBlock>& out) {
  std::vector<T> samples;
  int64_t start = 0, last = 0;
  const auto flush = [&]() {
    if (samples.empty()) return;
    const int32_t t = static_cast<int32_t>(start);
    out.push_back(
        OrfBlock{slot, start, last, [slot, t, copy = std::move(samples)](orf_builder::OrfFile& f) {
                   if constexpr (std::is_same<T, int16_t>::value) {
                     f.AddWave(slot, t, copy);
                   } else {
                     f.AddRealWave(slot, t, copy);
                   }
                 }});
    samples.clear();
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

// Events and level changes are stored as times, the other kinds as markers.
void OrfItemBlocks(const Channel& ch, int slot, uint32_t perBlock, std::vector<OrfBlock>& out) {
  const size_t count = static_cast<size_t>(ItemCount(ch));
  for (size_t from = 0; from < count; from += perBlock) {
    const size_t to = std::min(count, from + static_cast<size_t>(perBlock));
    std::function<void(orf_builder::OrfFile&)> add;
    if (ch.kind <= 4) {
      std::vector<int32_t> times(ch.times.begin() + from, ch.times.begin() + to);
      add = [slot, times](orf_builder::OrfFile& file) { file.AddEvents(slot, times); };
    } else {
      std::vector<orf_builder::Mark> marks;
      for (size_t i = from; i < to; ++i) {
        orfxtest::ExtMarkItem item = MarkAt(ch, i);
        marks.push_back({static_cast<int32_t>(item.time), {}, std::move(item.payload)});
        std::memcpy(marks.back().code, item.code, 4);
      }
      add = [slot, marks](orf_builder::OrfFile& file) { file.AddMarks(slot, marks); };
    }
    out.push_back(OrfBlock{slot, TimeAt(ch, from), TimeAt(ch, to - 1), std::move(add)});
  }
}

}  // namespace

uint32_t ItemSize(const Channel& ch) {
  static const uint32_t kSizes[10] = {0, 2, 8, 8, 16, 16, 0, 0, 0, 4};
  if (IsExtMark(ch.kind)) {
    return orfxtest::ExtMarkItemSize(static_cast<uint32_t>(ch.kind), ch.rows, Cols(ch));
  }
  return ch.kind >= 1 && ch.kind <= 9 ? kSizes[ch.kind] : 0;
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
  head.PutHeaderSpace(fh::kAppId, (rec.appId + std::string(8, '\0')).data(), 8);
  uint8_t timeDate[8];
  TimeDateBytes(rec.timeDate, timeDate);
  head.PutHeaderSpace(fh::kTimeDate, timeDate, 8);
  std::map<int, orfx_test::ChanFields> records;
  for (const auto& entry : rec.channels) records[entry.first] = RecordOf(entry.second, texts);
  texts.PutInto(head);
  head.Bytes();

  std::unique_ptr<platform::File> file =
      platform::Files().Open(path.c_str(), platform::Access::kReadWrite,
                             platform::Disposition::kCreateAlways, platform::Share::kNone);
  if (!file) return false;
  BlockWriter out(*file, head.HeadI64(fh::kNextBlock));

  std::vector<ChannelOut> chans;
  for (const auto& entry : rec.channels) {
    const Channel& ch = entry.second;
    const uint16_t chan = static_cast<uint16_t>(entry.first);
    chans.push_back({entry.first,
                     ch.kind == 1   ? WaveBlocks(ch, chan, orfxtest::AdcBlock)
                     : ch.kind == 9 ? WaveBlocks(ch, chan, orfxtest::RealWaveBlock)
                                    : ItemBlocks(ch, chan),
                     ChannelIndex(chan)});
    chans.back().hasPending = chans.back().source(chans.back().pending);
  }
  // Blocks go to the file in the order they would fill while recording:
  // the one whose last item comes first.
  int64_t maxTime = -1;
  for (;;) {
    ChannelOut* next = nullptr;
    for (ChannelOut& c : chans) {
      if (c.hasPending && (!next || c.pending.end < next->pending.end)) next = &c;
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
    next->hasPending = next->source(next->pending);
  }
  for (ChannelOut& c : chans) {
    c.index.Flush(out);
    orfx_test::ChanFields& f = records[c.slot];
    f.rootIndex = static_cast<uint64_t>(c.index.root());
    f.blocksUsed = c.blocksUsed;
    f.lastTime = c.lastTime;
    head.SetChannel(static_cast<uint32_t>(c.slot), f);
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

constexpr int64_t kOrfTimes = int64_t{1} << 31;

bool WriteOrf(const Recording& rec, const std::string& path, int version, uint32_t blockBytes) {
  if (version < 1 || version > 9 || !Valid(rec, 451)) return false;
  orf_builder::OrfFile f(version, static_cast<int>(std::max<uint32_t>(32, rec.slots)));
  f.timeBase = rec.timeBase;
  TimeDateBytes(rec.timeDate, f.timeDate);
  std::memcpy(f.appId, (rec.appId + std::string(8, '\0')).data(), 8);
  for (size_t n = 0; n < rec.comments.size() && n < 5; ++n) f.fileComment[n] = rec.comments[n];

  std::vector<OrfBlock> blocks;
  for (const auto& entry : rec.channels) {
    const int slot = entry.first;
    const Channel& ch = entry.second;
    orf_builder::Chan& c = f.chan(slot);
    c.kind = ch.kind;
    c.blockBytes = ch.orfBlockBytes ? ch.orfBlockBytes : blockBytes;
    // ORF times are 32-bit: a channel reaching past them fails before its
    // blocks are made (the first times are checked on the blocks).
    if (c.blockBytes < 512 || c.blockBytes > 65024 || ch.divide >= kOrfTimes ||
        LastTime(ch) >= kOrfTimes) {
      return false;
    }
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
      const uint32_t extra = ch.rows * Cols(ch) * PointBytes(ch.kind);
      if (extra > 0xFFFF) return false;
      c.extraBytes = static_cast<uint16_t>(extra);
      c.traces = static_cast<uint16_t>(Cols(ch));
      c.preTrigger = ch.kind == 6 ? static_cast<int16_t>(ch.preTrig) : 0;
    }
    uint32_t perBlock = (c.blockBytes - 20) / f.ItemBytes(slot);
    if (ch.kind == 4) perBlock &= ~1u;
    if (perBlock == 0) return false;
    if (ch.kind == 1) OrfWaveBlocks<int16_t>(ch, slot, perBlock, blocks);
    if (ch.kind == 9) OrfWaveBlocks<float>(ch, slot, perBlock, blocks);
    if (!IsWave(ch.kind)) OrfItemBlocks(ch, slot, perBlock, blocks);
  }
  // Interleaved as for the 64-bit format: in the order the blocks fill.
  std::stable_sort(blocks.begin(), blocks.end(),
                   [](const OrfBlock& a, const OrfBlock& b) { return a.end < b.end; });
  for (const OrfBlock& b : blocks) {
    if (b.first < 0) return false;
    b.add(f);
  }
  const std::string bytes = f.Build();
  return testing_support::WriteFileBytes(path, bytes.data(), bytes.size());
}

}  // namespace recording_test
