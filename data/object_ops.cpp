// Opening, walking, duplicating, emptying and freeing message objects, and their service and
// command.
#include "data/object_ops.hpp"

#include <atomic>
#include <cstring>
#include <utility>
#include <vector>

#include "codec/transfer_syntax.hpp"
#include "config/config_record.hpp"
#include "config/services.hpp"
#include "core/named_lock.hpp"
#include "data/dictionary.hpp"
#include "data/msg_info.hpp"
#include "data/objects.hpp"
#include "data/private_blocks.hpp"
#include "data/templates_apply.hpp"
#include "data/vr.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

struct CommandAttribute {
  uint32_t tag;
  int32_t vr;
};

// The command group of every message opened for a service and command.
constexpr CommandAttribute kCommandAttributes[] = {
    {0x00000000, CV_VR_UL}, {0x00000002, CV_VR_UI}, {0x00000003, CV_VR_UI}, {0x00000100, CV_VR_US},
    {0x00000110, CV_VR_US}, {0x00000120, CV_VR_US}, {0x00000600, CV_VR_AE}, {0x00000700, CV_VR_US},
    {0x00000800, CV_VR_US}, {0x00000900, CV_VR_US}, {0x00000901, CV_VR_AT}, {0x00000902, CV_VR_LO},
    {0x00000903, CV_VR_US}, {0x00001000, CV_VR_UI}, {0x00001001, CV_VR_UI}, {0x00001002, CV_VR_US},
    {0x00001005, CV_VR_AT}, {0x00001008, CV_VR_US}, {0x00001020, CV_VR_US}, {0x00001021, CV_VR_US},
    {0x00001022, CV_VR_US}, {0x00001023, CV_VR_US}, {0x00001030, CV_VR_AE}, {0x00001031, CV_VR_US},
};

constexpr uint32_t kOffsetOfFirstRecord = 0x00041200;
constexpr uint32_t kOffsetOfLastRecord = 0x00041202;
constexpr uint32_t kDirectoryRecordSequence = 0x00041220;
constexpr uint32_t kPixelDataTag = 0x7FE00010;

bool is_empty_name(const char* name) {
  return std::strcmp(name, kEmptyObjectName) == 0;
}

// Template lookup and application failures end an open: memory stays CV_SYSTEM_ERROR, every
// other fault is the information file's.
Status open_failure(Status status) {
  return status.is(CV_SYSTEM_ERROR) ? status : Status(CV_MESSAGE_INFO_FILE_ERROR);
}

// Finds the template for a freshly opened object and applies it; frees the object on failure.
Status apply_own_template(MsgObj* object, const char* function) {
  const Template* tmpl = nullptr;
  Status found = find_object_template(*object, &tmpl);
  if (found.ok() && tmpl != nullptr) found = apply_template_add(*object, *tmpl, function);
  if (found.ok()) return found;
  destroy_object(object);
  return open_failure(found);
}

// Finds or adds an attribute with its dictionary VR and VM.
Status dictionary_attribute(MsgObj& object, uint32_t tag, TagObj** out) {
  *out = find_attribute(object, tag);
  if (*out != nullptr) return Status();
  int32_t vr = 0;
  uint16_t vm_low = 0;
  uint16_t vm_high = 0;
  if (CVI_Get_Dictionary_Info(tag, "", &vr, &vm_low, &vm_high, nullptr, 0) !=
      CV_NORMAL_COMPLETION) {
    return Status(CV_INVALID_TAG);
  }
  return add_attribute(object, tag, vr, vm_low, vm_high, out);
}

// The directory attributes of a File that has just become a DICOMDIR.
Status set_directory_attributes(MsgObj& object) {
  const uint32_t zero = 0;
  for (uint32_t tag : {kOffsetOfFirstRecord, kOffsetOfLastRecord}) {
    TagObj* record = nullptr;
    TS_RETURN_IF_ERROR(dictionary_attribute(object, tag, &record));
    TS_RETURN_IF_ERROR(store_single_value(object, *record, &zero, sizeof zero));
  }
  TagObj* sequence = nullptr;
  TS_RETURN_IF_ERROR(dictionary_attribute(object, kDirectoryRecordSequence, &sequence));
  return store_single_value(object, *sequence, nullptr, 0);
}

