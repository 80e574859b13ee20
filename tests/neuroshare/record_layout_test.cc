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

// The four records as a host declares them, once per packing. The field
// lists are the API's; only the compiler's packing differs.
#define NS_HOST_RECORDS                                                                       \
  struct FileInfo {                                                                            \
    char szFileType[32];                                                                       \
    uint32_t dwEntityCount;                                                                    \
    double dTimeStampResolution;                                                               \
    double dTimeSpan;                                                                          \
    char szAppName[64];                                                                        \
    uint32_t dwTime_Year, dwTime_Month, dwTime_DayofWeek, dwTime_Day, dwTime_Hour, dwTime_Min, \
        dwTime_Sec, dwTime_MilliSec;                                                           \
    char szFileComment[256];                                                                   \
  };                                                                                           \
  struct AnalogInfo {                                                                          \
    double dSampleRate, dMinVal, dMaxVal;                                                      \
    char szUnits[16];                                                                          \
    double dResolution, dLocationX, dLocationY, dLocationZ, dLocationUser, dHighFreqCorner;    \
    uint32_t dwHighFreqOrder;                                                                  \
    char szHighFilterType[16];                                                                 \
    double dLowFreqCorner;                                                                     \
    uint32_t dwLowFreqOrder;                                                                   \
    char szLowFilterType[16];                                                                  \
    char szProbeInfo[128];                                                                     \
  };                                                                                           \
  struct SegmentInfo {                                                                         \
    uint32_t dwSourceCount, dwMinSampleCount, dwMaxSampleCount;                                \
    double dSampleRate;                                                                        \
    char szUnits[32];                                                                          \
  };                                                                                           \
  struct SegSourceInfo {                                                                       \
    double dMinVal, dMaxVal, dResolution, dSubSampleShift, dLocationX, dLocationY, dLocationZ, \
        dLocationUser, dHighFreqCorner;                                                        \
    uint32_t dwHighFreqOrder;                                                                  \
    char szHighFilterType[16];                                                                 \
    double dLowFreqCorner;                                                                     \
    uint32_t dwLowFreqOrder;                                                                   \
    char szLowFilterType[16];                                                                  \
    char szProbeInfo[128];                                                                     \
  };

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

#undef NS_HOST_RECORDS

// Every field of a record as text, so two layouts can be compared field by
// field; texts are shown with all their bytes, padding bytes are not shown.
class Fields {
 public:
  template <typename T>
  Fields& operator()(const char* name, const T& value) {
    out_ << name << '=' << +value << '\n';
    return *this;
  }
  template <size_t N>
  Fields& operator()(const char* name, const char (&text)[N]) {
    out_ << name << '=';
    for (char c : text) out_ << static_cast<int>(static_cast<unsigned char>(c)) << ' ';
    out_ << '\n';
    return *this;
  }
  Fields& operator()(const char* name, double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    out_ << name << '=' << text << '\n';
    return *this;
  }
  std::string str() const { return out_.str(); }

 private:
  std::ostringstream out_;
};

// A double of a packed record, copied: a reference to it would be misaligned.
double Copy(double v) { return v; }

template <typename R>
std::string DescribeFile(const R& r) {
  return Fields()("type", r.szFileType)("entities", r.dwEntityCount)(
             "resolution", Copy(r.dTimeStampResolution))("span", Copy(r.dTimeSpan))(
             "app", r.szAppName)("year", r.dwTime_Year)("month", r.dwTime_Month)(
             "weekday", r.dwTime_DayofWeek)("day", r.dwTime_Day)("hour", r.dwTime_Hour)(
             "min", r.dwTime_Min)("sec", r.dwTime_Sec)("ms", r.dwTime_MilliSec)(
             "comment", r.szFileComment)
      .str();
}

template <typename R>
std::string DescribeAnalog(const R& r) {
  return Fields()("rate", Copy(r.dSampleRate))("min", Copy(r.dMinVal))(
             "max", Copy(r.dMaxVal))("units", r.szUnits)("res", Copy(r.dResolution))(
             "x", Copy(r.dLocationX))("y", Copy(r.dLocationY))(
             "z", Copy(r.dLocationZ))("user", Copy(r.dLocationUser))(
             "hi", Copy(r.dHighFreqCorner))("hiOrder", r.dwHighFreqOrder)(
             "hiType", r.szHighFilterType)("lo", Copy(r.dLowFreqCorner))(
             "loOrder", r.dwLowFreqOrder)("loType", r.szLowFilterType)("probe", r.szProbeInfo)
      .str();
}

template <typename R>
std::string DescribeSegment(const R& r) {
  return Fields()("sources", r.dwSourceCount)("minCount", r.dwMinSampleCount)(
             "maxCount", r.dwMaxSampleCount)("rate", Copy(r.dSampleRate))(
             "units", r.szUnits)
      .str();
}

