// Replays inputs through the fuzz targets: every input a fuzzer found a fault
// with (kept here, one folder per target) and the fuzzers' seeds, so that the
// targets' own checks (reader bounds, unchanged images, the writers' model)
// run in every build, sanitizer and Windows builds included. A target aborts
// on a failed check, which fails the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "filelib/kel64_file.h"
#include "fuzz/image_code.h"
#include "fuzz/targets.h"
#include "tests/support/memory_files.h"

namespace {

struct Replay {
  const char* target;
  const char* file;  // under the repository's root
};

const Replay kReplays[] = {
    // Findings: a title or units identifier naming a free slot of the
    // string table, replaced by a new text that took that very slot.
    {"string_table", "tests/fuzz_regress/string_table/replace-free-id"},
    // Extended markers written to an ORF channel whose items hold no codes
    // (events, levels, waveforms) ran past the narrowed item.
    {"kel32_write", "tests/fuzz_regress/kel32_write/ext-marks-on-event-channel"},
    // A saved lookup table whose run counter was at the largest int: the
    // next block counted past it.
    {"lookup_table", "tests/fuzz_regress/lookup_table/run-counter-at-int-max"},
    // The fuzzers' seeds.
    {"ns_open_orfx", "fuzz/corpus/ns_open_orfx/one-of-each"},
    {"ns_open_orfx", "fuzz/corpus/ns_open_orfx/two-of-each"},
    {"ns_open_orfx", "fuzz/corpus/ns_open_orfx/buffered"},
    {"ns_open_orf", "fuzz/corpus/ns_open_orf/v8-one-of-each"},
    {"ns_open_orf", "fuzz/corpus/ns_open_orf/v9-two-of-each"},
    {"ns_open_orf", "fuzz/corpus/ns_open_orf/v6-builder"},
    {"kel64_read", "fuzz/corpus/kel64_read/one-of-each"},
    {"kel64_read", "fuzz/corpus/kel64_read/two-of-each"},
    {"kel64_read", "fuzz/corpus/kel64_read/buffered"},
    {"kel32_read", "fuzz/corpus/kel32_read/v8-one-of-each"},
    {"kel32_read", "fuzz/corpus/kel32_read/v9-two-of-each"},
    {"kel32_read", "fuzz/corpus/kel32_read/v6-builder"},
    {"kel64_write", "fuzz/corpus/kel64_write/script1"},
    {"kel64_write", "fuzz/corpus/kel64_write/script3"},
    {"kel32_write", "fuzz/corpus/kel32_write/script2"},
    {"kel32_write", "fuzz/corpus/kel32_write/script4"},
    {"string_table", "fuzz/corpus/string_table/three"},
    {"lookup_table", "fuzz/corpus/lookup_table/valid"},
};

std::vector<uint8_t> ReadInput(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FuzzRegress, EveryInputPassesItsTarget) {
  const std::string root = std::string(NSV_FUZZ_REGRESS_DIR) + "/../../";
  for (const Replay& r : kReplays) {
    SCOPED_TRACE(r.file);
    const nsv_fuzz::Target target = nsv_fuzz::FindTarget(r.target);
    ASSERT_NE(target, nullptr) << r.target;
    const std::vector<uint8_t> bytes = ReadInput(root + r.file);
    ASSERT_FALSE(bytes.empty());
    target(bytes.data(), bytes.size());
  }
}

// Damaged ORF files: the 32-bit reader target's seeds (files of every kind)
// with random bytes changed, mostly in the file and channel headers, else in
// some block's head, each read through the target by read calls on every
// channel over three ranges. Statuses only: no failed check, crash, hang or
// write (and under the sanitizers no read outside a buffer).
TEST(FuzzRegress, DamagedOrfFilesPassTheReaderTarget) {
  const std::string root = std::string(NSV_FUZZ_REGRESS_DIR) + "/../../fuzz/corpus/kel32_read/";
  const nsv_fuzz::Target target = nsv_fuzz::FindTarget("kel32_read");
  ASSERT_NE(target, nullptr);
  std::mt19937 rng(32);
  int opened = 0;
  for (const char* seed : {"v6-builder", "v8-one-of-each", "v9-two-of-each"}) {
    SCOPED_TRACE(seed);
    const std::vector<uint8_t> input = ReadInput(root + seed);
    ASSERT_GT(input.size(), 2u);
    const size_t coded = 2 + static_cast<size_t>(input[0] | input[1] << 8);
    std::vector<nsv_fuzz::Piece> pieces;
    nsv_fuzz::DecodeImage(input.data() + coded, input.size() - coded, &pieces);
    std::vector<uint8_t> good;
    for (const nsv_fuzz::Piece& p : pieces) {
      good.resize(good.size() + p.size);  // a run of zeros, unless bytes follow
      if (p.bytes != nullptr) std::copy(p.bytes, p.bytes + p.size, good.end() - p.size);
    }
    const size_t headers = 512 + 32 * 140, blocks = (good.size() - headers) / 512 - 1;
    ASSERT_GT(good.size(), headers + 1024);
    for (int round = 0; round < 150; ++round) {
      std::vector<uint8_t> image = good;
      for (int changes = 1 + static_cast<int>(rng() % 6); changes > 0; --changes) {
        size_t at = rng() % headers;  // else near the start of some block
        if (rng() % 2) at = (headers + 511) / 512 * 512 + rng() % blocks * 512;
        if (at >= headers) at += rng() % 20;
        if (at < image.size()) image[at] = static_cast<uint8_t>(rng() % 3 == 0 ? 0xFF : rng());
      }
      testing_support::MemoryFiles files;
      files.Put("/d.orf", image);
      {
        platform::ScopedFileSystem scoped(&files);
        opened += vslk64::NewKel32File()->Open("/d.orf", 1, 0) == 0;
      }
      // Three read calls (the target's operations 0 to 11), each on channels
      // 0 to 11, max 16, from 0 to the largest time, 2500 to 7000 and 11000
      // to 11001: a script of 36 calls, its length first, then the image.
      const std::vector<uint8_t> imageCode = nsv_fuzz::EncodeImage(image);
      for (int run = 0; run < 3; ++run) {
        std::vector<uint8_t> in = {0, 0};
        auto u32 = [&in](uint32_t v) {
          for (int k = 0; k < 4; ++k) in.push_back(static_cast<uint8_t>(v >> (8 * k)));
        };
        const uint8_t op = static_cast<uint8_t>(rng() % 12);
        for (uint32_t chan = 0; chan < 12; ++chan) {
          for (const uint32_t from : {0u, 2500u, 11000u}) {
            in.push_back(op);
            u32(chan);
            u32(16);
            in.push_back(from == 0 ? 0 : 4);  // time 0, or one of four bytes
            if (from != 0) u32(from);
            in.push_back(from == 0 ? 2 : 4);  // the largest time, or one of four bytes
            if (from != 0) u32(from == 2500 ? 7000 : 11001);
          }
        }
        in[0] = static_cast<uint8_t>(in.size() - 2);
        in[1] = static_cast<uint8_t>((in.size() - 2) >> 8);
        in.insert(in.end(), imageCode.begin(), imageCode.end());
        target(in.data(), in.size());
      }
    }
  }
  EXPECT_GT(opened, 30);  // most damage leaves a file that opens and is read
}

// Images of literal bytes, escape bytes and zero runs of every length class
// survive coding, and the decoded pieces read back as the image at any
// position and length.
TEST(ImageCode, CodedImagesReadBackAsTheImage) {
  std::mt19937 rng(14);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> image;
    while (image.size() < 20000) {
      if (rng() % 4 == 0) {
        image.insert(image.end(), rng() % 300, 0);
      } else {
        image.push_back(rng() % 3 == 0 ? nsv_fuzz::kEscape : static_cast<uint8_t>(rng()));
      }
    }
    const std::vector<uint8_t> coded = nsv_fuzz::EncodeImage(image);
    std::vector<nsv_fuzz::Piece> pieces;
    nsv_fuzz::DecodeImage(coded.data(), coded.size(), &pieces);
    testing_support::MemoryFiles files;
    files.PutView("/image", pieces);
    std::unique_ptr<platform::File> file =
        files.Open("/image", platform::Access::kRead, platform::Disposition::kOpenExisting,
                   platform::Share::kReaders);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->Length(), static_cast<int64_t>(image.size()));
    for (int read = 0; read < 20; ++read) {
      const uint32_t pos = static_cast<uint32_t>(rng() % (image.size() + 10));
      const uint32_t n = static_cast<uint32_t>(rng() % 3000);
      std::vector<uint8_t> got(n, 0xAA);
      const platform::IoResult r = file->ReadAt(got.data(), n, pos);
      ASSERT_EQ(r.status, platform::IoStatus::kOk);
      const size_t want = pos >= image.size() ? 0 : std::min<size_t>(n, image.size() - pos);
      ASSERT_EQ(r.bytes, want) << pos << " " << n;
      EXPECT_TRUE(std::equal(got.begin(), got.begin() + want, image.begin() + pos)) << pos;
    }
  }
}

// Inputs no encoder makes: an escape at the very end, a count cut short, a
// count beyond the bound.
TEST(ImageCode, AnyInputDecodesWithinTheBound) {
  const struct {
    std::vector<uint8_t> coded;
    uint64_t size;
  } cases[] = {
      {{1, nsv_fuzz::kEscape}, 2},     // the escape itself
      {{nsv_fuzz::kEscape, 0x85}, 5},  // the count's last byte missing
      {{nsv_fuzz::kEscape, 0xff, 0xff, 0xff, 0xff, 0x7f, 9}, nsv_fuzz::kMaxImageBytes},
      // A count takes five bytes at most; what follows is literal.
      {{nsv_fuzz::kEscape, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 7}, 4},
  };
  for (const auto& c : cases) {
    std::vector<nsv_fuzz::Piece> pieces;
    nsv_fuzz::DecodeImage(c.coded.data(), c.coded.size(), &pieces);
    uint64_t size = 0;
    for (const nsv_fuzz::Piece& p : pieces) size += p.size;
    EXPECT_EQ(size, c.size) << c.coded.size();
  }
}

}  // namespace
