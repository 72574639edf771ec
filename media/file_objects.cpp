// File and DICOMDIR objects: creation with the meta group and the template of their service,
// conversion to and from messages, emptying, and the file name.
#include <cstring>
#include <new>
#include <vector>

#include "config/config_record.hpp"
#include "config/services.hpp"
#include "core/named_lock.hpp"
#include "data/msg_info.hpp"
#include "data/object_ops.hpp"
#include "data/objects.hpp"
#include "data/templates_apply.hpp"
#include "log/log.hpp"
#include "media/files.hpp"

#include "tessel/tessel.h"

namespace tessel::media {
namespace {

using data::AttributeType;
using data::MsgObj;
using data::ObjectKind;

constexpr uint32_t kCommandGroupFirst = 0x00000000;
constexpr uint32_t kCommandGroupLast = 0x0000FFFF;
constexpr uint32_t kMetaGroupFirst = 0x00020000;
constexpr uint32_t kMetaGroupLast = 0x0002FFFF;

struct MetaElement {
  uint32_t tag;
  int32_t vr;
  AttributeType type;
};

// The File Meta Information elements every file object starts with, in tag order.
constexpr MetaElement kMetaElements[] = {
    {0x00020000, CV_VR_UL, AttributeType::k1}, {0x00020001, CV_VR_OB, AttributeType::k1},
    {0x00020002, CV_VR_UI, AttributeType::k1}, {0x00020003, CV_VR_UI, AttributeType::k1},
    {0x00020010, CV_VR_UI, AttributeType::k1}, {0x00020012, CV_VR_UI, AttributeType::k1},
    {0x00020013, CV_VR_SH, AttributeType::k3}, {0x00020016, CV_VR_AE, AttributeType::k3},
    {0x00020100, CV_VR_UI, AttributeType::k3}, {0x00020102, CV_VR_OB, AttributeType::k3},
};
constexpr size_t kMetaElementCount = sizeof kMetaElements / sizeof kMetaElements[0];

// Template information of the meta elements (type, VR, VM 1), built once and kept for the life
// of the process like the cached message templates, so attributes may point at it.
const data::TemplateAttribute* meta_template(size_t index) {
  static const std::vector<data::TemplateAttribute>* const table = [] {
    auto* entries = new std::vector<data::TemplateAttribute>();
    entries->reserve(kMetaElementCount);
    for (const MetaElement& element : kMetaElements) {
      data::TemplateAttribute attribute{};
      attribute.tag = element.tag;
      attribute.vr = element.vr;
      attribute.vm_low = 1;
      attribute.vm_high = 1;
      attribute.type = element.type;
      attribute.condition = -1;
      entries->push_back(std::move(attribute));
    }
    return entries;
  }();
  return &(*table)[index];
}

// Adds the meta elements the object lacks, without values; existing ones are left as they are.
// On failure the elements this call added are deleted again.
Status add_meta_elements(MsgObj& object) {
  uint32_t added_tags[kMetaElementCount];
  size_t added_count = 0;
  for (size_t i = 0; i < kMetaElementCount; ++i) {
    const MetaElement& element = kMetaElements[i];
    data::TagObj* record = nullptr;
    const Status added = data::add_attribute(object, element.tag, element.vr, 1, 1, &record);
    if (added.is(CV_TAG_ALREADY_EXISTS)) continue;
    if (!added.ok()) {
      for (size_t j = 0; j < added_count; ++j) (void)data::delete_attribute(object, added_tags[j]);
      return added;
    }
    record->template_info = meta_template(i);
    added_tags[added_count++] = element.tag;
  }
  return Status();
}

bool is_empty_name(const char* name) {
  return std::strcmp(name, data::kEmptyObjectName) == 0;
}

// Template lookup and application failures end a creation: memory stays CV_SYSTEM_ERROR, every
// other fault is the information file's.
Status creation_failure(Status status) {
  return status.is(CV_SYSTEM_ERROR) ? status : Status(CV_MESSAGE_INFO_FILE_ERROR);
}

// A new File or DICOMDIR with its header and meta elements; freed again on failure.
Status new_file_object(ObjectKind kind, const char* name, const char* file_name,
                       const char* function, MsgObj** out) {
  *out = nullptr;
  MsgObj* file = nullptr;
  TS_RETURN_IF_ERROR(data::create_object(kind, name, &file));
  Status made = attach_file_info(*file, file_name, function);
  if (made.ok()) made = add_meta_elements(*file);
  if (made.ok() && kind == ObjectKind::kDicomdir &&
      data::object_hooks().create_directory_info != nullptr) {
    made = data::object_hooks().create_directory_info(*file);
  }
  if (!made.ok()) {
    data::destroy_object(file);
    return made;
  }
  *out = file;
  return Status();
}

}  // namespace

MsgObj* find_file(int32_t id) {
  MsgObj* object = data::find_object(id);
  return object != nullptr && is_file_object(*object) ? object : nullptr;
}

Status create_file(const char* file_name, const char* service, int32_t command, MsgObj** out) {
  *out = nullptr;
  if (!data::valid_command(command)) return Status(CV_INVALID_COMMAND);
  const ObjectKind kind =
      std::strncmp(service, "DICOMDIR", 8) == 0 ? ObjectKind::kDicomdir : ObjectKind::kFile;
  MsgObj* file = nullptr;
  TS_RETURN_IF_ERROR(new_file_object(kind, service, file_name, "CV_Create_File", &file));
  file->command = static_cast<uint16_t>(command);
  file->service_number = services::service_number(service);
  const bool known_pair = services::check_service_command(CV_KIND_MESSAGE, service, command).ok() &&
                          data::service_has_command(service, file->command);
  if (!known_pair) {
    if (!is_empty_name(service)) {
      log::write("CV_Create_File", log::kT7, "WARNING: No Service %s, Command %s in info file.",
                 service, services::command_name(file->command));
    }
    *out = file;
    return Status();
  }
  const data::Template* tmpl = nullptr;
  Status applied = data::find_object_template(*file, &tmpl);
  if (applied.ok() && tmpl != nullptr) {
    applied = data::apply_template_add(*file, *tmpl, "CV_Create_File");
  }
  if (!applied.ok()) {
    data::destroy_object(file);
    return creation_failure(applied);
  }
  // Templates describe messages; a file carries no command group.
  data::delete_range(*file, kCommandGroupFirst, kCommandGroupLast);
  *out = file;
  return Status();
}

Status create_empty_file(const char* file_name, MsgObj** out) {
  return new_file_object(ObjectKind::kFile, data::kEmptyObjectName, file_name,
                         "CV_Create_Empty_File", out);
}

Status message_to_file(MsgObj& message, const char* file_name) {
  TS_RETURN_IF_ERROR(attach_file_info(message, file_name, "CV_Message_To_File"));
  const Status added = add_meta_elements(message);
  if (!added.ok()) {
    // Only a File or DICOMDIR may carry a header.
    core::LockHold hold(message.lock);
    delete static_cast<FileInfo*>(message.media_info);
    message.media_info = nullptr;
    return added;
  }
  data::delete_range(message, kCommandGroupFirst, kCommandGroupLast);
  core::LockHold hold(message.lock);
  message.kind = ObjectKind::kFile;
  return Status();
}

Status file_to_message(MsgObj& file) {
  detach_file_info(file);
  data::delete_range(file, kMetaGroupFirst, kMetaGroupLast);
  core::LockHold hold(file.lock);
  file.kind = ObjectKind::kMessage;
  return Status();
}

Status empty_file(MsgObj& file) {
  TS_RETURN_IF_ERROR(data::complete_pending_stream(file, 0, true));
  data::empty_object(file);
  {
    core::LockHold hold(file.lock);
    FileInfo* info = file_info(file);
    if (info != nullptr) reset_file_header(*info);
  }
  if (file.kind == ObjectKind::kDicomdir) {
    data::ObjectHooks& hooks = data::object_hooks();
    if (hooks.release_directory_info != nullptr) hooks.release_directory_info(file);
    if (hooks.create_directory_info != nullptr) {
      TS_RETURN_IF_ERROR(hooks.create_directory_info(file));
    }
  }
  return Status();
}

Status reset_file_name(MsgObj& file, const char* file_name, const char* function) {
  core::LockHold hold(file.lock);
  FileInfo* info = file_info(file);
  if (info == nullptr) return Status(CV_INVALID_FILE_ID);
  try {
    info->file_name = file_name;
  } catch (const std::bad_alloc&) {
    log::write(function, log::kError, "Out Of Memory");
    return Status(CV_SYSTEM_ERROR);
  }
  return Status();
}

Status copy_file_name(const MsgObj& file, char* buffer, int32_t buffer_size) {
  core::LockHold hold(file.lock);
  const FileInfo* info = file_info(file);
  if (info == nullptr) return Status(CV_INVALID_FILE_ID);
  const size_t length = info->file_name.size();
  if (buffer_size <= 0 || length >= static_cast<size_t>(buffer_size)) {
    return Status(CV_BUFFER_TOO_SMALL);
  }
  std::memcpy(buffer, info->file_name.c_str(), length + 1);
  return Status();
}

}  // namespace tessel::media
