#include "tools/dump/json_model.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/dump/text_decoder.hpp"

#include "tessel/tessel.h"

namespace tessel_tools {
namespace {

constexpr uint32_t kCharacterSetTag = 0x00080005;
constexpr uint32_t kPixelDataTag = 0x7FE00010;
// Deeper nesting than this is refused rather than risking the stack (the decoder stops at 1000).
constexpr int kMaxDepth = 2000;

struct Attribute {
  uint32_t tag;
  int32_t vr;
  int32_t count;
};

const char* vr_name(int32_t vr) {
  static const char* const kNames[] = {"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT", "PN",
                                       "SH", "ST", "TM", "UT", "UI", "SS", "US", "AT", "SL", "UL",
                                       "FL", "FD", "UN", "OB", "OW", "OL", "OF", "SQ"};
  return vr >= 0 && vr <= CV_VR_SQ ? kNames[vr] : "UN";
}

bool is_text(int32_t vr) {
  return vr >= CV_VR_AE && vr <= CV_VR_UI;
}
bool is_opaque(int32_t vr) {
  return vr >= CV_VR_UN && vr <= CV_VR_OF;
}
bool uses_character_set(int32_t vr) {
  return vr == CV_VR_SH || vr == CV_VR_LO || vr == CV_VR_ST || vr == CV_VR_LT || vr == CV_VR_PN ||
         vr == CV_VR_UT;
}
// VRs whose leading spaces are padding as well as their trailing ones.
bool strips_leading(int32_t vr) {
  return vr == CV_VR_AE || vr == CV_VR_CS || vr == CV_VR_DS || vr == CV_VR_IS || vr == CV_VR_LO ||
         vr == CV_VR_SH || vr == CV_VR_UI || vr == CV_VR_AS || vr == CV_VR_DA || vr == CV_VR_TM ||
         vr == CV_VR_DT;
}

void append_string(const std::string& text, std::string* out) {
  out->push_back('"');
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out->append(escaped);
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

// The shortest text that reads back as the same number; non-finite numbers, which JSON cannot
// carry, are written as strings.
void append_double(double value, int max_digits, bool single, std::string* out) {
  if (!std::isfinite(value)) {
    append_string(std::isnan(value) ? "NaN" : (value > 0 ? "Infinity" : "-Infinity"), out);
    return;
  }
  char text[40];
  for (int digits = 1; digits <= max_digits; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    const bool same = single ? std::strtof(text, nullptr) == static_cast<float>(value)
                             : std::strtod(text, nullptr) == value;
    if (same) break;
  }
  out->append(text);
}

void append_base64(const std::string& bytes, std::string* out) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  out->reserve(out->size() + bytes.size() / 3 * 4 + 8);
  size_t i = 0;
  const auto at = [&bytes](size_t k) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[k]));
  };
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t n = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    out->push_back(kAlphabet[n >> 18]);
    out->push_back(kAlphabet[(n >> 12) & 63]);
    out->push_back(kAlphabet[(n >> 6) & 63]);
    out->push_back(kAlphabet[n & 63]);
  }
  if (i < bytes.size()) {
    const bool two = i + 1 < bytes.size();
    const uint32_t n = at(i) << 16 | (two ? at(i + 1) << 8 : 0);
    out->push_back(kAlphabet[n >> 18]);
    out->push_back(kAlphabet[(n >> 12) & 63]);
    out->push_back(two ? kAlphabet[(n >> 6) & 63] : '=');
    out->push_back('=');
  }
}

std::string strip(std::string text, int32_t vr) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  if (strips_leading(vr)) text.erase(0, text.find_first_not_of(' '));
  return text;
}

