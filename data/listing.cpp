// The listing of message objects. Lines are built while the objects are locked and written
// afterwards, so that no object lock is held while the log calls the application.
#include "data/listing.hpp"

#include <cstdarg>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_record.hpp"
#include "config/services.hpp"
#include "core/named_lock.hpp"
#include "data/dictionary.hpp"
#include "data/object_ops.hpp"
#include "data/objects.hpp"
#include "data/private_blocks.hpp"
#include "data/value_convert.hpp"
#include "data/vr.hpp"
#include "log/log.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

constexpr size_t kShortWidth = 15;   // value column of the short form
constexpr size_t kShortLimit = 200;  // longest value the short form shows
constexpr size_t kTextLimit = 1024;  // longer text values are not shown at all
constexpr size_t kLineChunk = 64;    // characters per value line of the long form
constexpr size_t kMaxNesting = 64;   // items listed inside items, whatever the configuration
constexpr size_t kNameLength = 128;

struct DeferredLog {
  bool bad_code;  // true: invalid creator code; false: no creator code
  std::string text;
};

struct Listing {
  std::vector<std::string> lines;
  std::vector<DeferredLog> logs;
  std::vector<const MsgObj*> path;  // objects being listed, outermost first
  ValueFlags flags;
  int32_t value_limit = 0;  // 0: every value
  int32_t depth_limit = 0;  // 0: every level
  bool list_un = true;
  bool list_private = true;
};

void add_line(Listing& listing, const char* format, ...) CV_PRINTF_FORMAT(2, 3);
void add_line(Listing& listing, const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (needed < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(needed) < sizeof buffer) {
    listing.lines.emplace_back(buffer, static_cast<size_t>(needed));
  } else {
    std::string line(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(line.data(), line.size(), format, again);
    line.resize(static_cast<size_t>(needed));
    listing.lines.push_back(std::move(line));
  }
  va_end(again);
}

// Printable bytes as they are, every other byte as \xHH.
std::string escaped(const uint8_t* bytes, size_t length) {
  std::string text;
  text.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    const uint8_t c = bytes[i];
    if (c >= 0x20 && c <= 0x7E) {
      text.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      text.append(hex);
    }
  }
  return text;
}

// A creator code a listing accepts: not empty, at most 64 characters, no control characters,
// no backslash.
bool valid_creator_code(std::string_view code) {
  while (!code.empty() && code.back() == ' ') code.remove_suffix(1);
  if (code.empty() || code.size() > 64) return false;
  for (char ch : code) {
    const auto c = static_cast<uint8_t>(ch);
    if (c < 0x20 || c == '\\' || (c >= 0x7F && c <= 0x9F)) return false;
  }
  return true;
}

std::string tag_text(uint32_t tag) {
  char text[16];
  std::snprintf(text, sizeof text, "(%4.4X,%4.4X)", static_cast<unsigned>(tag >> 16),
                static_cast<unsigned>(tag & 0xFFFF));
  return text;
}

std::string attribute_name(Listing& listing, MsgObj& object, const TagObj& record) {
  char name[kNameLength] = {};
  const uint32_t tag = record.tag;
  const uint32_t element = tag & 0xFFFF;
  if (!is_private_group(tag >> 16)) {
    const int32_t found = CVI_Get_Dictionary_Info(tag, "", nullptr, nullptr, nullptr, name,
                                                  static_cast<int32_t>(sizeof name));
    return found == CV_NORMAL_COMPLETION || found == CV_BUFFER_TOO_SMALL
               ? std::string(name)
               : std::string("Non-standard attribute");
  }
  if (element == 0) {
    (void)CVI_Get_Dictionary_Info(tag, "", nullptr, nullptr, nullptr, name,
                                  static_cast<int32_t>(sizeof name));
    return name;
  }
  if (is_creator_element(tag)) return "Private creator code";
  const TagObj* creator =
      element >= 0x1000 ? find_attribute(object, (tag & 0xFFFF0000u) | (element >> 8)) : nullptr;
  if (creator == nullptr) {
    listing.logs.push_back(DeferredLog{false, tag_text(tag)});
    return "ILLEGAL Private Attribute - No Creator Code";
  }
  const std::string_view code = creator_code_of(*creator);
  if (!valid_creator_code(code)) {
    listing.logs.push_back(
        DeferredLog{true, escaped(reinterpret_cast<const uint8_t*>(code.data()), code.size())});
    return "BAD Private Creator Code";
  }
  const std::string code_text(code);
  const int32_t found = CVI_Get_Dictionary_Info(tag, code_text.c_str(), nullptr, nullptr, nullptr,
                                                name, static_cast<int32_t>(sizeof name));
  return found == CV_NORMAL_COMPLETION || found == CV_BUFFER_TOO_SMALL ? std::string(name)
                                                                       : "-- private --";
}

