// The records whose layout depends on how a host packs its structs: a host
// built with 4-byte packing and one built with natural alignment read the
// same recording through the exports and must see the same values, and
// neither may have a byte written outside its record.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_file_table.h"
#include "tests/neuroshare/memory_recording.h"

namespace {

// The fields of the four records as a host declares them: F(type, name, array
// suffix). The lists are the API's; only the compiler's packing differs.
#define FILE_FIELDS(F)                                                                      \
  F(char, szFileType, [32]) F(uint32_t, dwEntityCount, ) F(double, dTimeStampResolution, ) \
  F(double, dTimeSpan, ) F(char, szAppName, [64]) F(uint32_t, dwTime_Year, )                \
  F(uint32_t, dwTime_Month, ) F(uint32_t, dwTime_DayofWeek, ) F(uint32_t, dwTime_Day, )    \
  F(uint32_t, dwTime_Hour, ) F(uint32_t, dwTime_Min, ) F(uint32_t, dwTime_Sec, )           \
  F(uint32_t, dwTime_MilliSec, ) F(char, szFileComment, [256])
#define FILTER_FIELDS(F)                                                                    \
  F(double, dLocationX, ) F(double, dLocationY, ) F(double, dLocationZ, )                  \
  F(double, dLocationUser, ) F(double, dHighFreqCorner, ) F(uint32_t, dwHighFreqOrder, )   \
  F(char, szHighFilterType, [16]) F(double, dLowFreqCorner, ) F(uint32_t, dwLowFreqOrder, ) \
  F(char, szLowFilterType, [16]) F(char, szProbeInfo, [128])
#define ANALOG_FIELDS(F)                                                           \
  F(double, dSampleRate, ) F(double, dMinVal, ) F(double, dMaxVal, )              \
  F(char, szUnits, [16]) F(double, dResolution, ) FILTER_FIELDS(F)
#define SEGMENT_FIELDS(F)                                                                  \
  F(uint32_t, dwSourceCount, ) F(uint32_t, dwMinSampleCount, )                            \
  F(uint32_t, dwMaxSampleCount, ) F(double, dSampleRate, ) F(char, szUnits, [32])
#define SOURCE_FIELDS(F)                                                                   \
  F(double, dMinVal, ) F(double, dMaxVal, ) F(double, dResolution, )                      \
  F(double, dSubSampleShift, ) FILTER_FIELDS(F)

#define DECLARE(type, name, array) type name array;
#define NS_HOST_RECORDS                                     \
  struct FileInfo { FILE_FIELDS(DECLARE) };                 \
  struct AnalogInfo { ANALOG_FIELDS(DECLARE) };             \
  struct SegmentInfo { SEGMENT_FIELDS(DECLARE) };           \
  struct SegSourceInfo { SOURCE_FIELDS(DECLARE) };

namespace natural {
NS_HOST_RECORDS
static_assert(sizeof(FileInfo) == 408 && sizeof(AnalogInfo) == 272 &&
                  sizeof(SegmentInfo) == 56 && sizeof(SegSourceInfo) == 256,
              "natural alignment");
}  // namespace natural

namespace packed {
#pragma pack(push, 4)
NS_HOST_RECORDS
#pragma pack(pop)
static_assert(sizeof(FileInfo) == 404 && sizeof(AnalogInfo) == 264 &&
                  sizeof(SegmentInfo) == 52 && sizeof(SegSourceInfo) == 248,
              "4-byte packing");
}  // namespace packed

// Every field of a record as text, so two layouts can be compared field by
// field: texts with all their bytes, numbers by value (a reference to a
// packed double would be misaligned), padding not at all.
void Put(std::ostream& out, uint32_t value) { out << value; }
void Put(std::ostream& out, double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  out << text;
}
template <size_t N>
void Put(std::ostream& out, const char (&text)[N]) {
  for (char c : text) out << static_cast<int>(static_cast<unsigned char>(c)) << ' ';
}
#define DESCRIBE(type, name, array) out << #name << '=', Put(out, r.name), out << '\n';
#define DESCRIBER(Name, FIELDS)            \
  template <typename R>                    \
  std::string Name(const R& r) {           \
    std::ostringstream out;                \
    FIELDS(DESCRIBE)                       \
    return out.str();                      \
  }
DESCRIBER(DescribeFile, FILE_FIELDS)
DESCRIBER(DescribeAnalog, ANALOG_FIELDS)
DESCRIBER(DescribeSegment, SEGMENT_FIELDS)
DESCRIBER(DescribeSource, SOURCE_FIELDS)

// A host's record with guard bytes on both sides, all 0xA5 at first.
template <typename R>
struct Guarded {
  static constexpr size_t kGuard = 16;
  alignas(8) unsigned char bytes[kGuard + sizeof(R) + kGuard];

