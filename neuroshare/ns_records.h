// The two layouts of the Neuroshare records that hold a double after an odd
// number of 4-byte fields, and the writer the exports fill them through.
//
// The API lays its records out with 4-byte packing, but hosts built with gcc
// or clang against the common C header, and scripting clients that declare
// the records without packing, align every double on 8 bytes. For
// ns_FILEINFO, ns_ANALOGINFO, ns_SEGMENTINFO and ns_SEGSOURCEINFO this moves
// fields and grows the record (404/408, 264/272, 52/56, 248/256 bytes). Such
// hosts pass the size of their own record, so a record size equal to the
// natural size selects the natural layout; every other size keeps the packed
// one (and its size check against the packed size).
//
// Each record is described once, as its fields in order with the size and
// alignment of each; both layouts are worked out from that description at
// compile time and checked below against the packed structs of ns_api.h and
// the natural sizes. Used by ns_file_exports.cc, ns_event_exports.cc,
// ns_analog_exports.cc and ns_info_records.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "neuroshare/ns_api.h"

namespace nsv {

// A field's size in bytes and the alignment its type asks for.
struct TNsFieldType {
  uint32_t size;
  uint32_t align;
};

constexpr TNsFieldType kNsU32{4, 4};
constexpr TNsFieldType kNsF64{8, 8};
constexpr TNsFieldType NsText(uint32_t bytes) { return {bytes, 1}; }

// Where each field of a record lies in one layout, and the record's size.
template <size_t N>
struct TNsLayout {
  uint32_t offset[N];
  uint32_t size;
};

// Lays the fields out in order, each at the next multiple of its alignment
// limited to pack, and rounds the size up to the largest alignment used: what
// a C compiler does under #pragma pack(pack) (8 gives natural alignment for
// these records).
template <size_t N>
constexpr TNsLayout<N> NsLayOut(const TNsFieldType (&fields)[N], uint32_t pack) {
  TNsLayout<N> layout{};
  uint32_t at = 0;
  uint32_t recordAlign = 1;
  for (size_t i = 0; i < N; ++i) {
    const uint32_t align = fields[i].align < pack ? fields[i].align : pack;
    if (align > recordAlign) recordAlign = align;
    at = (at + align - 1) / align * align;
    layout.offset[i] = at;
    at += fields[i].size;
  }
  layout.size = (at + recordAlign - 1) / recordAlign * recordAlign;
  return layout;
}

constexpr uint32_t kNsPackedAlign = 4;
constexpr uint32_t kNsNaturalAlign = 8;

struct NsFileInfoRecord {
  enum Field {
    szFileType, dwEntityCount, dTimeStampResolution, dTimeSpan, szAppName, dwTime_Year,
    dwTime_Month, dwTime_DayofWeek, dwTime_Day, dwTime_Hour, dwTime_Min, dwTime_Sec,
    dwTime_MilliSec, szFileComment, kFieldCount
  };
  static constexpr TNsFieldType kFields[kFieldCount] = {
      NsText(32), kNsU32, kNsF64, kNsF64, NsText(64), kNsU32, kNsU32,
      kNsU32,     kNsU32, kNsU32, kNsU32, kNsU32,     kNsU32, NsText(256)};
  static constexpr TNsLayout<kFieldCount> kPacked = NsLayOut(kFields, kNsPackedAlign);
  static constexpr TNsLayout<kFieldCount> kNatural = NsLayOut(kFields, kNsNaturalAlign);
};

struct NsAnalogInfoRecord {
  enum Field {
    dSampleRate, dMinVal, dMaxVal, szUnits, dResolution, dLocationX, dLocationY, dLocationZ,
    dLocationUser, dHighFreqCorner, dwHighFreqOrder, szHighFilterType, dLowFreqCorner,
    dwLowFreqOrder, szLowFilterType, szProbeInfo, kFieldCount
  };
  static constexpr TNsFieldType kFields[kFieldCount] = {
      kNsF64, kNsF64, kNsF64, NsText(16), kNsF64, kNsF64, kNsF64,     kNsF64,
      kNsF64, kNsF64, kNsU32, NsText(16), kNsF64, kNsU32, NsText(16), NsText(128)};
  static constexpr TNsLayout<kFieldCount> kPacked = NsLayOut(kFields, kNsPackedAlign);
  static constexpr TNsLayout<kFieldCount> kNatural = NsLayOut(kFields, kNsNaturalAlign);
};

struct NsSegmentInfoRecord {
  enum Field {
    dwSourceCount, dwMinSampleCount, dwMaxSampleCount, dSampleRate, szUnits, kFieldCount
  };
  static constexpr TNsFieldType kFields[kFieldCount] = {kNsU32, kNsU32, kNsU32, kNsF64,
                                                        NsText(32)};
  static constexpr TNsLayout<kFieldCount> kPacked = NsLayOut(kFields, kNsPackedAlign);
  static constexpr TNsLayout<kFieldCount> kNatural = NsLayOut(kFields, kNsNaturalAlign);
};

struct NsSegSourceInfoRecord {
  enum Field {
    dMinVal, dMaxVal, dResolution, dSubSampleShift, dLocationX, dLocationY, dLocationZ,
    dLocationUser, dHighFreqCorner, dwHighFreqOrder, szHighFilterType, dLowFreqCorner,
    dwLowFreqOrder, szLowFilterType, szProbeInfo, kFieldCount
  };
  static constexpr TNsFieldType kFields[kFieldCount] = {
      kNsF64, kNsF64, kNsF64, kNsF64,     kNsF64, kNsF64, kNsF64,     kNsF64,
      kNsF64, kNsU32, NsText(16), kNsF64, kNsU32, NsText(16), NsText(128)};
  static constexpr TNsLayout<kFieldCount> kPacked = NsLayOut(kFields, kNsPackedAlign);
  static constexpr TNsLayout<kFieldCount> kNatural = NsLayOut(kFields, kNsNaturalAlign);
};

// The packed layouts are those of the structs hosts have always used.
#define NS_PACKED_AT(Record, Struct, field) \
  static_assert(Record::kPacked.offset[Record::field] == offsetof(Struct, field), #Struct " " #field)

static_assert(NsFileInfoRecord::kPacked.size == sizeof(ns_FILEINFO), "ns_FILEINFO size");
NS_PACKED_AT(NsFileInfoRecord, ns_FILEINFO, szFileType);
NS_PACKED_AT(NsFileInfoRecord, ns_FILEINFO, dwEntityCount);
NS_PACKED_AT(NsFileInfoRecord, ns_FILEINFO, dTimeStampResolution);
NS_PACKED_AT(NsFileInfoRecord, ns_FILEINFO, dTimeSpan);
NS_PACKED_AT(NsFileInfoRecord, ns_FILEINFO, szAppName);
NS_PACKED_AT(NsFileInfoRecord, ns_FILEINFO, dwTime_Year);
NS_PACKED_AT(NsFileInfoRecord, ns_FILEINFO, dwTime_Month);
NS_PACKED_AT(NsFileInfoRecord, ns_FILEINFO, dwTime_DayofWeek);
NS_PACKED_AT(NsFileInfoRecord, ns_FILEINFO, dwTime_Day);
NS_PACKED_AT(NsFileInfoRecord, ns_FILEINFO, dwTime_Hour);
NS_PACKED_AT(NsFileInfoRecord, ns_FILEINFO, dwTime_Min);
NS_PACKED_AT(NsFileInfoRecord, ns_FILEINFO, dwTime_Sec);
NS_PACKED_AT(NsFileInfoRecord, ns_FILEINFO, dwTime_MilliSec);
NS_PACKED_AT(NsFileInfoRecord, ns_FILEINFO, szFileComment);

static_assert(NsAnalogInfoRecord::kPacked.size == sizeof(ns_ANALOGINFO), "ns_ANALOGINFO size");
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, dSampleRate);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, dMinVal);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, dMaxVal);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, szUnits);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, dResolution);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, dLocationX);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, dLocationY);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, dLocationZ);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, dLocationUser);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, dHighFreqCorner);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, dwHighFreqOrder);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, szHighFilterType);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, dLowFreqCorner);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, dwLowFreqOrder);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, szLowFilterType);
NS_PACKED_AT(NsAnalogInfoRecord, ns_ANALOGINFO, szProbeInfo);