// What the listing shows of an attribute's values: a placeholder or the value texts.
struct Shown {
  const char* placeholder = nullptr;
  std::vector<std::string> values;
};

bool has_value(const TagObj& record) {
  return record.value_count > 0 || record.length > 0;
}

std::string text_value(const uint8_t* bytes, size_t length) {
  if (length == 0) return "<null>";
  if (length > kTextLimit) return "<Value too large>";
  return escaped(bytes, length);
}

Shown shown_values(const Listing& listing, const TagObj& record) {
  Shown shown;
  if (!has_value(record)) return shown;
  if (record.storage == kStoredByCallback) {
    shown.placeholder = "<Callback routine>";
    return shown;
  }
  if (record.storage == kStoredInFile) {
    shown.placeholder = "<Stored in file>";
    return shown;
  }
  const auto room = [&](size_t count) {
    return listing.value_limit <= 0 || count < static_cast<size_t>(listing.value_limit);
  };
  if (record.vr == CV_VR_UN) {
    if (!listing.list_un) {
      shown.placeholder = "<UN data>";
      return shown;
    }
    std::string bytes;
    for (const ValueObj* node = record.head; node != nullptr; node = node->next) {
      if (bytes.size() > kTextLimit) break;
      bytes.append(reinterpret_cast<const char*>(node->bytes), node->length);
    }
    shown.values.push_back(
        text_value(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    return shown;
  }
  if (is_opaque_vr(record.vr)) {
    shown.placeholder = "<OB, OW, OF data>";
    return shown;
  }
  if (is_text_vr(record.vr)) {
    for (const ValueObj* node = record.head; node != nullptr && room(shown.values.size());
         node = node->next) {
      shown.values.push_back(text_value(node->bytes, node->length));
    }
    return shown;
  }
  const int32_t width = binary_width(record.vr);
  if (record.length == 0 || width == 0) {
    shown.values.emplace_back("<null>");
    return shown;
  }
  for (const ValueObj* node = record.head; node != nullptr; node = node->next) {
    for (uint32_t at = 0; at + static_cast<uint32_t>(width) <= node->length; at += width) {
      if (!room(shown.values.size())) return shown;
      const uint8_t* value = node->bytes + at;
      if (record.vr == CV_VR_AT) {
        uint32_t tag = 0;
        std::memcpy(&tag, value, sizeof tag);
        char text[24];
        std::snprintf(text, sizeof text, "%lx,%04lx", static_cast<unsigned long>(tag >> 16),
                      static_cast<unsigned long>(tag & 0xFFFF));
        shown.values.emplace_back(text);
        continue;
      }
      ValueBytes text;
      if (stored_to_text(record.vr, value, static_cast<size_t>(width), listing.flags, &text).ok()) {
        shown.values.emplace_back(text.text());
      }
    }
  }
  return shown;
}

const char* vm_bound(uint16_t vm, char* buffer, size_t size) {
  if (vm == 255) return "n";
  std::snprintf(buffer, size, "%u", static_cast<unsigned>(vm));
  return buffer;
}

void list_object(Listing& listing, MsgObj& object, const std::string& indent);

void list_items(Listing& listing, MsgObj& parent, const TagObj& record, const std::string& indent) {
  const unsigned group = record.tag >> 16;
  const unsigned element = record.tag & 0xFFFF;
  const char* parent_kind = kind_name(parent.kind);
  const std::string deeper = indent + "    ";
  const size_t depth = listing.path.size();
  const bool list_inside =
      depth < kMaxNesting &&
      (listing.depth_limit <= 0 || depth <= static_cast<size_t>(listing.depth_limit));
  int32_t number = 0;
  for (const ValueObj* node = record.head; node != nullptr; node = node->next) {
    const auto* ref = reinterpret_cast<const ItemRef*>(node->bytes);
    if (ref == nullptr) {
      add_line(listing, "%s          (%7.7lu) %s", indent.c_str(), 0UL, "<null>");
      continue;
    }
    ++number;
    add_line(listing, "%s    <Sequence: Item %d of %s %d (%4.4X,%4.4X)>", indent.c_str(), number,
             parent_kind, parent.id, group, element);
    MsgObj* item = ref->item;
    bool on_path = false;
    for (const MsgObj* listed : listing.path) on_path = on_path || listed == item;
    if (item == nullptr || on_path || !list_inside) continue;
    list_object(listing, *item, deeper);
    add_line(listing, "%s%s ID: %d (continued)", indent.c_str(), parent_kind, parent.id);
  }
}

void list_attribute(Listing& listing, MsgObj& object, const TagObj& record,
                    const std::string& indent) {
  const unsigned group = record.tag >> 16;
  const unsigned element = record.tag & 0xFFFF;
  const char* vr = vr_text(record.vr);
  if (vr == nullptr) vr = "??";
  const std::string name = attribute_name(listing, object, record);
  const auto length = static_cast<unsigned long>(record.length);
  const Shown shown = record.vr == CV_VR_SQ ? Shown{} : shown_values(listing, record);

  if (record.vr != CV_VR_SQ && shown.placeholder == nullptr && shown.values.size() <= 1) {
    const std::string value = shown.values.empty() ? std::string() : shown.values.front();
    const std::string named = " " + name;
    if (value.size() <= kShortWidth) {
      const std::string pad(kShortWidth - value.size() + 1, ' ');
      add_line(listing, "%s%4.4X,%4.4X %2.2s |%.15s|%s(%3lu)%-15s", indent.c_str(), group, element,
               vr, value.c_str(), pad.c_str(), length, named.c_str());
    } else {
      const char* after = value.size() > kShortLimit ? " <Too big. Can't print> " : " ";
      add_line(listing, "%s%4.4X,%4.4X %2.2s |%.200s|%s(%3lu)%-15s", indent.c_str(), group, element,
               vr, value.c_str(), after, length, named.c_str());
    }
    return;
  }

  char count[16];
  std::snprintf(count, sizeof count, "%d", record.value_count);
  char low[8];
  char high[8];
  const std::string bounds = std::string("(") + vm_bound(record.vm_low, low, sizeof low) + "-" +
                             vm_bound(record.vm_high, high, sizeof high) + ")";
  add_line(listing, "%s%4.4X,%4.4X %-50.50s VR: %2.2s  VM: %s%s%s", indent.c_str(), group, element,
           name.c_str(), vr, count, " ", bounds.c_str());
  if (record.vr == CV_VR_SQ) {
    if (record.storage == kStoredInMemory) list_items(listing, object, record, indent);
    return;
  }
  if (shown.placeholder != nullptr) {
    add_line(listing, "%s          (%7.7lu) %s", indent.c_str(), length, shown.placeholder);
    return;
  }
  const std::string continued = indent + std::string(11, ' ');
  int32_t number = 0;
  for (const std::string& value : shown.values) {
    char label[16];
    std::snprintf(label, sizeof label, "%4d", ++number);
    const std::string first = value.substr(0, kLineChunk);
    add_line(listing, "%s          %s |%s|", indent.c_str(), label, first.c_str());
    for (size_t at = kLineChunk; at < value.size(); at += kLineChunk) {
      const std::string piece = value.substr(at, kLineChunk);
      add_line(listing, "%s    |%s|", continued.c_str(), piece.c_str());
    }
  }
}

void list_object(Listing& listing, MsgObj& object, const std::string& indent) {
  core::LockHold hold(object.lock);
  listing.path.push_back(&object);
  const char* kind = kind_name(object.kind);
  add_line(listing, "%s%s ID: %d", indent.c_str(), kind, object.id);
  const bool has_service = object.kind == ObjectKind::kMessage ||
                           object.kind == ObjectKind::kFile || object.kind == ObjectKind::kDicomdir;
  if (has_service) {
    const bool named = object.name[0] != '\0' && std::strcmp(object.name, kEmptyObjectName) != 0;
    if (object.service_number >= 0) {
      add_line(listing, "     Service Supported: %s (%4.4d)", object.name, object.service_number);
    } else if (named) {
      add_line(listing, "     Service Supported: %s (Unknown Service)", object.name);
    } else {
      add_line(listing, "     Service Supported: (Unknown Service)");
    }
    const char* command = services::command_name(object.command);
    add_line(listing, "     Command Supported: %s", command != nullptr ? command : "(null)");
  }
  const char* file_name = nullptr;
  const uint8_t* preamble = nullptr;
  if (object.kind != ObjectKind::kItem && object.kind != ObjectKind::kSr &&
      object.kind != ObjectKind::kMessage && object_hooks().file_listing_info != nullptr &&
      object_hooks().file_listing_info(object, &file_name, &preamble)) {
    add_line(listing, "     Filename: %s", file_name != nullptr ? file_name : "");
    if (preamble != nullptr) {
      for (int row = 0; row < 4; ++row) {
        std::string line = row == 0 ? "     Prefix: " : "             ";
        for (int i = 0; i < 32; ++i) {
          char pair[4];
          std::snprintf(pair, sizeof pair, "%.2X", preamble[row * 32 + i]);
          line.append(pair);
        }
        listing.lines.push_back(std::move(line));
      }
    }
  }
  bool any = false;
  for (const TagObj* record = object.first; record != nullptr; record = record->next) {
    if (!listing.list_private && is_private_group(record->tag >> 16)) continue;
    if (!any) add_line(listing, "%s%s Attributes:", indent.c_str(), kind);
    any = true;
    list_attribute(listing, object, *record, indent);
  }
  if (!any) add_line(listing, "%s%s has no attributes.", indent.c_str(), kind);
  add_line(listing, "%s===== End of %s ID: %d =====", indent.c_str(), kind, object.id);
  listing.path.pop_back();
}

void emit(const Listing& listing, std::FILE* out, const char* function) {
  for (const DeferredLog& entry : listing.logs) {
    if (entry.bad_code) {
      log::write(function, log::kError, "Invalid Private Creator Code : %s", entry.text.c_str());
    } else {
      log::write(function, log::kError,
                 "No valid private creator code exists for private attribute: %s",
                 entry.text.c_str());
    }
  }
  for (const std::string& line : listing.lines) {
    if (out != nullptr) {
      std::fputs(line.c_str(), out);
      std::fputc('\n', out);
    } else {
      log::write_raw(log::kT2, line.c_str());
    }
  }
}

}  // namespace

Status write_listing(int32_t id, std::FILE* out, int32_t invalid_status, const char* function) {
  if (out == nullptr && !log::enabled(log::kT2)) {
    return find_object(id) != nullptr ? Status() : Status(invalid_status);
  }
  Listing listing;
  listing.flags = value_flags_from(*Cfg);
  listing.value_limit = Cfg->i(LIST_VALUE_LIMIT);
  listing.depth_limit = Cfg->i(LIST_SQ_DEPTH_LIMIT);
  listing.list_un = Cfg->b(LIST_UN_ATTRIBUTES);
  listing.list_private = Cfg->b(EXPORT_PRIVATE_ATTRIBUTES_TO_NETWORK);
  MsgObj* object = find_object(id);
  Status result;
  if (object == nullptr) {
    add_line(listing, "%sInvalid message/item ID: %d", "", id);
    result = Status(invalid_status);
  } else {
    list_object(listing, *object, std::string());
  }
  emit(listing, out, function);
  return result;
}

Status list_to_file(int32_t id, const char* file_name, int32_t invalid_status,
                    const char* function) {
  if (file_name == nullptr) return write_listing(id, nullptr, invalid_status, function);
  std::FILE* out = std::fopen(file_name, "w");
  if (out == nullptr) {
    log::write(function, log::kError, "Can't open %s", file_name);
    return Status(CV_SYSTEM_ERROR);
  }
  const Status listed = write_listing(id, out, invalid_status, function);
  std::fclose(out);
  return listed;
}

}  // namespace tessel::data
