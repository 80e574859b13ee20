// The records whose layout depends on how a host packs its structs: a host
// built with 4-byte packing and one built with natural alignment read the
// same recording through the exports and must see the same values, and
// neither may have a byte written outside its record.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "neuroshare/ns_api.h"
#include "tests/neuroshare/watched_file.h"

namespace {

// The fields of the four records as a host declares them: F(type, name, array
// suffix). The lists are the API's; only the compiler's packing differs.
// clang-format off
#define FILE_FIELDS(F) F(char, szFileType, [32]) F(uint32_t, dwEntityCount, )                  \
  F(double, dTimeStampResolution, ) F(double, dTimeSpan, ) F(char, szAppName, [64])             \
  F(uint32_t, dwTime_Year, ) F(uint32_t, dwTime_Month, ) F(uint32_t, dwTime_DayofWeek, )         \
  F(uint32_t, dwTime_Day, ) F(uint32_t, dwTime_Hour, ) F(uint32_t, dwTime_Min, )                 \
  F(uint32_t, dwTime_Sec, ) F(uint32_t, dwTime_MilliSec, ) F(char, szFileComment, [256])
#define FILTER_FIELDS(F) F(double, dLocationX, ) F(double, dLocationY, ) F(double, dLocationZ, ) \
  F(double, dLocationUser, ) F(double, dHighFreqCorner, ) F(uint32_t, dwHighFreqOrder, )         \
  F(char, szHighFilterType, [16]) F(double, dLowFreqCorner, ) F(uint32_t, dwLowFreqOrder, )      \
  F(char, szLowFilterType, [16]) F(char, szProbeInfo, [128])
#define ANALOG_FIELDS(F) F(double, dSampleRate, ) F(double, dMinVal, ) F(double, dMaxVal, )     \
  F(char, szUnits, [16]) F(double, dResolution, ) FILTER_FIELDS(F)
#define SEGMENT_FIELDS(F) F(uint32_t, dwSourceCount, ) F(uint32_t, dwMinSampleCount, )          \
  F(uint32_t, dwMaxSampleCount, ) F(double, dSampleRate, ) F(char, szUnits, [32])
#define SOURCE_FIELDS(F) F(double, dMinVal, ) F(double, dMaxVal, ) F(double, dResolution, )     \
  F(double, dSubSampleShift, ) FILTER_FIELDS(F)
#define DECLARE(type, name, array) type name array;
#define NS_HOST_RECORDS struct FileInfo { FILE_FIELDS(DECLARE) };                             \
  struct AnalogInfo { ANALOG_FIELDS(DECLARE) }; struct SegmentInfo { SEGMENT_FIELDS(DECLARE) }; \
  struct SegSourceInfo { SOURCE_FIELDS(DECLARE) };
// clang-format on

namespace natural {
NS_HOST_RECORDS
static_assert(sizeof(FileInfo) == 408 && sizeof(AnalogInfo) == 272 && sizeof(SegmentInfo) == 56 &&
                  sizeof(SegSourceInfo) == 256,
              "natural alignment");
}  // namespace natural

namespace packed {
#pragma pack(push, 4)
NS_HOST_RECORDS
#pragma pack(pop)
static_assert(sizeof(FileInfo) == 404 && sizeof(AnalogInfo) == 264 && sizeof(SegmentInfo) == 52 &&
                  sizeof(SegSourceInfo) == 248,
              "4-byte packing");
}  // namespace packed

// Each field of the natural host's record against the same field of the
// packed host's: texts with all their bytes, numbers bit for bit, padding
// not at all.
#define SAME(type, name, array) EXPECT_EQ(std::memcmp(&n.name, &p.name, sizeof n.name), 0) << #name;
#define COMPARER(Record, FIELDS) \
  void Same(const natural::Record& n, const packed::Record& p) { FIELDS(SAME) }
COMPARER(FileInfo, FILE_FIELDS)
COMPARER(AnalogInfo, ANALOG_FIELDS)
COMPARER(SegmentInfo, SEGMENT_FIELDS)
COMPARER(SegSourceInfo, SOURCE_FIELDS)

class RecordLayouts : public nsv_test::LayerTest {
 protected:
  void SetUp() override {
    nsv_test::Recording rec = recording_test::DemoRecording();
    rec.comments[0] = "  layout check  ";  // trailing spaces are dropped
    // A stored maximum behind the data.
    handle_ = Open(rec, [](nsv_test::WatchedFile& f) { f.maxTime = 10; });
    ASSERT_NE(handle_, 0u);
  }

