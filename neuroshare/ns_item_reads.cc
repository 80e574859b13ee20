#include "neuroshare/ns_item_reads.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "neuroshare/ns_api.h"

namespace nsv {
namespace {

using vslk64::TSTime64;

// Where the payload of an extended marker starts, after its TMarker head.
constexpr uint32_t kPayloadAt = sizeof(vslk64::TMarker);

// Whether the channel's item size holds what the conversion of its kind
// reads (rows × traces 16-bit samples, rows floats, or the text bytes) and
// is an item size any file can hold. The size comes from the file, so it is
// checked before it sizes a buffer or bounds a copy.
bool ExtItemSizeFits(const TNsEntity& e) {
  if (e.itemSize < kPayloadAt || e.itemSize > kNsMaxItemBytes || e.itemSize % 8 != 0) {
    return false;
  }
  if (e.rows > kNsMaxItemBytes || e.cols > kNsMaxItemBytes) return false;
  uint64_t payload = 0;
  if (e.kind == vslk64::WaveMark) payload = uint64_t{2} * e.rows * e.cols;
  if (e.kind == vslk64::RealMark) payload = uint64_t{4} * e.rows;
  return kPayloadAt + payload <= e.itemSize;
}

// A float as "%11g" gives it, without its leading spaces and cut at the
// first space that remains.
std::string CsvValue(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%11g", static_cast<double>(value));
  const char* start = text;
  while (*start == ' ') ++start;
  const char* end = start;
  while (*end != '\0' && *end != ' ') ++end;
  return std::string(start, end);
}

// The first values of a RealMark payload as comma-separated text: all rows
// values when the data area has room for them at kNsCsvBytesPerValue
// bytes each, else as many as it has room for (at least one).
std::string CsvText(const TNsEntity& e, const unsigned char* payload, uint32_t dataSize) {
  const uint32_t room = dataSize / kNsCsvBytesPerValue;
  const uint32_t count = e.rows <= room ? e.rows : std::max(room, 1u);
  std::string text;
  for (uint32_t i = 0; i < count; ++i) {
    float value;
    std::memcpy(&value, payload + sizeof(float) * i, sizeof value);
    if (i > 0) text += ',';
    text += CsvValue(value);
  }
  return text;
}

// Bit v for each code byte v from 1 to 31.
uint32_t UnitMask(const uint8_t code[4]) {
  uint32_t mask = 0;
  for (int k = 0; k < 4; ++k) {
    if (code[k] >= 1 && code[k] <= 31) mask |= uint32_t{1} << code[k];
  }
  return mask;
}

// Writes trace after trace into data: as many points of every trace as the
// area holds, at most rows. Returns the points per trace.
uint32_t WriteTraces(const TNsEntity& e, const unsigned char* payload, void* data,
                     uint32_t dataSize) {
  const uint64_t fit = dataSize / (uint64_t{sizeof(double)} * e.cols);
  const uint32_t points = static_cast<uint32_t>(std::min<uint64_t>(fit, e.rows));
  if (data == nullptr || dataSize == 0) return points;
  unsigned char* out = static_cast<unsigned char*>(data);
  for (uint32_t c = 0; c < e.cols; ++c) {
    for (uint32_t j = 0; j < points; ++j) {
      // Samples are stored point by point with the traces interleaved.
      int16_t sample;
      std::memcpy(&sample, payload + sizeof(int16_t) * (uint64_t{j} * e.cols + c),
                  sizeof sample);
      const double value = sample * e.resolution + e.offset;
      std::memcpy(out + sizeof(double) * (uint64_t{c} * points + j), &value, sizeof value);
    }
  }
  return points;
}

}  // namespace

int ReadEventItem(TNsFile& file, const TNsEntity& entity, TSTime64 t, uint32_t sameTimeBefore,
                  double* timeStamp, void* data, uint32_t dataSize, uint32_t* dataRetSize) {
  if (dataRetSize) *dataRetSize = 0;
  if (data != nullptr && dataSize > 0) std::memset(data, 0, dataSize);
  const uint32_t want = sameTimeBefore + 1;
  std::vector<TSTime64> times(want);
  bool level = false;
  const int m =
      entity.kind == vslk64::Level
          ? file.file->ReadLevels(entity.chan, times.data(), static_cast<int>(want), t,
                                  vslk64::kMaxTime64, &level)
          : file.file->ReadEvents(entity.chan, times.data(), static_cast<int>(want), t,
                                  vslk64::kMaxTime64, &entity.filter);
  if (m < static_cast<int>(want) || times[sameTimeBefore] != t) return ns_FILEERROR;
  if (timeStamp) *timeStamp = static_cast<double>(t) * file.secsPerTick;
  if (entity.kind == vslk64::Level && data != nullptr && dataSize > 0) {
    // The level flips at every change read before the wanted one.
    *static_cast<uint8_t*>(data) = static_cast<uint8_t>(level) ^ (sameTimeBefore & 1);
    if (dataRetSize) *dataRetSize = 1;
  }
  return 0;
}

int ReadMarkItem(TNsFile& file, const TNsEntity& entity, TSTime64 t, uint32_t sameTimeBefore,
                 double* timeStamp, void* data, uint32_t dataSize, uint32_t* sampleCount,
                 uint32_t* unitId) {
  if (sampleCount) *sampleCount = 0;
  if (data != nullptr && dataSize > 0) std::memset(data, 0, dataSize);
  const bool marker = entity.kind == vslk64::Marker;
  if (!marker && !ExtItemSizeFits(entity)) return ns_FILEERROR;
  const size_t itemBytes = marker ? sizeof(vslk64::TMarker) : entity.itemSize;
  const uint32_t want = sameTimeBefore + 1;
  // Zeroed storage from new[], aligned for the 8-byte time of every item,
  // since item sizes are multiples of 8.
  const auto items = std::make_unique<unsigned char[]>(want * itemBytes);
  const int m =
      marker ? file.file->ReadMarkers(entity.chan,
                                      reinterpret_cast<vslk64::TMarker*>(items.get()),
                                      static_cast<int>(want), t, vslk64::kMaxTime64,
                                      &entity.filter)
             : file.file->ReadExtMarks(entity.chan,
                                       reinterpret_cast<vslk64::TExtMark*>(items.get()),
                                       static_cast<int>(want), t, vslk64::kMaxTime64,
                                       &entity.filter);
  if (m < static_cast<int>(want)) return ns_FILEERROR;
  const unsigned char* item = items.get() + sameTimeBefore * itemBytes;
  vslk64::TMarker head;
  std::memcpy(&head, item, sizeof head);
  if (head.time != t) return ns_FILEERROR;  // not the item the index names
  if (timeStamp) *timeStamp = static_cast<double>(t) * file.secsPerTick;
  const unsigned char* payload = item + kPayloadAt;

  uint32_t count = 0;
  switch (entity.kind) {
    case vslk64::WaveMark:
      if (unitId) *unitId = UnitMask(head.code);
      count = WriteTraces(entity, payload, data, dataSize);
      break;
    case vslk64::RealMark: {
      std::string text = CsvText(entity, payload, dataSize);
      if (dataSize > 0 && text.size() >= dataSize) text.resize(dataSize - 1);
      if (data != nullptr && dataSize > 0) std::memcpy(data, text.c_str(), text.size() + 1);
      count = static_cast<uint32_t>(text.size() + 1);
      break;
    }
    case vslk64::TextMark:
      count = std::min<uint32_t>(entity.itemSize - kPayloadAt, dataSize);
      if (data != nullptr) std::memcpy(data, payload, count);
      break;
    default: {  // Marker: the four code bytes and four zero bytes
      const uint8_t codes[8] = {head.code[0], head.code[1], head.code[2], head.code[3]};
      count = std::min<uint32_t>(sizeof codes, dataSize);
      if (data != nullptr) std::memcpy(data, codes, count);
      break;
    }
  }
  if (sampleCount) *sampleCount = count;
  return 0;
}

}  // namespace nsv
