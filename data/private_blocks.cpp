// Private blocks: finding and allocating the creator elements of odd groups.
//
// Creator values are read straight from the stored nodes, so a search moves no value cursor and
// allocates nothing. Creator elements are written here too, always as one memory node: the
// search must be able to read them back cheaply whatever the large-data and callback settings,
// and leading spaces of a code are significant, so no padding rule applies.
#include "data/private_blocks.hpp"

#include <cstring>

#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "data/large_values.hpp"
#include "data/objects.hpp"
#include "data/text_check.hpp"
#include "data/vr.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

std::string_view trim_trailing_spaces(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// The creator code a creator element holds: its first value (text VRs) or its bytes (opaque VRs,
// as a decoder may leave them), at most 513 characters, trailing spaces removed. False when
// there is no readable value. `scratch` holds the text when it is not one stored stretch.
bool stored_creator_code(MsgObj& object, TagObj& attribute, char (&scratch)[kMaxCreatorCode],
                         std::string_view* out) {
  if (attribute.value_count <= 0) return false;
  size_t size = 0;
  if (attribute.storage == kStoredInMemory) {
    const ValueObj* node = attribute.head;
    if (node == nullptr) return false;
    if (is_text_vr(attribute.vr) || node->next == nullptr) {
      size = node->length < kMaxCreatorCode ? node->length : kMaxCreatorCode;
      *out =
          trim_trailing_spaces(std::string_view(reinterpret_cast<const char*>(node->bytes), size));
      return true;
    }
    if (!is_opaque_vr(attribute.vr)) return false;
    for (; node != nullptr && size < kMaxCreatorCode; node = node->next) {
      const size_t take =
          node->length < kMaxCreatorCode - size ? node->length : kMaxCreatorCode - size;
      std::memcpy(scratch + size, node->bytes, take);
      size += take;
    }
  } else if (attribute.storage == kStoredInFile) {
    // Only with a large-data threshold below the code's length; the first piece is enough.
    ValueObj* piece = nullptr;
    if (!read_piece(object, attribute, 1, &piece).ok()) return false;
    size = piece->length < kMaxCreatorCode ? piece->length : kMaxCreatorCode;
    std::memcpy(scratch, piece->bytes, size);
    CVI_releaseBuffer(piece);
  } else {
    return false;
  }
  *out = trim_trailing_spaces(std::string_view(scratch, size));
  return true;
}

// Whether the creator element holds exactly `code` as its one memory value.
bool holds_exactly(const TagObj& attribute, std::string_view code) {
  const ValueObj* node = attribute.head;
  return attribute.storage == kStoredInMemory && attribute.value_count == 1 && node != nullptr &&
         node->next == nullptr && node->length == code.size() &&
         std::memcmp(node->bytes, code.data(), code.size()) == 0;
}

// Replaces the creator element's values by `code` and checks it as text of the element's VR. A
// failed check still leaves the code stored.
Status store_creator_value(MsgObj& object, TagObj& attribute, std::string_view code,
                           const char* function) {
  TS_RETURN_IF_ERROR(
      store_single_value(object, attribute, code.data(), static_cast<uint32_t>(code.size())));
  return check_text_value(attribute.vr, attribute.tag, code, object.charset_flags, function);
}

void log_set_failure(const char* function, Status status) {
  log::write(function, log::kError, "ERROR setting private group value: %s",
             CV_Error_Message(status.code()));
}

}  // namespace

std::string_view creator_code(const char* code) {
  if (code == nullptr) return {};
  return trim_trailing_spaces(std::string_view(code, strnlen(code, kMaxCreatorCode)));
}

bool creator_codes_equal(std::string_view a, std::string_view b) {
  return trim_trailing_spaces(a.substr(0, kMaxCreatorCode)) ==
         trim_trailing_spaces(b.substr(0, kMaxCreatorCode));
}

std::string_view creator_code_of(const TagObj& creator_element) {
  const ValueObj* node = creator_element.head;
  if (creator_element.storage != kStoredInMemory || creator_element.value_count <= 0 ||
      node == nullptr) {
    return {};
  }
  return std::string_view(reinterpret_cast<const char*>(node->bytes), node->length);
}

Status find_private_block(MsgObj& object, std::string_view creator, uint16_t group,
                          uint32_t* creator_tag) {
  const uint32_t base = uint32_t{group} << 16;
  const uint32_t first = base | kFirstCreatorElement;
  const uint32_t last = base | kLastCreatorElement;
  TS_RETURN_IF_ERROR(complete_pending_stream(object, last, false));
  if (!is_private_group(group)) return Status(CV_PRIVATE_GROUP_NOT_ODD);
  const std::string_view code = trim_trailing_spaces(creator.substr(0, kMaxCreatorCode));
  char scratch[kMaxCreatorCode];
  core::LockHold hold(object.lock);
  // Blocks are handed out from the lowest free number: the counter follows the creator elements
  // while they are consecutive from 0x10, and the first one that differs marks a gap.
  uint32_t free_block = kFirstCreatorElement;
  bool gap = false;
  for (TagObj* at = find_attribute_at_or_after(object, first); at != nullptr && at->tag <= last;
       at = at->next) {
    std::string_view stored;
    if (stored_creator_code(object, *at, scratch, &stored) && stored == code) {
      *creator_tag = at->tag;
      return Status(CV_PRIVATE_BLOCK_FOUND);
    }
    if (!gap) {
      if ((at->tag & 0xFFFFU) == free_block) {
        ++free_block;
      } else {
        gap = true;
      }
    }
  }
  *creator_tag = base | free_block;
  return Status(CV_PRIVATE_BLOCK_NOT_FOUND);
}

