// TNsFile: the Neuroshare layer's record of one open recording, owning its
// file object and its entity catalogue.
//
// A record is filled outside the table while a file is being opened
// (ns_catalogue.h) and then moved into a slot of the open-file table
// (ns_file_table.h), which owns it until the file is closed or the library
// unloads. An open slot's record does not change until the slot is freed.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "filelib/kel64_file.h"
#include "filelib/kel64_types.h"
#include "neuroshare/ns_entity.h"

namespace nsv {

constexpr uint32_t kNsCommentBytes = 256;

struct TNsFile {
  std::unique_ptr<vslk64::CKel64File> file;  // null marks a free slot
  double secsPerTick = 0.0;                  // seconds per clock tick of the file
  char comment[kNsCommentBytes] = {};        // file comment 0 without trailing spaces,
                                             // or the conversion text when it is empty
  vslk64::TTimeDate timeDate = {};           // recording date and time
  vslk64::TAppID appId = {};                 // the creating application
  double timeSpan = 0.0;                     // time of the last item, in seconds
  vslk64::TSTime64 spanTicks = 0;            // the same in ticks
  // The entity catalogue; an entity ID is the position in this list.
  std::vector<std::unique_ptr<TNsEntity>> entities;
};

// Returns the record to its empty state: calls Close on the file object if
// there is one, destroys it and every entity, and zeroes the other fields.
// The result is what Close returned (0 when there was no file object).
int NsResetFile(TNsFile& record);

}  // namespace nsv
