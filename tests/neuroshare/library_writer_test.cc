// Everything the file-access library writes reads back through the ns_
// functions exactly as the same recording laid out by the tests' byte
// builder: the demo recording (every kind of channel) written both ways,
// compared call by call, record by record, item by item.
#include <gtest/gtest.h>


#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "filelib/orf/kel32_file.h"
#include "neuroshare/ns_api.h"
#include "platform/host.h"
#include "tests/builder/recording.h"
#include "tests/support/temp_dir.h"
#include "tools/demo_writer.h"

namespace {

using recording_test::Recording;
using testing_support::TempDir;

// One call made on both files into zeroed records: the results and the
// records' bytes must agree. Returns the library-written file's record.
class Twins {
 public:
  Twins(uint32_t built, uint32_t written) : built_(built), written_(written) {}

  // With `want` of kAnyResult only the two results must agree.
  static constexpr ns_RESULT kAnyResult = 1;
  template <class T, class Call>
  T Same(const std::string& what, Call call, ns_RESULT want) const {
    T a, b;
    std::memset(&a, 0, sizeof a);
    std::memset(&b, 0, sizeof b);
    const ns_RESULT ra = call(built_, &a), rb = call(written_, &b);
    EXPECT_EQ(ra, rb) << what;
    if (want != kAnyResult) {
      EXPECT_EQ(want, rb) << what;
    }
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a)) << what;
    return b;
  }

  // Calls that fill a caller's array of doubles: results, counts, contents.
  template <class Call>
  void SameDoubles(const std::string& what, size_t n, Call call) const {
    std::vector<double> a(n, -7.0), b(n, -7.0);
    uint32_t ca = 0, cb = 0;
    EXPECT_EQ(ns_OK, call(built_, a.data(), &ca)) << what;
    EXPECT_EQ(ns_OK, call(written_, b.data(), &cb)) << what;
    EXPECT_EQ(ca, cb) << what;
    EXPECT_EQ(a, b) << what;
  }

 private:
  uint32_t built_, written_;
};

std::string At(uint32_t e, const char* what, uint32_t i) {
  return "entity " + std::to_string(e) + " " + what + " " + std::to_string(i);
}