Status find_private_element(MsgObj& object, std::string_view creator, uint16_t group,
                            uint8_t element, uint32_t* tag) {
  uint32_t creator_tag = 0;
  const Status status = find_private_block(object, creator, group, &creator_tag);
  if (status.is(CV_PRIVATE_BLOCK_FOUND) || status.is(CV_PRIVATE_BLOCK_NOT_FOUND)) {
    *tag = private_tag_of(creator_tag, element);
  }
  return status;
}

Status find_private_element(int32_t id, std::string_view creator, uint16_t group, uint8_t element,
                            MsgObj** object, uint32_t* tag) {
  *object = find_object(id);
  if (*object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
  return find_private_element(**object, creator, group, element, tag);
}

Status find_private_attribute(MsgObj& object, std::string_view creator, uint16_t group,
                              uint8_t element, uint32_t* tag) {
  core::LockHold hold(object.lock);
  const Status status = find_private_element(object, creator, group, element, tag);
  if (status.is(CV_PRIVATE_BLOCK_FOUND) && find_attribute(object, *tag) == nullptr) {
    return Status(CV_PRIVATE_BLOCK_NOT_FOUND);
  }
  return status;
}

Status find_private_attribute(int32_t id, std::string_view creator, uint16_t group, uint8_t element,
                              MsgObj** object, uint32_t* tag) {
  *object = find_object(id);
  if (*object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
  return find_private_attribute(**object, creator, group, element, tag);
}

Status add_private_block(MsgObj& object, std::string_view creator, uint16_t group,
                         uint32_t* creator_tag, const char* function) {
  const std::string_view code = trim_trailing_spaces(creator.substr(0, kMaxCreatorCode));
  core::LockHold hold(object.lock);
  uint32_t tag = 0;
  const Status found = find_private_block(object, creator, group, &tag);
  TagObj* attribute = nullptr;
  if (found.is(CV_PRIVATE_BLOCK_FOUND)) {
    attribute = find_attribute(object, tag);
    // A matching code stored with trailing spaces is rewritten without them; a creator kept as
    // bytes of an opaque VR is left as it is.
    if (attribute == nullptr || holds_exactly(*attribute, code) || !is_text_vr(attribute->vr)) {
      *creator_tag = tag;
      return Status();
    }
  } else if (found.is(CV_PRIVATE_BLOCK_NOT_FOUND)) {
    if ((tag & 0xFFFFU) > kLastCreatorElement) return Status(CV_TOO_MANY_BLOCKS);
    const Status added = add_attribute(object, tag, CV_VR_LO, 1, 255, &attribute);
    if (!added.ok()) return Status(CV_SYSTEM_ERROR);
  } else {
    return found;
  }
  const Status stored = store_creator_value(object, *attribute, code, function);
  if (!stored.ok()) {
    log_set_failure(function, stored);
    return Status(CV_SYSTEM_ERROR);
  }
  *creator_tag = tag;
  return Status();
}

}  // namespace tessel::data

int32_t CVI_AddPrivateBlockTag(tessel::data::MsgObj& object, const char* creator,
                               uint32_t creator_tag) {
  using namespace tessel;
  using namespace tessel::data;
  constexpr const char* kFunction = "CVI_AddPrivateBlockTag";
  const std::string_view code = creator_code(creator);
  core::LockHold hold(object.lock);
  TagObj* attribute = find_attribute(object, creator_tag);
  if (attribute == nullptr) {
    const Status added = add_attribute(object, creator_tag, CV_VR_LO, 1, 255, &attribute);
    if (!added.ok()) {
      log_set_failure(kFunction, added);
      return CV_SYSTEM_ERROR;
    }
  }
  const Status stored = store_creator_value(object, *attribute, code, kFunction);
  if (stored.is(CV_INVALID_CHARS_IN_VALUE) && Cfg->b(ALLOW_INVALID_PRIVATE_CREATOR_CODES)) {
    log::write(kFunction, log::kWarning, "(%4.4x,%4.4x): %s",
               static_cast<unsigned>(creator_tag >> 16),
               static_cast<unsigned>(creator_tag & 0xFFFF),
               "Tag added regardless of finding invalid characters.\n");
    return CV_NORMAL_COMPLETION;
  }
  if (!stored.ok()) {
    log_set_failure(kFunction, stored);
    return CV_SYSTEM_ERROR;
  }
  return CV_NORMAL_COMPLETION;
}