  uint32_t handle_ = 0;
};

// Calls `call` for a host built with natural alignment and one built with
// 4-byte packing: both see the same values (compared field by field) and neither has a byte written
// outside its record. Sizes other than the natural one are packed hosts: the packed record is
// written at the packed offsets and nothing past it (sizes below the packed size are
// host_api_test.cc's). Returns the natural host's record.
template <typename N, typename P>
N Hosts(const char* op, const std::function<ns_RESULT(void*, uint32_t)>& call) {
  SCOPED_TRACE(op);
  constexpr size_t kGuard = 16;
  // Each host's record with 0xA5 guard bytes before it and after it.
  alignas(8) unsigned char natural[kGuard + 512], packed[kGuard + 512], got[kGuard + 512];
  std::memset(natural, 0xA5, sizeof natural);
  std::memset(packed, 0xA5, sizeof packed);
  EXPECT_EQ(call(natural + kGuard, sizeof(N)), ns_OK);
  EXPECT_EQ(call(packed + kGuard, sizeof(P)), ns_OK);
  N n;
  P p;
  std::memcpy(&n, natural + kGuard, sizeof n);
  std::memcpy(&p, packed + kGuard, sizeof p);
  Same(n, p);
  for (size_t i = 0; i < kGuard; ++i) {
    EXPECT_EQ((std::vector<int>{natural[i], packed[i], natural[kGuard + sizeof(N) + i],
                                packed[kGuard + sizeof(P) + i]}),
              std::vector<int>(4, 0xA5));
  }
  for (uint32_t size : {sizeof(N) - 1, sizeof(N) + 1, sizeof(P) + 100}) {
    std::memset(got, 0xA5, sizeof got);
    EXPECT_EQ(call(got + kGuard, size), ns_OK) << size;
    EXPECT_EQ(std::memcmp(got, packed, sizeof got), 0) << size;
  }
  return n;
}

using Texts = std::vector<std::string>;

// The values themselves are the comparer's (tests/support/ns_compare.cc),
// which holds the demo recording's records against the recording; here, the
// texts that do not come from it and the span of a file whose stored
// maximum lies behind its data.
TEST_F(RecordLayouts, NaturalAndPackedHostsSeeTheSameRecords) {
  const uint32_t h = handle_;
  const auto file = Hosts<natural::FileInfo, packed::FileInfo>(
      "GetFileInfo",
      [&](void* a, uint32_t s) { return ns_GetFileInfo(h, static_cast<ns_FILEINFO*>(a), s); });
  EXPECT_DOUBLE_EQ(file.dTimeSpan, 9.9999);
  EXPECT_STREQ(file.szFileComment, "  layout check");
  const auto analog =
      Hosts<natural::AnalogInfo, packed::AnalogInfo>("GetAnalogInfo", [&](void* a, uint32_t s) {
        return ns_GetAnalogInfo(h, 0, static_cast<ns_ANALOGINFO*>(a), s);
      });
  EXPECT_EQ((Texts{analog.szHighFilterType, analog.szLowFilterType}), (Texts{"unknown", ""}));
  EXPECT_EQ(analog.dLowFreqCorner, 0);
  EXPECT_EQ(static_cast<uint8_t>(analog.szLowFilterType[1]), 0xA5) << "only its first byte";
  Hosts<natural::SegmentInfo, packed::SegmentInfo>("GetSegmentInfo", [&](void* a, uint32_t s) {
    return ns_GetSegmentInfo(h, 2, static_cast<ns_SEGMENTINFO*>(a), s);
  });
  const auto source = Hosts<natural::SegSourceInfo, packed::SegSourceInfo>(
      "GetSegmentSourceInfo", [&](void* a, uint32_t s) {
        return ns_GetSegmentSourceInfo(h, 2, 1, static_cast<ns_SEGSOURCEINFO*>(a), s);
      });
  EXPECT_EQ((Texts{source.szHighFilterType, source.szLowFilterType}),
            (Texts{"unknown", "unknown"}));
}

}  // namespace
