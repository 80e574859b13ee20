// The exports of the item-based entities: events, segments (short waveform
// traces attached to markers) and neural units.
#include "neuroshare/ns_api.h"
#include "neuroshare/ns_call.h"
#include "neuroshare/ns_entity_data.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_file_table.h"
#include "neuroshare/ns_info_records.h"
#include "neuroshare/ns_records.h"

using namespace nsv;

ns_RESULT NS_CALL ns_GetEventInfo(uint32_t fileId, uint32_t entityId, ns_EVENTINFO* info,
                                  uint32_t size) {
  return NsLockedCall(kOpGetEventInfo, fileId, [&]() -> ns_RESULT {
    if (!NsCheckBuffer(kOpGetEventInfo, info, size, sizeof(ns_EVENTINFO))) return ns_LIBERROR;
    const auto op = [&](TNsFile& file, TNsEntity& entity) {
      return NsEventInfo(file, entity, info);
    };
    const ns_RESULT result = NsOnEntity(fileId, entityId, NsEntityClass::kEvent, op);
    return NsReport(kOpGetEventInfo, result, fileId, entityId, size);
  });
}

ns_RESULT NS_CALL ns_GetEventData(uint32_t fileId, uint32_t entityId, uint32_t index,
                                  double* timeStamp, void* data, uint32_t dataSize,
                                  uint32_t* dataRetSize) {
  return NsLockedCall(kOpGetEventData, fileId, [&]() -> ns_RESULT {
    // A host may ask for the time alone, with no data area.
    if (data != nullptr && dataSize != 0 && !NsCheckBuffer(kOpGetEventData, data, dataSize, 0)) {
      return ns_LIBERROR;
    }
    const auto op = [&](TNsFile& file, TNsEntity& entity) {
      return NsEventData(file, entity, index, timeStamp, data, dataSize, dataRetSize);
    };
    const ns_RESULT result = NsOnEntity(fileId, entityId, NsEntityClass::kEvent, op);
    return NsReport(kOpGetEventData, result, fileId, entityId, index);
  });
}

ns_RESULT NS_CALL ns_GetSegmentInfo(uint32_t fileId, uint32_t entityId, ns_SEGMENTINFO* info,
                                    uint32_t size) {
  const auto fill = [&](TNsFile& file, TNsEntity& entity, auto& record) {
    return NsSegmentInfo(file, entity, record);
  };
  return NsRecordCall<NsSegmentInfoRecord>(kOpGetSegmentInfo, fileId, entityId,
                                           NsEntityClass::kSegment, info, size, size, fill);
}

ns_RESULT NS_CALL ns_GetSegmentSourceInfo(uint32_t fileId, uint32_t entityId, uint32_t sourceId,
                                          ns_SEGSOURCEINFO* info, uint32_t size) {
  const auto fill = [&](TNsFile& file, TNsEntity& entity, auto& record) {
    return NsSegmentSourceInfo(file, entity, sourceId, record);
  };
  return NsRecordCall<NsSegSourceInfoRecord>(kOpGetSegmentSourceInfo, fileId, entityId,
                                             NsEntityClass::kSegment, info, size, sourceId, fill);
}

ns_RESULT NS_CALL ns_GetSegmentData(uint32_t fileId, uint32_t entityId, uint32_t index,
                                    double* timeStamp, double* data, uint32_t dataBufferSize,
                                    uint32_t* sampleCount, uint32_t* unitId) {
  return NsLockedCall(kOpGetSegmentData, fileId, [&]() -> ns_RESULT {
    if (data != nullptr && dataBufferSize != 0 &&
        !NsCheckBuffer(kOpGetSegmentData, data, dataBufferSize, 0)) {
      return ns_LIBERROR;
    }
    const auto op = [&](TNsFile& file, TNsEntity& entity) {
      return NsSegmentData(file, entity, index, timeStamp, data, dataBufferSize, sampleCount,
                           unitId);
    };
    const ns_RESULT result = NsOnEntity(fileId, entityId, NsEntityClass::kSegment, op);
    return NsReport(kOpGetSegmentData, result, fileId, entityId, index);
  });
}

ns_RESULT NS_CALL ns_GetNeuralInfo(uint32_t fileId, uint32_t entityId, ns_NEURALINFO* info,
                                   uint32_t size) {
  return NsLockedCall(kOpGetNeuralInfo, fileId, [&]() -> ns_RESULT {
    if (!NsCheckBuffer(kOpGetNeuralInfo, info, size, sizeof(ns_NEURALINFO))) return ns_LIBERROR;
    const auto op = [&](TNsFile& file, TNsEntity& entity) {
      return NsNeuralInfo(file, entity, info);
    };
    const ns_RESULT result = NsOnEntity(fileId, entityId, NsEntityClass::kNeural, op);
    return NsReport(kOpGetNeuralInfo, result, fileId, entityId, 0);
  });
}

ns_RESULT NS_CALL ns_GetNeuralData(uint32_t fileId, uint32_t entityId, uint32_t startIndex,
                                   uint32_t indexCount, double* data) {
  return NsLockedCall(kOpGetNeuralData, fileId, [&]() -> ns_RESULT {
    // Counted in 64 bits, so a count too large for any buffer cannot wrap
    // into a small one.
    const uint64_t bytes = uint64_t{indexCount} * sizeof(double);
    if (!NsCheckBuffer(kOpGetNeuralData, data, bytes, 0)) return ns_LIBERROR;
    const auto op = [&](TNsFile& file, TNsEntity& entity) {
      return NsNeuralData(file, entity, startIndex, indexCount, data);
    };
    const ns_RESULT result = NsOnEntity(fileId, entityId, NsEntityClass::kNeural, op);
    return NsReport(kOpGetNeuralData, result, fileId, entityId, startIndex);
  });
}
