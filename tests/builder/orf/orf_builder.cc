#include "tests/builder/orf/orf_builder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <type_traits>

namespace orf_builder {
namespace {

// The low n bytes of v, little-endian, at pos.
void PutLe(std::string& b, int64_t pos, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b[static_cast<size_t>(pos + i)] = static_cast<char>(v >> (8 * i));
}
void Put(std::string& b, int64_t pos, const void* p, size_t n) {
  if (n > 0) std::memcpy(&b[static_cast<size_t>(pos)], p, n);
}
void PutU8(std::string& b, int64_t pos, uint8_t v) { PutLe(b, pos, v, 1); }
void PutU32(std::string& b, int64_t pos, uint32_t v) { PutLe(b, pos, v, 4); }
template <class Bits, class T>
Bits BitsOf(T v) {
  Bits u;
  std::memcpy(&u, &v, sizeof u);
  return u;
}
void PutF32(std::string& b, int64_t pos, float f) { PutU32(b, pos, BitsOf<uint32_t>(f)); }
// A counted string: a length byte, then the characters.
void PutCounted(std::string& b, int64_t pos, int width, const std::string& s) {
  const size_t n = std::min(s.size(), static_cast<size_t>(width - 1));
  PutU8(b, pos, static_cast<uint8_t>(n));
  Put(b, pos + 1, s.data(), n);
}
int64_t RoundUp512(int64_t v) { return (v + 511) & ~int64_t{511}; }

// Samples, floats or times as the items of a block.
template <class T>
std::vector<uint8_t> ItemsOf(const std::vector<T>& values) {
  using Bits = typename std::conditional<sizeof(T) == 2, uint16_t, uint32_t>::type;
  std::vector<uint8_t> bytes;
  for (T v : values) {
    const Bits u = BitsOf<Bits>(v);
    for (size_t i = 0; i < sizeof u; ++i) bytes.push_back(static_cast<uint8_t>(u >> (8 * i)));
  }
  return bytes;
}

}  // namespace

void PutI16(std::string& b, int64_t pos, int16_t v) { PutLe(b, pos, static_cast<uint16_t>(v), 2); }
void PutU16(std::string& b, int64_t pos, uint16_t v) { PutLe(b, pos, v, 2); }
void PutI32(std::string& b, int64_t pos, int32_t v) { PutLe(b, pos, static_cast<uint32_t>(v), 4); }
int32_t GetI32(const std::string& b, int64_t pos) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i)
    v |= static_cast<uint32_t>(static_cast<uint8_t>(b[static_cast<size_t>(pos + i)])) << (8 * i);
  return static_cast<int32_t>(v);
}

OrfFile::OrfFile(int version, int chanCount, uint16_t extraBytes)
    : version_(version),
      chanCount_(chanCount),
      extraBytes_(extraBytes),
      chans_(static_cast<size_t>(chanCount)) {}

uint32_t OrfFile::ItemBytes(int c) const {
  const Chan& ch = chans_[static_cast<size_t>(c)];
  if (ch.kind >= 6 && ch.kind <= 8) {
    const uint32_t n = 8u + ch.extraBytes;
    return (alignFlags & 1) ? (n + 3) & ~3u : n;
  }
  return ch.kind == 1 ? 2 : ch.kind == 5 ? 8 : ch.kind >= 2 && ch.kind <= 9 ? 4 : 1;
}

int OrfFile::AddBlock(Block b) {
  blocks_.push_back(std::move(b));
  return static_cast<int>(blocks_.size()) - 1;
}

int OrfFile::AddWave(int c, int32_t start, const std::vector<int16_t>& samples) {
  return AddBlock({c, start, start + static_cast<int32_t>(samples.size() - 1) * chan(c).divide,
                   static_cast<uint16_t>(samples.size()), ItemsOf(samples)});
}

int OrfFile::AddRealWave(int c, int32_t start, const std::vector<float>& values) {
  return AddBlock({c, start, start + static_cast<int32_t>(values.size() - 1) * chan(c).divide,
                   static_cast<uint16_t>(values.size()), ItemsOf(values)});
}

int OrfFile::AddEvents(int c, const std::vector<int32_t>& times) {
  return AddBlock(
      {c, times.front(), times.back(), static_cast<uint16_t>(times.size()), ItemsOf(times)});
}

