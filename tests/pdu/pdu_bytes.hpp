// Byte builders for PDU tests: every PDU is spelled out from items in the test itself.
#ifndef TESSEL_TESTS_PDU_PDU_BYTES_HPP_
#define TESSEL_TESTS_PDU_PDU_BYTES_HPP_

#include <cstdint>
#include <string>
#include <vector>

namespace tessel::test {

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
inline Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}
inline Bytes u16(size_t v) {
  return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
inline Bytes u32(size_t v) {
  return u16((v >> 16) & 0xFFFF) + u16(v & 0xFFFF);
}
// Type, reserved byte, 16-bit length, content.
inline Bytes item(uint8_t type, const Bytes& content) {
  return Bytes{type, 0} + u16(content.size()) + content;
}
inline Bytes item(uint8_t type, const std::string& content) {
  return item(type, text(content));
}
// A 16-bit length and the text (fields inside user-information sub-items).
inline Bytes field(const std::string& s) {
  return u16(s.size()) + text(s);
}
// PDU header with the 32-bit length of `body`, then the body.
inline Bytes pdu(uint8_t type, const Bytes& body) {
  return Bytes{type, 0} + u32(body.size()) + body;
}
// A-ASSOCIATE-RQ/AC: protocol version 1, titles padded to 16 bytes, 32 zero bytes, `items`.
inline Bytes associate(uint8_t type, const std::string& called, const std::string& calling,
                       const Bytes& items) {
  return pdu(type, u16(1) + u16(0) + text(called + std::string(16 - called.size(), ' ')) +
                       text(calling + std::string(16 - calling.size(), ' ')) + Bytes(32, 0) +
                       items);
}
// Presentation-context item of a request.
inline Bytes context_rq(uint8_t id, const std::string& abstract,
                        const std::vector<std::string>& syntaxes) {
  Bytes content = Bytes{id, 0, 0, 0} + item(0x30, abstract);
  for (const std::string& s : syntaxes) content = content + item(0x40, s);
  return item(0x20, content);
}

}  // namespace tessel::test

#endif  // TESSEL_TESTS_PDU_PDU_BYTES_HPP_
