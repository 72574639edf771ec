// Byte streams written field by field in one native syntax: element headers in the explicit or
// implicit form, items and delimiters, text padded as its VR wants, the start of a file. The
// codec and file tests build their expected and hostile streams with it.
#ifndef TESSEL_TESTS_SUPPORT_BYTE_STREAM_HPP_
#define TESSEL_TESTS_SUPPORT_BYTE_STREAM_HPP_

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "tessel/tessel.h"

namespace tessel::test {

inline constexpr uint32_t kUndefined = 0xFFFFFFFF;

class Bytes {
 public:
  explicit Bytes(bool explicit_vr = true, bool big_endian = false)
      : explicit_(explicit_vr), big_(big_endian) {}
  // The layout of a transfer syntax code; 104 gives the bytes before compression.
  static Bytes of(int32_t syntax) {
    return Bytes(syntax != IMPLICIT_LITTLE_ENDIAN && syntax != IMPLICIT_BIG_ENDIAN,
                 syntax == EXPLICIT_BIG_ENDIAN || syntax == IMPLICIT_BIG_ENDIAN);
  }
  Bytes fresh() const { return Bytes(explicit_, big_); }

  Bytes& u8(uint8_t v) {
    data_.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& u16(uint16_t v) {
    const auto hi = static_cast<uint8_t>(v >> 8);
    const auto lo = static_cast<uint8_t>(v);
    return big_ ? u8(hi).u8(lo) : u8(lo).u8(hi);
  }
  Bytes& u32(uint32_t v) {
    const auto hi = static_cast<uint16_t>(v >> 16);
    const auto lo = static_cast<uint16_t>(v);
    return big_ ? u16(hi).u16(lo) : u16(lo).u16(hi);
  }
  Bytes& raw(std::string_view bytes) {
    data_.append(bytes);
    return *this;
  }
  Bytes& tag(uint32_t t) {
    return u16(static_cast<uint16_t>(t >> 16)).u16(static_cast<uint16_t>(t));
  }
  // Tag, VR (explicit syntaxes; never for item tags) and the length in the VR's form.
  Bytes& header(uint32_t t, const char* vr, uint32_t length) {
    tag(t);
    if (!explicit_ || (t >> 16) == 0xFFFE) return u32(length);
    raw(std::string_view(vr, 2));
    return long_form(vr) ? u16(0).u32(length) : u16(static_cast<uint16_t>(length));
  }
  Bytes& element(uint32_t t, const char* vr, std::string_view value) {
    return header(t, vr, static_cast<uint32_t>(value.size())).raw(value);
  }
  // Text padded to even length: NUL for UI, a space otherwise.
  Bytes& text(uint32_t t, const char* vr, std::string_view value) {
    header(t, vr, static_cast<uint32_t>(value.size() + value.size() % 2)).raw(value);
    return value.size() % 2 == 0 ? *this : u8(std::strcmp(vr, "UI") == 0 ? 0 : ' ');
  }
  Bytes& u16s(uint32_t t, const char* vr, std::initializer_list<uint16_t> values) {
    header(t, vr, static_cast<uint32_t>(values.size() * 2));
    for (uint16_t v : values) u16(v);
    return *this;
  }
  Bytes& u32s(uint32_t t, const char* vr, std::initializer_list<uint32_t> values) {
    header(t, vr, static_cast<uint32_t>(values.size() * 4));
    for (uint32_t v : values) u32(v);
    return *this;
  }
  Bytes& item(uint32_t length = kUndefined) { return tag(0xFFFEE000).u32(length); }
  Bytes& item(const Bytes& content) {
    return item(static_cast<uint32_t>(content.size())).raw(content.str());
  }
  Bytes& item_end() { return tag(0xFFFEE00D).u32(0); }
  Bytes& sequence_end() { return tag(0xFFFEE0DD).u32(0); }
  // A defined-length sequence of defined-length items.
  Bytes& sequence_of(uint32_t t, std::initializer_list<Bytes> items) {
    Bytes content = fresh();
    for (const Bytes& i : items) content.item(i);
    return header(t, "SQ", static_cast<uint32_t>(content.size())).raw(content.str());
  }
  // The 128-byte preamble and the prefix.
  Bytes& preface(std::string_view prefix = "DICM", char fill = '\0') {
    return raw(std::string(128, fill)).raw(prefix);
  }
  // Group 0002 with its length: version, SOP class and instance, and the syntax UID if any.
  Bytes& meta_group(std::string_view syntax_uid) {
    Bytes rest(explicit_, false);
    rest.element(0x00020001, "OB", std::string("\0\1", 2))
        .text(0x00020002, "UI", "1.2.840.10008.5.1.4.1.1.2")
        .text(0x00020003, "UI", "1.2.3.4");
    if (!syntax_uid.empty()) rest.text(0x00020010, "UI", syntax_uid);
    Bytes group(explicit_, false);
    group.u32s(0x00020000, "UL", {static_cast<uint32_t>(rest.size())}).raw(rest.str());
    return raw(group.str());
  }

  const std::string& str() const { return data_; }
  size_t size() const { return data_.size(); }
  bool explicit_vr() const { return explicit_; }

  static bool long_form(const char* vr) {
    for (const char* v :
         {"OB", "OW", "OL", "OF", "OD", "OV", "SQ", "UT", "UN", "UC", "UR", "SV", "UV"}) {
      if (std::strncmp(vr, v, 2) == 0) return true;
    }
    return false;
  }

 private:
  bool explicit_;
  bool big_;
  std::string data_;
};

// Hex text, 16 bytes a line, so that a failure shows where two streams part.
inline std::string hex(std::string_view bytes) {
  std::string text;
  char cell[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(cell, sizeof cell, "%02X", static_cast<uint8_t>(bytes[i]));
    text += cell;
    text += (i % 16 == 15) ? '\n' : ' ';
  }
  return text;
}

// Pseudo-random bytes that compress badly.
inline std::string pattern(size_t size, uint32_t seed = 1) {
  std::string bytes(size, '\0');
  for (char& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<char>(seed >> 16);
  }
  return bytes;
}

}  // namespace tessel::test

#endif  // TESSEL_TESTS_SUPPORT_BYTE_STREAM_HPP_
