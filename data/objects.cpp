// The identifier table of message objects and the attribute list of each object.
//
// Identifiers come from one counter shared by every kind of object, from 100 up to 0x7FFFFF9B,
// then wrapping to 100; an identifier whose entry holds a live object is skipped. The table has
// 4096 chains keyed by the identifier's low 12 bits.
//
// Lock order: an object's lock may be held while msgObjSemaphore is taken (freeing the items of
// a sequence releases their identifiers), so msgObjSemaphore is never held while an object's
// lock is taken.
#include "data/objects.hpp"

#include <atomic>
#include <cstring>
#include <vector>

#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "data/large_values.hpp"
#include "data/msg_info.hpp"
#include "data/vr.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

using memory::PoolId;

constexpr int32_t kFirstObjectId = 100;
constexpr int32_t kLastObjectId = 0x7FFFFF9B;
constexpr int32_t kChains = 4096;

struct HashEntry {
  HashEntry* next;
  int32_t id;
  MsgObj* object;
};

// Plain data, cleared by reset; guarded by msgObjSemaphore. `counter` is the last identifier
// handed out (kFirstObjectId - 1 before the first).
struct ObjectTable {
  HashEntry* chains[kChains];
  int32_t counter;
  int32_t live;
};
ObjectTable g_table;

ObjectHooks g_hooks;

bool trace_objects() {
  return Cfg != nullptr && Cfg->b(MSG_FILE_ITEM_OBJ_TRACE);
}

HashEntry* find_entry_locked(int32_t id) {
  for (HashEntry* e = g_table.chains[id & (kChains - 1)]; e != nullptr; e = e->next) {
    if (e->id == id) return e;
  }
  return nullptr;
}

enum class IdFailure { kNone, kExhausted, kNoMemory };

// A free identifier with its table entry. One full cycle of the counter is tried at most.
int32_t allocate_id(MsgObj* object, IdFailure* failure) {
  core::LockHold hold(S.msgObjSemaphore);
  constexpr int64_t kCycle = int64_t{kLastObjectId} - kFirstObjectId + 1;
  for (int64_t tried = 0; tried < kCycle; ++tried) {
    if (g_table.counter < kFirstObjectId - 1 || g_table.counter >= kLastObjectId) {
      g_table.counter = kFirstObjectId - 1;
    }
    const int32_t candidate = ++g_table.counter;
    if (find_entry_locked(candidate) != nullptr) continue;
    auto* entry = static_cast<HashEntry*>(memory::pool_get(PoolId::HashObj, sizeof(HashEntry)));
    if (entry == nullptr) {
      *failure = IdFailure::kNoMemory;
      return -1;
    }
    entry->id = candidate;
    entry->object = object;
    HashEntry*& head = g_table.chains[candidate & (kChains - 1)];
    entry->next = head;
    head = entry;
    ++g_table.live;
    return candidate;
  }
  *failure = IdFailure::kExhausted;
  return -1;
}

void release_id(int32_t id) {
  core::LockHold hold(S.msgObjSemaphore);
  for (HashEntry** link = &g_table.chains[id & (kChains - 1)]; *link != nullptr;
       link = &(*link)->next) {
    if ((*link)->id == id) {
      HashEntry* entry = *link;
      *link = entry->next;
      memory::pool_put(PoolId::HashObj, entry);
      --g_table.live;
      return;
    }
  }
}

void free_record(TagObj* record) {
  memory::pool_delete(PoolId::TagObj, record);
}

// Inserts `record` into a list kept in ascending tag order (no equal tag present), searching
// from `hint` (may be null).
void link_in_order(TagObj*& first, TagObj*& last, TagObj* record, TagObj* hint) {
  TagObj* next = nullptr;
  if (last != nullptr && record->tag < last->tag) {
    TagObj* at = hint != nullptr ? hint : first;
    while (at->prev != nullptr && at->prev->tag > record->tag) at = at->prev;
    while (at->tag < record->tag) at = at->next;  // stops at `last` at the latest
    next = at;
  }
  record->next = next;
  record->prev = next != nullptr ? next->prev : last;
  if (record->prev != nullptr) {
    record->prev->next = record;
  } else {
    first = record;
  }
  if (next != nullptr) {
    next->prev = record;
  } else {
    last = record;
  }
}