static_assert(NsSegmentInfoRecord::kPacked.size == sizeof(ns_SEGMENTINFO), "ns_SEGMENTINFO size");
NS_PACKED_AT(NsSegmentInfoRecord, ns_SEGMENTINFO, dwSourceCount);
NS_PACKED_AT(NsSegmentInfoRecord, ns_SEGMENTINFO, dwMinSampleCount);
NS_PACKED_AT(NsSegmentInfoRecord, ns_SEGMENTINFO, dwMaxSampleCount);
NS_PACKED_AT(NsSegmentInfoRecord, ns_SEGMENTINFO, dSampleRate);
NS_PACKED_AT(NsSegmentInfoRecord, ns_SEGMENTINFO, szUnits);

static_assert(NsSegSourceInfoRecord::kPacked.size == sizeof(ns_SEGSOURCEINFO),
              "ns_SEGSOURCEINFO size");
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, dMinVal);
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, dMaxVal);
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, dResolution);
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, dSubSampleShift);
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, dLocationX);
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, dLocationY);
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, dLocationZ);
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, dLocationUser);
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, dHighFreqCorner);
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, dwHighFreqOrder);
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, szHighFilterType);
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, dLowFreqCorner);
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, dwLowFreqOrder);
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, szLowFilterType);
NS_PACKED_AT(NsSegSourceInfoRecord, ns_SEGSOURCEINFO, szProbeInfo);

