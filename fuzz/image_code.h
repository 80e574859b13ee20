// Zero-run coding of the file images in the fuzzers' inputs. A recording is
// mostly zeros (a 64 KiB block may hold a few items), and a mutator spending
// its edits on them finds little and runs slowly: coded, a 600 KB image is a
// few KB of the bytes that matter. Every coded byte stands for itself except
// kEscape, which is followed by a count N (7 bits a byte, lowest first, the
// top bit set on all bytes but the last): N zero bytes, or kEscape itself
// when N is 0. Every byte string decodes to some image.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/support/memory_files.h"

namespace nsv_fuzz {

constexpr uint8_t kEscape = 0xE5;
// An image decodes to at most this much; a run reaching past it is cut
// short. Far beyond any seed's recording, and small enough that no size
// the library takes from the file's length can reach the memory limit.
constexpr uint64_t kMaxImageBytes = uint64_t{8} << 20;

using Piece = testing_support::MemoryFiles::Piece;

// The image as pieces of a file view (MemoryFiles::PutView): literal bytes
// read in place from the input, zero runs as pieces without bytes, so that
// decoding costs no copy and no memory for the zeros.
inline void DecodeImage(const uint8_t* data, size_t size, std::vector<Piece>* pieces) {
  pieces->clear();
  uint64_t total = 0;
  // Appends size bytes at bytes (null: zeros), joined to the last piece when
  // they continue it.
  auto append = [pieces, &total](const uint8_t* bytes, uint64_t n) {
    n = std::min(n, kMaxImageBytes - total);
    total += n;
    if (!pieces->empty()) {
      Piece& last = pieces->back();
      const bool zeros = bytes == nullptr && last.bytes == nullptr;
      const bool follows =
          bytes != nullptr && last.bytes != nullptr && last.bytes + last.size == bytes;
      if (zeros || follows) {
        last.size += static_cast<size_t>(n);
        return;
      }
    }
    pieces->push_back({bytes, static_cast<size_t>(n)});
  };
  size_t i = 0;
  while (i < size && total < kMaxImageBytes) {
    // Literal bytes up to the next escape, as one piece (a byte-by-byte loop
    // here, instrumented for coverage like all of a target, cost a tenth of
    // a run).
    const void* found = std::memchr(data + i, kEscape, size - i);
    const size_t escape =
        found ? static_cast<size_t>(static_cast<const uint8_t*>(found) - data) : size;
    if (escape > i) append(data + i, escape - i);
    if (escape == size) break;
    i = escape + 1;
    uint64_t run = 0;
    for (int shift = 0; i < size && shift < 35; shift += 7) {
      const uint8_t v = data[i++];
      run |= uint64_t{v & 0x7fu} << shift;
      if ((v & 0x80) == 0) break;
    }
    if (run == 0) {
      append(data + escape, 1);  // the escape byte itself
    } else {
      append(nullptr, run);
    }
  }
}

// The coded form of an image: runs of more than three zeros as counts.
inline std::vector<uint8_t> EncodeImage(const std::vector<uint8_t>& image) {
  std::vector<uint8_t> coded;
  for (size_t i = 0; i < image.size();) {
    size_t zeros = 0;
    while (i + zeros < image.size() && image[i + zeros] == 0) ++zeros;
    if (zeros > 3) {
      coded.push_back(kEscape);
      for (uint64_t n = zeros; n != 0; n >>= 7) {
        coded.push_back(static_cast<uint8_t>((n & 0x7f) | (n > 0x7f ? 0x80 : 0)));
      }
      i += zeros;
    } else if (image[i] == kEscape) {
      coded.push_back(kEscape);
      coded.push_back(0);
      ++i;
    } else {
      coded.push_back(image[i++]);
    }
  }
  return coded;
}

}  // namespace nsv_fuzz