void unlink(TagObj*& first, TagObj*& last, TagObj* record) {
  if (record->prev != nullptr) {
    record->prev->next = record->next;
  } else {
    first = record->next;
  }
  if (record->next != nullptr) {
    record->next->prev = record->prev;
  } else {
    last = record->prev;
  }
  record->next = nullptr;
  record->prev = nullptr;
}

TagObj* kept_last(const MsgObj& object) {
  TagObj* last = nullptr;
  for (TagObj* k = object.kept_first; k != nullptr; k = k->next) last = k;
  return last;
}

bool is_private_tag(uint32_t tag) {
  const uint32_t group = tag >> 16;
  return (group & 1U) != 0 && group != 0x0001 && group != 0x0003 && group != 0x0005 &&
         group != 0x0007 && group != 0xFFFF;
}

char* copy_name(const char* name) {
  const size_t length = std::strlen(name);
  auto* copy = static_cast<char*>(CVI_newBuffer(length + 1));
  if (copy != nullptr) std::memcpy(copy, name, length + 1);
  return copy;
}

// Walks from the lookup cursor to the last record whose tag is not above `tag` (or the first
// record when all are above) and leaves the cursor there. Caller holds the object's lock.
TagObj* walk_to(MsgObj& object, uint32_t tag) {
  TagObj* at = object.lookup_cursor != nullptr ? object.lookup_cursor : object.first;
  if (at == nullptr) return nullptr;
  if (tag > at->tag) {
    while (at->next != nullptr && at->next->tag <= tag) at = at->next;
  } else {
    while (at->prev != nullptr && at->tag > tag) at = at->prev;
  }
  object.lookup_cursor = at;
  return at;
}

void unlink_attribute(MsgObj& object, TagObj* record) {
  if (object.lookup_cursor == record) {
    object.lookup_cursor = record->next != nullptr ? record->next : record->prev;
  }
  if (object.iteration_cursor == record) object.iteration_cursor = record->next;
  unlink(object.first, object.last, record);
  --object.attribute_count;
}

// Keeps a record whose values are released for its template, or frees it. Caller holds the
// object's lock; the record is unlinked.
void keep_or_free_record(MsgObj& object, TagObj* record) {
  const uint32_t tag = record->tag;
  const uint32_t group = tag >> 16;
  const bool keep = (group & 1U) == 0 && group >= 0x0008 && record->template_info != nullptr &&
                    record->template_info->type != AttributeType::k3;
  if (keep) {
    TagObj* last = kept_last(object);
    link_in_order(object.kept_first, last, record, nullptr);
  } else {
    free_record(record);
  }
  // The encapsulated-frame state describes the pixel data value, which is gone.
  if (tag == 0x7FE00010) object.encapsulated_state = nullptr;
}

// Releases the values of unlinked records (chained through `next`) without the object's lock, as
// a value callback may run, then keeps or frees each record under the lock. Items of a sequence
// are freed with it, when nothing else refers to them, under REMOVE_SQ (as when a sequence is
// emptied).
void retire_records(MsgObj& object, TagObj* chain) {
  const bool free_items = Cfg->b(REMOVE_SQ);
  for (TagObj* record = chain; record != nullptr; record = record->next) {
    release_values(object, *record, free_items, false);
  }
  core::LockHold hold(object.lock);
  while (chain != nullptr) {
    TagObj* next = chain->next;
    chain->next = nullptr;
    keep_or_free_record(object, chain);
    chain = next;
  }
}

}  // namespace

const char* kind_name(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::kMessage:
      return "Message";
    case ObjectKind::kItem:
      return "Item";
    case ObjectKind::kDicomdir:
      return "Dicomdir";
    case ObjectKind::kFile:
      return "File";
    case ObjectKind::kSr:
      return "SR";
  }
  return "Object";
}

