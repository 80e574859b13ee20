// Load and unload notifications of the shared library, and the test of a
// caller's result buffer.
//
// On Windows the library's DllMain receives process attach and detach; here a
// shared-object constructor and destructor deliver the same notifications to
// the same code. PLATFORM_MODULE_HOOKS(attach, detach) defines them; use it
// once, in the shared library only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Notification codes, as DllMain numbers them.
enum ModuleNotice : int { kProcessDetach = 0, kProcessAttach = 1, kThreadAttach = 2,
                          kThreadDetach = 3 };

// Whether bytes bytes at p may be written by the library. This platform has
// no cheap query of page protection, so every non-null range that does not
// wrap the address space is accepted.
inline bool IsWritable(const void* p, size_t bytes) {
  if (p == nullptr) return false;
  const uintptr_t start = reinterpret_cast<uintptr_t>(p);
  return bytes == 0 || start + bytes - 1 >= start;
}

}  // namespace platform

#define PLATFORM_MODULE_HOOKS(attachFn, detachFn)                        \
  __attribute__((constructor)) static void PlatformModuleAttach() { attachFn(); } \
  __attribute__((destructor)) static void PlatformModuleDetach() { detachFn(); }
