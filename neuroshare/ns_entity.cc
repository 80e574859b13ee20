#include "neuroshare/ns_entity.h"

#include "filelib/kel64_types.h"
#include "neuroshare/ns_api.h"

namespace nsv {

uint32_t NsEntityType(uint32_t kind) {
  switch (kind) {
    case vslk64::Adc:
    case vslk64::RealWave:
      return ns_ENTITY_ANALOG;
    case vslk64::EventA:
    case vslk64::EventB:
    case vslk64::Level:
    case vslk64::Marker:
    case vslk64::RealMark:
    case vslk64::TextMark:
      return ns_ENTITY_EVENT;
    case vslk64::WaveMark:
      return ns_ENTITY_SEGMENT;
    case kNeuralUnit:
      return ns_ENTITY_NEURALEVENT;
    default:
      return ns_ENTITY_UNKNOWN;
  }
}

bool NsKindInClass(uint32_t kind, NsEntityClass cls) {
  switch (cls) {
    case NsEntityClass::kAny:
      return true;
    case NsEntityClass::kEvent:
      return NsEntityType(kind) == ns_ENTITY_EVENT;
    case NsEntityClass::kAnalog:
      return NsEntityType(kind) == ns_ENTITY_ANALOG;
    case NsEntityClass::kSegment:
      return NsEntityType(kind) == ns_ENTITY_SEGMENT;
    case NsEntityClass::kNeural:
      return NsEntityType(kind) == ns_ENTITY_NEURALEVENT;
  }
  return false;
}

}  // namespace nsv
