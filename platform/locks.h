// Locks used by the file-access library: a mutex for the ORFX file and channel
// locks, a reader/writer lock for the ORFX channel table, and the ORF file and
// channel critical sections, which map onto a mutex. All come from the C++
// standard library, so every platform runs the same lock code; all are
// non-recursive.
#pragma once

#include <mutex>
#include <shared_mutex>

namespace platform {

using Mutex = std::mutex;
using SharedMutex = std::shared_mutex;
using LockGuard = std::lock_guard<std::mutex>;
using UniqueLock = std::unique_lock<std::mutex>;
using SharedLock = std::shared_lock<std::shared_mutex>;
using ExclusiveLock = std::unique_lock<std::shared_mutex>;

// A non-recursive critical section with explicit enter and leave, for code
// that takes and releases its locks across function boundaries.
class CriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  Mutex& native() { return mutex_; }

 private:
  Mutex mutex_;
};

}  // namespace platform
