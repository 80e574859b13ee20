// Locks used by the file-access library. The 64-bit format uses Boost's
// mutex and reader/writer lock directly; the 32-bit format's file and
// channel locks are critical sections, which this maps onto a mutex.
#pragma once

#include <boost/thread/locks.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/shared_mutex.hpp>

namespace platform {

using Mutex = boost::mutex;
using SharedMutex = boost::shared_mutex;
using LockGuard = boost::lock_guard<boost::mutex>;
using UniqueLock = boost::unique_lock<boost::mutex>;
using SharedLock = boost::shared_lock<boost::shared_mutex>;
using ExclusiveLock = boost::unique_lock<boost::shared_mutex>;

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
