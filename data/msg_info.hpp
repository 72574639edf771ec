// Message templates: the attributes, types, value lists, defaults and conditions that the
// message information file defines per (service, command) and per item name, read on first use
// and cached for the life of the library.
//
// A cached template never changes and is never freed before library release or reset, so
// message objects may keep plain pointers to its attributes.
#ifndef TESSEL_DATA_MSG_INFO_HPP_
#define TESSEL_DATA_MSG_INFO_HPP_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/status.hpp"

namespace tessel::data {

// Type of a template attribute. The numbers are the codes validation and the printed forms use.
enum class AttributeType : int32_t {
  k1 = 0,
  k1C = 1,
  k2 = 2,
  k2C = 3,
  k3 = 4,
  kNotGiven = 7,
};

// "1" -> k1, "1C" -> k1C, "2" -> k2, "2C" -> k2C, "3" -> k3, anything else -> kNotGiven.
AttributeType type_code_from_text(std::string_view text);
// The two-character printed form: "1 ", "1C", "2 ", "2C", "3 "; "??" for any other code.
const char* type_code_text(int32_t code);
inline const char* type_code_text(AttributeType type) {
  return type_code_text(static_cast<int32_t>(type));
}

// An enumerated value or defined term for one value position. `bytes` holds the value in its
// stored form (text for text VRs and for the item names of a sequence, native-order binary for
// fixed-width VRs).
struct ValidValue {
  std::string bytes;
  uint16_t value_number;  // 1-based value position
  bool enumerated;        // true: enumerated value; false: defined term
};

// One default value: a NULL value, or bytes in stored form.
struct DefaultValue {
  bool is_null;
  std::string bytes;
};

struct TemplateAttribute {
  uint32_t tag;
  int32_t vr;
  uint16_t vm_low;
  uint16_t vm_high;  // 255 = n
  AttributeType type;
  std::vector<DefaultValue> defaults;
  std::vector<ValidValue> valid_values;  // in file order
  uint16_t highest_value_number;         // highest position with valid values, 0 when none
  int32_t condition;                     // index into the condition table, -1 when none
  std::string creator;                   // private creator code; empty for none
};

struct Template {
  std::string name;                           // service or item name
  uint16_t command;                           // DIMSE command field; 0 for an item
  std::vector<TemplateAttribute> attributes;  // ascending tag order

  // The attribute with exactly this tag, or null.
  const TemplateAttribute* find(uint32_t tag) const;
};

// Commands whose messages take no template: C-STORE-RSP, N-DELETE-RQ/RSP, C-ECHO-RQ/RSP.
bool command_takes_no_template(uint16_t command);

// The template of a service and command, or of an item name when `command` is 0. Returns the
// cached template or reads it from MSG_INFO_FILE and caches it. `*out` is null on failure, and
// also on success when the file cannot be opened and the command takes no template.
// Statuses: CV_MESSAGE_INFO_FILE_ERROR for a file or format fault (logged), CV_SYSTEM_ERROR when
// memory runs out, or the refusal of converting a default or valid value to its VR.
Status find_template(const char* name, uint16_t command, const Template** out);

// Frees every cached template and the cache's lock (library release and reset).
void release_templates();

// Converts a template value given as text to the form the value layer stores for `vr`: text
// VRs keep the text; SS, US, AT, SL and UL take a decimal integer (SS and US keep the low 16
// bits), FL and FD a decimal floating number, both in native byte order. CV_INVALID_VALUE_FOR_VR
// for text that is no such number (and for SQ), CV_VALUE_OUT_OF_RANGE when a floating value
// would lose its magnitude, CV_INCOMPATIBLE_VR for the opaque VRs.
Status template_value_to_stored(int32_t vr, std::string_view text, std::string& out);

// The private creator element (gggg,00bb) that reserves the block of a private data element
// (gggg,bbxx).
constexpr uint32_t creator_element_tag(uint32_t tag) {
  return (tag & 0xFFFF0000u) | ((tag >> 8) & 0xFFu);
}

}  // namespace tessel::data

#endif  // TESSEL_DATA_MSG_INFO_HPP_
