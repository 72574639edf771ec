// Diagnostic dumps written through the log: the upper-layer PDU header dump, the PDU hex dump,
// the command-group dump and the message-summary line.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log/line_layout.hpp"
#include "log/log.hpp"

namespace tessel::log {
namespace {

constexpr const char* kPduNames[] = {"Assoc_RQ",     "Assoc_AC",     "Assoc_RJ",   "PDATA-TF",
                                     "Assoc_Rel_RQ", "Assoc_Rel_RP", "Assoc_ABORT"};
// Fixed part of an A-ASSOCIATE-RQ/AC; its variable items follow.
constexpr size_t kAssociateFixedLength = 74;
// PDU length of an A-ASSOCIATE-RQ/AC less the variable items.
constexpr uint32_t kAssociateFixedAfterLength = 68;
// A-ASSOCIATE-RJ, A-RELEASE-RQ/RP and A-ABORT are 10 bytes.
constexpr size_t kShortPduLength = 10;
constexpr size_t kPdvHeaderLength = 6;
constexpr size_t kHexRowBytes = 16;
// Values of the command-group dump longer than this are shown empty.
constexpr size_t kMaxValueText = 128;

uint32_t big_endian_32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// Hexadecimal text of a few header bytes.
struct Hex {
  char text[80];
  Hex(const uint8_t* bytes, size_t count) { hex_text(bytes, count, false, text, sizeof text); }
};

void trace(const char* format, ...) CV_PRINTF_FORMAT(1, 2);
void trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  (void)vwrite(nullptr, kT9, format, args);
  va_end(args);
}

// A 16-byte AE title field as text.
struct Title {
  char text[17];
  explicit Title(const uint8_t* field) {
    std::memcpy(text, field, 16);
    text[16] = '\0';
  }
};

void dump_associate(const uint8_t* pdu, size_t length, uint32_t pdu_length) {
  if (length < kAssociateFixedLength) return;
  trace("  Protocol Version: 0x%.02x 0x%.02x", pdu[6], pdu[7]);
  trace("  Reserved Bytes (9-10): %s", Hex(pdu + 8, 2).text);
  trace("  Called AE Title  (11-26): %s %s", Hex(pdu + 10, 16).text, Title(pdu + 10).text);
  trace("  Calling AE Title (27-42): %s %s", Hex(pdu + 26, 16).text, Title(pdu + 26).text);
  trace("  Reserved Bytes (43-58): %s", Hex(pdu + 42, 16).text);
  trace("  Reserved Bytes (59-74): %s", Hex(pdu + 58, 16).text);
  size_t items =
      pdu_length > kAssociateFixedAfterLength ? pdu_length - kAssociateFixedAfterLength : 0;
  if (items > length - kAssociateFixedLength) items = length - kAssociateFixedLength;
  dump_pdu_hex(pdu + kAssociateFixedLength, items, true);
}

void dump_pdv(const uint8_t* pdu, size_t length, const uint8_t* pdv, bool received) {
  if (pdv == nullptr) {
    trace("  PDV <not received>");
    return;
  }
  if (!received) {
    if (length < 6 + kPdvHeaderLength) return;
    pdv = pdu + 6;
  }
  trace("  PDV length: %s (%ld bytes)", Hex(pdv, 4).text, static_cast<long>(big_endian_32(pdv)));
  trace("  Presentation Context ID: %d (0x%.02x)", pdv[4], pdv[4]);
  trace("  Message Control Header:  0x%.02x", pdv[5]);
}

void message_line(int32_t level, const char* service, const char* command, bool received,
                  int32_t context) {
  const char* direction = received ? "received" : "sent";
  if (service != nullptr && *service != '\0') {
    (void)write(nullptr, level, "Message (%s,%s) %s on context %d", service,
                command != nullptr ? command : "", direction, static_cast<int>(context));
  } else {
    (void)write(nullptr, level, "Message %s on context %d", direction, static_cast<int>(context));
  }
}

}  // namespace

