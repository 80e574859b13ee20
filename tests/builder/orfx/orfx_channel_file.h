// A test-only builder of whole 64-bit format files holding channel data, for
// tests that read through the file interface.
//
// Data blocks and index trees are laid out with the block builder
// (orfx_block_builder.h) in a file image; the header, channel records and
// texts with the file builder (orfx_file_builder.h), which takes the image's
// blocks at their positions when the bytes are made. Neither uses the
// library's own code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/builder/orfx/orfx_block_builder.h"
#include "tests/builder/orfx/orfx_file_builder.h"

namespace orfxtest {

// What AddChannel laid out: the data blocks' positions in time order and
// the index tree over them.
struct LaidChannel {
  std::vector<uint64_t> blocks;
  IndexTree tree;
};

class ChannelFile {
 public:
  explicit ChannelFile(uint32_t maxChans = 32) : header_(maxChans) {}

  // Header fields and texts; channel records are set by AddChannel.
  orfx_test::OrfxFileBuilder& header() { return header_; }
  // The blocks laid out so far, for tests that damage them.
  OrfxImage& image() { return image_; }

  // Lays out `blocks` (data block images of the channel's layout, in time
  // order) one after another and the index tree over them, and sets the
  // record of slot `chan` to `fields` with rootIndex, blocksUsed and
  // lastTime filled in. With `used` below the number of blocks the channel
  // is one being reused: the first `used` blocks are its data and the rest
  // stale blocks still listed in its index (blocksAlloc counts them all).
  LaidChannel AddChannel(uint32_t chan, orfx_test::ChanFields fields,
                         const std::vector<Bytes>& blocks, size_t used = SIZE_MAX);
  // Allocates `n` blocks of another channel (number 999 stamps them), so that
  // a channel's blocks need not be neighbours.
  void AddForeignBlocks(int n);

  // The whole file; the builder is left as it was, so a test may change the
  // image and make the bytes again.
  Bytes FileBytes() const;
  bool Write(const std::string& path) const;

 private:
  orfx_test::OrfxFileBuilder header_;
  OrfxImage image_;
};

}  // namespace orfxtest