namespace detail {
void set_next_identifier(int32_t next) {
  core::LockHold hold(S.msgObjSemaphore);
  g_table.counter = next - 1;
}
}  // namespace detail

ObjectHooks& object_hooks() {
  return g_hooks;
}

Status create_object(ObjectKind kind, const char* name, MsgObj** out) {
  *out = nullptr;
  MsgObj* object = memory::pool_new<MsgObj>(PoolId::MsgObj);
  if (object == nullptr) return Status(CV_SYSTEM_ERROR);
  object->name = copy_name(name);
  object->lock = core::create_lock("msgObjectSemaphore");
  if (object->name == nullptr || object->lock == nullptr) {
    CVI_releaseBuffer(object->name);
    core::release_lock(object->lock);
    memory::pool_delete(PoolId::MsgObj, object);
    return Status(CV_SYSTEM_ERROR);
  }
  object->kind = kind;
  object->service_number = -1;
  object->command = kNoCommand;
  object->large_data_store = Cfg->large_data_store;
  object->large_data_size = Cfg->i(LARGE_DATA_SIZE);
  object->transfer_syntax = IMPLICIT_LITTLE_ENDIAN;
  IdFailure failure = IdFailure::kNone;
  const int32_t id = allocate_id(object, &failure);
  if (id < 0) {
    if (failure == IdFailure::kExhausted) {
      log::write(nullptr, log::kError, "No message IDs available!!");
    }
    CVI_releaseBuffer(object->name);
    core::release_lock(object->lock);
    memory::pool_delete(PoolId::MsgObj, object);
    return Status(CV_SYSTEM_ERROR);
  }
  object->id = id;
  if (trace_objects()) log::write(nullptr, log::kT1, "%s %d was created", kind_name(kind), id);
  *out = object;
  return Status();
}

MsgObj* find_object(int32_t id) {
  if (id < kFirstObjectId) return nullptr;
  core::LockHold hold(S.msgObjSemaphore);
  HashEntry* entry = find_entry_locked(id);
  return entry != nullptr ? entry->object : nullptr;
}

void destroy_object(MsgObj* object) {
  // An identifier below 0 marks an object already being freed further up the stack (a cycle
  // of sequence references); it is finished there.
  if (object == nullptr || object->id < 0) return;
  const int32_t id = object->id;
  const ObjectKind kind = object->kind;
  release_id(id);
  object->id = -1;
  if (object->pending_stream != nullptr && object->pending_stream->discard != nullptr) {
    object->pending_stream->discard(*object);
  }
  object->pending_stream = nullptr;
  if (object->media_info != nullptr && g_hooks.release_media_info != nullptr) {
    g_hooks.release_media_info(*object);
  }
  object->media_info = nullptr;
  // With its identifier gone the object is no longer reachable, so its lock is not taken: the
  // items freed with it take their own locks without nesting them in this one.
  TagObj* records = object->first;
  TagObj* kept = object->kept_first;
  object->first = object->last = object->kept_first = nullptr;
  object->lookup_cursor = object->iteration_cursor = nullptr;
  object->attribute_count = 0;
  for (TagObj* record = records; record != nullptr;) {
    TagObj* next = record->next;
    release_values(*object, *record, true, false);
    free_record(record);
    record = next;
  }
  for (TagObj* record = kept; record != nullptr;) {
    TagObj* next = record->next;
    free_record(record);
    record = next;
  }
  release_all_file_storage(*object);
  CVI_releaseBuffer(object->name);
  core::release_lock(object->lock);
  memory::pool_delete(PoolId::MsgObj, object);
  if (trace_objects()) log::write(nullptr, log::kT1, "%s %d was freed", kind_name(kind), id);
}