void dump_pdu_header(const uint8_t* pdu, size_t length, const uint8_t* pdv,
                     bool received) noexcept {
  if (pdu == nullptr || length == 0 || !enabled(kT9)) return;
  const int type = pdu[0];
  if (type < 1 || type > 7) {
    trace("PDU type not correctly identified [ %d ].", type);
    return;
  }
  trace(received ? "PDU Type: 0x%.02x (%s) Received" : "PDU Type: 0x%.02x (%s) Sent", type,
        kPduNames[type - 1]);
  if (length < 6) return;
  trace("  Reserved Byte: 0x%.02x", pdu[1]);
  const uint32_t pdu_length = big_endian_32(pdu + 2);
  trace("  PDU length: %s (%ld bytes)", Hex(pdu + 2, 4).text, static_cast<long>(pdu_length));

  switch (type) {
    case 1:
    case 2:
      dump_associate(pdu, length, pdu_length);
      return;
    case 4:
      dump_pdv(pdu, length, pdv, received);
      return;
    default:
      break;
  }
  if (length < kShortPduLength) return;
  switch (type) {
    case 3:
      trace("  Reserved Byte: 0x%.02x", pdu[6]);
      trace("  Result: 0x%.02x", pdu[7]);
      trace("  Source: 0x%.02x", pdu[8]);
      trace("  Reason: 0x%.02x", pdu[9]);
      break;
    case 5:
    case 6:
      trace("  Reserved Bytes (7-10): %s", Hex(pdu + 6, 4).text);
      break;
    default:
      trace("  Reserved Bytes (7-8): 0x%.02x 0x%.02x", pdu[6], pdu[7]);
      trace("  Source: 0x%.02x", pdu[8]);
      trace("  Reason: 0x%.02x", pdu[9]);
      break;
  }
}

void dump_pdu_hex(const uint8_t* data, size_t length, bool show_printable) noexcept {
  if (!enabled(kT9)) return;
  trace("  PDU data in hex:");
  if (data == nullptr) return;
  for (size_t offset = 0; offset < length; offset += kHexRowBytes) {
    const size_t count = length - offset < kHexRowBytes ? length - offset : kHexRowBytes;
    char row[96];
    const int head =
        std::snprintf(row, sizeof row, " Offset 0x%.04x: ", static_cast<unsigned>(offset));
    hex_text(data + offset, count, show_printable, row + head,
             sizeof row - static_cast<size_t>(head));
    (void)write_raw(kT9, row);
  }
}

void dump_command_group(const char* service, const char* command, bool received, int32_t context,
                        const std::vector<CommandElement>& elements) noexcept {
  if (!enabled(kT7)) return;
  message_line(kT7, service, command, received, context);
  (void)write(nullptr, kT7, "Group 0x0000 Elements:");
  for (const CommandElement& element : elements) {
    if (element.values.empty() && element.read_status == CV_NORMAL_COMPLETION) continue;
    const unsigned group = element.tag >> 16;
    const unsigned number = element.tag & 0xFFFF;
    (void)write(nullptr, kT7, "  (%04x,%04x) %s", group, number, element.name.c_str());
    int value_number = 1;
    for (const std::string& value : element.values) {
      (void)write(nullptr, kT7, "    (%d): %s", value_number++,
                  value.size() > kMaxValueText ? "" : value.c_str());
    }
    if (element.read_status != CV_NORMAL_COMPLETION) {
      (void)write("CVlog_Command_Group_Elements", kError,
                  "Unable to get attribute (%.04x,%.04x): %s", group, number,
                  CV_Error_Message(element.read_status));
      return;
    }
  }
}

void dump_command_group_invalid_message() noexcept {
  if (!enabled(kT7)) return;
  (void)write("CVlog_Command_Group_Elements", kError,
              "Invalid message ID passed to CVlog_Command_Group_Elements");
}

void message_summary_line(const char* service, const char* command, bool received,
                          int32_t context) noexcept {
  if (!enabled(kT2)) return;
  message_line(kT2, service, command, received, context);
}

}  // namespace tessel::log
