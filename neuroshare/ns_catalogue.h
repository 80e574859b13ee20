// Filling a TNsFile record from a newly opened file object: the file's
// comment, date, time base, application id and time span, and the catalogue
// of its entities. Called by ns_OpenFile between opening the file object and
// registering the record.
#pragma once

#include "neuroshare/ns_file.h"

namespace nsv {

// Fills record (whose file object is open) for the file at path. Returns 0 or
// a negative status; on failure the caller resets the record.
int FillFileRecord(const char* path, TNsFile& record);

}  // namespace nsv