// DS and IS values as JSON numbers, when the text is one.
bool append_number_text(const std::string& text, int32_t vr, std::string* out) {
  if (text.empty()) return false;
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  if (vr == CV_VR_IS) {
    const long long value = std::strtoll(begin, &end, 10);
    if (*end != '\0' || errno != 0) return false;
    out->append(std::to_string(value));
    return true;
  }
  const double value = std::strtod(begin, &end);
  if (*end != '\0' || !std::isfinite(value)) return false;
  append_double(value, 17, false, out);
  return true;
}

// Whether the file's data set is in an encapsulated transfer syntax (not one of the native
// ones).
bool encapsulated_syntax(int32_t object_id) {
  char uid[80] = {};
  if (CV_Get_Value_To_String(object_id, 0x00020010, sizeof uid, uid) != CV_NORMAL_COMPLETION) {
    return false;
  }
  int32_t code = 0;
  if (CV_Get_Enum_From_Transfer_Syntax(uid, &code) != CV_NORMAL_COMPLETION) return false;
  return code != IMPLICIT_LITTLE_ENDIAN && code != EXPLICIT_LITTLE_ENDIAN &&
         code != EXPLICIT_BIG_ENDIAN && code != DEFLATED_EXPLICIT_LITTLE_ENDIAN;
}

// Encapsulated pixel data is kept with the sequence delimitation item that ends it; that item
// is not part of the value.
void drop_sequence_delimiter(std::string* bytes) {
  static const char kItem[4] = {'\xFE', '\xFF', '\x00', '\xE0'};
  static const char kEnd[8] = {'\xFE', '\xFF', '\xDD', '\xE0', 0, 0, 0, 0};
  if (bytes->size() >= 16 && bytes->compare(0, 4, kItem, 4) == 0 &&
      bytes->compare(bytes->size() - 8, 8, kEnd, 8) == 0) {
    bytes->resize(bytes->size() - 8);
  }
}

class Writer {
 public:
  Writer(std::string* out, JsonFailure* failure, bool encapsulated)
      : out_(out), failure_(failure), encapsulated_(encapsulated) {}

  bool data_set(int32_t id, const TextDecoder& inherited, int depth);

 private:
  bool fail(int32_t status, uint32_t tag) {
    failure_->status = status;
    failure_->tag = tag;
    return false;
  }
  bool text_values(int32_t id, const Attribute& a, std::vector<std::string>* values);
  bool raw_value(int32_t id, const Attribute& a, std::string* bytes, bool* present);
  bool attribute(int32_t id, const Attribute& a, const TextDecoder& decoder, int depth);
  void person_name(const std::string& value, const TextDecoder& decoder);

  std::string* out_;
  JsonFailure* failure_;
  bool encapsulated_;
};

int32_t CV_CALL collect(int32_t /*msg_id*/, uint32_t /*tag*/, void* user_info, int32_t length,
                        void* data, int32_t /*is_first*/, int32_t /*is_last*/) {
  if (length > 0) static_cast<std::string*>(user_info)->append(static_cast<char*>(data), length);
  return 1;
}

bool Writer::raw_value(int32_t id, const Attribute& a, std::string* bytes, bool* present) {
  const int32_t status = CV_Get_Value_To_Function(id, a.tag, bytes, collect);
  *present = status == CV_NORMAL_COMPLETION && !bytes->empty();
  if (status == CV_NULL_VALUE || status == CV_NO_VALUE_YET) return true;
  return status == CV_NORMAL_COMPLETION || fail(status, a.tag);
}

bool Writer::text_values(int32_t id, const Attribute& a, std::vector<std::string>* values) {
  std::vector<char> buffer;
  for (int32_t i = 1; i <= a.count; ++i) {
    uint32_t length = 0;
    int32_t status = CV_Get_Value_Length(id, a.tag, i, &length);
    if (status == CV_NULL_VALUE) {
      length = 0;
    } else if (status != CV_NORMAL_COMPLETION) {
      return fail(status, a.tag);
    }
    buffer.assign(length + 2, '\0');
    uint32_t got = 0;
    status = i == 1 ? CV_Get_Value(id, a.tag, CV_TYPE_STRING, static_cast<uint32_t>(buffer.size()),
                                   buffer.data(), &got)
                    : CV_Get_Next_Value(id, a.tag, CV_TYPE_STRING,
                                        static_cast<uint32_t>(buffer.size()), buffer.data(), &got);
    if (status == CV_NULL_VALUE) {
      got = 0;
    } else if (status != CV_NORMAL_COMPLETION) {
      return fail(status, a.tag);
    }
    values->emplace_back(buffer.data(), got);
  }
  return true;
}

