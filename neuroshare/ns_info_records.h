// The description records of the exports, once their result area, their
// handle and their entity have passed the checks common to all of them
// (ns_file_exports.cc, ns_event_exports.cc, ns_analog_exports.cc): of the
// file, of each entity, and by entity type. The exports report the result
// through NsReport. Callers hold the library lock (ns_call.h).
//
// The four records whose layout depends on how the host packs its structs
// are written through a TNsRecordWriter (ns_records.h), which the export
// sets up from the record size the host passed.
#pragma once

#include <cstdint>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_entity.h"
#include "neuroshare/ns_file.h"
#include "neuroshare/ns_records.h"

namespace nsv {

ns_RESULT NsFileInfo(const TNsFile& file, TNsRecordWriter<NsFileInfoRecord>& info);
ns_RESULT NsEntityInfo(TNsFile& file, TNsEntity& entity, ns_ENTITYINFO* info);
ns_RESULT NsEventInfo(TNsFile& file, TNsEntity& entity, ns_EVENTINFO* info);
ns_RESULT NsSegmentInfo(TNsFile& file, TNsEntity& entity,
                        TNsRecordWriter<NsSegmentInfoRecord>& info);
ns_RESULT NsSegmentSourceInfo(TNsFile& file, TNsEntity& entity, uint32_t sourceId,
                              TNsRecordWriter<NsSegSourceInfoRecord>& info);
ns_RESULT NsNeuralInfo(TNsFile& file, TNsEntity& entity, ns_NEURALINFO* info);
ns_RESULT NsAnalogInfo(TNsFile& file, TNsEntity& entity,
                       TNsRecordWriter<NsAnalogInfoRecord>& info);

}  // namespace nsv