  Guarded() { std::memset(bytes, 0xA5, sizeof bytes); }
  void* area() { return bytes + kGuard; }
  R record() const {
    R r;
    std::memcpy(&r, bytes + kGuard, sizeof r);
    return r;
  }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i) {
      if (bytes[i] != 0xA5 || bytes[kGuard + sizeof(R) + i] != 0xA5) return false;
    }
    return true;
  }
};

class RecordLayouts : public ::testing::Test {
 protected:
  void SetUp() override {
    nsv::NsCloseAllFiles();
    auto rec = std::make_unique<nsv_test::MemoryRecording>();
    rec->comment = "layout check";
    rec->timeDate = {42, 5, 6, 7, 8, 3, 2016};
    std::memcpy(rec->appId.chID, "ONDRIXAB", 8);
    auto& adc = rec->AddWave(0, vslk64::Adc, 20, 3.0, -0.5);
    adc.units = "mV";
    adc.comment = "electrode 1";
    adc.yLow = -2.5;
    adc.yHigh = 4.5;
    rec->AddRun(0, 0, {1, 2, 3});
    auto& wave =
        rec->AddItems(1, vslk64::WaveMark, 8, 3, {nsv_test::MemoryRecording::Item(100, {})});
    wave.divide = 40;
    wave.units = "uV";
    wave.comment = "tetrode 2";
    wave.scale = 0.5;
    wave.yLow = -1;
    wave.yHigh = 3;
    handle_ = nsv_test::OpenInLayer(std::move(rec));
    ASSERT_NE(handle_, 0u);
  }
  void TearDown() override { nsv::NsCloseAllFiles(); }

  // Reads a record into both hosts' layouts; returns each one's description.
  template <typename N, typename P, typename Call, typename Describe>
  std::pair<std::string, std::string> Both(Call call, Describe describe, N* naturalOut) {
    Guarded<N> n;
    Guarded<P> p;
    EXPECT_EQ(call(n.area(), sizeof(N)), ns_OK);
    EXPECT_EQ(call(p.area(), sizeof(P)), ns_OK);
    EXPECT_TRUE(n.GuardsIntact());
    EXPECT_TRUE(p.GuardsIntact());
    *naturalOut = n.record();
    return {describe(n.record()), describe(p.record())};
  }

  uint32_t handle_ = 0;
};

