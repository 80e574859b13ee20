#include <cstring>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_call.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_file_table.h"

namespace nsv {
namespace {

// Copies text into a fixed field of size bytes, cut to fit and zero-padded.
void CopyField(char* field, size_t size, const char* text) {
  std::strncpy(field, text, size - 1);
  field[size - 1] = '\0';
}

// The macintosh type codes fill their field exactly and carry no terminator.
void CopyMacCodes(char (&field)[8], const char (&codes)[9]) { std::memcpy(field, codes, 8); }

void FillFileDesc(ns_FILEDESC& desc, const char* description, const char* extension,
                  const char (&macCodes)[9]) {
  CopyField(desc.szDescription, sizeof desc.szDescription, description);
  CopyField(desc.szExtension, sizeof desc.szExtension, extension);
  CopyMacCodes(desc.szMacCodes, macCodes);
  CopyField(desc.szMagicCode, sizeof desc.szMagicCode, "");
}

// Writes the library's fields and nothing else: the host's FileDesc entries
// beyond the two we describe keep whatever the host put there.
void FillLibraryInfo(ns_LIBRARYINFO& info) {
  info.dwLibVersionMaj = 2;
  info.dwLibVersionMin = 0;
  info.dwAPIVersionMaj = 1;
  info.dwAPIVersionMin = 3;
  CopyField(info.szDescription, sizeof info.szDescription, "Library for Ondrix data");
  CopyField(info.szCreator, sizeof info.szCreator, "Varsel Ltd");
  info.dwTime_Year = 2016;
  info.dwTime_Month = 3;
  info.dwTime_Day = 8;
  info.dwFlags = 0;
  info.dwMaxFiles = kNsMaxFiles;
  info.dwFileDescCount = 2;
  FillFileDesc(info.FileDesc[0], "Ondrix ORFX file", "orfx", "ONDXORFX");
  FillFileDesc(info.FileDesc[1], "Ondrix ORF file", "orf", "ONDXKEL ");
}

}  // namespace
}  // namespace nsv

using namespace nsv;

ns_RESULT NS_CALL ns_GetLibraryInfo(ns_LIBRARYINFO* info, uint32_t size) {
  return NsLockedCall(kOpGetLibraryInfo, 0, [&]() -> ns_RESULT {
    if (!NsCheckBuffer(kOpGetLibraryInfo, info, size, sizeof(ns_LIBRARYINFO))) {
      return ns_LIBERROR;
    }
    FillLibraryInfo(*info);
    return ns_OK;
  });
}