void destroy_all_objects() {
  // The pools themselves are freed by the caller, which drops every object at once; only what
  // may live outside the pools goes here: temporary files of large values, pending streams and
  // file or directory information.
  core::LockHold hold(S.msgObjSemaphore);
  for (HashEntry* head : g_table.chains) {
    for (HashEntry* e = head; e != nullptr; e = e->next) {
      MsgObj& object = *e->object;
      if (object.pending_stream != nullptr && object.pending_stream->discard != nullptr) {
        object.pending_stream->discard(object);
      }
      object.pending_stream = nullptr;
      if (object.media_info != nullptr && g_hooks.release_media_info != nullptr) {
        g_hooks.release_media_info(object);
      }
      object.media_info = nullptr;
      release_all_file_storage(object);
    }
  }
  g_table = ObjectTable{};
}

void for_each_object(void (*visit)(MsgObj& object, void* context), void* context) {
  std::vector<int32_t> ids;
  {
    core::LockHold hold(S.msgObjSemaphore);
    ids.reserve(static_cast<size_t>(g_table.live));
    for (HashEntry* head : g_table.chains) {
      for (HashEntry* e = head; e != nullptr; e = e->next) ids.push_back(e->id);
    }
  }
  for (int32_t id : ids) {
    MsgObj* object = find_object(id);
    if (object == nullptr) continue;
    core::LockHold hold(object->lock);
    visit(*object, context);
  }
}

TagObj* find_attribute(MsgObj& object, uint32_t tag) {
  core::LockHold hold(object.lock);
  TagObj* at = walk_to(object, tag);
  return at != nullptr && at->tag == tag ? at : nullptr;
}

TagObj* find_attribute_at_or_after(MsgObj& object, uint32_t tag) {
  core::LockHold hold(object.lock);
  TagObj* at = walk_to(object, tag);
  if (at == nullptr) return nullptr;
  return at->tag >= tag ? at : at->next;
}

Status add_attribute(MsgObj& object, uint32_t tag, int32_t vr, uint16_t vm_low, uint16_t vm_high,
                     TagObj** out) {
  if (vr < 0 || vr >= kVrCount) return Status(CV_INVALID_VR_CODE);
  core::LockHold hold(object.lock);
  if (find_attribute(object, tag) != nullptr) return Status(CV_TAG_ALREADY_EXISTS);
  TagObj* record = nullptr;
  if (object.kept_first != nullptr && !is_private_tag(tag)) {
    for (TagObj* kept = object.kept_first; kept != nullptr && kept->tag <= tag; kept = kept->next) {
      if (kept->tag != tag) continue;
      TagObj* last = kept_last(object);
      unlink(object.kept_first, last, kept);
      record = kept;
      break;
    }
  }
  if (record == nullptr) {
    record = memory::pool_new<TagObj>(PoolId::TagObj);
    if (record == nullptr) return Status(CV_SYSTEM_ERROR);
    record->tag = tag;
    record->vr = vr;
    record->vm_low = vm_low;
    record->vm_high = vm_high;
  }
  record->value_count = 0;
  record->length = 0;
  record->head = record->tail = nullptr;
  record->cursor_index = 0;
  record->cursor_offset = 0;
  record->cursor = record->cursor_prev = nullptr;
  record->storage = kStoredInMemory;
  record->callback = nullptr;
  record->file_record = nullptr;
  link_in_order(object.first, object.last, record, object.lookup_cursor);
  ++object.attribute_count;
  object.lookup_cursor = record;
  if (object.attribute_count == 1) object.iteration_cursor = record;
  object.group_length_flags = 0;
  if (out != nullptr) *out = record;
  return Status();
}

Status delete_attribute(MsgObj& object, uint32_t tag) {
  TagObj* record = nullptr;
  {
    core::LockHold hold(object.lock);
    record = find_attribute(object, tag);
    if (record == nullptr) return Status(CV_INVALID_TAG);
    unlink_attribute(object, record);
  }
  retire_records(object, record);
  return Status();
}

