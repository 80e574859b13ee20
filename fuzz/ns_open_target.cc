// The Neuroshare exports over a recording taken from the fuzzer's input (its
// zero-run coded image, fuzz/image_code.h): open it, read every entity's
// information and a bounded sample of its data, walk the index/time
// conversions under all three rules, close. The recording must be left
// exactly as it was.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzz/image_code.h"
#include "fuzz/targets.h"
#include "neuroshare/ns_api.h"
#include "platform/file.h"
#include "tests/support/memory_files.h"

namespace nsv_fuzz {
namespace {

// Bounds of the walk, so that one input stays quick however many items a
// damaged header claims.
constexpr uint32_t kMaxEntities = 64;
constexpr uint32_t kAnalogPiece = 64;
constexpr uint32_t kMaxBufferDoubles = 1 << 16;

// First, last and a few middle items (and one past the end) of count.
std::vector<uint32_t> Picks(uint32_t count) {
  std::vector<uint32_t> picks = {0, 1, count / 3, count / 2, count - 1, count};
  if (count == 0) picks = {0};
  std::sort(picks.begin(), picks.end());
  picks.erase(std::unique(picks.begin(), picks.end()), picks.end());
  return picks;
}

void Conversions(uint32_t id, uint32_t entity, uint32_t items, double span) {
  for (uint32_t index : Picks(items)) {
    double t = 0;
    if (ns_GetTimeByIndex(id, entity, index, &t) != ns_OK) continue;
    for (int32_t flag : {ns_BEFORE, ns_CLOSEST, ns_AFTER}) {
      uint32_t back = 0;
      if (ns_GetIndexByTime(id, entity, t, flag, &back) == ns_OK) {
        Check(back < items, "an index from a time lies within the entity");
      }
    }
  }
  for (double t : {-1.0, 0.0, span / 2, span, span * 2}) {
    for (int32_t flag : {ns_BEFORE, ns_CLOSEST, ns_AFTER}) {
      uint32_t index = 0;
      ns_GetIndexByTime(id, entity, t, flag, &index);
    }
  }
}

void EventEntity(uint32_t id, uint32_t entity, uint32_t items) {
  ns_EVENTINFO info;
  if (ns_GetEventInfo(id, entity, &info, sizeof info) != ns_OK) return;
  const uint32_t size = std::min<uint32_t>(std::max<uint32_t>(info.dwMaxDataLength, 1), 1 << 16);
  std::vector<uint8_t> data(size);
  for (uint32_t index : Picks(items)) {
    double t = 0;
    uint32_t got = 0;
    if (ns_GetEventData(id, entity, index, &t, data.data(), size, &got) == ns_OK) {
      Check(got <= size, "event data fits the buffer it was given");
    }
  }
}

void AnalogEntity(uint32_t id, uint32_t entity, uint32_t items) {
  ns_ANALOGINFO info;
  if (ns_GetAnalogInfo(id, entity, &info, sizeof info) != ns_OK) return;
  std::vector<double> data(kAnalogPiece);
  std::vector<uint32_t> starts = Picks(items);
  for (uint32_t s = kAnalogPiece; s < items && s <= 8 * kAnalogPiece; s += kAnalogPiece) {
    starts.push_back(s);
  }
  for (uint32_t start : starts) {
    uint32_t cont = 0;
    if (ns_GetAnalogData(id, entity, start, kAnalogPiece, &cont, data.data()) == ns_OK) {
      Check(cont <= kAnalogPiece, "a contiguous count fits the piece asked for");
    }
  }
}

void SegmentEntity(uint32_t id, uint32_t entity, uint32_t items) {
  ns_SEGMENTINFO info;
  if (ns_GetSegmentInfo(id, entity, &info, sizeof info) != ns_OK) return;
  for (uint32_t s = 0; s < std::min<uint32_t>(info.dwSourceCount, 4) + 1; ++s) {
    ns_SEGSOURCEINFO source;
    ns_GetSegmentSourceInfo(id, entity, s, &source, sizeof source);
  }
  const uint64_t want = uint64_t{info.dwMaxSampleCount} * std::max<uint32_t>(info.dwSourceCount, 1);
  const uint32_t doubles =
      static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(want, 1), kMaxBufferDoubles));
  std::vector<double> data(doubles);
  for (uint32_t index : Picks(items)) {
    double t = 0;
    uint32_t samples = 0, unit = 0;
    if (ns_GetSegmentData(id, entity, index, &t, data.data(),
                          static_cast<uint32_t>(doubles * sizeof(double)), &samples,
                          &unit) == ns_OK) {
      Check(uint64_t{samples} * std::max<uint32_t>(info.dwSourceCount, 1) <= doubles,
            "segment samples fit the buffer they were given");
    }
  }
}

void NeuralEntity(uint32_t id, uint32_t entity, uint32_t items) {
  ns_NEURALINFO info;
  if (ns_GetNeuralInfo(id, entity, &info, sizeof info) != ns_OK) return;
  std::vector<double> data(kAnalogPiece);
  for (uint32_t start : Picks(items)) {
    const uint32_t count = std::min<uint32_t>(kAnalogPiece, items > start ? items - start : 1);
    ns_GetNeuralData(id, entity, start, count, data.data());
  }
}

void NsOpen(const uint8_t* data, size_t size, const char* path) {
  std::vector<Piece> image;
  DecodeImage(data, size, &image);
  testing_support::MemoryFiles files;
  files.PutView(path, image);
  platform::ScopedFileSystem scoped(&files);
  uint32_t id = 0;
  if (ns_OpenFile(path, &id) == ns_OK) {
    ns_FILEINFO fileInfo;
    if (ns_GetFileInfo(id, &fileInfo, sizeof fileInfo) == ns_OK) {
      const uint32_t entities = std::min(fileInfo.dwEntityCount, kMaxEntities);
      for (uint32_t e = 0; e <= entities; ++e) {
        ns_ENTITYINFO info;
        if (ns_GetEntityInfo(id, e, &info, sizeof info) != ns_OK) continue;
        Check(std::memchr(info.szEntityLabel, 0, sizeof info.szEntityLabel) != nullptr,
              "an entity label is terminated");
        switch (info.dwEntityType) {
          case ns_ENTITY_EVENT: EventEntity(id, e, info.dwItemCount); break;
          case ns_ENTITY_ANALOG: AnalogEntity(id, e, info.dwItemCount); break;
          case ns_ENTITY_SEGMENT: SegmentEntity(id, e, info.dwItemCount); break;
          case ns_ENTITY_NEURALEVENT: NeuralEntity(id, e, info.dwItemCount); break;
          default: break;
        }
        Conversions(id, e, info.dwItemCount, fileInfo.dTimeSpan);
      }
    }
    Check(ns_CloseFile(id) == ns_OK, "an open file closes");
  }
  char message[256];
  ns_GetLastErrorMsg(message, sizeof message);
  // The recording is reachable only through read-only handles that refuse
  // and count every write.
  Check(files.readOnlyWrites == 0, "nothing writes to a file opened read-only");
}

}  // namespace

void NsOpenOrfx(const uint8_t* data, size_t size) { NsOpen(data, size, "/fuzz/rec.orfx"); }
void NsOpenOrf(const uint8_t* data, size_t size) { NsOpen(data, size, "/fuzz/rec.orf"); }

}  // namespace nsv_fuzz