void CompareEntity(const Twins& files, uint32_t e, double span) {
  const ns_ENTITYINFO info = files.Same<ns_ENTITYINFO>(
      At(e, "info", 0), [e](uint32_t f, ns_ENTITYINFO* r) { return ns_GetEntityInfo(f, e, r, sizeof *r); },
      ns_OK);
  const uint32_t n = info.dwItemCount;
  ASSERT_GT(n, 0u) << "entity " << e;
  const auto result = [n](uint32_t i) { return i < n ? ns_OK : ns_BADINDEX; };
  switch (info.dwEntityType) {
    case ns_ENTITY_EVENT: {
      files.Same<ns_EVENTINFO>(At(e, "event info", 0), [e](uint32_t f, ns_EVENTINFO* r) {
        return ns_GetEventInfo(f, e, r, sizeof *r);
      }, ns_OK);
      struct Item {
        double time;
        uint32_t size;
        char data[64];
      };
      for (uint32_t i = 0; i <= n; ++i) {
        files.Same<Item>(At(e, "event", i), [e, i](uint32_t f, Item* r) {
          return ns_GetEventData(f, e, i, &r->time, r->data, sizeof r->data, &r->size);
        }, result(i));
      }
      break;
    }
    case ns_ENTITY_ANALOG: {
      files.Same<ns_ANALOGINFO>(At(e, "analog info", 0), [e](uint32_t f, ns_ANALOGINFO* r) {
        return ns_GetAnalogInfo(f, e, r, sizeof *r);
      }, ns_OK);
      // From the start (up to the first gap), and from every thousandth
      // sample, so that reads begin in every block.
      for (uint32_t from = 0; from < n; from += 997) {
        files.SameDoubles(At(e, "samples from", from), n - from, [e, from, n](uint32_t f, double* d, uint32_t* c) {
          return ns_GetAnalogData(f, e, from, n - from, c, d);
        });
      }
      break;
    }
    case ns_ENTITY_SEGMENT: {
      const ns_SEGMENTINFO seg = files.Same<ns_SEGMENTINFO>(
          At(e, "segment info", 0), [e](uint32_t f, ns_SEGMENTINFO* r) { return ns_GetSegmentInfo(f, e, r, sizeof *r); },
          ns_OK);
      for (uint32_t s = 0; s <= seg.dwSourceCount; ++s) {
        files.Same<ns_SEGSOURCEINFO>(At(e, "source", s), [e, s](uint32_t f, ns_SEGSOURCEINFO* r) {
          return ns_GetSegmentSourceInfo(f, e, s, r, sizeof *r);
        }, s < seg.dwSourceCount ? ns_OK : ns_BADSOURCE);
      }
      struct Item {
        double time;
        uint32_t samples, unit;
        double data[256];
      };
      for (uint32_t i = 0; i <= n; ++i) {
        files.Same<Item>(At(e, "segment", i), [e, i](uint32_t f, Item* r) {
          return ns_GetSegmentData(f, e, i, &r->time, r->data, sizeof r->data, &r->samples, &r->unit);
        }, result(i));
      }
      break;
    }
    case ns_ENTITY_NEURALEVENT: {
      files.Same<ns_NEURALINFO>(At(e, "neural info", 0), [e](uint32_t f, ns_NEURALINFO* r) {
        return ns_GetNeuralInfo(f, e, r, sizeof *r);
      }, ns_OK);
      files.SameDoubles(At(e, "neural times", 0), n + 1, [e, n](uint32_t f, double* d, uint32_t* c) {
        *c = 0;
        return ns_GetNeuralData(f, e, 0, n + 1, d);
      });
      break;
    }
    default:
      ADD_FAILURE() << "entity " << e << " has type " << info.dwEntityType;
  }
  // Both conversions between index and time: at every item (every
  // n / 500th for waveforms, and the last), around it, outside the data,
  // and one index past the last.
  const uint32_t step = n > 2000 ? n / 500 : 1;
  std::vector<uint32_t> indices;
  for (uint32_t i = 0; i < n; i += step) indices.push_back(i);
  indices.push_back(n - 1);
  indices.push_back(n);
  for (const uint32_t i : indices) {
    const double t = files.Same<double>(At(e, "time of index", i), [e, i](uint32_t f, double* r) {
      return ns_GetTimeByIndex(f, e, i, r);
    }, result(i));
    const std::vector<double> probes =
        i < n ? std::vector<double>{t, t + 37e-6, t - 51e-6} : std::vector<double>{-1.0, span + 1.0};
    for (const double probe : probes) {
      for (const int32_t rule : {ns_BEFORE, ns_CLOSEST, ns_AFTER}) {
        files.Same<uint32_t>(At(e, "index by time near item", i), [e, probe, rule](uint32_t f, uint32_t* r) {
          return ns_GetIndexByTime(f, e, probe, rule, r);
        }, Twins::kAnyResult);
      }
    }
  }
}

// Opens both files through the exports and compares every answer.
void CompareFiles(const Recording& rec, const std::string& builtPath, const std::string& writtenPath) {
  uint32_t built = 0, written = 0;
  ASSERT_EQ(ns_OK, ns_OpenFile(builtPath.c_str(), &built));
  ASSERT_EQ(ns_OK, ns_OpenFile(writtenPath.c_str(), &written));
  const Twins files(built, written);

  const ns_FILEINFO info = files.Same<ns_FILEINFO>(
      "file info", [](uint32_t f, ns_FILEINFO* r) { return ns_GetFileInfo(f, r, sizeof *r); }, ns_OK);
  // Nine channels, and a neural entity for each of the spikes' two units.
  EXPECT_EQ(11u, info.dwEntityCount);
  EXPECT_EQ(rec.comments[0], info.szFileComment);
  EXPECT_DOUBLE_EQ(9.9999, info.dTimeSpan);
  for (uint32_t e = 0; e < info.dwEntityCount; ++e) CompareEntity(files, e, info.dTimeSpan);
  files.Same<ns_ENTITYINFO>("entity past the last", [&](uint32_t f, ns_ENTITYINFO* r) {
    return ns_GetEntityInfo(f, info.dwEntityCount, r, sizeof *r);
  }, ns_BADENTITY);
  EXPECT_EQ(ns_OK, ns_CloseFile(built));
  EXPECT_EQ(ns_OK, ns_CloseFile(written));
}

