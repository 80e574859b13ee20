#include "neuroshare/ns_open.h"

#include <strings.h>

#include <cstring>
#include <string>
#include <utility>

#include "filelib/corruption.h"
#include "neuroshare/ns_call.h"
#include "neuroshare/ns_catalogue.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_file_table.h"
#include "platform/file.h"

namespace nsv {
namespace {

// A new file object of the format that made it, opened read-only at path, or
// null when the format has no object to offer or does not accept the file.
// A failed open's message names the check that found the file damaged, when
// one did, so that a user's report of a file that will not open says where.
ns_RESULT WithDamage(ns_RESULT result) {
  const vslk64::TCorruption damage = vslk64::LastCorruption();
  if (damage.file != nullptr) {
    const std::string message = NsLastMessage();
    NsSetMessage("%s (damaged: %s:%d: %s)", message.c_str(), damage.file, damage.line,
                 damage.reason);
  }
  return result;
}

std::unique_ptr<vslk64::CKel64File> TryOpen(std::unique_ptr<vslk64::CKel64File> file,
                                            const char* path) {
  if (file && file->Open(path, vslk64::kOpenReadOnly, 0) != 0) file.reset();
  return file;
}

ns_RESULT OpenFile(const char* path, uint32_t* fileId) {
  if (fileId == nullptr) {
    NsSetMessage("OpenFile was given a null pointer for the file handle");
    return ns_LIBERROR;
  }
  *fileId = 0;
  if (path == nullptr) return NsReport(kOpOpenFile, ns_FILEERROR, 0, 0, 0);

  vslk64::ClearCorruption();
  std::unique_ptr<vslk64::CKel64File> file;
  if (path[0] != '\0') {
    if (NsIsOrfName(path)) file = TryOpen(vslk64::NewKel32File(), path);
    // Every name is tried as the newer format, so a newer file named ".orf"
    // still opens.
    if (!file) file = TryOpen(vslk64::NewKel64File(), path);
  }
  if (!file) {
    const bool exists = path[0] != '\0' && platform::Files().Exists(path);
    return WithDamage(NsReport(path, exists ? ns_TYPEERROR : ns_FILEERROR, 0, 0, 0));
  }
  return NsAdoptFile(path, std::move(file), fileId);
}

}  // namespace

bool NsIsOrfName(const char* path) {
  const size_t n = std::strlen(path);
  return n > 4 && strcasecmp(path + n - 4, ".orf") == 0;
}

ns_RESULT NsAdoptFile(const char* path, std::unique_ptr<vslk64::CKel64File> file,
                      uint32_t* fileId) {
  TNsFile record;
  record.file = std::move(file);
  vslk64::ClearCorruption();
  // A file without a single used channel has nothing to offer a host.
  if (FillFileRecord(path, record) < 0 || record.entities.empty()) {
    NsResetFile(record);
    return WithDamage(NsReport(kOpOpenFile, ns_FILEERROR, 0, 0, 0));
  }
  return NsRegisterOpenedFile(record, fileId);
}

ns_RESULT NsRegisterOpenedFile(TNsFile& record, uint32_t* fileId) {
  const uint32_t handle = NsRegisterFile(record);
  if (handle == 0) {
    // Nothing may stay open that no handle reaches.
    NsResetFile(record);
    NsSetMessage("Too many open files (limit %u) in function OpenFile", kNsMaxFiles);
    return ns_LIBERROR;
  }
  *fileId = handle;
  return NsReport(kOpOpenFile, ns_OK, handle, 0, 0);
}

}  // namespace nsv

using namespace nsv;

ns_RESULT NS_CALL ns_OpenFile(const char* path, uint32_t* fileId) {
  return NsLockedCall(kOpOpenFile, 0, [&] { return OpenFile(path, fileId); });
}

ns_RESULT NS_CALL ns_CloseFile(uint32_t fileId) {
  return NsLockedCall(kOpCloseFile, fileId, [&] {
    TNsFile* record = NsFindFile(fileId);
    ns_RESULT result = ns_BADFILE;
    // The slot is freed whatever Close reports.
    if (record) result = NsResetFile(*record) == 0 ? ns_OK : ns_FILEERROR;
    return NsReport(kOpCloseFile, result, fileId, 0, 0);
  });
}