void eliminate_in(MsgObj& object, void* context) {
  const auto* target = static_cast<const std::pair<const MsgObj*, int32_t>*>(context);
  for (TagObj* record = object.first; record != nullptr; record = record->next) {
    if (record->vr != CV_VR_SQ || record->storage != kStoredInMemory) continue;
    ValueObj* previous = nullptr;
    bool removed = false;
    for (ValueObj* node = record->head; node != nullptr;) {
      ValueObj* next = node->next;
      const auto* ref = reinterpret_cast<const ItemRef*>(node->bytes);
      if (ref != nullptr && (ref->item == target->first || ref->item_id == target->second)) {
        if (previous != nullptr) {
          previous->next = next;
        } else {
          record->head = next;
        }
        if (record->tail == node) record->tail = previous;
        CVI_releaseBuffer(node);
        record->value_count -= 1;
        record->length -= 1;
        removed = true;
      } else {
        previous = node;
      }
      node = next;
    }
    if (removed) {
      record->cursor_index = 0;
      record->cursor = record->cursor_prev = nullptr;
    }
  }
}

bool syntax_encapsulated(int32_t syntax) {
  int32_t explicit_vr = 0;
  int32_t byte_order = 0;
  int32_t encapsulated = 0;
  CVI_GetSyntaxParmsForEnum(syntax, &explicit_vr, &byte_order, &encapsulated);
  return encapsulated != 0;
}

}  // namespace

bool valid_command(int32_t command) {
  return command >= 0 && command <= 0xFFFF &&
         services::command_name(static_cast<uint16_t>(command)) != nullptr;
}

Status add_command_attributes(MsgObj& message) {
  for (const CommandAttribute& attribute : kCommandAttributes) {
    TS_RETURN_IF_ERROR(add_attribute(message, attribute.tag, attribute.vr, 1, 1, nullptr));
  }
  return Status();
}

Status open_message(const char* service, int32_t command, MsgObj** out) {
  *out = nullptr;
  if (!valid_command(command)) return Status(CV_INVALID_COMMAND);
  MsgObj* message = nullptr;
  TS_RETURN_IF_ERROR(create_object(ObjectKind::kMessage, service, &message));
  message->command = static_cast<uint16_t>(command);
  message->service_number = services::service_number(service);
  const Status added = add_command_attributes(*message);
  if (!added.ok()) {
    destroy_object(message);
    return added;
  }
  const bool known_pair = services::check_service_command(CV_KIND_MESSAGE, service, command).ok() &&
                          service_has_command(service, message->command);
  if (!known_pair) {
    if (!is_empty_name(service)) {
      log::write("CV_Open_Message", log::kT7, "WARNING: No Service %s, Command %s in info file.",
                 service, services::command_name(message->command));
    }
    *out = message;
    return Status();
  }
  TS_RETURN_IF_ERROR(apply_own_template(message, "CV_Open_Message"));
  *out = message;
  return Status();
}

Status open_item(const char* item_name, MsgObj** out) {
  *out = nullptr;
  MsgObj* item = nullptr;
  TS_RETURN_IF_ERROR(create_object(ObjectKind::kItem, item_name, &item));
  if (Cfg->b(FORCE_OPEN_EMPTY_ITEM)) {
    *out = item;
    return Status();
  }
  if (!services::check_service_command(CV_KIND_ITEM, item_name, 0).ok()) {
    if (!is_empty_name(item_name)) {
      log::write("CV_Open_Item", log::kT7, "WARNING: No Item %s in info file.", item_name);
    }
    *out = item;
    return Status();
  }
  TS_RETURN_IF_ERROR(apply_own_template(item, "CV_Open_Item"));
  *out = item;
  return Status();
}

