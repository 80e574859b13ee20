#include "neuroshare/ns_entity_work.h"

namespace nsv {

// The catalogue does not build entities yet, so the lookup of every export
// refuses each entity ID and none of these is reached; each answers as that
// lookup does until its entity work is in place.

ns_RESULT NsEntityInfo(TNsFile&, TNsEntity&, ns_ENTITYINFO*) { return ns_BADENTITY; }

ns_RESULT NsEventInfo(TNsFile&, TNsEntity&, ns_EVENTINFO*) { return ns_BADENTITY; }

ns_RESULT NsEventData(TNsFile&, TNsEntity&, uint32_t, double*, void*, uint32_t, uint32_t*) {
  return ns_BADENTITY;
}

ns_RESULT NsSegmentInfo(TNsFile&, TNsEntity&, ns_SEGMENTINFO*) { return ns_BADENTITY; }

ns_RESULT NsSegmentSourceInfo(TNsFile&, TNsEntity&, uint32_t, ns_SEGSOURCEINFO*) {
  return ns_BADENTITY;
}

ns_RESULT NsSegmentData(TNsFile&, TNsEntity&, uint32_t, double*, double*, uint32_t, uint32_t*,
                        uint32_t*) {
  return ns_BADENTITY;
}

ns_RESULT NsNeuralInfo(TNsFile&, TNsEntity&, ns_NEURALINFO*) { return ns_BADENTITY; }

ns_RESULT NsNeuralData(TNsFile&, TNsEntity&, uint32_t, uint32_t, double*) {
  return ns_BADENTITY;
}

ns_RESULT NsAnalogInfo(TNsFile&, TNsEntity&, ns_ANALOGINFO*) { return ns_BADENTITY; }

ns_RESULT NsAnalogData(TNsFile&, TNsEntity&, uint32_t, uint32_t, uint32_t*, double*) {
  return ns_BADENTITY;
}

ns_RESULT NsTimeByIndex(TNsFile&, TNsEntity&, uint32_t, double*) { return ns_BADENTITY; }

ns_RESULT NsIndexByTime(TNsFile&, TNsEntity&, double, int32_t, uint32_t*) {
  return ns_BADENTITY;
}

}  // namespace nsv
