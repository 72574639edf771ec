// The binary data dictionary file, shared by the library's reader and the build-time compiler.
//
// The file is a sequence of records, every integer big-endian:
//   tag (4), VR code (2, signed), VM low (1), VM high (1, 255 = n), name, and for a record in a
//   private group the creator code in exactly 513 NUL-padded bytes.
// The first record is a marker whose tag announces the name format of the whole file: fixed
// 64-byte NUL-padded names or NUL-terminated names. The marker carries no creator field.
#ifndef TESSEL_DATA_DICTIONARY_FORMAT_HPP_
#define TESSEL_DATA_DICTIONARY_FORMAT_HPP_

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessel::data::dictionary_format {

inline constexpr uint32_t kFixedNameMarker = 0xF005F005;
inline constexpr uint32_t kTerminatedNameMarker = 0xF006F006;
inline constexpr size_t kFixedNameLength = 64;
inline constexpr size_t kCreatorFieldLength = 513;
// Tag that precedes the first record in the order check.
inline constexpr uint32_t kOrderSentinel = 0x00BC4FF2;

constexpr bool is_private_group(uint32_t group) {
  return (group & 1U) != 0 && group != 0x0001 && group != 0x0003 && group != 0x0005 &&
         group != 0x0007 && group != 0xFFFF;
}

// Appends one record in the NUL-terminated name format.
inline void append_record(std::string& out, uint32_t tag, int16_t vr, uint8_t vm_low,
                          uint8_t vm_high, const std::string& name, const std::string* creator) {
  const auto u16 = static_cast<uint16_t>(vr);
  const char header[8] = {static_cast<char>(tag >> 24), static_cast<char>(tag >> 16),
                          static_cast<char>(tag >> 8),  static_cast<char>(tag),
                          static_cast<char>(u16 >> 8),  static_cast<char>(u16),
                          static_cast<char>(vm_low),    static_cast<char>(vm_high)};
  out.append(header, sizeof header);
  out.append(name);
  out.push_back('\0');
  if (creator != nullptr) {
    std::string field = creator->substr(0, kCreatorFieldLength - 1);
    field.resize(kCreatorFieldLength, '\0');
    out.append(field);
  }
}

}  // namespace tessel::data::dictionary_format

#endif  // TESSEL_DATA_DICTIONARY_FORMAT_HPP_
