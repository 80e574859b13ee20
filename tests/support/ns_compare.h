// Comparing two recordings through the ns_ functions: the same calls made on
// both files must give the same results and records, and both must match
// what the recording they were written from says (tests/builder/recording.h).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "neuroshare/ns_api.h"
#include "tests/builder/recording.h"

namespace ns_compare {

// The same call made on both files: its result and what it wrote must agree.
class Pair {
 public:
  Pair(uint32_t first, uint32_t second) : first_(first), second_(second) {}
  uint32_t first() const { return first_; }
  uint32_t second() const { return second_; }

  // Runs call(file, out) on both files into zeroed records and compares;
  // with `want` given, both results must be that.
  template <class T, class Call>
  T Same(const std::string& what, Call call, ns_RESULT want = 1) const {
    T a, b;
    std::memset(&a, 0, sizeof a);
    std::memset(&b, 0, sizeof b);
    const ns_RESULT ra = call(first_, &a), rb = call(second_, &b);
    EXPECT_EQ(ra, rb) << what;
    EXPECT_TRUE(want == 1 || want == rb) << what << ": " << rb << " is not " << want;
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a)) << what << ": the records differ";
    return b;
  }

 private:
  uint32_t first_, second_;
};

// Opens both files, compares the file information, every entity the
// recording describes (records, labels, types, items and their times,
// samples; the conversions between index and time are the index model's)
// and the entity past the last, and closes them.
void ExpectSameRecordings(const recording_test::Recording& rec, const std::string& firstPath,
                          const std::string& secondPath);

}  // namespace ns_compare
