// Recordings on real files and the programs, run as a user runs them.
// Everything the file-access library writes reads back through the ns_
// functions exactly as the same recording laid out by the tests' byte
// builder: the demo recording (every kind of channel) written both ways,
// compared call by call, record by record, item by item; so does what the
// converter writes. The nsinfo host program. Paths as hosts hand them to
// ns_OpenFile, with the platform's own separator (backslashes on Windows):
// the ".orf" suffix rule on real files. On Windows each path is also tried
// with forward slashes, which the system accepts as well. (How the
// conversion comment names the file from the last separator of either kind
// is checked in catalogue_test.cc.)
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
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

// The version an ORF file was saved as; -1 when it does not open.
int OrfVersion(const std::string& path) {
  vslk64::TKel32File file;
  return file.Open(path.c_str(), 1, 0) == vslk64::kOk ? file.GetVersion() : -1;
}

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
    SCOPED_TRACE(testing::Message()
                 << "create mode " << c.createMode << ", built " << c.builtBlockBytes);
    const std::string built = dir.File("built.orf"), written = dir.File("written.orf");
    ASSERT_TRUE(recording_test::WriteOrf(rec, built, c.builtVersion, c.builtBlockBytes));
    vslk64::TKel32File file(c.createMode);
    ASSERT_TRUE(demo::WriteRecording(rec, written, file));
    EXPECT_EQ(c.createMode >= 1 ? 9 : 7, OrfVersion(written));
    ExpectSameRecordings(rec, built, written);
    ExpectSameRecordings(rec, orfx, written);
  }

  // A recording the file cannot hold (items out of time order, a slot past
  // the file's, a text longer than its channel's, an empty display range) is
  // reported as a failure, not left as a file that only looks complete.
  const std::function<void(Recording&)> breaks[] = {
      [](Recording& r) { std::swap(r.channels[3].times[2], r.channels[3].times[3]); },
      [](Recording& r) { r.channels[40] = r.channels[3]; },                         // 32 slots
      [](Recording& r) { r.channels[7].extMarks[0].text = std::string(41, 'x'); },  // 40 characters
      [](Recording& r) { r.channels[0].yLow = r.channels[0].yHigh; }, nullptr};
  for (const auto& spoil : breaks) {
    Recording rec = recording_test::DemoRecording();
    if (spoil) spoil(rec);
    EXPECT_EQ(demo::WriteRecording(rec, dir.File("bad.orfx")), spoil == nullptr);
  }
}

// Runs nsinfo with the blank-separated arguments (none of which holds a blank).
platform::ProgramRun RunNsinfo(const std::string& arguments) {
  std::vector<std::string> args;
  std::istringstream words(arguments);
  for (std::string w; words >> w;) args.push_back(w);
  return platform::RunProgram(NSV_NSINFO_PATH, args);
}

// Runs the converter; its exit status.
int Convert(const std::vector<std::string>& args) {
  return platform::RunProgram(NSV_NSCONVERT_PATH, args).exitCode;
}

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

// The demo converted ORFX -> ORF -> ORFX answers every call as before, and
// so does the ORF file between; the time base is the same in all three, so
// times agree exactly.
TEST(Programs, ConvertAndInspectAsAUserRunsThem) {
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
  EXPECT_EQ(9, OrfVersion(large));
  EXPECT_FALSE(Exists(orf + ".nsconvert-partial"));

  // A failed conversion leaves no output file: an input that is no
  // recording, and one whose times an ORF file cannot hold.
  const std::string junk = dir.File("junk.orfx"), out = dir.File("out.orf");
  ASSERT_TRUE(testing_support::WriteFileBytes(junk, "not a recording", 15));
  EXPECT_EQ(1, Convert({junk, out}));
  EXPECT_FALSE(Exists(out));
  Recording late = recording_test::DemoRecording();
  late.channels[3].times.push_back(int64_t{1} << 32);  // past the last ORF tick
  ASSERT_TRUE(recording_test::WriteOrfx(late, orfx));
  EXPECT_EQ(1, Convert({orfx, out}));
  EXPECT_FALSE(Exists(out));
  EXPECT_FALSE(Exists(out + ".nsconvert-partial"));
  EXPECT_EQ(2, Convert({orfx, dir.File("out.txt")}));
  EXPECT_EQ(2, Convert({orfx}));

  // Names ending in ".orf", in any case, are tried as the older format first
  // and then as the newer; every other name only as the newer.
  const struct {
    const char* name;
    bool orf;  // the format written
    ns_RESULT result;
  } cases[] = {
      {"a.orf", true, ns_OK},         {"B.ORF", true, ns_OK},
      {"c.oRf", true, ns_OK},         {"d.orf", false, ns_OK},
      {"e.orfx", false, ns_OK},       {"f.dat", false, ns_OK},
      {"g.orfx", true, ns_TYPEERROR}, {"h.orf.bak", true, ns_TYPEERROR},
  };
  for (const auto& c : cases) {
    const std::string path = dir.File(c.name);
    ASSERT_TRUE(c.orf ? recording_test::WriteOrf(rec, path) : recording_test::WriteOrfx(rec, path));
    // As given and with forward slashes throughout (the same on POSIX).
    std::string forward = path;
    std::replace(forward.begin(), forward.end(), '\\', '/');
    for (const std::string& spelling : {path, forward}) {
      uint32_t handle = 0;
      EXPECT_EQ(ns_OpenFile(spelling.c_str(), &handle), c.result) << spelling;
      EXPECT_EQ(handle != 0 ? ns_CloseFile(handle) : ns_OK, ns_OK);
    }
  }

  // nsinfo run as a user runs it: its exit status and what its output holds.
  const std::string missing = dir.File("missing.orf");
  const struct {
    std::string args;
    int status;
    std::vector<std::string> lines;
  } runs[] = {
      {"",
       0,
       {"Library for Ondrix data", "API version:     1.3", "Creator:         Varsel Ltd",
        "Max files:       64", "Ondrix ORFX file (*.orfx), type codes \"ONDXORFX\"",
        "Ondrix ORF file (*.orf), type codes \"ONDXKEL \""}},
      {"--lib " + std::string(NSV_LIBRARY_PATH) + " " + missing,
       1,
       {"Library for Ondrix data", "-3 (ns_FILEERROR): File read error occurred in function " +
                                       missing + " with entity 0d, index 0d"}},
      {"--lib " + dir.File(platform::SharedLibraryFileName("none")), 2, {"cannot load"}},
      // The built-in demo.
      {"--items 2",
       0,
       {"analog   Sine", "segment  Spikes", "neural   Spikes", "event    Notes",
        "Baseline recording started"}},
      {"--entity 3 --csv", 0, {"index,time_s\n0,0.02\n"}},
      {"--csv", 2, {}},  // a CSV dump names its entity
  };
  for (const auto& r : runs) {
    const platform::ProgramRun run = RunNsinfo(r.args);
    EXPECT_EQ(run.exitCode, r.status) << r.args << "\n" << run.output;
    for (const std::string& line : r.lines) {
      EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
    }
  }
}

}  // namespace
