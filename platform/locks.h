// Locks used by the file-access library: a mutex for the file and channel
// locks of both formats and a reader/writer lock for the ORFX channel table.
// All come from the C++ standard library, so every platform runs the same
// lock code; all are non-recursive.
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

}  // namespace platform
