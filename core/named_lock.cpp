// Lock factory: in-use chain and free chain of named locks under one factory lock.
#include "core/named_lock.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/state.hpp"

namespace tessel::core {
namespace {

// The factory's state is plain data, cleared by global reset; no constructors run at start-up.
struct Factory {
  NamedLock* factory_lock;
  NamedLock* in_use;
  NamedLock* free_chain;
  int32_t spin_count;
};
Factory g_factory;

int32_t spin_count_from_environment() {
  auto value = platform::get_env("CV3_SPIN_COUNT");
  if (!value) return 0;
  return static_cast<int32_t>(std::strtol(value->c_str(), nullptr, 10));
}

NamedLock* allocate_lock(const char* name, int32_t spin_count) {
  void* memory = std::calloc(1, sizeof(NamedLock));
  if (memory == nullptr) return nullptr;
  auto* lock = new (memory) NamedLock{};
  lock->mutex.create(spin_count);
  std::snprintf(lock->name, sizeof lock->name, "%s", name);
  return lock;
}

void free_lock(NamedLock* lock) {
  lock->mutex.destroy();
  lock->~NamedLock();
  std::free(lock);
}

void free_chain(NamedLock* head) {
  while (head != nullptr) {
    NamedLock* next = head->next;
    free_lock(head);
    head = next;
  }
}

}  // namespace

void lock_factory_start() {
  g_factory = Factory{};
  g_factory.spin_count = spin_count_from_environment();
  g_factory.factory_lock = allocate_lock("lockFactory", g_factory.spin_count);
}

NamedLock* create_lock(const char* name) {
  LockHold hold(g_factory.factory_lock);
  NamedLock* lock = g_factory.free_chain;
  if (lock != nullptr) {
    g_factory.free_chain = lock->next;
    // A recycled lock starts as a new mutex, so that lock-order checkers do not mistake the
    // orders of its previous life for those of the new one.
    lock->mutex.destroy();
    lock->mutex.create(g_factory.spin_count);
    std::snprintf(lock->name, sizeof lock->name, "%s", name);
  } else {
    lock = allocate_lock(name, g_factory.spin_count);
    if (lock == nullptr) return nullptr;
  }
  lock->in_use = true;
  lock->prev = nullptr;
  lock->next = g_factory.in_use;
  if (lock->next != nullptr) lock->next->prev = lock;
  g_factory.in_use = lock;
  return lock;
}

void release_lock(NamedLock* lock) {
  if (lock == nullptr) return;
  LockHold hold(g_factory.factory_lock);
  if (!lock->in_use) return;
  if (lock->prev != nullptr) {
    lock->prev->next = lock->next;
  } else {
    g_factory.in_use = lock->next;
  }
  if (lock->next != nullptr) lock->next->prev = lock->prev;
  lock->in_use = false;
  lock->prev = nullptr;
  lock->next = g_factory.free_chain;
  g_factory.free_chain = lock;
}

void destroy_free_locks() {
  NamedLock* chain = nullptr;
  {
    LockHold hold(g_factory.factory_lock);
    chain = g_factory.free_chain;
    g_factory.free_chain = nullptr;
  }
  free_chain(chain);
}

void destroy_all_locks() {
  free_chain(g_factory.in_use);
  free_chain(g_factory.free_chain);
  if (g_factory.factory_lock != nullptr) free_lock(g_factory.factory_lock);
  g_factory = Factory{};
}

void list_locks(std::FILE* out) {
  LockHold hold(g_factory.factory_lock);
  for (NamedLock* lock = g_factory.in_use; lock != nullptr; lock = lock->next) {
    std::fprintf(out, "%p S.%s\n", static_cast<void*>(lock), lock->name);
  }
}

}  // namespace tessel::core

extern "C" CV_API void CV3_RequestSemaphore(CV_LOCK* lock) {
  if (lock != nullptr) lock->mutex.lock();
}

extern "C" CV_API void CV3_ReleaseSemaphore(CV_LOCK* lock) {
  if (lock != nullptr) lock->mutex.unlock();
}
