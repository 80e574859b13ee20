// The exports of the analog (waveform) entities and the two conversions
// between item index and time that work on every entity.
#include <cmath>
#include <cstdint>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_call.h"
#include "neuroshare/ns_entity_data.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_file_table.h"
#include "neuroshare/ns_info_records.h"
#include "neuroshare/ns_records.h"

namespace nsv {
namespace {

// A time in seconds as the messages show it: cut toward zero to a whole
// number and taken as an unsigned 32-bit value (so -1.5 shows as 4294967295).
// Times beyond any 64-bit count and not-a-number are pinned first, so the
// conversion is always defined.
uint32_t TimeForMessage(double seconds) {
  if (std::isnan(seconds)) return 0;
  const double whole = std::trunc(seconds);
  if (whole <= -9.2e18) return static_cast<uint32_t>(INT64_MIN);
  if (whole >= 9.2e18) return static_cast<uint32_t>(INT64_MAX);
  return static_cast<uint32_t>(static_cast<int64_t>(whole));
}

}  // namespace
}  // namespace nsv

using namespace nsv;

ns_RESULT NS_CALL ns_GetAnalogInfo(uint32_t fileId, uint32_t entityId, ns_ANALOGINFO* info,
                                   uint32_t size) {
  const auto fill = [&](TNsFile& file, TNsEntity& entity, auto& record) {
    return NsAnalogInfo(file, entity, record);
  };
  return NsRecordCall<NsAnalogInfoRecord>(kOpGetAnalogInfo, fileId, entityId,
                                          NsEntityClass::kAnalog, info, size, size, fill);
}

ns_RESULT NS_CALL ns_GetAnalogData(uint32_t fileId, uint32_t entityId, uint32_t startIndex,
                                   uint32_t indexCount, uint32_t* contCount, double* data) {
  return NsLockedCall(kOpGetAnalogData, fileId, [&]() -> ns_RESULT {
    // Counted in 64 bits, so a count too large for any buffer cannot wrap
    // into a small one. A count of 0 is refused as a zero-size area.
    const uint64_t bytes = uint64_t{indexCount} * sizeof(double);
    if (!NsCheckBuffer(kOpGetAnalogData, data, bytes, 0)) return ns_LIBERROR;
    const auto op = [&](TNsFile& file, TNsEntity& entity) {
      return NsAnalogData(file, entity, startIndex, indexCount, contCount, data);
    };
    const ns_RESULT result = NsOnEntity(fileId, entityId, NsEntityClass::kAnalog, op);
    return NsReport(kOpGetAnalogData, result, fileId, entityId, startIndex);
  });
}

ns_RESULT NS_CALL ns_GetTimeByIndex(uint32_t fileId, uint32_t entityId, uint32_t index,
                                    double* time) {
  return NsLockedCall(kOpGetTimeByIndex, fileId, [&]() -> ns_RESULT {
    const auto op = [&](TNsFile& file, TNsEntity& entity) {
      return NsTimeByIndex(file, entity, index, time);
    };
    const ns_RESULT result = NsOnEntity(fileId, entityId, NsEntityClass::kAny, op);
    return NsReport(kOpGetTimeByIndex, result, fileId, entityId, index);
  });
}

ns_RESULT NS_CALL ns_GetIndexByTime(uint32_t fileId, uint32_t entityId, double time, int32_t flag,
                                    uint32_t* index) {
  return NsLockedCall(kOpGetIndexByTime, fileId, [&]() -> ns_RESULT {
    const auto op = [&](TNsFile& file, TNsEntity& entity) {
      return NsIndexByTime(file, entity, time, flag, index);
    };
    const ns_RESULT result = NsOnEntity(fileId, entityId, NsEntityClass::kAny, op);
    return NsReport(kOpGetIndexByTime, result, fileId, entityId, TimeForMessage(time));
  });
}
