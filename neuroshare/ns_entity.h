// TNsEntity: one Neuroshare entity of an open file, with the chunk index of
// its items, and the classes the exports look entities up by.
//
// An entity stands for one used channel of the file, or for one unit code
// seen on a WaveMark channel (kind kNeuralUnit). Entities are made once, when
// the file is opened (ns_catalogue.h), are owned by the file's TNsFile record
// and never change afterwards. Used by the open-file table, the index
// conversions (ns_index.h) and every export that takes an entity ID.
#pragma once

#include <cstdint>
#include <vector>

#include "filelib/kel64_types.h"
#include "filelib/mark_filter.h"

namespace nsv {

// The kind of an entity that stands for one unit code of a WaveMark channel;
// channel kinds (vslk64::TDataKind) stop at 9.
constexpr uint32_t kNeuralUnit = 10;

// Sizes of the entity's text fields, as the Neuroshare records take them.
constexpr int kNsTitleBytes = 32;
constexpr int kNsUnitsBytes = 16;
constexpr int kNsChanCommentBytes = 128;

// The items one read made while the file was scanned at open: a run of
// samples without a gap (waveforms) or up to a read's worth of items. The
// chunks of an entity are in time order, do not overlap, and their
// firstIndex values follow each other without holes from 0.
struct TNsChunk {
  vslk64::TSTime64 firstTime = 0;  // tick time of the first item
  vslk64::TSTime64 lastTime = 0;   // tick time of the last item
  uint32_t firstIndex = 0;         // entity index of the first item
  uint32_t count = 0;              // number of items

  bool operator==(const TNsChunk& o) const {
    return firstTime == o.firstTime && lastTime == o.lastTime && firstIndex == o.firstIndex &&
           count == o.count;
  }
};

struct TNsEntity {
  uint32_t kind = 0;  // the channel's TDataKind, or kNeuralUnit
  uint32_t id = 0;    // the entity ID: its position in the file's entity list
  uint16_t chan = 0;  // channel number in the file
  char title[kNsTitleBytes] = {};
  char units[kNsUnitsBytes] = {};
  uint32_t rows = 0;  // extended markers: points per trace, values or characters
  uint32_t cols = 1;  // WaveMark: traces per item; 1 otherwise
  uint32_t itemSize = 0;           // bytes per item as the file reports it
  int64_t divide = 1;              // ticks per sample, at least 1
  double resolution = 1.0;         // value of one 16-bit step (kinds 1, 6, 9)
  double offset = 0.0;             // value of the 16-bit sample 0 (kinds 1, 6, 9)
  char comment[kNsChanCommentBytes] = {};
  double yLow = 0.0;               // suggested display range
  double yHigh = 0.0;
  uint32_t itemCount = 0;          // items found by the scan at open
  uint32_t codeCount[256] = {};    // WaveMark: how often each code value occurs
  uint32_t sourceEntity = 0;       // NeuralUnit: ID of its WaveMark entity
  uint32_t unitCode = 0;           // NeuralUnit: the code value it stands for
  vslk64::CMarkFilter filter;      // passed to every read of the entity
  std::vector<TNsChunk> chunks;    // the chunk index
};

// Waveform entities index samples (times follow from a chunk's first time
// and the divide); all others index items whose times are read.
inline bool NsIsWaveKind(uint32_t kind) { return kind == vslk64::Adc || kind == vslk64::RealWave; }

// What an export accepts: any entity, or only those of one Neuroshare type.
enum class NsEntityClass { kAny, kEvent, kAnalog, kSegment, kNeural };

// The Neuroshare entity type (ns_ENTITY_*) of an entity kind.
uint32_t NsEntityType(uint32_t kind);

// Whether an entity of this kind may be passed to calls of the class.
bool NsKindInClass(uint32_t kind, NsEntityClass cls);

}  // namespace nsv
