// The inspector's view of one recording, read entirely through the
// seventeen ns_ functions of a loaded library: the file information, a table
// of entities, an entity's first items in readable form, and a CSV dump of
// one entity for other tools.
#pragma once

#include <cstdint>
#include <cstdio>

#include "tools/ns_host.h"

namespace nsinfo {

struct InspectOptions {
  bool wholeTable = true;       // print the entity table
  int64_t entity = -1;          // the entity whose items to show; -1: a few of each
  uint32_t items = 5;           // items shown per entity
  bool csv = false;             // dump `entity` as CSV instead of the report
  // Keep the library's note of where a file that failed to open was found
  // damaged (its message ends in " (damaged: FILE:LINE: reason)"); without
  // it the message is cut before the note.
  bool verbose = false;
};

// Opens path, prints what the options ask for to out and closes it again.
// Returns 0 when everything was read, 1 when something failed (the failure,
// its result code and the library's last-error message are printed).
int InspectFile(const nshost::NsApi& api, const char* path, const InspectOptions& options,
                std::FILE* out);

}  // namespace nsinfo
