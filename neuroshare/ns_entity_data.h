// Reading entity data for the exports, and the conversions between index
// and time, once the checks common to all exports have passed
// (ns_event_exports.cc, ns_analog_exports.cc). The exports report the result
// through NsReport. Callers hold the library lock (ns_call.h).
#pragma once

#include <cstdint>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_entity.h"
#include "neuroshare/ns_file.h"

namespace nsv {

ns_RESULT NsEventData(TNsFile& file, TNsEntity& entity, uint32_t index, double* timeStamp,
                      void* data, uint32_t dataSize, uint32_t* dataRetSize);
ns_RESULT NsSegmentData(TNsFile& file, TNsEntity& entity, uint32_t index, double* timeStamp,
                        double* data, uint32_t dataBufferSize, uint32_t* sampleCount,
                        uint32_t* unitId);
ns_RESULT NsNeuralData(TNsFile& file, TNsEntity& entity, uint32_t startIndex,
                       uint32_t indexCount, double* data);
ns_RESULT NsAnalogData(TNsFile& file, TNsEntity& entity, uint32_t startIndex,
                       uint32_t indexCount, uint32_t* contCount, double* data);
ns_RESULT NsTimeByIndex(TNsFile& file, TNsEntity& entity, uint32_t index, double* time);
ns_RESULT NsIndexByTime(TNsFile& file, TNsEntity& entity, double time, int32_t flag,
                        uint32_t* index);

}  // namespace nsv