void delete_range(MsgObj& object, uint32_t first, uint32_t last) {
  TagObj* chain = nullptr;
  TagObj* chain_tail = nullptr;
  {
    core::LockHold hold(object.lock);
    TagObj* at = find_attribute_at_or_after(object, first);
    while (at != nullptr && at->tag <= last) {
      TagObj* next = at->next;
      unlink_attribute(object, at);
      if (chain_tail == nullptr) {
        chain = at;
      } else {
        chain_tail->next = at;
      }
      chain_tail = at;
      at = next;
    }
  }
  retire_records(object, chain);
}

void add_item_reference(MsgObj& item, int32_t delta) {
  // Atomic rather than under the item's lock: callers hold their container's lock, and an
  // item lock taken inside it would order the two locks.
  const int32_t count =
      std::atomic_ref<int32_t>(item.reference_count).fetch_add(delta, std::memory_order_acq_rel) +
      delta;
  if (trace_objects()) {
    log::write(nullptr, log::kT1, "%s %d has %d references", kind_name(item.kind), item.id, count);
  }
}

Status rename_item(MsgObj& item, const char* name) {
  if (item.kind != ObjectKind::kItem) return Status(CV_INVALID_ITEM_ID);
  return replace_name(item, name);
}

Status replace_name(MsgObj& object, const char* name) {
  char* copy = copy_name(name);
  if (copy == nullptr) return Status(CV_SYSTEM_ERROR);
  core::LockHold hold(object.lock);
  CVI_releaseBuffer(object.name);
  object.name = copy;
  return Status();
}

Status complete_pending_stream(MsgObj& object, uint32_t tag, bool any_tag) {
  PendingStream* pending = object.pending_stream;
  if (pending == nullptr) return Status();
  if (!any_tag && tag <= pending->highest_tag) return Status();
  if (pending->complete == nullptr) return Status(CV_SYSTEM_ERROR);
  return pending->complete(object);
}

Status append_memory_node(TagObj& attribute, const void* bytes, uint32_t length, int32_t values) {
  auto* node = static_cast<ValueObj*>(CVI_newBuffer(sizeof(ValueObj) + length));
  if (node == nullptr) return Status(CV_SYSTEM_ERROR);
  node->length = length;
  node->capacity = 0;
  // A NULL value of a sequence names no item: its node has no bytes at all.
  node->bytes =
      attribute.vr == CV_VR_SQ && length == 0 ? nullptr : reinterpret_cast<uint8_t*>(node + 1);
  node->next = nullptr;
  if (length > 0) std::memcpy(node->bytes, bytes, length);
  if (attribute.tail != nullptr) {
    attribute.tail->next = node;
  } else {
    attribute.head = node;
  }
  attribute.tail = node;
  attribute.value_count += values;
  attribute.length += length;
  return Status();
}

Status append_item_node(TagObj& attribute, MsgObj& item) {
  auto* node = static_cast<ValueObj*>(CVI_newBuffer(sizeof(ValueObj) + sizeof(ItemRef)));
  if (node == nullptr) return Status(CV_SYSTEM_ERROR);
  auto* ref = reinterpret_cast<ItemRef*>(node + 1);
  ref->item_id = item.id;
  ref->item = &item;
  node->length = 1;
  node->capacity = 0;
  node->bytes = reinterpret_cast<uint8_t*>(ref);
  node->next = nullptr;
  if (attribute.tail != nullptr) {
    attribute.tail->next = node;
  } else {
    attribute.head = node;
  }
  attribute.tail = node;
  attribute.value_count += 1;
  attribute.length += 1;
  add_item_reference(item, 1);
  return Status();
}

Status store_single_value(MsgObj& object, TagObj& attribute, const void* bytes, uint32_t length) {
  core::LockHold hold(object.lock);
  release_values(object, attribute, false, false);
  const int32_t width = binary_width(attribute.vr);
  const int32_t values = width > 0 && length > 0 ? static_cast<int32_t>(length) / width : 1;
  return append_memory_node(attribute, bytes, length, values);
}

}  // namespace tessel::data