TEST_F(RecordLayouts, NaturalAndPackedHostsSeeTheSameRecords) {
  const uint32_t h = handle_;
  natural::FileInfo file;
  auto got = Both<natural::FileInfo, packed::FileInfo>(
      [&](void* a, uint32_t s) { return ns_GetFileInfo(h, static_cast<ns_FILEINFO*>(a), s); },
      [](const auto& r) { return DescribeFile(r); }, &file);
  EXPECT_EQ(got.first, got.second);
  EXPECT_EQ(file.dTimeStampResolution, 1e-6);
  EXPECT_EQ(file.dwTime_MilliSec, 420u);
  EXPECT_STREQ(file.szFileComment, "layout check");

  natural::AnalogInfo analog;
  got = Both<natural::AnalogInfo, packed::AnalogInfo>(
      [&](void* a, uint32_t s) {
        return ns_GetAnalogInfo(h, 0, static_cast<ns_ANALOGINFO*>(a), s);
      },
      [](const auto& r) { return DescribeAnalog(r); }, &analog);
  EXPECT_EQ(got.first, got.second);
  EXPECT_DOUBLE_EQ(analog.dSampleRate, 50000.0);
  EXPECT_EQ(analog.dMaxVal, 4.5);
  EXPECT_STREQ(analog.szProbeInfo, "electrode 1");

  natural::SegmentInfo segment;
  got = Both<natural::SegmentInfo, packed::SegmentInfo>(
      [&](void* a, uint32_t s) {
        return ns_GetSegmentInfo(h, 1, static_cast<ns_SEGMENTINFO*>(a), s);
      },
      [](const auto& r) { return DescribeSegment(r); }, &segment);
  EXPECT_EQ(got.first, got.second);
  EXPECT_DOUBLE_EQ(segment.dSampleRate, 25000.0);
  EXPECT_STREQ(segment.szUnits, "uV");

  natural::SegSourceInfo source;
  got = Both<natural::SegSourceInfo, packed::SegSourceInfo>(
      [&](void* a, uint32_t s) {
        return ns_GetSegmentSourceInfo(h, 1, 2, static_cast<ns_SEGSOURCEINFO*>(a), s);
      },
      [](const auto& r) { return DescribeSource(r); }, &source);
  EXPECT_EQ(got.first, got.second);
  EXPECT_EQ(source.dResolution, 0.5 / 6553.6);
  EXPECT_STREQ(source.szProbeInfo, "tetrode 2");
}

// Sizes other than the natural one are packed hosts: the packed record is
// written at the packed offsets and nothing past it, and sizes below the
// packed size are refused as before.
TEST_F(RecordLayouts, EveryOtherSizeKeepsThePackedBehaviour) {
  struct Case {
    const char* op;
    uint32_t packedSize;
    uint32_t naturalSize;
    std::function<ns_RESULT(void*, uint32_t)> call;
  };
  const uint32_t h = handle_;
  const Case cases[] = {
      {"GetFileInfo", 404, 408,
       [&](void* a, uint32_t s) { return ns_GetFileInfo(h, static_cast<ns_FILEINFO*>(a), s); }},
      {"GetAnalogInfo", 264, 272,
       [&](void* a, uint32_t s) {
         return ns_GetAnalogInfo(h, 0, static_cast<ns_ANALOGINFO*>(a), s);
       }},
      {"GetSegmentInfo", 52, 56,
       [&](void* a, uint32_t s) {
         return ns_GetSegmentInfo(h, 1, static_cast<ns_SEGMENTINFO*>(a), s);
       }},
      {"GetSegmentSourceInfo", 248, 256,
       [&](void* a, uint32_t s) {
         return ns_GetSegmentSourceInfo(h, 1, 0, static_cast<ns_SEGSOURCEINFO*>(a), s);
       }},
  };
  for (const Case& c : cases) {
    alignas(8) unsigned char want[512];
    std::memset(want, 0xA5, sizeof want);
    ASSERT_EQ(c.call(want, c.packedSize), ns_OK) << c.op;
    for (uint32_t size : {c.naturalSize - 1, c.naturalSize + 1, c.packedSize + 100}) {
      alignas(8) unsigned char got[512];
      std::memset(got, 0xA5, sizeof got);
      ASSERT_EQ(c.call(got, size), ns_OK) << c.op << " " << size;
      EXPECT_EQ(std::memcmp(got, want, sizeof got), 0) << c.op << " " << size;
    }
    alignas(8) unsigned char small[512];
    EXPECT_EQ(c.call(small, c.packedSize - 1), ns_LIBERROR) << c.op;
    EXPECT_EQ(std::string(nsv::NsLastMessage()),
              std::string(c.op) + " was given " + std::to_string(c.packedSize - 1) +
                  "d bytes for results, requires " + std::to_string(c.packedSize) + "d");
  }
}

}  // namespace
