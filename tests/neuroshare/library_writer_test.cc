// Everything the file-access library writes reads back through the ns_
// functions exactly as the same recording laid out by the tests' byte
// builder: the demo recording (every kind of channel) written both ways,
// compared call by call, record by record, item by item.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "demo/writer.h"
#include "filelib/orf/kel32_file.h"
#include "neuroshare/ns_api.h"
#include "platform/host.h"
#include "tests/builder/recording.h"
#include "tests/support/ns_compare.h"
#include "tests/support/temp_dir.h"

namespace {

using recording_test::Recording;
using testing_support::TempDir;

using ns_compare::ExpectSameRecordings;

// The same recording written as an ORF file through the library, in both
// create modes (saved as version 7, or as a large file of version 9),
// against the byte builder's ORF files of versions 8 and 9 with small and
// large blocks, and against the library's own ORFX file, itself compared
// with the byte builder's. Every comparison also holds each file against
// the recording, so the two byte builders' files agree with each other too.
TEST(LibraryWriter, DemoReadsAsTheByteBuildersInBothFormats) {
  TempDir dir;
  const Recording rec = recording_test::DemoRecording();
  const std::string orfx = dir.File("written.orfx"), builtOrfx = dir.File("built.orfx");
  ASSERT_TRUE(demo::WriteRecording(rec, orfx));
  ASSERT_TRUE(recording_test::WriteOrfx(rec, builtOrfx));
  ExpectSameRecordings(rec, builtOrfx, orfx);
  const struct {
    int createMode;
    int builtVersion;
    uint32_t builtBlockBytes;
  } cases[] = {{-1, 8, 512}, {-1, 9, 32768}, {1, 9, 1024}, {1, 8, 65024}};
  for (const auto& c : cases) {
    SCOPED_TRACE("create mode " + std::to_string(c.createMode) + ", built version " +
                 std::to_string(c.builtVersion) + " blocks " + std::to_string(c.builtBlockBytes));
    const std::string built = dir.File("built.orf"), written = dir.File("written.orf");
    ASSERT_TRUE(recording_test::WriteOrf(rec, built, c.builtVersion, c.builtBlockBytes));
    vslk64::TKel32File file(c.createMode);
    ASSERT_TRUE(demo::WriteRecording(rec, written, file));
    uint8_t version = 0;
    {
      vslk64::TKel32File check;
      ASSERT_EQ(vslk64::kOk, check.Open(written.c_str(), 1, 0));
      version = static_cast<uint8_t>(check.GetVersion());
    }
    EXPECT_EQ(c.createMode >= 1 ? 9 : 7, version);
    ExpectSameRecordings(rec, built, written);
    ExpectSameRecordings(rec, orfx, written);
  }
}

// Runs the converter; its exit status.
int Convert(const std::vector<std::string>& args) {
  return platform::RunProgram(NSV_NSCONVERT_PATH, args).exitCode;
}

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

// The demo converted ORFX -> ORF -> ORFX answers every call as before, and
// so does the ORF file between; the time base is the same in all three, so
// times agree exactly.
TEST(Converter, OrfxToOrfToOrfxChangesNoAnswer) {
  TempDir dir;
  const Recording rec = recording_test::DemoRecording();
  const std::string orfx = dir.File("demo.orfx"), orf = dir.File("demo.orf"),
                    back = dir.File("back.orfx"), large = dir.File("large.orf");
  ASSERT_TRUE(recording_test::WriteOrfx(rec, orfx));
  ASSERT_EQ(0, Convert({orfx, orf}));
  ASSERT_EQ(0, Convert({orf, back}));
  ASSERT_EQ(0, Convert({"--orf-version", "9", orfx, large}));
  ExpectSameRecordings(rec, orfx, orf);
  ExpectSameRecordings(rec, orfx, back);
  ExpectSameRecordings(rec, orfx, large);
  vslk64::TKel32File check;
  ASSERT_EQ(vslk64::kOk, check.Open(large.c_str(), 1, 0));
  EXPECT_EQ(9, check.GetVersion());
  EXPECT_FALSE(Exists(orf + ".nsconvert-partial"));
}

// A failed conversion leaves no output file: an input that is no
// recording, and one whose times an ORF file cannot hold.
TEST(Converter, FailuresLeaveNoOutput) {
  TempDir dir;
  const std::string junk = dir.File("junk.orfx"), out = dir.File("out.orf");
  ASSERT_TRUE(testing_support::WriteFileBytes(junk, "not a recording", 15));
  EXPECT_EQ(1, Convert({junk, out}));
  EXPECT_FALSE(Exists(out));
  Recording late = recording_test::DemoRecording();
  late.channels[3].times.push_back(int64_t{1} << 32);  // past the last ORF tick
  const std::string orfx = dir.File("late.orfx");
  ASSERT_TRUE(recording_test::WriteOrfx(late, orfx));
  EXPECT_EQ(1, Convert({orfx, out}));
  EXPECT_FALSE(Exists(out));
  EXPECT_FALSE(Exists(out + ".nsconvert-partial"));
  EXPECT_EQ(2, Convert({orfx, dir.File("out.txt")}));
  EXPECT_EQ(2, Convert({orfx}));
}

// A recording the file cannot hold (items out of time order, a slot past
// the file's, a text longer than its channel's, an empty display range) is
// reported as a failure, not left as a file that only looks complete.
TEST(LibraryWriter, RefusedRecordingsFail) {
  TempDir dir;
  const std::string path = dir.File("bad.orfx");
  const std::function<void(Recording&)> breaks[] = {
      [](Recording& r) { std::swap(r.channels[3].times[2], r.channels[3].times[3]); },
      [](Recording& r) { r.channels[40] = r.channels[3]; },                         // 32 slots
      [](Recording& r) { r.channels[7].extMarks[0].text = std::string(41, 'x'); },  // 40 characters
      [](Recording& r) { r.channels[0].yLow = r.channels[0].yHigh; }, nullptr};
  for (const auto& spoil : breaks) {
    Recording rec = recording_test::DemoRecording();
    if (spoil) spoil(rec);
    EXPECT_EQ(demo::WriteRecording(rec, path), spoil == nullptr);
  }
}

}  // namespace
