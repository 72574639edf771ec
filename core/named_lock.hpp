// Named recursive locks and the lock factory that recycles them.
//
// Locks are created at global reset and recycled rather than destroyed: a released lock moves to
// the factory's free chain, from which the next creation reuses it. Memory cleanup destroys the
// locks on the free chain; library release and reset destroy them all, the factory's own last.
#ifndef TESSEL_CORE_NAMED_LOCK_HPP_
#define TESSEL_CORE_NAMED_LOCK_HPP_

#include <cstdio>

#include "core/thread_annotations.hpp"
#include "platform/platform.hpp"

#include "tessel/tessel_core.h"

// The exported opaque lock type is the named lock itself.
struct TS_CAPABILITY("mutex") CV_LOCK {
  tessel::platform::RecursiveMutex mutex;
  char name[48];
  CV_LOCK* next;  // in-use or free chain of the factory
  CV_LOCK* prev;  // in-use chain only, so that release unlinks in constant time
  bool in_use;

  void lock() TS_ACQUIRE() { mutex.lock(); }
  void unlock() TS_RELEASE() { mutex.unlock(); }
};

namespace tessel::core {

using NamedLock = CV_LOCK;

// Creates the factory lock. Called by global reset before any named lock is created.
void lock_factory_start();
// Returns a lock with this name, reusing one from the free chain when there is one; nullptr when
// no memory is left.
NamedLock* create_lock(const char* name);
// Moves a lock to the free chain. A null lock is ignored.
void release_lock(NamedLock* lock);
// Destroys the locks waiting on the free chain (memory cleanup).
void destroy_free_locks();
// Destroys every lock, the factory's own last (library release and reset).
void destroy_all_locks();
// Writes "%p %s\n" per in-use named lock (address and "S."-prefixed name).
void list_locks(std::FILE* out);

// Scoped hold of a named lock; a null lock is not taken.
class TS_SCOPED_CAPABILITY LockHold {
 public:
  explicit LockHold(NamedLock* lock) TS_ACQUIRE(lock) : lock_(lock) {
    if (lock_ != nullptr) lock_->lock();
  }
  ~LockHold() TS_RELEASE() {
    if (lock_ != nullptr) lock_->unlock();
  }
  LockHold(const LockHold&) = delete;
  LockHold& operator=(const LockHold&) = delete;

 private:
  NamedLock* lock_;
};

}  // namespace tessel::core

#endif  // TESSEL_CORE_NAMED_LOCK_HPP_
