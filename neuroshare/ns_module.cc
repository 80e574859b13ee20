// The load and unload hook of the shared library, the counterpart of a
// Windows library's DllMain. Linked into the shared library only: nothing
// else refers to this file, so programs linking the static library do not
// pick it up.
#include "neuroshare/ns_call.h"
#include "neuroshare/ns_file_table.h"
#include "neuroshare/ns_format_libraries.h"
#include "neuroshare/ns_read_cache.h"
#include "platform/locks.h"
#include "platform/module.h"

namespace nsv {
namespace {

// Guards the one-time set-up of the format libraries.
bool g_attached = false;

// Handles a load or unload notification; always reports success, as
// DllMain's TRUE.
int NsModuleNotice(int notice) {
  switch (notice) {
    case platform::kProcessAttach:
      if (!g_attached) {
        NsAttachFormatLibraries();
        g_attached = true;
      }
      break;
    case platform::kProcessDetach: {
      platform::LockGuard lock(NsLibraryMutex());
      NsCloseAllFiles();
      NsReleaseReadCache();
      NsReleaseFormatLibraries();
      break;
    }
    default:  // thread attach and detach need nothing
      break;
  }
  return 1;
}

void ProcessAttach() { NsModuleNotice(platform::kProcessAttach); }
void ProcessDetach() { NsModuleNotice(platform::kProcessDetach); }

}  // namespace
}  // namespace nsv

PLATFORM_MODULE_HOOKS(nsv::ProcessAttach, nsv::ProcessDetach)