template <typename R>
std::string DescribeSource(const R& r) {
  return Fields()("min", Copy(r.dMinVal))("max", Copy(r.dMaxVal))(
             "res", Copy(r.dResolution))("shift", Copy(r.dSubSampleShift))(
             "x", Copy(r.dLocationX))("y", Copy(r.dLocationY))(
             "z", Copy(r.dLocationZ))("user", Copy(r.dLocationUser))(
             "hi", Copy(r.dHighFreqCorner))("hiOrder", r.dwHighFreqOrder)(
             "hiType", r.szHighFilterType)("lo", Copy(r.dLowFreqCorner))(
             "loOrder", r.dwLowFreqOrder)("loType", r.szLowFilterType)("probe", r.szProbeInfo)
      .str();
}

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
    auto& adc = rec->AddAdc(0, 20, 3.0, -0.5);
    adc.units = "mV";
    adc.comment = "electrode 1";
    adc.yLow = -2.5;
    adc.yHigh = 4.5;
    rec->AddRun(0, 0, {1, 2, 3});
    nsv_test::MemItem spike;
    spike.time = 100;
    auto& wave = rec->AddWaveMarks(1, 8, 3, 40, {spike});
    wave.units = "uV";
    wave.comment = "tetrode 2";
    wave.scale = 0.5;
    wave.yLow = -1;
    wave.yHigh = 3;
    handle_ = nsv_test::OpenInLayer(std::move(rec));
    ASSERT_NE(handle_, 0u);
  }
  void TearDown() override { nsv::NsCloseAllFiles(); }

  uint32_t handle_ = 0;
};

TEST_F(RecordLayouts, NaturalAndPackedHostsSeeTheSameFileInfo) {
  Guarded<natural::FileInfo> n;
  Guarded<packed::FileInfo> p;
  ASSERT_EQ(ns_GetFileInfo(handle_, static_cast<ns_FILEINFO*>(n.area()), 408), ns_OK);
  ASSERT_EQ(ns_GetFileInfo(handle_, static_cast<ns_FILEINFO*>(p.area()), 404), ns_OK);
  EXPECT_EQ(DescribeFile(n.record()), DescribeFile(p.record()));
  EXPECT_TRUE(n.GuardsIntact());
  EXPECT_TRUE(p.GuardsIntact());
  const natural::FileInfo r = n.record();
  EXPECT_EQ(r.dTimeStampResolution, 1e-6);
  EXPECT_EQ(r.dwTime_MilliSec, 420u);
  EXPECT_STREQ(r.szFileComment, "layout check");
}

TEST_F(RecordLayouts, NaturalAndPackedHostsSeeTheSameAnalogInfo) {
  Guarded<natural::AnalogInfo> n;
  Guarded<packed::AnalogInfo> p;
  ASSERT_EQ(ns_GetAnalogInfo(handle_, 0, static_cast<ns_ANALOGINFO*>(n.area()), 272), ns_OK);
  ASSERT_EQ(ns_GetAnalogInfo(handle_, 0, static_cast<ns_ANALOGINFO*>(p.area()), 264), ns_OK);
  EXPECT_EQ(DescribeAnalog(n.record()), DescribeAnalog(p.record()));
  EXPECT_TRUE(n.GuardsIntact());
  EXPECT_TRUE(p.GuardsIntact());
  const natural::AnalogInfo r = n.record();
  EXPECT_DOUBLE_EQ(r.dSampleRate, 50000.0);
  EXPECT_EQ(r.dMaxVal, 4.5);
  EXPECT_STREQ(r.szProbeInfo, "electrode 1");
}

TEST_F(RecordLayouts, NaturalAndPackedHostsSeeTheSameSegmentInfo) {
  Guarded<natural::SegmentInfo> n;
  Guarded<packed::SegmentInfo> p;
  ASSERT_EQ(ns_GetSegmentInfo(handle_, 1, static_cast<ns_SEGMENTINFO*>(n.area()), 56), ns_OK);
  ASSERT_EQ(ns_GetSegmentInfo(handle_, 1, static_cast<ns_SEGMENTINFO*>(p.area()), 52), ns_OK);
  EXPECT_EQ(DescribeSegment(n.record()), DescribeSegment(p.record()));
  EXPECT_TRUE(n.GuardsIntact());
  EXPECT_TRUE(p.GuardsIntact());
  EXPECT_DOUBLE_EQ(n.record().dSampleRate, 25000.0);
  EXPECT_STREQ(n.record().szUnits, "uV");

  Guarded<natural::SegSourceInfo> ns;
  Guarded<packed::SegSourceInfo> ps;
  auto* naturalSource = static_cast<ns_SEGSOURCEINFO*>(ns.area());
  auto* packedSource = static_cast<ns_SEGSOURCEINFO*>(ps.area());
  ASSERT_EQ(ns_GetSegmentSourceInfo(handle_, 1, 2, naturalSource, 256), ns_OK);
  ASSERT_EQ(ns_GetSegmentSourceInfo(handle_, 1, 2, packedSource, 248), ns_OK);
  EXPECT_EQ(DescribeSource(ns.record()), DescribeSource(ps.record()));
  EXPECT_TRUE(ns.GuardsIntact());
  EXPECT_TRUE(ps.GuardsIntact());
  EXPECT_EQ(ns.record().dResolution, 0.5 / 6553.6);
  EXPECT_STREQ(ns.record().szProbeInfo, "tetrode 2");
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
  const Case cases[] = {
      {"GetFileInfo", 404, 408,
       [&](void* a, uint32_t s) {
         return ns_GetFileInfo(handle_, static_cast<ns_FILEINFO*>(a), s);
       }},
      {"GetAnalogInfo", 264, 272,
       [&](void* a, uint32_t s) {
         return ns_GetAnalogInfo(handle_, 0, static_cast<ns_ANALOGINFO*>(a), s);
       }},
      {"GetSegmentInfo", 52, 56,
       [&](void* a, uint32_t s) {
         return ns_GetSegmentInfo(handle_, 1, static_cast<ns_SEGMENTINFO*>(a), s);
       }},
      {"GetSegmentSourceInfo", 248, 256,
       [&](void* a, uint32_t s) {
         return ns_GetSegmentSourceInfo(handle_, 1, 0, static_cast<ns_SEGSOURCEINFO*>(a), s);
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
