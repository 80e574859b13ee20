// The file-level exports: the description of an open file and of each of its
// entities.
#include "neuroshare/ns_api.h"
#include "neuroshare/ns_call.h"
#include "neuroshare/ns_info_records.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_file_table.h"
#include "neuroshare/ns_records.h"

using namespace nsv;

ns_RESULT NS_CALL ns_GetFileInfo(uint32_t fileId, ns_FILEINFO* info, uint32_t size) {
  return NsLockedCall(kOpGetFileInfo, fileId, [&]() -> ns_RESULT {
    TNsRecordWriter<NsFileInfoRecord> record(info, size);
    if (!NsCheckBuffer(kOpGetFileInfo, info, size, record.kPackedSize)) return ns_LIBERROR;
    const TNsFile* file = NsFindFile(fileId);
    const ns_RESULT result = file ? NsFileInfo(*file, record) : ns_BADFILE;
    return NsReport(kOpGetFileInfo, result, fileId, 0, 0);
  });
}

ns_RESULT NS_CALL ns_GetEntityInfo(uint32_t fileId, uint32_t entityId, ns_ENTITYINFO* info,
                                   uint32_t size) {
  return NsLockedCall(kOpGetEntityInfo, fileId, [&]() -> ns_RESULT {
    if (!NsCheckBuffer(kOpGetEntityInfo, info, size, sizeof(ns_ENTITYINFO))) return ns_LIBERROR;
    const auto op = [&](TNsFile& file, TNsEntity& entity) {
      return NsEntityInfo(file, entity, info);
    };
    const ns_RESULT result = NsOnEntity(fileId, entityId, NsEntityClass::kAny, op);
    return NsReport(kOpGetEntityInfo, result, fileId, entityId, size);
  });
}
