// Data types shared by both file formats and every user of the file-access
// library: tick times, channel kinds, marker items, the time-date record and
// the application id. These are in-memory types of the programming interface;
// on-disk records are decoded field by field (le.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vslk64 {

// Signed count of clock ticks from the start of a recording.
using TSTime64 = int64_t;

// The open end the Neuroshare layer passes for "up to the end of the data".
constexpr TSTime64 kMaxTime64 = 0x7000000000000000LL;

enum TDataKind : uint8_t {
  ChanOff = 0,
  Adc = 1,
  EventA = 2,
  EventB = 3,
  Level = 4,
  Marker = 5,
  WaveMark = 6,
  RealMark = 7,
  TextMark = 8,
  RealWave = 9,
};

// Bytes that one point of an extended marker's attached data takes in one
// trace: a 16-bit sample, an f32 value or a character; 0 for kinds with no
// attached data. Both formats size their extended-marker items from it.
constexpr uint32_t AttachedPointBytes(TDataKind kind) {
  return kind == WaveMark ? 2 : kind == RealMark ? 4 : kind == TextMark ? 1 : 0;
}

// A time and four code bytes; 16 bytes.
struct TMarker {
  TSTime64 time;
  uint8_t code[4];
  uint8_t pad[4];
};
static_assert(sizeof(TMarker) == 16, "TMarker is 16 bytes");
static_assert(offsetof(TMarker, code) == 8, "codes follow the time");

// A TMarker followed directly by the channel's payload. Arrays of extended
// markers are laid out at the channel's item size, so index them by bytes.
struct TExtMark : TMarker {};
static_assert(sizeof(TExtMark) == 16, "payload starts at byte 16");

// Start date and time of a recording; all zeros means "not set".
struct TTimeDate {
  uint8_t hun;   // hundredths of a second
  uint8_t sec;
  uint8_t min;
  uint8_t hour;
  uint8_t day;   // day of month
  uint8_t mon;   // 1 to 12
  uint16_t year;
};
static_assert(sizeof(TTimeDate) == 8, "TTimeDate is 8 bytes");

// Eight characters naming the creating application, not necessarily
// zero-terminated.
struct TAppID {
  char chID[8];
};
static_assert(sizeof(TAppID) == 8, "TAppID is 8 bytes");

}  // namespace vslk64
