// Identifier tables: 4096 buckets of singly linked entries keyed by the identifier's low 12 bits.
// A successful lookup moves its entry to the head of the chain (most recently used first).
#ifndef TESSEL_CORE_ID_TABLE_HPP_
#define TESSEL_CORE_ID_TABLE_HPP_

#include <cstdint>

#include "core/named_lock.hpp"

namespace tessel::core {

class IdTable {
 public:
  static constexpr int32_t kBuckets = 4096;

  struct Entry {
    Entry* next;
    int32_t id;
    void* object;
  };

  // The object of an identifier, or nullptr. Negative identifiers are never found. The caller
  // holds the table's lock.
  void* find(int32_t id);
  bool contains(int32_t id) const;
  // Adds an entry at the head of its bucket; false when no memory is left.
  bool insert(int32_t id, void* object);
  // Unlinks and frees an entry; false when the identifier is not present.
  bool remove(int32_t id);
  // Forgets every entry (the pool memory itself is freed by the caller's teardown).
  void clear();
  // Calls fn(id, object) for every entry.
  template <typename Fn>
  void for_each(Fn&& fn) const {
    for (Entry* head : buckets_) {
      for (Entry* e = head; e != nullptr; e = e->next) fn(e->id, e->object);
    }
  }

 private:
  static int32_t bucket(int32_t id) { return id & (kBuckets - 1); }
  Entry* buckets_[kBuckets];
};

}  // namespace tessel::core

#endif  // TESSEL_CORE_ID_TABLE_HPP_
