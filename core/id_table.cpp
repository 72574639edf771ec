#include "core/id_table.hpp"

#include "memory/pool.hpp"

namespace tessel::core {

void* IdTable::find(int32_t id) {
  if (id < 0) return nullptr;
  Entry** link = &buckets_[bucket(id)];
  Entry* const head = *link;
  for (Entry* entry = head; entry != nullptr; link = &entry->next, entry = entry->next) {
    if (entry->id != id) continue;
    if (entry != head) {
      *link = entry->next;
      entry->next = head;
      buckets_[bucket(id)] = entry;
    }
    return entry->object;
  }
  return nullptr;
}

bool IdTable::contains(int32_t id) const {
  if (id < 0) return false;
  for (const Entry* e = buckets_[bucket(id)]; e != nullptr; e = e->next) {
    if (e->id == id) return true;
  }
  return false;
}

bool IdTable::insert(int32_t id, void* object) {
  auto* entry = static_cast<Entry*>(memory::pool_get(memory::PoolId::SesObj, sizeof(Entry)));
  if (entry == nullptr) return false;
  entry->id = id;
  entry->object = object;
  entry->next = buckets_[bucket(id)];
  buckets_[bucket(id)] = entry;
  return true;
}

bool IdTable::remove(int32_t id) {
  if (id < 0) return false;
  for (Entry** link = &buckets_[bucket(id)]; *link != nullptr; link = &(*link)->next) {
    Entry* entry = *link;
    if (entry->id == id) {
      *link = entry->next;
      memory::pool_put(memory::PoolId::SesObj, entry);
      return true;
    }
  }
  return false;
}

void IdTable::clear() {
  for (Entry*& head : buckets_) head = nullptr;
}

}  // namespace tessel::core
