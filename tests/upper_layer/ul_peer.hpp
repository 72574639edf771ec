// The other end of an association spelled out by the test: PDU byte builders, a blocking socket
// with bounded reads, and the parameter blocks both library ends start from.
#ifndef TESSEL_TESTS_UPPER_LAYER_UL_PEER_HPP_
#define TESSEL_TESTS_UPPER_LAYER_UL_PEER_HPP_

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "memory/pool.hpp"
#include "net/association_params.hpp"
#include "tests/transport/loopback.hpp"

namespace tessel::test {

using Bytes = std::vector<uint8_t>;

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
inline Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}
inline Bytes u16(size_t v) {
  return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
inline Bytes u32(size_t v) {
  return cat({u16((v >> 16) & 0xFFFF), u16(v & 0xFFFF)});
}
inline Bytes item(uint8_t type, const Bytes& content) {
  return cat({Bytes{type, 0}, u16(content.size()), content});
}
inline Bytes pdu(uint8_t type, const Bytes& body) {
  return cat({Bytes{type, 0}, u32(body.size()), body});
}
inline Bytes short_pdu(uint8_t type, uint8_t b2, uint8_t b3) {
  return pdu(type, Bytes{0, 0, b2, b3});
}
inline Bytes abort_pdu(uint8_t source, uint8_t reason) {
  return short_pdu(0x07, source, reason);
}
inline Bytes release_rq() {
  return short_pdu(0x05, 0, 0);
}
inline Bytes release_rp() {
  return short_pdu(0x06, 0, 0);
}
// One PDV item: length, context ID, control header (bit 0 command, bit 1 last), data.
inline Bytes pdv(uint8_t context, uint8_t control, const Bytes& data) {
  return cat({u32(data.size() + 2), Bytes{context, control}, data});
}
inline Bytes title(const std::string& t) {
  return text(t + std::string(16 - t.size(), ' '));
}
// A-ASSOCIATE-AC answering `contexts` (ID, result, transfer syntax), maximum length 16384.
struct ContextAnswer {
  uint8_t id;
  uint8_t result;
  std::string syntax;
};
inline Bytes associate_ac(const std::vector<ContextAnswer>& contexts) {
  Bytes items = item(0x10, text("1.2.840.10008.3.1.1.1"));
  for (const ContextAnswer& c : contexts) {
    items =
        cat({items, item(0x21, cat({Bytes{c.id, 0, c.result, 0}, item(0x40, text(c.syntax))}))});
  }
  items = cat({items, item(0x50, cat({item(0x51, u32(16384)), item(0x52, text("1.2.3.4"))}))});
  return pdu(0x02, cat({u16(1), u16(0), title("ACCEPTOR"), title("CALLER"), Bytes(32, 0), items}));
}

inline constexpr char kVerification[] = "1.2.840.10008.1.1";
inline constexpr char kCtStorage[] = "1.2.840.10008.5.1.4.1.1.2";
inline constexpr char kImplicitLittle[] = "1.2.840.10008.1.2";
inline constexpr char kExplicitLittle[] = "1.2.840.10008.1.2.1";

// A parameter block on the heap (it is large); its byte buffers are freed with it.
struct ParamsDeleter {
  void operator()(net::AssociationParams* params) const {
    for (net::PresentationContextParams& pc : params->presentation_contexts) {
      CVI_releaseBuffer(pc.extended_info.data);
    }
    CVI_releaseBuffer(params->identity_primary.data);
    CVI_releaseBuffer(params->identity_secondary.data);
    CVI_releaseBuffer(params->identity_response.data);
    delete params;
  }
};
using Params = std::unique_ptr<net::AssociationParams, ParamsDeleter>;

inline Params empty_params() {
  Params params(new net::AssociationParams);
  net::reset_association_params(params.get());
  return params;
}

// A request from CALLER to ACCEPTOR at 127.0.0.1:`port` proposing `count` contexts with IDs 1,
// 3, 5 ...: the first Verification, the others CT storage in two syntaxes.
inline Params request_params(int port, size_t count = 2) {
  Params params = empty_params();
  std::strcpy(params->calling_ae_title, "CALLER");
  std::strcpy(params->called_ae_title, "ACCEPTOR");
  std::snprintf(params->called_presentation_address, sizeof params->called_presentation_address,
                "127.0.0.1:%d", port);
  std::strcpy(params->implementation_class_uid, "1.2.826.0.1.3680043.9.7");
  params->presentation_context_count = static_cast<uint16_t>(count);
  for (size_t i = 0; i < count; ++i) {
    net::PresentationContextParams& pc = params->presentation_contexts[i];
    pc.context_id = static_cast<uint8_t>(2 * i + 1);
    std::strcpy(pc.abstract_syntax, i == 0 ? kVerification : kCtStorage);
    pc.transfer_syntax_count = i == 0 ? 1 : 2;
    std::strcpy(pc.transfer_syntaxes[0].uid, i == 0 ? kImplicitLittle : kExplicitLittle);
    std::strcpy(pc.transfer_syntaxes[1].uid, kImplicitLittle);
  }
  return params;
}

// The test's end of one connection: blocking socket, every read bounded by a deadline.
class PeerSocket {
 public:
  explicit PeerSocket(int fd = -1) : socket_(fd) {}
  int get() const { return socket_.get(); }
  bool valid() const { return socket_.valid(); }

  bool send(const Bytes& bytes) {
    return ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // Reads exactly `n` bytes within `ms` milliseconds.
  bool read_exact(uint8_t* out, size_t n, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    size_t done = 0;
    while (done < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0 || !readable_within(socket_.get(), static_cast<int>(left))) return false;
      const ssize_t got = ::recv(socket_.get(), out + done, n - done, 0);
      if (got <= 0) return false;
      done += static_cast<size_t>(got);
    }
    return true;
  }
  // One whole PDU (header and body); empty when none came within `ms`.
  Bytes read_pdu(int ms = 5000) {
    Bytes header(6);
    if (!read_exact(header.data(), 6, ms)) return {};
    const uint32_t length = (uint32_t{header[2]} << 24) | (uint32_t{header[3]} << 16) |
                            (uint32_t{header[4]} << 8) | header[5];
    Bytes whole = header;
    whole.resize(6 + length);
    if (!read_exact(whole.data() + 6, length, ms)) return {};
    return whole;
  }
  // Whether the other side closed (end of stream or reset) within `ms`, nothing else arriving.
  bool closed_within(int ms) {
    if (!readable_within(socket_.get(), ms)) return false;
    uint8_t byte = 0;
    return ::recv(socket_.get(), &byte, 1, 0) <= 0;
  }

 private:
  RawSocket socket_;
};

}  // namespace tessel::test

#endif  // TESSEL_TESTS_UPPER_LAYER_UL_PEER_HPP_
