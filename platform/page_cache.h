// The system's page cache as benchmarks of cold reads need it: drop a
// file's cached pages, and count how much of a file is cached (what the
// system actually read, read-ahead included). Not used by the library.
#pragma once

#include <cstdint>

namespace platform {

// Asks the system to drop the file's cached pages; false when it cannot.
bool DropCachedPages(const char* path);

// Bytes of the file in the page cache now; -1 when that cannot be told.
int64_t CachedBytes(const char* path);

}  // namespace platform
