// Private creators met by the decoder: each creator element of the stream reserves a block in the
// object (its own block number when that is free), and the creator map renumbers the private
// data elements of the stream's block into the object's.
#include <cstring>
#include <string>

#include "codec/decoder_parser.hpp"
#include "data/objects.hpp"
#include "data/private_blocks.hpp"
#include "log/log.hpp"

#include "tessel/tessel.h"

namespace tessel::codec::detail {
namespace {

unsigned group_of(uint32_t tag) {
  return static_cast<unsigned>(tag >> 16);
}
unsigned element_of(uint32_t tag) {
  return static_cast<unsigned>(tag & 0xFFFF);
}

// The creator element to use for a new block: `preferred` when the object does not hold it,
// else the lowest unused one; (gggg,0100) when every block is taken.
uint32_t free_creator_tag(data::MsgObj& object, uint32_t preferred) {
  if (data::find_attribute(object, preferred) == nullptr) return preferred;
  const uint32_t group = preferred & 0xFFFF0000u;
  for (uint32_t element = data::kFirstCreatorElement; element <= data::kLastCreatorElement;
       ++element) {
    if (data::find_attribute(object, group | element) == nullptr) return group | element;
  }
  return group | 0x0100;
}

}  // namespace

const CreatorEntry* Parser::find_creator(const Level& level, uint16_t group, uint8_t block) const {
  // A block reserved in an enclosing level still names the creator of elements in its items.
  for (const Level* at = &level; at != nullptr; at = at->parent) {
    for (const CreatorEntry& entry : creators_) {
      if (entry.object == at->object && entry.group == group && entry.stream_block == block) {
        return &entry;
      }
    }
  }
  return nullptr;
}

void Parser::remember_creator(const data::MsgObj& object, uint16_t group, uint8_t stream_block,
                              uint8_t object_block, const std::string& code) {
  for (CreatorEntry& entry : creators_) {
    if (entry.object == &object && entry.group == group && entry.stream_block == stream_block) {
      entry.object_block = object_block;
      entry.code = code;
      return;
    }
  }
  creators_.push_back(CreatorEntry{&object, group, stream_block, object_block, code});
}

Status Parser::decode_creator(Level& level, const ElementHeader& header) {
  data::MsgObj& object = *level.object;
  const uint16_t group = static_cast<uint16_t>(header.tag >> 16);
  const auto stream_block = static_cast<uint8_t>(header.tag & 0xFF);
  auto ignore = [&](const std::string& code, int32_t status) {
    log::write(
        function_, log::kWarning, "Unable to add private creator (%.4X,%.4x) \"%s\": %s (ignoring)",
        group_of(header.tag), element_of(header.tag), code.c_str(), CV_Error_Message(status));
    return Status();
  };
  if (header.length == data::kUndefinedLength) {
    TS_RETURN_IF_ERROR(skip_value(level.syntax, header));
    return ignore(std::string(), CV_INVALID_VALUE_FOR_VR);
  }
  const uint8_t* bytes = nullptr;
  TS_RETURN_IF_ERROR(reader_.read(header.length, &bytes));
  size_t length = header.length < data::kMaxCreatorCode ? header.length : data::kMaxCreatorCode;
  while (length > 0 && (bytes[length - 1] == ' ' || bytes[length - 1] == '\0')) --length;
  const std::string code(reinterpret_cast<const char*>(bytes), length);
  if (code.find('\0') != std::string::npos) return ignore(code, CV_INVALID_CHARS_IN_VALUE);

  uint32_t found_tag = 0;
  const Status found = data::find_private_block(object, code, group, &found_tag);
  uint32_t target = 0;
  if (found.is(CV_PRIVATE_BLOCK_FOUND)) {
    const auto object_block = static_cast<uint8_t>(found_tag & 0xFF);
    bool duplicate = false;
    for (const CreatorEntry& entry : creators_) {
      duplicate =
          duplicate || (entry.object == &object && entry.group == group &&
                        entry.object_block == object_block && entry.stream_block != stream_block);
    }
    if (!duplicate) {
      remember_creator(object, group, stream_block, object_block, code);
      return Status();
    }
    if (!allow_duplicate_creators_) {
      log::write(function_, log::kWarning,
                 "Ignoring duplicate private creator code: (%4.4x,%4.4x) %s", group_of(header.tag),
                 element_of(header.tag), code.c_str());
      // Its data elements join the block the code already has.
      remember_creator(object, group, stream_block, object_block, code);
      return Status();
    }
    core::LockHold hold(object.lock);
    target = free_creator_tag(object, header.tag);
  } else if (found.is(CV_PRIVATE_BLOCK_NOT_FOUND)) {
    core::LockHold hold(object.lock);
    target = data::find_attribute(object, header.tag) == nullptr ? header.tag : found_tag;
  } else {
    return ignore(code, found.code());
  }
  if ((target & 0xFFFF) > data::kLastCreatorElement) return ignore(code, CV_TOO_MANY_BLOCKS);
  const int32_t added = CVI_AddPrivateBlockTag(object, code.c_str(), target);
  if (added != CV_NORMAL_COMPLETION) return ignore(code, added);
  remember_creator(object, group, stream_block, static_cast<uint8_t>(target & 0xFF), code);
  return Status();
}

}  // namespace tessel::codec::detail
