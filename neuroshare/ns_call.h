// The frame every exported ns_ function runs its body in: the one
// library-wide lock, and the boundary that keeps exceptions out of the host.
//
// The open-file table, the read cache and scratch buffer and the last-error
// message are shared by all callers, so each export holds the library lock
// for its whole run; a host may then call from several threads and see each
// call complete as if alone. It is the only lock of the Neuroshare layer and
// is taken before any lock of a file object. Used by every export and by the
// unload hook.
#pragma once

#include <cstdint>
#include <utility>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_errors.h"
#include "neuroshare/ns_file_table.h"
#include "neuroshare/ns_records.h"
#include "platform/locks.h"
#include "platform/no_destructor.h"

namespace nsv {

using platform::NoDestructor;

// The library-wide lock.
platform::Mutex& NsLibraryMutex();

// Runs body (returning ns_RESULT) under the library lock. An exception from
// below (an allocation failure) becomes ns_LIBERROR with its message for the
// operation name and handle, never an exception in the host.
template <typename Body>
ns_RESULT NsLockedCall(const char* name, uint32_t fileId, Body&& body) noexcept {
  try {
    platform::LockGuard lock(NsLibraryMutex());
    try {
      return body();
    } catch (...) {
      return NsReport(name, ns_LIBERROR, fileId, 0, 0);
    }
  } catch (...) {
    return ns_LIBERROR;  // the lock itself could not be taken
  }
}

// The body of an export that fills one info record of an entity: the host's
// area checked against the packed size (the smaller layout), then
// fill(file, entity, record) on the entity if it is of class cls, and the
// result reported with `detail` (the size, or the source asked for).
template <class Record, typename Fill>
ns_RESULT NsRecordCall(const char* name, uint32_t fileId, uint32_t entityId, NsEntityClass cls,
                       void* info, uint32_t size, uint32_t detail, Fill fill) noexcept {
  return NsLockedCall(name, fileId, [&]() -> ns_RESULT {
    TNsRecordWriter<Record> record(info, size);
    if (!NsCheckBuffer(name, info, size, record.kPackedSize)) return ns_LIBERROR;
    const auto op = [&](TNsFile& file, TNsEntity& entity) { return fill(file, entity, record); };
    const ns_RESULT result = NsOnEntity(fileId, entityId, cls, op);
    return NsReport(name, result, fileId, entityId, detail);
  });
}

}  // namespace nsv
