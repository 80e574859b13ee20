// Storage for library-wide state that must stay usable until the very end of
// the process. The library's unload hook still needs such state, and it may
// run after ordinary static objects have been destroyed; the object lives in
// static storage and its destructor is never run, so whatever it owns on the
// heap is released explicitly by the unload hook.
#pragma once

#include <new>
#include <utility>

namespace platform {

template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace platform
