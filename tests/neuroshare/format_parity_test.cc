// One recording written as an ORF file and as a 64-bit format file must look
// the same through the ns_ functions: the file information, every entity's
// description, every item and sample, and both conversions between index
// and time. The recording keeps within what both formats hold (32-bit
// times, ORF text fields, float scales), so no difference is by design.
#include <gtest/gtest.h>

#include <string>

#include "tests/builder/recording.h"
#include "tests/support/ns_compare.h"
#include "tests/support/temp_dir.h"

namespace {

struct Variant {
  const char* name;
  int version;
  uint32_t blockBytes;
};

class FormatParity : public ::testing::TestWithParam<Variant> {};

TEST_P(FormatParity, DemoLooksTheSameThroughEveryCall) {
  testing_support::TempDir dir;
  const recording_test::Recording rec = recording_test::DemoRecording();
  const std::string orf = dir.File("demo.orf"), orfx = dir.File("demo.orfx");
  ASSERT_TRUE(recording_test::WriteOrf(rec, orf, GetParam().version, GetParam().blockBytes));
  ASSERT_TRUE(recording_test::WriteOrfx(rec, orfx));
  ns_compare::ExpectSameRecordings(rec, orf, orfx);
}

INSTANTIATE_TEST_SUITE_P(OrfVersions, FormatParity,
                         ::testing::Values(Variant{"Version9", 9, 32768}, Variant{"Version8Blocks512", 8, 512}),
                         [](const ::testing::TestParamInfo<Variant>& info) { return info.param.name; });

}  // namespace
