// Comparing two recordings through the ns_ functions: the same calls made on
// both files must give the same results and records, and both must match
// what the recording they were written from says (tests/builder/recording.h).
#pragma once

#include <string>

#include "tests/builder/recording.h"

namespace ns_compare {

// Opens both files, compares the file information, every entity the
// recording describes (records, labels, types, items and their times,
// samples; the conversions between index and time are the index model's)
// and the entity past the last, and closes them.
void ExpectSameRecordings(const recording_test::Recording& rec, const std::string& firstPath,
                          const std::string& secondPath);

}  // namespace ns_compare
