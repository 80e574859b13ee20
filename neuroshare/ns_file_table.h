// The table of open files: a fixed array of kNsMaxFiles TNsFile slots that
// lives as long as the loaded library, and the lookups every export makes
// through it.
//
// The handle of slot i (0-based) is i + 1, so valid handles are 1 to
// kNsMaxFiles; 0 is never a valid handle and is what a failed open hands
// back. A slot is free while its file pointer is null. Callers hold the
// library lock (ns_call.h).
#pragma once

#include <cstdint>

#include "neuroshare/ns_api.h"
#include "neuroshare/ns_entity.h"
#include "neuroshare/ns_file.h"

namespace nsv {

constexpr uint32_t kNsMaxFiles = 64;

// The record of an open handle, or null for 0, a handle above kNsMaxFiles or
// a free slot.
TNsFile* NsFindFile(uint32_t fileId);

// Moves a filled record into the lowest free slot and returns its handle; the
// slot then owns the file object and the entities. Returns 0, leaving the
// record untouched, when every slot is taken.
uint32_t NsRegisterFile(TNsFile& record);

// Closes and destroys every open file and frees its slot (library unload).
void NsCloseAllFiles();

// The entity entityId of file when it exists and belongs to cls, else null.
TNsEntity* NsFindEntity(TNsFile& file, uint32_t entityId, NsEntityClass cls);

// The lookups an entity call starts with: the handle (ns_BADFILE when it is
// not open), then the entity ID and its class (ns_BADENTITY). On ns_OK both
// pointers are set.
ns_RESULT NsLookupEntity(uint32_t fileId, uint32_t entityId, NsEntityClass cls, TNsFile** file,
                         TNsEntity** entity);

// NsLookupEntity, then op(file, entity) when it found both; the lookup's
// failure otherwise.
template <typename Op>
ns_RESULT NsOnEntity(uint32_t fileId, uint32_t entityId, NsEntityClass cls, Op op) {
  TNsFile* file;
  TNsEntity* entity;
  const ns_RESULT result = NsLookupEntity(fileId, entityId, cls, &file, &entity);
  return result == ns_OK ? op(*file, *entity) : result;
}

}  // namespace nsv
