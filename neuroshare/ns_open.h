// Opening and closing recordings: the steps of ns_OpenFile after the file
// object exists, split out so that they can be driven with any CKel64File.
//
// ns_OpenFile tries the 32-bit format first for names ending in ".orf" (any
// case), then the 64-bit format; the file object that opened read-only is
// handed to NsAdoptFile, which fills the record, builds the entity catalogue
// and registers the record in the open-file table. Callers hold the library
// lock (ns_call.h).
#pragma once

#include <cstdint>
#include <memory>

#include "filelib/kel64_file.h"
#include "neuroshare/ns_api.h"
#include "neuroshare/ns_file.h"

namespace nsv {

// Whether path is first tried as the 32-bit format: longer than 4 characters
// and ending in ".orf", compared without regard to case.
bool NsIsOrfName(const char* path);

// Takes over an open file object: fills its record, requires at least one
// entity, and registers it. On any failure the file object is closed and
// destroyed and *fileId stays 0.
ns_RESULT NsAdoptFile(const char* path, std::unique_ptr<vslk64::CKel64File> file,
                      uint32_t* fileId);

// Registers a filled record and writes its handle to *fileId. When every slot
// is taken the record is reset (its file closed and destroyed), *fileId is
// left alone and the result is ns_LIBERROR with its own message.
ns_RESULT NsRegisterOpenedFile(TNsFile& record, uint32_t* fileId);

}  // namespace nsv