TEST(LibraryWriter, DemoReadsAsTheByteBuildersDemoThroughEveryCall) {
  TempDir dir;
  const Recording rec = recording_test::DemoRecording();
  const std::string builtPath = dir.File("built.orfx"), writtenPath = dir.File("written.orfx");
  ASSERT_TRUE(recording_test::WriteOrfx(rec, builtPath));
  ASSERT_TRUE(nsinfo::WriteDemoWithLibrary(rec, writtenPath));
  CompareFiles(rec, builtPath, writtenPath);
}

// The same recording written as an ORF file through the library, in both
// create modes (saved as version 7, or as a large file of version 9),
// against the byte builder's ORF files of versions 8 and 9 with small and
// large blocks, and against the library's own ORFX file.
TEST(LibraryWriter, OrfDemoReadsAsTheByteBuildersAndAsTheOrfxDemo) {
  TempDir dir;
  const Recording rec = recording_test::DemoRecording();
  const std::string orfx = dir.File("written.orfx");
  ASSERT_TRUE(nsinfo::WriteDemoWithLibrary(rec, orfx));
  const struct {
    int createMode;
    int builtVersion;
    uint32_t builtBlockBytes;
  } cases[] = {{-1, 8, 1024}, {-1, 9, 32768}, {1, 9, 1024}, {1, 8, 65024}};
  for (const auto& c : cases) {
    SCOPED_TRACE("create mode " + std::to_string(c.createMode) + ", built version " +
                 std::to_string(c.builtVersion) + " blocks " + std::to_string(c.builtBlockBytes));
    const std::string built = dir.File("built.orf"), written = dir.File("written.orf");
    ASSERT_TRUE(recording_test::WriteOrf(rec, built, c.builtVersion, c.builtBlockBytes));
    vslk64::TKel32File file(c.createMode);
    ASSERT_TRUE(nsinfo::WriteRecording(rec, written, file));
    uint8_t version = 0;
    {
      vslk64::TKel32File check;
      ASSERT_EQ(vslk64::kOk, check.Open(written.c_str(), 1, 0));
      version = static_cast<uint8_t>(check.GetVersion());
    }
    EXPECT_EQ(c.createMode >= 1 ? 9 : 7, version);
    CompareFiles(rec, built, written);
    CompareFiles(rec, orfx, written);
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
  CompareFiles(rec, orfx, orf);
  CompareFiles(rec, orfx, back);
  CompareFiles(rec, orfx, large);
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
  Recording unordered = recording_test::DemoRecording();
  std::swap(unordered.channels[3].times[2], unordered.channels[3].times[3]);
  EXPECT_FALSE(nsinfo::WriteDemoWithLibrary(unordered, path));
  Recording slot = recording_test::DemoRecording();
  slot.channels[40] = slot.channels[3];  // 32 slots
  EXPECT_FALSE(nsinfo::WriteDemoWithLibrary(slot, path));
  Recording shape = recording_test::DemoRecording();
  shape.channels[7].extMarks[0].text = std::string(41, 'x');  // 40 characters
  EXPECT_FALSE(nsinfo::WriteDemoWithLibrary(shape, path));
  Recording flat = recording_test::DemoRecording();
  flat.channels[0].yLow = flat.channels[0].yHigh;
  EXPECT_FALSE(nsinfo::WriteDemoWithLibrary(flat, path));
  EXPECT_TRUE(nsinfo::WriteDemoWithLibrary(recording_test::DemoRecording(), path));
}

}  // namespace
