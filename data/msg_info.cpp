// Reading message templates from the message information file, and the template cache.
#include "data/msg_info.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <unordered_map>

#include "config/config.hpp"
#include "config/config_record.hpp"
#include "config/services.hpp"
#include "core/named_lock.hpp"
#include "core/subsystems.hpp"
#include "data/condition_names.hpp"
#include "data/dictionary.hpp"
#include "data/dictionary_format.hpp"
#include "data/msg_info_format.hpp"
#include "data/vr.hpp"
#include "log/log.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

namespace format = msg_info_format;

constexpr const char* kReader = "CVI_GetMessageTemplate";
constexpr const char* kLockName = "msgTemplateListSemaphore";

Status file_error() {
  return Status(CV_MESSAGE_INFO_FILE_ERROR);
}

// ---------------------------------------------------------------------------------------------
// The cache: templates by name, each name with the commands read for it. Plain pointers, so no
// constructor runs before the library creates them.

struct NameHash {
  using is_transparent = void;
  size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
};

struct TemplateCache {
  std::unordered_map<std::string, std::vector<std::unique_ptr<Template>>, NameHash, std::equal_to<>>
      by_name;
};

TemplateCache* g_cache;
std::atomic<core::NamedLock*> g_cache_lock;

// The cache's lock, created by the first lookup; a racing creator hands its lock back.
core::NamedLock* cache_lock() {
  core::NamedLock* lock = g_cache_lock.load(std::memory_order_acquire);
  if (lock != nullptr) return lock;
  core::NamedLock* created = core::create_lock(kLockName);
  if (created == nullptr) return nullptr;
  if (g_cache_lock.compare_exchange_strong(lock, created, std::memory_order_acq_rel)) {
    return created;
  }
  core::release_lock(created);
  return lock;
}

