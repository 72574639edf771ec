// The binary message information file, shared by the library's reader and the build-time
// compiler.
//
// Every integer is big-endian. The file holds, in this order:
//   signature record at offset 0: tag 0xF003F003, parameter ID 0, length 0 (8 bytes);
//   preamble at offset 8 (20 bytes): message index offset (4), number of services (2), command
//     base offset (4), item index offset (4), number of items (2), template base offset (4);
//   message index: one 6-byte entry per service number n at index offset + (n - 1) * 6:
//     service number (2), offset of the service's command list from the command base (4);
//   command lists: entries of command field (2) and template offset from the template base (4),
//     each list ended by an entry whose command field is 0;
//   item index: one 6-byte entry per item number n: item number (2), template offset (4);
//   template data: per template a begin-marker record, then the attribute records, up to the
//     next begin marker or the end of the file.
// A record is tag (4), parameter ID (2), data length (2) and the data.
#ifndef TESSEL_DATA_MSG_INFO_FORMAT_HPP_
#define TESSEL_DATA_MSG_INFO_FORMAT_HPP_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessel::data::msg_info_format {

inline constexpr uint32_t kSignatureTag = 0xF003F003;
inline constexpr uint32_t kBeginMarkerTag = 0xF002F002;
inline constexpr size_t kSignatureSize = 8;
inline constexpr size_t kPreambleOffset = kSignatureSize;
inline constexpr size_t kPreambleSize = 20;
inline constexpr size_t kIndexEntrySize = 6;
inline constexpr size_t kRecordHeaderSize = 8;
// The length field is 16 bits wide.
inline constexpr size_t kMaxRecordData = 0xFFFF;

// Parameter IDs of attribute records.
inline constexpr uint16_t kFirstEnumeratedValue = 1;
inline constexpr uint16_t kLastEnumeratedValue = 1000;
inline constexpr uint16_t kFirstDefinedTerm = 1001;
inline constexpr uint16_t kLastDefinedTerm = 1999;
inline constexpr uint16_t kDefinedTermBase = 1000;
inline constexpr uint16_t kConditionParm = 2000;
inline constexpr uint16_t kVrParm = 9500;
inline constexpr uint16_t kDefaultParm = 9600;
inline constexpr uint16_t kCreatorParm = 9700;
inline constexpr uint16_t kTypeParm = 9999;

// Data of a default record that makes the default one NULL value.
inline constexpr std::string_view kNullDefault = "<null>";

struct Preamble {
  uint32_t message_index;
  uint16_t services;
  uint32_t command_base;
  uint32_t item_index;
  uint16_t items;
  uint32_t template_base;
};

inline uint16_t get16(const unsigned char* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t get32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void put16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value));
}

inline void put32(std::string& out, uint32_t value) {
  put16(out, static_cast<uint16_t>(value >> 16));
  put16(out, static_cast<uint16_t>(value));
}

// Appends one record; `data` is cut to the 16-bit length limit (callers check it first).
inline void append_record(std::string& out, uint32_t tag, uint16_t parm, std::string_view data) {
  if (data.size() > kMaxRecordData) data = data.substr(0, kMaxRecordData);
  put32(out, tag);
  put16(out, parm);
  put16(out, static_cast<uint16_t>(data.size()));
  out.append(data);
}

inline void append_signature(std::string& out) {
  append_record(out, kSignatureTag, 0, {});
}

inline void append_preamble(std::string& out, const Preamble& p) {
  put32(out, p.message_index);
  put16(out, p.services);
  put32(out, p.command_base);
  put32(out, p.item_index);
  put16(out, p.items);
  put32(out, p.template_base);
}

inline Preamble read_preamble(const unsigned char* p) {
  return Preamble{get32(p),      get16(p + 4),  get32(p + 6),
                  get32(p + 10), get16(p + 14), get32(p + 16)};
}

// The parts of a whole file: for each service number n (from 1) its command list as (command
// field, template index) pairs, for each item number n the index of its template, and the
// templates as attribute records without their begin marker.
struct FileParts {
  std::vector<std::vector<std::pair<uint16_t, size_t>>> services;
  std::vector<size_t> items;
  std::vector<std::string> templates;
};

// Lays a file out in the order described above. Services without commands share one empty
// command list at the command base. Counts must fit the 16-bit fields (callers check them).
inline std::string build_file(const FileParts& parts) {
  const size_t service_count = parts.services.size();
  const size_t item_count = parts.items.size();

  std::vector<uint32_t> template_offsets;
  template_offsets.reserve(parts.templates.size());
  std::string template_data;
  for (const std::string& records : parts.templates) {
    template_offsets.push_back(static_cast<uint32_t>(template_data.size()));
    append_record(template_data, kBeginMarkerTag, 0, {});
    template_data += records;
  }

  std::string command_lists;
  put16(command_lists, 0);
  put32(command_lists, 0);
  std::vector<uint32_t> list_offsets;
  list_offsets.reserve(service_count);
  for (const auto& commands : parts.services) {
    if (commands.empty()) {
      list_offsets.push_back(0);
      continue;
    }
    list_offsets.push_back(static_cast<uint32_t>(command_lists.size()));
    for (const auto& [command, index] : commands) {
      put16(command_lists, command);
      put32(command_lists, template_offsets[index]);
    }
    put16(command_lists, 0);
    put32(command_lists, 0);
  }

  Preamble preamble{};
  preamble.message_index = static_cast<uint32_t>(kSignatureSize + kPreambleSize);
  preamble.services = static_cast<uint16_t>(service_count);
  preamble.command_base =
      static_cast<uint32_t>(preamble.message_index + service_count * kIndexEntrySize);
  preamble.item_index = static_cast<uint32_t>(preamble.command_base + command_lists.size());
  preamble.items = static_cast<uint16_t>(item_count);
  preamble.template_base =
      static_cast<uint32_t>(preamble.item_index + item_count * kIndexEntrySize);

  std::string out;
  out.reserve(preamble.template_base + template_data.size());
  append_signature(out);
  append_preamble(out, preamble);
  for (size_t n = 0; n < service_count; ++n) {
    put16(out, static_cast<uint16_t>(n + 1));
    put32(out, list_offsets[n]);
  }
  out += command_lists;
  for (size_t n = 0; n < item_count; ++n) {
    put16(out, static_cast<uint16_t>(n + 1));
    put32(out, template_offsets[parts.items[n]]);
  }
  out += template_data;
  return out;
}

}  // namespace tessel::data::msg_info_format

#endif  // TESSEL_DATA_MSG_INFO_FORMAT_HPP_