void Writer::person_name(const std::string& value, const TextDecoder& decoder) {
  static const char* const kGroups[] = {"Alphabetic", "Ideographic", "Phonetic"};
  out_->push_back('{');
  size_t start = 0;
  bool first = true;
  for (int group = 0; group < 3 && start <= value.size(); ++group) {
    size_t end = value.find('=', start);
    if (end == std::string::npos) end = value.size();
    std::string text = strip(value.substr(start, end - start), CV_VR_PN);
    start = end + 1;
    if (text.empty()) continue;
    if (!first) out_->push_back(',');
    first = false;
    append_string(kGroups[group], out_);
    out_->push_back(':');
    append_string(decoder.decode(text, TextDecoder::kNameDelimiters), out_);
  }
  out_->push_back('}');
}

bool Writer::attribute(int32_t id, const Attribute& a, const TextDecoder& decoder, int depth) {
  char key[16];
  std::snprintf(key, sizeof key, "\"%08X\":", a.tag);
  out_->append(key);
  out_->append("{\"vr\":\"");
  out_->append(vr_name(a.vr));
  out_->push_back('"');

  if (a.vr == CV_VR_SQ) {
    std::vector<int32_t> items;
    for (int32_t i = 1; i <= a.count; ++i) {
      int32_t item = CV_NO_ID;
      const int32_t status = i == 1 ? CV_Get_Value_To_Int(id, a.tag, &item)
                                    : CV_Get_Next_Value_To_Int(id, a.tag, &item);
      if (status == CV_NULL_VALUE || status == CV_NO_VALUE_YET) break;
      if (status != CV_NORMAL_COMPLETION) return fail(status, a.tag);
      items.push_back(item);
    }
    if (!items.empty()) {
      out_->append(",\"Value\":[");
      for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out_->push_back(',');
        if (!data_set(items[i], decoder, depth + 1)) return false;
      }
      out_->push_back(']');
    }
  } else if (is_opaque(a.vr)) {
    std::string bytes;
    bool present = false;
    if (!raw_value(id, a, &bytes, &present)) return false;
    if (encapsulated_ && a.tag == kPixelDataTag) drop_sequence_delimiter(&bytes);
    if (present) {
      out_->append(",\"InlineBinary\":\"");
      append_base64(bytes, out_);
      out_->push_back('"');
    }
  } else if (is_text(a.vr)) {
    std::vector<std::string> values;
    if (!text_values(id, a, &values)) return false;
    bool any = false;
    for (std::string& value : values) {
      value = strip(std::move(value), a.vr);
      any = any || !value.empty();
    }
    if (any) {
      out_->append(",\"Value\":[");
      for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) out_->push_back(',');
        const std::string& value = values[i];
        if (value.empty()) {
          out_->append("null");
        } else if (a.vr == CV_VR_PN) {
          person_name(value, decoder);
        } else if ((a.vr == CV_VR_DS || a.vr == CV_VR_IS) &&
                   append_number_text(value, a.vr, out_)) {
          // written as a number
        } else if (uses_character_set(a.vr)) {
          append_string(decoder.decode(value, TextDecoder::kTextDelimiters), out_);
        } else {
          append_string(TextDecoder::decode_default(value), out_);
        }
      }
      out_->push_back(']');
    }
  } else {
    std::string bytes;
    bool present = false;
    if (!raw_value(id, a, &bytes, &present)) return false;
    if (present) {
      out_->append(",\"Value\":[");
      const char* p = bytes.data();
      const size_t n = bytes.size();
      const auto separator = [this](size_t offset) {
        if (offset > 0) out_->push_back(',');
      };
      switch (a.vr) {
        case CV_VR_SS:
          for (size_t at = 0; at + 2 <= n; at += 2) {
            int16_t v;
            std::memcpy(&v, p + at, 2);
            separator(at);
            out_->append(std::to_string(v));
          }
          break;
        case CV_VR_US:
          for (size_t at = 0; at + 2 <= n; at += 2) {
            uint16_t v;
            std::memcpy(&v, p + at, 2);
            separator(at);
            out_->append(std::to_string(v));
          }
          break;
        case CV_VR_SL:
          for (size_t at = 0; at + 4 <= n; at += 4) {
            int32_t v;
            std::memcpy(&v, p + at, 4);
            separator(at);
            out_->append(std::to_string(v));
          }
          break;
        case CV_VR_UL:
          for (size_t at = 0; at + 4 <= n; at += 4) {
            uint32_t v;
            std::memcpy(&v, p + at, 4);
            separator(at);
            out_->append(std::to_string(v));
          }
          break;
        case CV_VR_AT:
          for (size_t at = 0; at + 4 <= n; at += 4) {
            uint32_t v;
            std::memcpy(&v, p + at, 4);
            separator(at);
            char text[16];
            std::snprintf(text, sizeof text, "\"%08X\"", v);
            out_->append(text);
          }
          break;
        case CV_VR_FL:
          for (size_t at = 0; at + 4 <= n; at += 4) {
            float v;
            std::memcpy(&v, p + at, 4);
            separator(at);
            append_double(v, 9, true, out_);
          }
          break;
        case CV_VR_FD:
          for (size_t at = 0; at + 8 <= n; at += 8) {
            double v;
            std::memcpy(&v, p + at, 8);
            separator(at);
            append_double(v, 17, false, out_);
          }
          break;
        default:
          break;
      }
      out_->push_back(']');
    }
  }
  out_->push_back('}');
  return true;
}

