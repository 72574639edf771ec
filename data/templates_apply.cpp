// Templates applied to objects in add and update mode.
#include "data/templates_apply.hpp"

#include <string_view>

#include "config/services.hpp"
#include "core/named_lock.hpp"
#include "data/msg_info.hpp"
#include "data/objects.hpp"
#include "data/private_blocks.hpp"
#include "log/log.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

void attach(TagObj& record, const TemplateAttribute& attribute) {
  record.template_info = &attribute;
  record.vm_low = attribute.vm_low;
  record.vm_high = attribute.vm_high;
}

bool is_private_data_element(uint32_t tag) {
  return is_private_group(tag >> 16) && (tag & 0xFFFFu) >= 0x1000;
}

// The code a template creator element reserves: its creator code, else its first value.
std::string_view template_creator_code(const TemplateAttribute& attribute) {
  if (!attribute.creator.empty()) return attribute.creator;
  for (const DefaultValue& value : attribute.defaults) {
    if (!value.is_null && !value.bytes.empty()) return value.bytes;
  }
  return {};
}

// Adds the creator element of a new block at `creator_tag` holding `code`.
Status add_block(MsgObj& object, uint32_t creator_tag, int32_t vr, uint16_t vm_low,
                 uint16_t vm_high, std::string_view code, const char* function, TagObj** out) {
  if ((creator_tag & 0xFFFFu) > 0x00FF) {
    log::write(function, log::kError, "Unable to create Private Creator Code attribute: %s",
               CV_Error_Message(CV_TOO_MANY_BLOCKS));
    return Status(CV_TOO_MANY_BLOCKS);
  }
  TagObj* record = nullptr;
  Status added = add_attribute(object, creator_tag, vr, vm_low, vm_high, &record);
  if (!added.ok()) {
    log::write(function, log::kError, "Unable to create Private Creator Code attribute: %s",
               CV_Error_Message(added.code()));
    return added;
  }
  Status stored =
      store_single_value(object, *record, code.data(), static_cast<uint32_t>(code.size()));
  if (!stored.ok()) {
    log::write(function, log::kError, "ERROR setting private creator code value: %s",
               CV_Error_Message(stored.code()));
    return Status(CV_SYSTEM_ERROR);
  }
  *out = record;
  return Status();
}

// The object's tag of a private data element: the block of its creator code, created when
// missing.
Status place_private_element(MsgObj& object, const TemplateAttribute& attribute,
                             const char* function, uint32_t* tag) {
  const uint16_t group = static_cast<uint16_t>(attribute.tag >> 16);
  uint32_t creator_tag = 0;
  const Status search = find_private_block(object, attribute.creator, group, &creator_tag);
  if (search.is(CV_PRIVATE_BLOCK_NOT_FOUND)) {
    TagObj* record = nullptr;
    TS_RETURN_IF_ERROR(
        add_block(object, creator_tag, CV_VR_LO, 1, 1, attribute.creator, function, &record));
  } else if (!search.is(CV_PRIVATE_BLOCK_FOUND)) {
    return search;
  }
  *tag = (attribute.tag & 0xFFFF00FFu) | ((creator_tag & 0xFFu) << 8);
  return Status();
}

// A template creator element: the object's element holding the same code receives the
// template information; without one a block is created.
Status place_creator_element(MsgObj& object, const TemplateAttribute& attribute,
                             std::string_view code, const char* function) {
  const uint16_t group = static_cast<uint16_t>(attribute.tag >> 16);
  uint32_t creator_tag = 0;
  const Status search = find_private_block(object, code, group, &creator_tag);
  TagObj* record = nullptr;
  if (search.is(CV_PRIVATE_BLOCK_FOUND)) {
    record = find_attribute(object, creator_tag);
  } else if (search.is(CV_PRIVATE_BLOCK_NOT_FOUND)) {
    TS_RETURN_IF_ERROR(add_block(object, creator_tag, attribute.vr, attribute.vm_low,
                                 attribute.vm_high, code, function, &record));
  } else {
    return search;
  }
  if (record != nullptr) attach(*record, attribute);
  return Status();
}

}  // namespace

bool service_has_command(const char* service, uint16_t command) {
  const services::ServiceEntry* entry = CVI_GetSOPEntryByName(service);
  const char* command_name = services::command_name(command);
  if (entry == nullptr || command_name == nullptr) return false;
  return (entry->commands & services::command_bit(command_name)) != 0;
}

Status find_object_template(const MsgObj& object, const Template** out) {
  *out = nullptr;
  if (object.kind == ObjectKind::kItem || object.kind == ObjectKind::kSr) {
    if (services::item_number(object.name) < 0) return Status();
    return find_template(object.name, 0, out);
  }
  if (command_takes_no_template(object.command) ||
      !service_has_command(object.name, object.command)) {
    return Status();
  }
  return find_template(object.name, object.command, out);
}

Status apply_template_add(MsgObj& object, const Template& tmpl, const char* function) {
  const bool has_command = object.kind != ObjectKind::kItem && object.kind != ObjectKind::kSr;
  if (has_command && command_takes_no_template(object.command)) return Status();
  for (const TemplateAttribute& attribute : tmpl.attributes) {
    uint32_t tag = attribute.tag;
    if (is_creator_element(tag)) {
      const std::string_view code = template_creator_code(attribute);
      if (!code.empty()) {
        TS_RETURN_IF_ERROR(place_creator_element(object, attribute, code, function));
        continue;
      }
    } else if (is_private_data_element(tag) && !attribute.creator.empty()) {
      TS_RETURN_IF_ERROR(place_private_element(object, attribute, function, &tag));
    }
    TagObj* record = nullptr;
    const Status added =
        add_attribute(object, tag, attribute.vr, attribute.vm_low, attribute.vm_high, &record);
    if (added.is(CV_TAG_ALREADY_EXISTS)) {
      record = find_attribute(object, tag);
    } else if (!added.ok()) {
      log::write(function, log::kError, "Problem with Message Info File.");
      return added;
    }
    if (record != nullptr) attach(*record, attribute);
  }
  object.template_applied = true;
  return Status();
}

void apply_template_update(MsgObj& object, const Template& tmpl, uint32_t first_tag) {
  core::LockHold hold(object.lock);
  for (const TemplateAttribute& attribute : tmpl.attributes) {
    uint32_t tag = attribute.tag;
    const uint16_t group = static_cast<uint16_t>(tag >> 16);
    std::string_view code;
    if (is_creator_element(tag)) {
      code = template_creator_code(attribute);
    } else if (is_private_data_element(tag)) {
      code = attribute.creator;
    }
    if (!code.empty()) {
      uint32_t creator_tag = 0;
      if (!find_private_block(object, code, group, &creator_tag).is(CV_PRIVATE_BLOCK_FOUND)) {
        continue;
      }
      tag = is_creator_element(tag) ? creator_tag
                                    : (tag & 0xFFFF00FFu) | ((creator_tag & 0xFFu) << 8);
    }
    if (tag < first_tag) continue;
    TagObj* record = find_attribute(object, tag);
    if (record != nullptr) attach(*record, attribute);
  }
}

}  // namespace tessel::data