int OrfFile::AddMarks(int c, const std::vector<Mark>& marks) {
  Block b{c, marks.front().time, marks.back().time, static_cast<uint16_t>(marks.size()), {}};
  const uint32_t size = ItemBytes(c);
  for (const Mark& m : marks) {
    const size_t at = b.items.size();
    const std::vector<uint8_t> time = ItemsOf(std::vector<int32_t>{m.time});
    b.items.insert(b.items.end(), time.begin(), time.end());
    b.items.insert(b.items.end(), m.code, m.code + 4);
    b.items.insert(b.items.end(), m.attached.begin(), m.attached.end());
    b.items.resize(at + size, 0);
  }
  return AddBlock(std::move(b));
}

int32_t OrfFile::BlockAddr(int block) const {
  const int64_t pos = blocks_[static_cast<size_t>(block)].pos;
  return static_cast<int32_t>(version_ >= 9 ? pos / 512 : pos);
}

std::string OrfFile::Build() {
  const int64_t chanArea = (static_cast<int64_t>(chanCount_) * 140 + 511) & ~int64_t{511};
  const int64_t firstData = 512 + chanArea + extraBytes_;
  const bool large = version_ >= 9;
  auto addrOf = [&](int64_t pos) { return static_cast<int32_t>(large ? pos / 512 : pos); };

  // Place the blocks one after the other, each on a 512-byte boundary.
  int64_t pos = firstData;
  for (Block& b : blocks_) {
    b.pos = pos;
    pos = RoundUp512(pos + chans_[static_cast<size_t>(b.chan)].blockBytes);
  }
  const int64_t lookupPos = pos;
  std::string tableBytes;
  for (const SavedTable& t : tables_) {
    const int32_t used = static_cast<int32_t>(t.blocks.size());
    const int32_t head[10] = {-2,       t.chan,     0,          t.capacity,   used,
                              t.stride, t.gapIndex, t.endCount, t.afterCount, t.beforeCount};
    std::string rec(40 + 12 * t.blocks.size(), '\0');
    for (int i = 0; i < 10; ++i) PutI32(rec, 4 * i, head[i]);
    for (size_t k = 0; k < t.blocks.size(); ++k) {
      const Block& bl = blocks_[static_cast<size_t>(t.blocks[k])];
      const int32_t entry[3] = {addrOf(bl.pos), bl.start, bl.end};
      for (int j = 0; j < 3; ++j) PutI32(rec, 40 + 12 * static_cast<int64_t>(k) + 4 * j, entry[j]);
    }
    // The sum of the control words and of `used` words of the entries (not
    // 3 x used), which follow them.
    uint32_t sum = t.badChecksum ? 1 : 0;
    for (int i = 0; i < 7 + used; ++i) sum += static_cast<uint32_t>(GetI32(rec, 12 + 4 * i));
    PutU32(rec, 8, sum);
    tableBytes += rec;
  }
  if (!tables_.empty()) {
    std::string end(12, '\0');
    PutI32(end, 0, -2);
    PutI32(end, 4, -1);
    tableBytes += end;
    tableBytes.resize(static_cast<size_t>(RoundUp512(static_cast<int64_t>(tableBytes.size()))),
                      '\0');
  }

  std::string b(static_cast<size_t>(lookupPos) + tableBytes.size(), '\0');
  Put(b, lookupPos, tableBytes.data(), tableBytes.size());

  // Chains and channel headers.
  int adcChans = 0;
  for (const Chan& c : chans_) adcChans += c.kind == 1;
  int32_t fileMax = -1;
  uint32_t bufferBytes = 0;
  for (int c = 0; c < chanCount_; ++c) {
    const Chan& ch = chans_[static_cast<size_t>(c)];
    const int64_t cp = ChanPos(c);
    std::vector<size_t> chain;
    for (size_t i = 0; i < blocks_.size(); ++i)
      if (blocks_[i].chan == c) chain.push_back(i);
    uint8_t level = ch.initLevel & 1;
    for (size_t k = 0; k < chain.size(); ++k) {
      const Block& bl = blocks_[chain[k]];
      const int64_t bp = bl.pos;
      PutI32(b, bp + kBPrev, k == 0 ? -1 : addrOf(blocks_[chain[k - 1]].pos));
      PutI32(b, bp + kBNext, k + 1 == chain.size() ? -1 : addrOf(blocks_[chain[k + 1]].pos));
      PutI32(b, bp + kBStart, bl.start);
      PutI32(b, bp + kBEnd, bl.end);
      const uint32_t n = static_cast<uint32_t>(c + 1);
      uint16_t field = static_cast<uint16_t>((n & 0xFF) | (((n >> 8) & 1) << 9));
      if (ch.kind == 4 && level) field |= 0x100;
      PutU16(b, bp + kBChanField, field);
      PutU16(b, bp + kBItemCount, bl.count);
      Put(b, bp + kBItems, bl.items.data(), bl.items.size());
      level = static_cast<uint8_t>(level ^ (bl.count & 1));
    }
    PutU16(b, cp + kCDeletedCount, ch.deletedCount);
    PutI32(b, cp + kCNextDeleted, ch.nextDeleted);
    PutI32(b, cp + kCFirstBlock, chain.empty() ? -1 : addrOf(blocks_[chain.front()].pos));
    PutI32(b, cp + kCLastBlock, chain.empty() ? -1 : addrOf(blocks_[chain.back()].pos));
    PutU16(b, cp + kCBlockCount, static_cast<uint16_t>(chain.size()));
    if (large) PutU16(b, cp + kCBlockCountHigh, static_cast<uint16_t>(chain.size() >> 16));
    PutU16(b, cp + kCExtraBytes, ch.extraBytes);
    PutI16(b, cp + kCPreTrigger, ch.preTrigger);
    PutU16(b, cp + kCBlockBytes, static_cast<uint16_t>(ch.blockBytes));
    if (ch.kind != 0) {
      uint32_t per = (ch.blockBytes - 20) / ItemBytes(c);
      if (ch.kind == 4) per &= ~1u;
      PutU16(b, cp + kCItemsPerBlock, static_cast<uint16_t>(per));
      bufferBytes = std::max(bufferBytes, ch.blockBytes);
    }
    PutCounted(b, cp + kCComment, 72, ch.comment);
    const int32_t maxTime = chain.empty() ? -1 : blocks_[chain.back()].end;
    PutI32(b, cp + kCMaxTime, maxTime);
    if (ch.kind != 0) fileMax = std::max(fileMax, maxTime);
    PutI16(b, cp + kCPhyChan, ch.phyChan);
    PutCounted(b, cp + kCTitle, 10, ch.title);
    PutF32(b, cp + kCIdealRate, ch.idealRate);
    PutU8(b, cp + kCKind, static_cast<uint8_t>(ch.kind));

    int32_t divide = ch.divide;
    uint16_t word138 = ch.kind == 6 ? ch.traces : 0;
    if (version_ <= 5 && (ch.kind == 1 || ch.kind == 6)) {
      // Old files count the divider in adcTicks, and versions 1 and 2 per
      // sweep of all waveform channels.
      const int per = (version_ <= 2 && ch.kind == 1) ? adcChans : 1;
      word138 = static_cast<uint16_t>(ch.divide / (adcTicks * per));
      divide = 0;
    }
    PutI32(b, cp + kCDivide, divide);
    const bool wave = ch.kind == 1 || ch.kind == 6 || ch.kind == 9;
    if (wave || ch.kind == 7) {
      PutF32(b, cp + kCScale, wave ? ch.scale : ch.minValue);
      PutF32(b, cp + kCOffset, wave ? ch.offset : ch.maxValue);
    }
    if (wave || ch.kind == 7 || ch.kind == 8) PutCounted(b, cp + kCUnits, 6, ch.units);
    if (wave) PutU16(b, cp + kCWord138, word138);
    if (ch.kind == 4) {
      PutU8(b, cp + kCInitLevel, ch.initLevel);
      PutU8(b, cp + kCFinalLevel, level);
    }
  }

  // The file header.
  PutI16(b, kHVersion, static_cast<int16_t>(version_));
  Put(b, kHStamp, "(C) VSL 87", 10);
  Put(b, kHAppId, appId, 8);
  PutU16(b, kHTickMultiplier, tickMultiplier);
  PutU16(b, kHAdcTicks, adcTicks);
  PutU16(b, kHLinksComplete, linksComplete);
  PutI32(b, kHFirstDataAddr, addrOf(firstData));
  PutI16(b, kHChanCount, static_cast<int16_t>(chanCount_));
  PutU16(b, kHChanAreaBytes, static_cast<uint16_t>(chanArea));
  PutU16(b, kHExtraBytes, extraBytes_);
  PutU16(b, kHBufferBytes, static_cast<uint16_t>(bufferBytes));
  PutI32(b, kHMaxTime, fileMax);
  PutLe(b, kHTimeBase, BitsOf<uint64_t>(timeBase), 8);
  Put(b, kHTimeDate, timeDate, 8);
  PutU8(b, kHAlignFlags, alignFlags);
  PutI32(b, kHLookupAddr, tables_.empty() ? 0 : addrOf(lookupPos));
  for (int i = 0; i < 5; ++i) PutCounted(b, kHFileComment + 80 * i, 80, fileComment[i]);
  if (extraData.size() > extraBytes_) throw std::invalid_argument("extra data too long");
  Put(b, 512 + chanArea, extraData.data(), extraData.size());
  return b;
}

}  // namespace orf_builder
