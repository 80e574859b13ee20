// Replays inputs through the fuzz targets: every input a fuzzer found a fault
// with (kept here, one folder per target) and the fuzzers' seeds, so that the
// targets' own checks (reader bounds, unchanged images, the writers' model)
// run in every build, sanitizer and Windows builds included. A target aborts
// on a failed check, which fails the test.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/targets.h"

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

}  // namespace