bool Writer::data_set(int32_t id, const TextDecoder& inherited, int depth) {
  if (depth > kMaxDepth) return fail(CV_INVALID_VALUE_FOR_VR, 0);
  std::vector<Attribute> attributes;
  Attribute a{};
  int32_t status = CV_Get_First_Attribute(id, &a.tag, &a.vr, &a.count);
  while (status == CV_NORMAL_COMPLETION) {
    if ((a.tag >> 16) != 0x0002) attributes.push_back(a);
    status = CV_Get_Next_Attribute(id, &a.tag, &a.vr, &a.count);
  }
  if (status != CV_NO_MORE_ATTRIBUTES && status != CV_MESSAGE_EMPTY) return fail(status, 0);

  // An item with its own Specific Character Set reads its text by that set.
  TextDecoder own;
  const TextDecoder* decoder = &inherited;
  for (const Attribute& candidate : attributes) {
    if (candidate.tag != kCharacterSetTag) continue;
    std::vector<std::string> terms;
    if (candidate.count > 0 && !text_values(id, candidate, &terms)) return false;
    own = TextDecoder(terms);
    decoder = &own;
  }

  out_->push_back('{');
  for (size_t i = 0; i < attributes.size(); ++i) {
    if (i > 0) out_->push_back(',');
    if (!attribute(id, attributes[i], *decoder, depth)) return false;
  }
  out_->push_back('}');
  return true;
}

}  // namespace

bool append_json_data_set(int32_t object_id, std::string* out, JsonFailure* failure) {
  Writer writer(out, failure, encapsulated_syntax(object_id));
  return writer.data_set(object_id, TextDecoder(), 0);
}

}  // namespace tessel_tools
