// Load and unload notifications of the shared library, and the test of a
// caller's result buffer.
//
// On Windows the library's DllMain receives process attach and detach; on
// other systems a shared-object constructor and destructor deliver the same
// notifications to the same code. PLATFORM_MODULE_HOOKS(attach, detach)
// defines whichever the target needs; use it once, in the shared library only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Notification codes, as DllMain numbers them.
enum ModuleNotice : int { kProcessDetach = 0, kProcessAttach = 1, kThreadAttach = 2,
                          kThreadDetach = 3 };

// Whether bytes bytes at p may be written by the library: every non-null
// range that does not wrap the address space is accepted. The same check on
// every platform: Windows' IsBadWritePtr would probe the pages, which can
// disarm a thread's stack guard page and hides the access faults a caller's
// bad pointer ought to raise, and it answers for one moment only.
inline bool IsWritable(const void* p, size_t bytes) {
  if (p == nullptr) return false;
  const uintptr_t start = reinterpret_cast<uintptr_t>(p);
  return bytes == 0 || start + bytes - 1 >= start;
}

}  // namespace platform

#if defined(_WIN32)
// DllMain with the plain types behind its Windows declaration (BOOL WINAPI
// DllMain(HINSTANCE, DWORD, LPVOID)), so that no <windows.h> macro reaches the
// library's own code. The reason codes are the ModuleNotice values; thread
// attach and detach need nothing; every notice is answered TRUE.
#define PLATFORM_MODULE_HOOKS(attachFn, detachFn)                                          \
  extern "C" int __stdcall DllMain(void*, unsigned long reason, void*) {                   \
    if (reason == static_cast<unsigned long>(platform::kProcessAttach)) attachFn();        \
    if (reason == static_cast<unsigned long>(platform::kProcessDetach)) detachFn();        \
    return 1;                                                                              \
  }
#else
#define PLATFORM_MODULE_HOOKS(attachFn, detachFn)                                \
  __attribute__((constructor)) static void PlatformModuleAttach() { attachFn(); } \
  __attribute__((destructor)) static void PlatformModuleDetach() { detachFn(); }
#endif
