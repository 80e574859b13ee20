// The file-level exports: the description of an open file and of each of its
// entities.
#include <cstring>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_call.h"
#include "neuroshare/ns_entity_work.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_file_table.h"

namespace nsv {
namespace {

void FillFileInfo(const TNsFile& file, ns_FILEINFO& info) {
  std::memset(&info, 0, sizeof info);
  std::strncpy(info.szFileType, "Ondrix data", sizeof info.szFileType - 1);
  info.dwEntityCount = static_cast<uint32_t>(file.entities.size());
  info.dTimeStampResolution = file.secsPerTick;
  info.dTimeSpan = file.timeSpan;
  // The application id is eight characters without a terminator.
  std::memcpy(info.szAppName, file.appId.chID, sizeof file.appId.chID);
  const vslk64::TTimeDate& td = file.timeDate;
  info.dwTime_Year = td.year;
  info.dwTime_Month = td.mon;
  info.dwTime_DayofWeek = 0;
  info.dwTime_Day = td.day;
  info.dwTime_Hour = td.hour;
  info.dwTime_Min = td.min;
  info.dwTime_Sec = td.sec;
  info.dwTime_MilliSec = td.hun * 10u;
  std::memcpy(info.szFileComment, file.comment, sizeof info.szFileComment);
  info.szFileComment[sizeof info.szFileComment - 1] = '\0';
}

}  // namespace
}  // namespace nsv

using namespace nsv;

ns_RESULT NS_CALL ns_GetFileInfo(uint32_t fileId, ns_FILEINFO* info, uint32_t size) {
  return NsLockedCall(kOpGetFileInfo, fileId, [&]() -> ns_RESULT {
    if (!NsCheckBuffer(kOpGetFileInfo, info, size, sizeof(ns_FILEINFO))) return ns_LIBERROR;
    const TNsFile* file = NsFindFile(fileId);
    ns_RESULT result = ns_BADFILE;
    if (file) {
      FillFileInfo(*file, *info);
      result = ns_OK;
    }
    return NsReport(kOpGetFileInfo, result, fileId, 0, 0);
  });
}

ns_RESULT NS_CALL ns_GetEntityInfo(uint32_t fileId, uint32_t entityId, ns_ENTITYINFO* info,
                                   uint32_t size) {
  return NsLockedCall(kOpGetEntityInfo, fileId, [&]() -> ns_RESULT {
    if (!NsCheckBuffer(kOpGetEntityInfo, info, size, sizeof(ns_ENTITYINFO))) return ns_LIBERROR;
    TNsFile* file;
    TNsEntity* entity;
    ns_RESULT result = NsLookupEntity(fileId, entityId, NsEntityClass::kAny, &file, &entity);
    if (result == ns_OK) result = NsEntityInfo(*file, *entity, info);
    return NsReport(kOpGetEntityInfo, result, fileId, entityId, size);
  });
}
