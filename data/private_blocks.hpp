// Private blocks of an object: the creator elements (gggg,0010)..(gggg,00FF) of a private
// group, each reserving the elements (gggg,bb00)..(gggg,bbFF) for the creator code it holds.
// Applications and templates address private attributes by (creator code, group, element
// byte); these functions find or allocate the block and compute the real tag.
#ifndef TESSEL_DATA_PRIVATE_BLOCKS_HPP_
#define TESSEL_DATA_PRIVATE_BLOCKS_HPP_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/status.hpp"
#include "data/object.hpp"

namespace tessel::data {

// At most this many characters of a creator code take part in a comparison.
inline constexpr size_t kMaxCreatorCode = 513;
inline constexpr uint32_t kFirstCreatorElement = 0x10;
inline constexpr uint32_t kLastCreatorElement = 0xFF;

// Odd groups other than 0001, 0003, 0005, 0007 and FFFF.
constexpr bool is_private_group(uint32_t group) {
  return (group & 1U) != 0 && group != 0x0001 && group != 0x0003 && group != 0x0005 &&
         group != 0x0007 && group != 0xFFFF;
}
// A creator element: private group, element 0x0010 to 0x00FF.
constexpr bool is_creator_element(uint32_t tag) {
  const uint32_t element = tag & 0xFFFFu;
  return is_private_group(tag >> 16) && element >= kFirstCreatorElement &&
         element <= kLastCreatorElement;
}
// The tag of element byte `element` in the block reserved by the creator element `creator_tag`.
constexpr uint32_t private_tag_of(uint32_t creator_tag, uint8_t element) {
  return (creator_tag & 0xFFFF0000u) | ((creator_tag & 0xFFu) << 8) | element;
}

// A creator code as it is compared: at most kMaxCreatorCode characters, trailing spaces
// removed. A null code gives the empty code.
std::string_view creator_code(const char* code);

// Creator codes compare exactly (case-sensitive) after trailing spaces are removed from both
// sides, on at most kMaxCreatorCode characters.
bool creator_codes_equal(std::string_view a, std::string_view b);

// The code an existing creator element holds: its first in-memory value, trailing spaces
// kept. Empty when it has no such value.
std::string_view creator_code_of(const TagObj& creator_element);

// Block search: walks the object's creator elements of `group` in tag order. The first whose
// code equals `creator` gives CV_PRIVATE_BLOCK_FOUND and *creator_tag = that element. Otherwise
// CV_PRIVATE_BLOCK_NOT_FOUND and *creator_tag = the first free creator element: a counter starts
// at 0x10 and steps over every creator element equal to it, so the lowest gap is reused, and
// (gggg,0100) is proposed when all of 0x10..0xFF are taken (callers refuse that block with
// CV_TOO_MANY_BLOCKS). CV_PRIVATE_GROUP_NOT_ODD for a group that is not private. A pending
// stream is decoded first (its failure status is returned). Takes the object's lock; value
// cursors are left alone. Never logs.
Status find_private_block(MsgObj& object, std::string_view creator, uint16_t group,
                          uint32_t* creator_tag);

// Element search: the block search, then *tag = the full tag of the element byte in that block
// (in the proposed block when the block does not exist). CV_PRIVATE_BLOCK_FOUND whether or not
// the element exists, CV_PRIVATE_BLOCK_NOT_FOUND, CV_PRIVATE_GROUP_NOT_ODD. The identifier form
// adds CV_INVALID_MESSAGE_ID and returns the object.
Status find_private_element(MsgObj& object, std::string_view creator, uint16_t group,
                            uint8_t element, uint32_t* tag);
Status find_private_element(int32_t id, std::string_view creator, uint16_t group, uint8_t element,
                            MsgObj** object, uint32_t* tag);
// Attribute search: as the element search, but CV_PRIVATE_BLOCK_FOUND only when the element
// also exists in the object.
Status find_private_attribute(MsgObj& object, std::string_view creator, uint16_t group,
                              uint8_t element, uint32_t* tag);
Status find_private_attribute(int32_t id, std::string_view creator, uint16_t group, uint8_t element,
                              MsgObj** object, uint32_t* tag);

// Finds the block of `creator` in `group` or creates it at the first free creator element (VR
// LO, VM 1-n), and stores the code (trailing spaces removed) as the creator element's value.
// *creator_tag receives the creator element. CV_PRIVATE_GROUP_NOT_ODD; CV_TOO_MANY_BLOCKS when
// all 240 creator elements are in use; CV_SYSTEM_ERROR when the element cannot be added or its
// value cannot be stored or breaks the LO rules (then "ERROR setting private group value: %s"
// is logged under `function`). Runs under the object's lock, so concurrent callers adding
// different creators get different blocks.
Status add_private_block(MsgObj& object, std::string_view creator, uint16_t group,
                         uint32_t* creator_tag, const char* function);

}  // namespace tessel::data

// Adds the creator element `creator_tag` met in a decoded or converted data set (VR LO, VM 1-n;
// an element already present is reused) and stores the code, cut to 513 characters with trailing
// spaces removed. Invalid characters are accepted with a warning when
// ALLOW_INVALID_PRIVATE_CREATOR_CODES is set; any other failure logs "ERROR setting private
// group value: %s" and gives CV_SYSTEM_ERROR. Returns CV_NORMAL_COMPLETION otherwise.
int32_t CVI_AddPrivateBlockTag(tessel::data::MsgObj& object, const char* creator,
                               uint32_t creator_tag);

#endif  // TESSEL_DATA_PRIVATE_BLOCKS_HPP_