Status set_service_command(MsgObj& object, const char* service, int32_t command) {
  if (object.kind != ObjectKind::kMessage && object.kind != ObjectKind::kFile &&
      object.kind != ObjectKind::kDicomdir) {
    return Status(CV_INVALID_MESSAGE_ID);
  }
  if (!valid_command(command)) return Status(CV_INVALID_COMMAND);
  TS_RETURN_IF_ERROR(replace_name(object, service));
  object.service_number = services::service_number(service);
  object.command = static_cast<uint16_t>(command);
  const bool directory_name = std::strncmp(service, "DICOMDIR", 8) == 0;
  ObjectHooks& hooks = object_hooks();
  if (directory_name && object.kind == ObjectKind::kFile) {
    if (hooks.create_directory_info != nullptr) {
      TS_RETURN_IF_ERROR(hooks.create_directory_info(object));
    }
    object.kind = ObjectKind::kDicomdir;
    return set_directory_attributes(object);
  }
  if (!directory_name && object.kind == ObjectKind::kDicomdir) {
    if (hooks.release_directory_info != nullptr) hooks.release_directory_info(object);
    object.kind = ObjectKind::kFile;
  }
  return Status();
}

Status next_attribute(MsgObj& object, bool restart, uint32_t* tag, int32_t* vr, int32_t* count) {
  core::LockHold hold(object.lock);
  if (object.first == nullptr) return Status(CV_MESSAGE_EMPTY);
  if (restart) object.iteration_cursor = object.first;
  const TagObj* record = object.iteration_cursor;
  if (record == nullptr) return Status(CV_NO_MORE_ATTRIBUTES);
  object.iteration_cursor = record->next;
  if (tag != nullptr) *tag = record->tag;
  if (vr != nullptr) *vr = record->vr;
  if (count != nullptr) *count = is_opaque_vr(record->vr) ? 1 : record->value_count;
  return Status();
}

Status attribute_info(MsgObj& object, uint32_t tag, int32_t* vr, int32_t* count) {
  core::LockHold hold(object.lock);
  TagObj* record = find_attribute(object, tag);
  if (record == nullptr) return Status(CV_INVALID_TAG);
  object.iteration_cursor = record;
  return next_attribute(object, false, nullptr, vr, count);
}

Status duplicate_object(MsgObj& source, int32_t syntax, MsgObj** out) {
  *out = nullptr;
  if (source.kind == ObjectKind::kDicomdir) {
    log::write("CV_Duplicate_Message", log::kError, "Unable to duplicate DICOMDIRs!");
    return Status(CV_INVALID_MESSAGE_ID);
  }
  if (source.kind == ObjectKind::kSr) {
    log::write("CV_Duplicate_Message", log::kError, "Unable to duplicate SR objects!");
    return Status(CV_INVALID_MESSAGE_ID);
  }
  TS_RETURN_IF_ERROR(complete_pending_stream(source, 0, true));
  MsgObj* target = nullptr;
  TS_RETURN_IF_ERROR(create_object(source.kind, kEmptyObjectName, &target));
  Status copied = replace_name(*target, source.name);
  if (!copied.ok()) {
    log::write("CV_Duplicate_Message", log::kError,
               "Unable to allocate buffer to store destination msg's Service Name");
  }
  if (copied.ok() && source.kind == ObjectKind::kFile &&
      object_hooks().duplicate_media_info != nullptr) {
    copied = object_hooks().duplicate_media_info(source, *target);
  }
  if (copied.ok()) {
    core::LockHold hold(source.lock);
    target->service_number = source.service_number;
    target->command = source.command;
    target->charset_flags = source.charset_flags;
    target->transfer_syntax = syntax != 0 ? syntax : source.transfer_syntax;
    target->syntax_set = syntax != 0 || source.syntax_set;
    target->template_applied = source.template_applied;
    for (const TagObj* from = source.first; from != nullptr && copied.ok(); from = from->next) {
      TagObj* to = nullptr;
      copied = add_attribute(*target, from->tag, from->vr, from->vm_low, from->vm_high, &to);
      if (!copied.ok()) break;
      to->template_info = from->template_info;
      copied = copy_values(source, *from, *target, *to);
    }
    TagObj* kept_tail = nullptr;
    for (const TagObj* from = source.kept_first; from != nullptr && copied.ok();
         from = from->next) {
      TagObj* to = memory::pool_new<TagObj>(memory::PoolId::TagObj);
      if (to == nullptr) {
        copied = Status(CV_SYSTEM_ERROR);
        break;
      }
      to->tag = from->tag;
      to->vr = from->vr;
      to->vm_low = from->vm_low;
      to->vm_high = from->vm_high;
      to->storage = kStoredInMemory;
      to->template_info = from->template_info;
      to->prev = kept_tail;
      if (kept_tail != nullptr) {
        kept_tail->next = to;
      } else {
        target->kept_first = to;
      }
      kept_tail = to;
    }
  }
  if (!copied.ok()) {
    destroy_object(target);
    return copied;
  }
  *out = target;
  return Status();
}

