// TNsEntity: one Neuroshare entity of an open file, and the classes the
// exports look entities up by.
//
// An entity stands for one used channel of the file, or for one unit code
// seen on a WaveMark channel (kind kNeuralUnit). Entities are made once, when
// the file is opened (ns_catalogue.h), are owned by the file's TNsFile record
// and never change afterwards. Used by the open-file table and every export
// that takes an entity ID.
#pragma once

#include <cstdint>

namespace nsv {

// The kind of an entity that stands for one unit code of a WaveMark channel;
// channel kinds (vslk64::TDataKind) stop at 9.
constexpr uint32_t kNeuralUnit = 10;

struct TNsEntity {
  uint32_t kind = 0;  // the channel's TDataKind, or kNeuralUnit
  uint32_t id = 0;    // the entity ID: its position in the file's entity list
};

// What an export accepts: any entity, or only those of one Neuroshare type.
enum class NsEntityClass { kAny, kEvent, kAnalog, kSegment, kNeural };

// The Neuroshare entity type (ns_ENTITY_*) of an entity kind.
uint32_t NsEntityType(uint32_t kind);

// Whether an entity of this kind may be passed to calls of the class.
bool NsKindInClass(uint32_t kind, NsEntityClass cls);

}  // namespace nsv
