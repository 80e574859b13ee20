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

// Images of literal bytes, escape bytes and zero runs of every length class
// survive coding, and the decoded pieces read back as the image at any
// position and length.
TEST(ImageCode, CodedImagesReadBackAsTheImage) {
  std::mt19937 rng(14);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> image;
    while (image.size() < 20000) {
      switch (rng() % 4) {
        case 0: image.insert(image.end(), rng() % 300, 0); break;
        case 1: image.push_back(nsv_fuzz::kEscape); break;
        default: image.push_back(static_cast<uint8_t>(rng())); break;
      }
    }
    const std::vector<uint8_t> coded = nsv_fuzz::EncodeImage(image);
    std::vector<nsv_fuzz::Piece> pieces;
    nsv_fuzz::DecodeImage(coded.data(), coded.size(), &pieces);
    testing_support::MemoryFiles files;
    files.PutView("/image", pieces);
    std::unique_ptr<platform::File> file = files.Open(
        "/image", platform::Access::kRead, platform::Disposition::kOpenExisting,
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
      {{1, nsv_fuzz::kEscape}, 2},                  // the escape itself
      {{nsv_fuzz::kEscape, 0x85}, 5},               // the count's last byte missing
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
