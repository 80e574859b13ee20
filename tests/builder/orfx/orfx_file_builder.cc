#include "tests/builder/orfx/orfx_file_builder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "filelib/le.h"
#include "tests/support/temp_dir.h"

namespace orfx_test {

namespace le = vslk64::le;

namespace {

// The 272 bytes of a record.
std::vector<uint8_t> EncodeChannel(const ChanFields& f) {
  std::vector<uint8_t> r(kRecordBytes, 0);
  uint8_t* p = r.data();
  le::PutU64(p + 0, f.rootIndex);
  le::PutI64(p + 8, f.lastTime);
  le::PutU64(p + 16, f.blocksUsed);
  le::PutU64(p + 24, f.blocksAlloc);
  le::PutU32(p + 32, f.itemSize);
  le::PutU16(p + 36, f.rows);
  le::PutU16(p + 38, f.cols);
  le::PutU16(p + 40, f.preTrig);
  le::PutU16(p + 42, f.pointBytes);
  le::PutU16(p + 44, f.reuseCount);
  p[46] = f.kind;
  p[47] = f.delKind;
  le::PutI32(p + 48, f.phyChan);
  le::PutU32(p + 52, f.titleId);
  le::PutU32(p + 56, f.unitsId);
  le::PutU32(p + 60, f.commentId);
  le::PutI64(p + 64, f.divide);
  le::PutF64(p + 72, f.idealRate);
  le::PutF64(p + 80, f.scale);
  le::PutF64(p + 88, f.offset);
  le::PutF64(p + 96, f.yLow);
  le::PutF64(p + 104, f.yHigh);
  le::PutU64(p + 112, f.flags);
  return r;
}

}  // namespace

OrfxFileBuilder::OrfxFileBuilder(uint32_t maxChans, uint32_t extraBytes)
    : space_(2048 + extraBytes, 0) {
  const char ident[8] = {'K', '6', '4', 'p', 'l', 0, 0, 1};
  PutHeaderSpace(fh::kIdent, ident, sizeof ident);
  le::PutU16(&space_[fh::kChan], 0xFFFF);
  SetHeadF64(fh::kTimeBase, 1e-6);
  SetHeadU32(fh::kExtraBytes, extraBytes);
  SetHeadU32(fh::kExtraOffset, 2048);
  SetHeadU32(fh::kChanOffset, 2048 + extraBytes);
  SetHeadU32(fh::kStringsOffset, 2048 + extraBytes + maxChans * kRecordBytes);
  SetHeadU32(fh::kMaxChans, maxChans);
  SetHeadU32(fh::kChanHeadSize, kRecordBytes);
  SetHeadI64(fh::kNextBlock, kBlockBytes);
  SetHeadI64(fh::kMaxTime, -1);
  for (uint32_t i = 0; i < maxChans; ++i) SetChannel(i, ChanFields());
}

void OrfxFileBuilder::SetHeadU8(uint32_t at, uint8_t v) { space_.at(at) = v; }
void OrfxFileBuilder::SetHeadU32(uint32_t at, uint32_t v) { le::PutU32(&space_.at(at + 3) - 3, v); }
void OrfxFileBuilder::SetHeadI64(uint32_t at, int64_t v) { le::PutI64(&space_.at(at + 7) - 7, v); }
void OrfxFileBuilder::SetHeadF64(uint32_t at, double v) { le::PutF64(&space_.at(at + 7) - 7, v); }
uint32_t OrfxFileBuilder::HeadU32(uint32_t at) const { return le::GetU32(&space_.at(at + 3) - 3); }
int64_t OrfxFileBuilder::HeadI64(uint32_t at) const { return le::GetI64(&space_.at(at + 7) - 7); }

void OrfxFileBuilder::PutHeaderSpace(uint64_t offset, const void* data, size_t n) {
  if (space_.size() < offset + n) space_.resize(offset + n, 0);
  if (n) std::memcpy(&space_[offset], data, n);
}

void OrfxFileBuilder::SetChannel(uint32_t slot, const ChanFields& f) {
  const std::vector<uint8_t> record = EncodeChannel(f);
  PutHeaderSpace(HeadU32(fh::kChanOffset) + static_cast<uint64_t>(slot) * kRecordBytes,
                 record.data(), record.size());
}

void OrfxFileBuilder::SetString(uint32_t id, const std::string& text, uint32_t count) {
  strings_[id] = {text, count};
}

void OrfxFileBuilder::SetStringWords(std::vector<uint32_t> words) {
  rawStrings_ = std::move(words);
}

int64_t OrfxFileBuilder::AllocBlock() {
  const int64_t pos = HeadI64(fh::kNextBlock);
  SetHeadI64(fh::kNextBlock, pos + kBlockBytes);
  blocks_[pos] = std::vector<uint8_t>(kBlockBytes, 0);
  return pos;
}

void OrfxFileBuilder::AddContinuationBlock() {
  const uint32_t n = HeadU32(fh::kHeadBlocks);
  const int64_t pos = AllocBlock();
  le::PutU16(&blocks_[pos][8], 0xFFFF);
  SetHeadI64(fh::kHeadBlockPos + 8 * n, pos);
  SetHeadU32(fh::kHeadBlocks, n + 1);
  continuation_.push_back(pos);
}

int64_t OrfxFileBuilder::AppendBlock(const std::vector<uint8_t>& bytes) {
  if (bytes.size() > static_cast<size_t>(kBlockBytes)) throw std::length_error("block too big");
  const int64_t pos = AllocBlock();
  std::copy(bytes.begin(), bytes.end(), blocks_[pos].begin());
  return pos;
}

int64_t OrfxFileBuilder::AllocIndexBlock() {
  int64_t q = HeadI64(fh::kNextIndexBlock);
  if (q == 0) q = AllocBlock();
  SetHeadI64(fh::kNextIndexBlock, (q & 0xF000) < 0xF000 ? q + kIndexBlockBytes : 0);
  return q;
}

std::vector<uint8_t> OrfxFileBuilder::StringTableBytes() const {
  std::vector<uint8_t> bytes;
  const auto word = [&bytes](uint32_t v) {
    bytes.resize(bytes.size() + 4);
    le::PutU32(&bytes[bytes.size() - 4], v);
  };
  if (rawStrings_) {
    for (uint32_t w : *rawStrings_) word(w);
    return bytes;
  }
  const uint32_t highest = strings_.empty() ? 0 : strings_.rbegin()->first;
  word(0);  // W, filled in below
  word(highest);
  for (uint32_t id = 1; id <= highest; ++id) {
    const auto it = strings_.find(id);
    word(it == strings_.end() ? 0 : it->second.second);  // 0: a free identifier
    if (it == strings_.end()) continue;
    const std::string& text = it->second.first;
    const size_t at = bytes.size();
    bytes.resize(at + 4 * ((text.size() + 4) / 4), 0);  // text, zero byte, padding
    std::memcpy(&bytes[at], text.data(), text.size());
  }
  le::PutU32(&bytes[0], static_cast<uint32_t>(bytes.size() / 4));
  return bytes;
}

std::vector<uint8_t> OrfxFileBuilder::Bytes() {
  const std::vector<uint8_t> strings = StringTableBytes();
  PutHeaderSpace(HeadU32(fh::kStringsOffset), strings.data(), strings.size());
  while (kBlock0Space + continuation_.size() * kContinuationSpace < space_.size()) {
    AddContinuationBlock();
  }

  int64_t end = kBlockBytes;
  for (const auto& b : blocks_) end = std::max(end, b.first + kBlockBytes);
  std::vector<uint8_t> out(static_cast<size_t>(end), 0);
  std::copy(space_.begin(), space_.begin() + std::min<size_t>(space_.size(), kBlock0Space),
            out.begin());
  for (const auto& b : blocks_) std::copy(b.second.begin(), b.second.end(), &out[b.first]);
  for (uint64_t p = kBlock0Space; p < space_.size(); p += kContinuationSpace) {
    const size_t k = (p - kBlock0Space) / kContinuationSpace;
    const size_t n = std::min<size_t>(kContinuationSpace, space_.size() - p);
    std::memcpy(&out[continuation_[k] + 16], &space_[p], n);
  }
  return out;
}

bool OrfxFileBuilder::Write(const std::string& path) {
  const std::vector<uint8_t> bytes = Bytes();
  return testing_support::WriteFileBytes(path, bytes.data(), bytes.size());
}

}  // namespace orfx_test