#undef NS_PACKED_AT

// The natural layouts as hosts without packing see them: the sizes, and the
// first field each record moves (the fields after it follow from the sizes).
static_assert(NsFileInfoRecord::kNatural.size == 408, "natural ns_FILEINFO");
static_assert(NsFileInfoRecord::kNatural.offset[NsFileInfoRecord::dTimeStampResolution] == 40,
              "natural ns_FILEINFO");
static_assert(NsFileInfoRecord::kNatural.offset[NsFileInfoRecord::szFileComment] == 152,
              "natural ns_FILEINFO");
static_assert(NsAnalogInfoRecord::kNatural.size == 272, "natural ns_ANALOGINFO");
static_assert(NsAnalogInfoRecord::kNatural.offset[NsAnalogInfoRecord::dLowFreqCorner] == 112,
              "natural ns_ANALOGINFO");
static_assert(NsAnalogInfoRecord::kNatural.offset[NsAnalogInfoRecord::szProbeInfo] == 140,
              "natural ns_ANALOGINFO");
static_assert(NsSegmentInfoRecord::kNatural.size == 56, "natural ns_SEGMENTINFO");
static_assert(NsSegmentInfoRecord::kNatural.offset[NsSegmentInfoRecord::dSampleRate] == 16,
              "natural ns_SEGMENTINFO");
static_assert(NsSegSourceInfoRecord::kNatural.size == 256, "natural ns_SEGSOURCEINFO");
static_assert(NsSegSourceInfoRecord::kNatural.offset[NsSegSourceInfoRecord::dLowFreqCorner] == 96,
              "natural ns_SEGSOURCEINFO");
static_assert(NsSegSourceInfoRecord::kNatural.offset[NsSegSourceInfoRecord::szProbeInfo] == 124,
              "natural ns_SEGSOURCEINFO");

// Writes the fields of one record into a caller's area in the layout its
// size selects. Only the bytes of the fields written change; a field's type
// is checked against the description when the call is compiled.
template <typename Record>
class TNsRecordWriter {
 public:
  using Field = typename Record::Field;

  // The record size the caller passed picks the layout: exactly the natural
  // size is a host without packing, anything else a packed host.
  TNsRecordWriter(void* area, uint32_t callerSize)
      : base_(static_cast<unsigned char*>(area)),
        layout_(callerSize == Record::kNatural.size ? Record::kNatural : Record::kPacked) {}

  static constexpr uint32_t kPackedSize = Record::kPacked.size;

  uint32_t Size() const { return layout_.size; }

  // Zeroes the whole record, padding included.
  void Clear() { std::memset(base_, 0, layout_.size); }

  template <Field F>
  void U32(uint32_t value) {
    static_assert(Record::kFields[F].size == 4 && Record::kFields[F].align == 4, "not a uint32");
    std::memcpy(base_ + layout_.offset[F], &value, sizeof value);
  }

  template <Field F>
  void F64(double value) {
    static_assert(Record::kFields[F].size == 8 && Record::kFields[F].align == 8, "not a double");
    std::memcpy(base_ + layout_.offset[F], &value, sizeof value);
  }

  // Copies a text of at most srcBytes characters (it ends earlier at a zero)
  // into a text field, cut to the field and zero-filled to the field's end.
  template <Field F>
  void Text(const char* text, size_t srcBytes) {
    static_assert(Record::kFields[F].align == 1, "not a text field");
    constexpr size_t kBytes = Record::kFields[F].size;
    unsigned char* field = base_ + layout_.offset[F];
    size_t n = 0;
    while (n < kBytes && n < srcBytes && text[n] != '\0') ++n;
    std::memcpy(field, text, n);
    std::memset(field + n, 0, kBytes - n);
  }

  template <Field F>
  void Text(const char* text) {
    Text<F>(text, std::strlen(text));
  }

  // Writes only the first byte of a text field (an empty text whose other
  // bytes are left as the caller had them).
  template <Field F>
  void EmptyText() {
    static_assert(Record::kFields[F].align == 1, "not a text field");
    base_[layout_.offset[F]] = 0;
  }

 private:
  unsigned char* base_;
  const TNsLayout<Record::kFieldCount>& layout_;
};

}  // namespace nsv
