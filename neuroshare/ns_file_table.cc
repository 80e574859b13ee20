#include "neuroshare/ns_file_table.h"

#include <array>
#include <utility>

#include "neuroshare/ns_call.h"

namespace nsv {
namespace {

using Table = std::array<TNsFile, kNsMaxFiles>;

// Never destroyed: the unload hook empties it (NsCloseAllFiles) and may run
// after ordinary static objects are gone.
Table& Slots() {
  static NoDestructor<Table> table;
  return table.get();
}

}  // namespace

TNsFile* NsFindFile(uint32_t fileId) {
  if (fileId < 1 || fileId > kNsMaxFiles) return nullptr;
  TNsFile& slot = Slots()[fileId - 1];
  return slot.file ? &slot : nullptr;
}

uint32_t NsRegisterFile(TNsFile& record) {
  Table& slots = Slots();
  for (uint32_t i = 0; i < kNsMaxFiles; ++i) {
    if (!slots[i].file) {
      slots[i] = std::move(record);
      NsResetFile(record);  // nothing left to close; clears the moved-from fields
      return i + 1;
    }
  }
  return 0;
}

void NsCloseAllFiles() {
  for (TNsFile& slot : Slots()) {
    if (slot.file) NsResetFile(slot);
  }
}

TNsEntity* NsFindEntity(TNsFile& file, uint32_t entityId, NsEntityClass cls) {
  if (entityId >= file.entities.size()) return nullptr;
  TNsEntity* entity = file.entities[entityId].get();
  return NsKindInClass(entity->kind, cls) ? entity : nullptr;
}

ns_RESULT NsLookupEntity(uint32_t fileId, uint32_t entityId, NsEntityClass cls, TNsFile** file,
                         TNsEntity** entity) {
  *file = NsFindFile(fileId);
  *entity = nullptr;
  if (*file == nullptr) return ns_BADFILE;
  *entity = NsFindEntity(**file, entityId, cls);
  return *entity ? ns_OK : ns_BADENTITY;
}

}  // namespace nsv