Status duplicate_message(MsgObj& source, int32_t syntax, void* compressor, void* decompressor,
                         MsgObj** out) {
  *out = nullptr;
  const int32_t from = source.transfer_syntax;
  const int32_t to = syntax != 0 ? syntax : from;
  bool convert = false;
  if (to != from && source.kind != ObjectKind::kDicomdir && source.kind != ObjectKind::kSr) {
    const bool from_encapsulated = syntax_encapsulated(from);
    const bool to_encapsulated = syntax_encapsulated(to);
    if (to_encapsulated && compressor == nullptr) return Status(CV_NO_COMPRESSION_FUNCTION);
    if (from_encapsulated && decompressor == nullptr && source.decompressor == nullptr) {
      return Status(CV_NO_DECOMPRESSION_FUNCTION);
    }
    convert = from_encapsulated || to_encapsulated;
  }
  if (convert) {
    const TagObj* pixels = find_attribute(source, kPixelDataTag);
    if (pixels != nullptr && pixels->length > 0 && object_hooks().convert_pixel_data == nullptr) {
      return Status(CV_FUNCTION_UNAVAILABLE);
    }
  }
  MsgObj* target = nullptr;
  TS_RETURN_IF_ERROR(duplicate_object(source, syntax, &target));
  target->compressor = compressor;
  target->decompressor = decompressor != nullptr ? decompressor : source.decompressor;
  if (convert && object_hooks().convert_pixel_data != nullptr) {
    const Status converted = object_hooks().convert_pixel_data(source, *target);
    if (!converted.ok()) {
      destroy_object(target);
      return converted;
    }
  }
  *out = target;
  return Status();
}

void empty_object(MsgObj& object) {
  const bool remove_creators = Cfg->b(EMPTY_PRIVATE_CREATOR_CODES);
  const bool free_items = Cfg->b(REMOVE_SQ);
  // Values are released without the object's lock, as a value callback may run; the application
  // does not change an object from two threads at once.
  std::vector<TagObj*> emptied;
  std::vector<uint32_t> creators;
  {
    core::LockHold hold(object.lock);
    for (TagObj* record = object.first; record != nullptr; record = record->next) {
      if (!is_creator_element(record->tag)) {
        emptied.push_back(record);
      } else if (remove_creators) {
        creators.push_back(record->tag);
      }
    }
  }
  for (TagObj* record : emptied) release_values(object, *record, free_items, true);
  // A creator element is in an odd group, so it is never kept for a template.
  for (uint32_t tag : creators) (void)delete_attribute(object, tag);
}

bool free_object(MsgObj& object, const char* function) {
  if (object.kind == ObjectKind::kItem || object.kind == ObjectKind::kSr) {
    const int32_t references =
        std::atomic_ref<int32_t>(object.reference_count).load(std::memory_order_acquire);
    if (references > 0) {
      log::write(function, log::kT1, "Item %d was not freed because a message is referencing it.",
                 object.id);
      return false;
    }
    if (Cfg->b(ELIMINATE_ITEM_REFERENCES)) eliminate_item_references(&object, object.id);
  }
  destroy_object(&object);
  return true;
}

void eliminate_item_references(const MsgObj* item, int32_t item_id) {
  std::pair<const MsgObj*, int32_t> target(item, item_id);
  for_each_object(eliminate_in, &target);
}

}  // namespace tessel::data