const Template* cached(std::string_view name, uint16_t command) {
  auto it = g_cache->by_name.find(name);
  if (it == g_cache->by_name.end() || it->second.empty()) return nullptr;
  // An item lookup accepts a template of that name read for any command.
  if (command == 0) return it->second.front().get();
  for (const auto& t : it->second) {
    if (t->command == command) return t.get();
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The file.

class InfoFile {
 public:
  InfoFile() = default;
  ~InfoFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  InfoFile(const InfoFile&) = delete;
  InfoFile& operator=(const InfoFile&) = delete;

  bool open(const std::string& path) {
    path_ = path;
    file_ = std::fopen(path.c_str(), "rb");
    return file_ != nullptr;
  }
  const char* path() const { return path_.c_str(); }

  // Reads up to `n` bytes and returns how many arrived.
  size_t read(void* to, size_t n) {
    errno = 0;
    const size_t got = std::fread(to, 1, n, file_);
    if (got < n) error_ = errno;
    return got;
  }
  bool read_exact(void* to, size_t n) { return read(to, n) == n; }
  bool failed() const { return std::ferror(file_) != 0; }

  bool seek(uint64_t offset) {
    errno = 0;
    if (offset > static_cast<uint64_t>(INT64_MAX) ||
        fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) {
      error_ = errno != 0 ? errno : EINVAL;
      return false;
    }
    return true;
  }

  // Why the last short read or seek stopped: the system's text, or end of file.
  const char* error_text() const {
    return failed() || error_ != 0 ? std::strerror(error_ != 0 ? error_ : EIO)
                                   : "unexpected end of file";
  }

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
  int error_ = 0;
};

bool read16(InfoFile& file, uint16_t& value) {
  unsigned char bytes[2];
  if (!file.read_exact(bytes, sizeof bytes)) return false;
  value = format::get16(bytes);
  return true;
}

bool read32(InfoFile& file, uint32_t& value) {
  unsigned char bytes[4];
  if (!file.read_exact(bytes, sizeof bytes)) return false;
  value = format::get32(bytes);
  return true;
}

Status read_signature(InfoFile& file) {
  unsigned char tag_bytes[4];
  const size_t got = file.read(tag_bytes, sizeof tag_bytes);
  if (got == 0 && !file.failed()) {
    log::write(kReader, log::kError, "End of Info file reached.");
    return file_error();
  }
  if (got < sizeof tag_bytes) {
    log::write(kReader, log::kError, "Error reading file signature tag: %s.", file.error_text());
    return file_error();
  }
  uint16_t parm = 0;
  if (!read16(file, parm)) {
    log::write(kReader, log::kError, "Error reading file signature parm ID: %s.",
               file.error_text());
    return file_error();
  }
  uint16_t length = 0;
  if (!read16(file, length)) {
    log::write(kReader, log::kError, "Error reading file signature length: %s.", file.error_text());
    return file_error();
  }
  if (format::get32(tag_bytes) != format::kSignatureTag || parm != 0 || length != 0) {
    log::write(kReader, log::kError, "%s is not a valid Corvane-3 Message Info file.", file.path());
    return file_error();
  }
  return Status();
}

Status preamble_failed(const InfoFile& file) {
  log::write(kReader, log::kError, "Unable to read preamble from %s.", file.path());
  return file_error();
}

Status read_preamble(InfoFile& file, format::Preamble& p) {
  if (!read32(file, p.message_index)) {
    log::write(kReader, log::kError, "Error reading preamble msg offset: %s.", file.error_text());
    return preamble_failed(file);
  }
  if (!read16(file, p.services)) {
    log::write(kReader, log::kError, "Error reading preamble msg length: %s.", file.error_text());
    return preamble_failed(file);
  }
  if (!read32(file, p.command_base)) {
    log::write(kReader, log::kError, "Error reading preamble cmd offset: %s.", file.error_text());
    return preamble_failed(file);
  }
  if (!read32(file, p.item_index)) {
    log::write(kReader, log::kError, "Error reading preamble item offset: %s.", file.error_text());
    return preamble_failed(file);
  }
  if (!read16(file, p.items)) {
    log::write(kReader, log::kError, "Error reading preamble item length: %s.", file.error_text());
    return preamble_failed(file);
  }
  if (!read32(file, p.template_base)) {
    log::write(kReader, log::kError, "Error reading preamble info offset: %s.", file.error_text());
    return preamble_failed(file);
  }
  return Status();
}

// Finds the template offset of a service's command through the message index and the
// service's command list.
Status locate_service(InfoFile& file, const format::Preamble& p, const char* name, uint16_t command,
                      uint32_t& offset) {
  const int32_t number = services::service_number(name);
  if (number < 1) {
    log::write(kReader, log::kError, "Cannot find requested service %s.", name);
    return file_error();
  }
  if (number > p.services) {
    log::write(kReader, log::kError, "This service is not in the info file: %s.", name);
    return file_error();
  }
  const uint64_t entry = uint64_t{p.message_index} + uint64_t(number - 1) * format::kIndexEntrySize;
  if (!file.seek(entry)) {
    log::write(kReader, log::kError, "Unable to seek in %s: %s", file.path(), file.error_text());
    return file_error();
  }
  uint16_t listed = 0;
  if (!read16(file, listed)) {
    log::write(kReader, log::kError, "Unable to read msg from %s: %s", file.path(),
               file.error_text());
    return file_error();
  }
  if (listed != number) {
    log::write(kReader, log::kError, "Invalid format to %s: private services numbered incorrectly",
               file.path());
    return file_error();
  }
  uint32_t list_offset = 0;
  if (!read32(file, list_offset)) {
    log::write(kReader, log::kError, "Unable to read msg offset from %s: %s", file.path(),
               file.error_text());
    return file_error();
  }
  if (!file.seek(uint64_t{p.command_base} + list_offset)) {
    log::write(kReader, log::kError, "Unable to seek in %s: %s", file.path(), file.error_text());
    return file_error();
  }
  while (true) {
    uint16_t listed_command = 0;
    if (!read16(file, listed_command)) {
      log::write(kReader, log::kError, "Unable to read cmd from %s: %s", file.path(),
                 file.error_text());
      return file_error();
    }
    if (listed_command == 0) {
      log::write(kReader, log::kError,
                 "Unable to find %s in Info file. Incompatible corvane.srv and info.pfl files.",
                 name);
      return file_error();
    }
    if (!read32(file, offset)) {
      log::write(kReader, log::kError, "Unable to read offset from %s: %s", file.path(),
                 file.error_text());
      return file_error();
    }
    if (listed_command == command) return Status();
  }
}

Status locate_item(InfoFile& file, const format::Preamble& p, const char* name, uint32_t& offset) {
  const int32_t number = services::item_number(name);
  if (number < 1) {
    log::write(kReader, log::kError, "Unknown Item requested: %s.", name);
    return file_error();
  }
  if (number > p.items) {
    log::write(kReader, log::kError, "This item is not in the info file: %s.", name);
    return file_error();
  }
  const uint64_t entry = uint64_t{p.item_index} + uint64_t(number - 1) * format::kIndexEntrySize;
  if (!file.seek(entry)) {
    log::write(kReader, log::kError, "Error seeking ITEM %ud in %s: %s",
               static_cast<unsigned>(number), file.path(), file.error_text());
    return file_error();
  }
  uint16_t listed = 0;
  if (!read16(file, listed)) {
    log::write(kReader, log::kError, "Unable to read item from %s: %s", file.path(),
               file.error_text());
    return file_error();
  }
  if (!read32(file, offset)) {
    log::write(kReader, log::kError, "Unable to read item offset from %s: %s", file.path(),
               file.error_text());
    return file_error();
  }
  return Status();
}

// ---------------------------------------------------------------------------------------------
// Building one template attribute from its records.

// Text fields of a record may carry padding; names and codes compare without it.
std::string_view unpadded(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  return text;
}

struct RawValidValue {
  std::string text;
  uint16_t value_number;
  bool enumerated;
};

// One attribute while its records are read. Values stay text until the attribute closes,
// because the VR that decides their stored form is known only then.
struct AttributeBuilder {
  TemplateAttribute attribute;
  int32_t given_vr = -1;  // from a VR record
  std::vector<RawValidValue> valid;
  std::vector<DefaultValue> defaults;  // bytes hold the text until closing
};

void start_attribute(AttributeBuilder& b, uint32_t tag) {
  b = AttributeBuilder{};
  b.attribute.tag = tag;
  b.attribute.vr = CV_VR_UN;
  b.attribute.vm_low = 1;
  b.attribute.vm_high = 255;
  b.attribute.type = AttributeType::kNotGiven;
  b.attribute.highest_value_number = 0;
  b.attribute.condition = -1;
}

Status apply_record(AttributeBuilder& b, uint16_t parm, std::string_view data) {
  if (parm >= format::kFirstEnumeratedValue && parm <= format::kLastDefinedTerm) {
    if (data.empty()) return Status();
    const bool enumerated = parm <= format::kLastEnumeratedValue;
    const auto number = static_cast<uint16_t>(enumerated ? parm : parm - format::kDefinedTermBase);
    b.valid.push_back(RawValidValue{std::string(data), number, enumerated});
    return Status();
  }
  switch (parm) {
    case format::kConditionParm: {
      const std::string_view name = unpadded(data);
      const int32_t index = find_condition(name);
      if (index < 0) {
        const std::string text(name);
        log::write(kReader, log::kError, "Unknown validate function: %s", text.c_str());
        return file_error();
      }
      b.attribute.condition = index;
      return Status();
    }
    case format::kVrParm: {
      const std::string text(unpadded(data));
      const int32_t vr = vr_from_text(text.c_str());
      if (vr < 0 || vr == CV_VR_UN) {
        log::write(kReader, log::kError, "Invalid VR Code in message.");
        return file_error();
      }
      b.given_vr = vr;
      return Status();
    }
    case format::kDefaultParm:
      if (data.empty()) return Status();
      if (data == format::kNullDefault) {
        b.defaults.push_back(DefaultValue{true, {}});
      } else {
        b.defaults.push_back(DefaultValue{false, std::string(data)});
      }
      return Status();
    case format::kCreatorParm:
      b.attribute.creator = std::string(unpadded(data));
      return Status();
    case format::kTypeParm: {
      const AttributeType type = type_code_from_text(unpadded(data));
      if (type == AttributeType::kNotGiven) {
        log::write(kReader, log::kError, "Invalid Cond.Type in message.");
        return file_error();
      }
      b.attribute.type = type;
      return Status();
    }
    default:
      return Status();
  }
}

bool is_private_data_element(uint32_t tag) {
  return dictionary_format::is_private_group(tag >> 16) && (tag & 0xFFFF) >= 0x1000;
}

// The creator element reserving a private attribute's block, unless the template has it.
void add_creator_element(Template& t, const TemplateAttribute& a) {
  const uint32_t tag = creator_element_tag(a.tag);
  auto at = std::lower_bound(t.attributes.begin(), t.attributes.end(), tag,
                             [](const TemplateAttribute& x, uint32_t v) { return x.tag < v; });
  if (at != t.attributes.end() && at->tag == tag) return;
  TemplateAttribute creator{};
  creator.tag = tag;
  creator.vr = CV_VR_LO;
  creator.vm_low = 0;
  creator.vm_high = 1;
  creator.type = AttributeType::k1;
  std::string value = a.creator;
  if (value.size() % 2 != 0) value.push_back(' ');
  creator.defaults.push_back(DefaultValue{false, std::move(value)});
  creator.highest_value_number = 0;
  creator.condition = -1;
  t.attributes.insert(at, std::move(creator));
}

Status close_attribute(AttributeBuilder& b, Template& t) {
  TemplateAttribute& a = b.attribute;
  if (a.type == AttributeType::kNotGiven) {
    log::write(kReader, log::kError, "No type code for tag 0x%8.8X in Message File.",
               static_cast<unsigned>(a.tag));
    return file_error();
  }
  int32_t vr = 0;
  uint16_t vm_low = 0;
  uint16_t vm_high = 0;
  const int32_t found =
      CVI_Get_Dictionary_Info(a.tag, a.creator.c_str(), &vr, &vm_low, &vm_high, nullptr, 0);
  if (found == CV_NORMAL_COMPLETION) {
    a.vr = vr;
    a.vm_low = vm_low;
    a.vm_high = vm_high;
  } else if (b.given_vr >= 0) {
    a.vr = b.given_vr;
  } else if (dictionary_format::is_private_group(a.tag >> 16)) {
    log::write(kReader, log::kError,
               "No dictionary entry for private tag 0x%4.4X, \"%s\", 0x%2.2X in Message File.",
               static_cast<unsigned>(a.tag >> 16), a.creator.c_str(),
               static_cast<unsigned>(a.tag & 0xFF));
    return file_error();
  } else {
    log::write(kReader, log::kError, "No dictionary entry for tag 0x%8.8X in Message File.",
               static_cast<unsigned>(a.tag));
    return file_error();
  }

  a.valid_values.reserve(b.valid.size());
  for (RawValidValue& raw : b.valid) {
    ValidValue value{{}, raw.value_number, raw.enumerated};
    // A sequence's valid values are the names of the items allowed in it.
    if (a.vr == CV_VR_SQ) {
      value.bytes = std::move(raw.text);
    } else {
      Status converted = template_value_to_stored(a.vr, raw.text, value.bytes);
      if (!converted.ok()) {
        log::write(kReader, log::kError, "Failed to read valid value for tag 0x%X",
                   static_cast<unsigned>(a.tag));
        return converted;
      }
    }
    a.highest_value_number = std::max(a.highest_value_number, value.value_number);
    a.valid_values.push_back(std::move(value));
  }
  a.defaults.reserve(b.defaults.size());
  for (DefaultValue& raw : b.defaults) {
    DefaultValue value{raw.is_null, {}};
    if (!raw.is_null) {
      Status converted = template_value_to_stored(a.vr, raw.bytes, value.bytes);
      if (!converted.ok()) {
        log::write(kReader, log::kError, "Failed to read default for tag 0x%X",
                   static_cast<unsigned>(a.tag));
        return converted;
      }
    }
    a.defaults.push_back(std::move(value));
  }

  if (!a.creator.empty() && is_private_data_element(a.tag)) add_creator_element(t, a);
  t.attributes.push_back(std::move(a));
  return Status();
}

// Reads the records from the begin marker at the current position up to the next begin marker
// or the end of the file.
Status read_records(InfoFile& file, Template& t) {
  unsigned char header[format::kRecordHeaderSize];
  if (!file.read_exact(header, sizeof header) || format::get32(header) != format::kBeginMarkerTag) {
    log::write(kReader, log::kError, "Cannot find beginning of message.");
    return file_error();
  }
  std::string data;
  // A marker carries no data; any it has is skipped.
  const uint16_t marker_length = format::get16(header + 6);
  data.resize(marker_length);
  if (!file.read_exact(data.data(), marker_length)) {
    log::write(kReader, log::kError, "%s: Unexpected EOF", file.path());
    return file_error();
  }

  AttributeBuilder current;
  bool open = false;
  while (true) {
    const size_t got = file.read(header, sizeof header);
    if (got == 0 && !file.failed()) break;
    if (got < sizeof header) {
      log::write(kReader, log::kError, "Error reading message info file.");
      return file_error();
    }
    const uint32_t tag = format::get32(header);
    if (tag == format::kBeginMarkerTag) break;
    const uint16_t parm = format::get16(header + 4);
    const uint16_t length = format::get16(header + 6);
    data.resize(length);
    if (!file.read_exact(data.data(), length)) {
      log::write(kReader, log::kError, "%s: Unexpected EOF", file.path());
      return file_error();
    }
    if (open && tag < current.attribute.tag) {
      log::write(kReader, log::kError, "Message is not in tag/parm sequence");
      return file_error();
    }
    if (!open || tag != current.attribute.tag) {
      if (open) TS_RETURN_IF_ERROR(close_attribute(current, t));
      start_attribute(current, tag);
      open = true;
    }
    TS_RETURN_IF_ERROR(apply_record(current, parm, data));
  }
  if (open) TS_RETURN_IF_ERROR(close_attribute(current, t));
  return Status();
}

// Reads one template from the file. `out` stays empty when the file cannot be opened and the
// command takes no template.
Status read_template(const char* name, uint16_t command, std::unique_ptr<Template>& out) {
  const std::string* configured = Cfg != nullptr ? &Cfg->str(MSG_INFO_FILE) : nullptr;
  if (configured == nullptr || configured->empty()) {
    log::write(kReader, log::kError,
               "Could not open message info file, configuration value not set.");
    return file_error();
  }
  std::string path;
  if (!config::expand_data_file_name(*configured, path, kReader)) return file_error();
  InfoFile file;
  errno = 0;
  if (!file.open(path)) {
    const int error = errno;
    if (command_takes_no_template(command)) return Status();
    log::write(kReader, log::kError, "Could not open message info file %s: (%d):%s", path.c_str(),
               error, std::strerror(error));
    return file_error();
  }
  TS_RETURN_IF_ERROR(read_signature(file));
  format::Preamble preamble{};
  TS_RETURN_IF_ERROR(read_preamble(file, preamble));
  uint32_t offset = 0;
  if (command != 0) {
    TS_RETURN_IF_ERROR(locate_service(file, preamble, name, command, offset));
    if (!file.seek(uint64_t{preamble.template_base} + offset)) {
      log::write(kReader, log::kError, "Unable to seek in %s: %s", file.path(), file.error_text());
      return file_error();
    }
  } else {
    TS_RETURN_IF_ERROR(locate_item(file, preamble, name, offset));
    if (!file.seek(uint64_t{preamble.template_base} + offset)) {
      log::write(kReader, log::kError, "Error seeking ITEM %ud in %s: %s",
                 static_cast<unsigned>(services::item_number(name)), file.path(),
                 file.error_text());
      return file_error();
    }
  }
  auto t = std::make_unique<Template>();
  t->name = name;
  t->command = command;
  TS_RETURN_IF_ERROR(read_records(file, *t));
  out = std::move(t);
  return Status();
}

Status lookup(const char* name, uint16_t command, const Template** out) {
  if (g_cache == nullptr) {
    g_cache = new (std::nothrow) TemplateCache();
    if (g_cache == nullptr) {
      log::write(kReader, log::kError, "Can't allocate message template list");
      return Status(CV_SYSTEM_ERROR);
    }
  }
  if (const Template* t = cached(name, command)) {
    *out = t;
    return Status();
  }
  std::unique_ptr<Template> t;
  TS_RETURN_IF_ERROR(read_template(name, command, t));
  if (t == nullptr) return Status();
  auto& slot = g_cache->by_name[t->name];
  slot.push_back(std::move(t));
  *out = slot.back().get();
  return Status();
}

// Native-order bytes of a value.
template <typename T>
void store_native(T value, std::string& out) {
  out.assign(reinterpret_cast<const char*>(&value), sizeof value);
}

Status integer_to_stored(int32_t vr, const std::string& text, std::string& out) {
  if (text.empty()) return Status(CV_INVALID_VALUE_FOR_VR);
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0') return Status(CV_INVALID_VALUE_FOR_VR);
  if (errno == ERANGE) return Status(CV_VALUE_OUT_OF_RANGE);
  switch (vr) {
    case CV_VR_SS:
      store_native(static_cast<int16_t>(static_cast<uint16_t>(value)), out);
      break;
    case CV_VR_US:
      store_native(static_cast<uint16_t>(value), out);
      break;
    case CV_VR_SL:
      store_native(static_cast<int32_t>(static_cast<uint32_t>(value)), out);
      break;
    default:  // UL, AT
      store_native(static_cast<uint32_t>(value), out);
      break;
  }
  return Status();
}

Status float_to_stored(int32_t vr, const std::string& text, std::string& out) {
  if (text.empty()) return Status(CV_INVALID_VALUE_FOR_VR);
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  size_t consumed = static_cast<size_t>(end - text.c_str());
  if (consumed > 0 && consumed < text.size() && text[consumed] == '.') {
    // The period may stop a parse under a locale whose decimal separator is a comma.
    std::string retry = text;
    retry[consumed] = ',';
    value = std::strtod(retry.c_str(), &end);
    consumed = static_cast<size_t>(end - retry.c_str());
  }
  if (consumed == 0 || consumed != text.size()) return Status(CV_INVALID_VALUE_FOR_VR);
  if (std::isinf(value)) return Status(CV_VALUE_OUT_OF_RANGE);
  if (value == 0.0 && std::strtoll(text.c_str(), nullptr, 10) != 0) {
    return Status(CV_VALUE_OUT_OF_RANGE);
  }
  if (vr == CV_VR_FL) {
    const double magnitude = std::fabs(value);
    if (magnitude > 3.4028234663852886e38 ||
        (magnitude != 0.0 && magnitude < 1.1754943508222875e-38)) {
      return Status(CV_VALUE_OUT_OF_RANGE);
    }
    store_native(static_cast<float>(value), out);
  } else {
    store_native(value, out);
  }
  return Status();
}

}  // namespace

AttributeType type_code_from_text(std::string_view text) {
  if (text == "1") return AttributeType::k1;
  if (text == "1C") return AttributeType::k1C;
  if (text == "2") return AttributeType::k2;
  if (text == "2C") return AttributeType::k2C;
  if (text == "3") return AttributeType::k3;
  return AttributeType::kNotGiven;
}

const char* type_code_text(int32_t code) {
  switch (code) {
    case 0:
      return "1 ";
    case 1:
      return "1C";
    case 2:
      return "2 ";
    case 3:
      return "2C";
    case 4:
      return "3 ";
    default:
      return "??";
  }
}

const TemplateAttribute* Template::find(uint32_t tag) const {
  auto at = std::lower_bound(attributes.begin(), attributes.end(), tag,
                             [](const TemplateAttribute& a, uint32_t v) { return a.tag < v; });
  return at != attributes.end() && at->tag == tag ? &*at : nullptr;
}

bool command_takes_no_template(uint16_t command) {
  return command == 0x8001 || command == 0x0150 || command == 0x8150 || command == 0x0030 ||
         command == 0x8030;
}

Status find_template(const char* name, uint16_t command, const Template** out) {
  *out = nullptr;
  if (name == nullptr) return Status(CV_NULL_POINTER_PARM);
  core::NamedLock* lock = cache_lock();
  if (lock == nullptr) {
    log::write(kReader, log::kError, "Can't allocate message template list");
    return Status(CV_SYSTEM_ERROR);
  }
  core::LockHold hold(lock);
  try {
    return lookup(name, command, out);
  } catch (const std::bad_alloc&) {
    *out = nullptr;
    log::write(kReader, log::kError, "Unable to allocate memory");
    return Status(CV_SYSTEM_ERROR);
  }
}

void release_templates() {
  delete g_cache;
  g_cache = nullptr;
  core::release_lock(g_cache_lock.exchange(nullptr, std::memory_order_acq_rel));
}

Status template_value_to_stored(int32_t vr, std::string_view text, std::string& out) {
  out.clear();
  if (is_text_vr(vr)) {
    out.assign(text);
    return Status();
  }
  const std::string copy(text);
  switch (vr) {
    case CV_VR_SS:
    case CV_VR_US:
    case CV_VR_AT:
    case CV_VR_SL:
    case CV_VR_UL:
      return integer_to_stored(vr, copy, out);
    case CV_VR_FL:
    case CV_VR_FD:
      return float_to_stored(vr, copy, out);
    case CV_VR_SQ:
      return Status(CV_INVALID_VALUE_FOR_VR);
    default:
      return Status(CV_INCOMPATIBLE_VR);
  }
}

}  // namespace tessel::data

namespace tessel::subsystems {

void release_message_templates() {
  data::release_templates();
}

}  // namespace tessel::subsystems
