// Reading one item of an event-like or marker-like entity and turning it into
// what the Neuroshare data calls return: the time, a level byte, four code
// bytes, float values as comma-separated text, text, or the traces of a
// segment. Used by the event and segment data calls (ns_entity_data.h);
// callers hold the library lock (ns_call.h).
//
// An item is read by its time (TimeOfIndex, ns_index.h). Several items may
// share one time; sameTimeBefore says how many of them come before the
// wanted one, and the read steps over those.
#pragma once

#include <cstdint>

#include "filelib/kel64_types.h"
#include "neuroshare/ns_entity.h"
#include "neuroshare/ns_file.h"

namespace nsv {

// Extended-marker items are never larger than a 64 KiB data block holds.
constexpr uint32_t kNsMaxItemBytes = 65536;

// Bytes of comma-separated text one float value of a RealMark item takes at
// most ("-1.23457e+38" and a comma).
constexpr uint32_t kNsCsvBytesPerValue = 13;

// One item of an event, event-B or level entity at time t. timeStamp (when
// not null) receives its time in seconds; for a level entity with a data area
// the first byte receives the level in force before the item's change and
// *dataRetSize 1, otherwise *dataRetSize is 0. The first dataSize bytes of
// data are zeroed first. Returns 0 or ns_FILEERROR (no such item).
int ReadEventItem(TNsFile& file, const TNsEntity& entity, vslk64::TSTime64 t,
                  uint32_t sameTimeBefore, double* timeStamp, void* data, uint32_t dataSize,
                  uint32_t* dataRetSize);

// One item of a Marker, WaveMark, RealMark or TextMark entity at time t,
// converted by kind into data (dataSize bytes, zeroed first):
// - Marker: the four code bytes and four zero bytes, as many as fit;
// - RealMark: the values as text ("1.5,-2"), cut to fit, zero-terminated;
// - TextMark: the text payload, as many bytes as fit;
// - WaveMark: doubles, trace after trace, as many points of each trace as
//   fit; *unitId (when not null) receives a bit for each code 1 to 31.
// *sampleCount (when not null) receives the bytes (Marker, TextMark), the
// text length with its terminator (RealMark) or the points per trace
// (WaveMark). Returns 0 or ns_FILEERROR (no such item, or an item size that
// does not fit the channel's shape).
int ReadMarkItem(TNsFile& file, const TNsEntity& entity, vslk64::TSTime64 t,
                 uint32_t sameTimeBefore, double* timeStamp, void* data, uint32_t dataSize,
                 uint32_t* sampleCount, uint32_t* unitId);

}  // namespace nsv
