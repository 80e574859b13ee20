#include "tests/builder/orfx/orfx_channel_file.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

#include "filelib/le.h"
#include "tests/support/temp_dir.h"

namespace orfxtest {

namespace le = vslk64::le;

namespace {

// Time of the last item of a data block image of a channel with these
// fields (the last sample of its last run for waveform kinds); -1 when the
// block is empty.
int64_t BlockEndTime(const orfx_test::ChanFields& fields, const Bytes& block) {
  const uint32_t items = le::GetU32(block.data() + 12);
  if (items == 0) return -1;
  if (fields.kind == 1 || fields.kind == 9) {
    const uint32_t last = RunOffset(block, items - 1, fields.kind == 1 ? 2 : 4);
    const uint32_t count = le::GetU32(block.data() + last + 8);
    return le::GetI64(block.data() + last) + (static_cast<int64_t>(count) - 1) * fields.divide;
  }
  const uint32_t size = fields.kind == 2 || fields.kind == 3   ? 8
                        : fields.kind == 4 || fields.kind == 5 ? 16
                                                               : fields.itemSize;
  return le::GetI64(block.data() + kHeadBytes + static_cast<size_t>(items - 1) * size);
}

}  // namespace

LaidChannel ChannelFile::AddChannel(uint32_t chan, orfx_test::ChanFields fields,
                                    const std::vector<Bytes>& blocks, size_t used) {
  LaidChannel laid;
  std::vector<BlockRef> refs;
  for (const Bytes& block : blocks) {
    const uint64_t pos = image_.AllocBlock();
    image_.Put(pos, block);
    laid.blocks.push_back(pos);
    refs.push_back({le::GetI64(block.data() + kHeadBytes), pos});
  }
  laid.tree = BuildIndexTree(image_, static_cast<uint16_t>(chan), refs);
  used = std::min(used, blocks.size());
  fields.rootIndex = laid.tree.root;
  fields.blocksUsed = used;
  fields.blocksAlloc = used < blocks.size() ? blocks.size() : 0;
  fields.lastTime = used == 0 ? -1 : BlockEndTime(fields, blocks[used - 1]);
  header_.SetChannel(chan, fields);
  return laid;
}

void ChannelFile::AddForeignBlocks(int n) {
  for (int i = 0; i < n; ++i) image_.Put(image_.AllocBlock(), EventBlock(999, {1}));
}

Bytes ChannelFile::FileBytes() const {
  orfx_test::OrfxFileBuilder file = header_;
  const Bytes& image = image_.bytes();
  for (uint64_t pos = kBlockBytes; pos < image.size(); pos += kBlockBytes) {
    const Bytes block(image.begin() + static_cast<std::ptrdiff_t>(pos),
                      image.begin() + static_cast<std::ptrdiff_t>(pos + kBlockBytes));
    if (file.AppendBlock(block) != static_cast<int64_t>(pos)) {
      throw std::logic_error("the header builder allocated blocks of its own");
    }
  }
  file.SetHeadI64(orfx_test::fh::kNextIndexBlock, static_cast<int64_t>(image_.NextIndexBlock()));
  return file.Bytes();
}

bool ChannelFile::Write(const std::string& path) const {
  const Bytes bytes = FileBytes();
  return testing_support::WriteFileBytes(path, bytes.data(), bytes.size());
}

}  // namespace orfxtest
