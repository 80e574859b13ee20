#include "neuroshare/ns_file.h"

#include <cstring>

#include "neuroshare/ns_read_cache.h"

namespace nsv {

int NsResetFile(TNsFile& record) {
  int closed = 0;
  if (record.file) {
    // The cache must not outlive the file object it names.
    NsDropReadCacheOf(record.file.get());
    closed = record.file->Close();
    record.file.reset();
  }
  record.secsPerTick = 0.0;
  std::memset(record.comment, 0, sizeof record.comment);
  record.timeDate = {};
  record.appId = {};
  record.timeSpan = 0.0;
  record.spanTicks = 0;
  // Release the list itself too: a slot that keeps its capacity would hold
  // memory the library can never free once it is unloaded.
  std::vector<std::unique_ptr<TNsEntity>>().swap(record.entities);
  return closed;
}

}  // namespace nsv
