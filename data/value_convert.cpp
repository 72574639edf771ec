#include "data/value_convert.hpp"

#include <cassert>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "config/config_record.hpp"
#include "data/vr.hpp"
#include "log/log.hpp"

#include "tessel/tessel_config.h"
#include "tessel/tessel_defs.h"

namespace tessel::data {
namespace {

// Text given for DS, FL or FD beyond this length is refused.
constexpr size_t kDecimalTextLimit = 256;
// DS and IS text read as a number beyond this length is refused.
constexpr size_t kReadableTextLimit = 49;
constexpr size_t kDecimalStringWidth = 16;
// At most this many lower precisions are tried to fit a number into a DS.
constexpr int kFormatSteps = 6;

constexpr double kFloatMax = 3.4028234663852886e38;
constexpr double kFloatMinNormal = 1.1754943508222875e-38;
constexpr double kDoubleMax = 1.7976931348623157e308;

constexpr int64_t kInt16Min = -32768;
constexpr int64_t kInt16Max = 32767;
constexpr int64_t kUInt16Max = 65535;
constexpr int64_t kInt32Min = -2147483648LL;
constexpr int64_t kInt32Max = 2147483647LL;
constexpr int64_t kUInt32Max = 4294967295LL;

Status ok() {
  return Status();
}
Status incompatible_vr() {
  return Status(CV_INCOMPATIBLE_VR);
}
Status incompatible_value() {
  return Status(CV_INCOMPATIBLE_VALUE);
}
Status invalid_value() {
  return Status(CV_INVALID_VALUE_FOR_VR);
}
Status out_of_range() {
  return Status(CV_VALUE_OUT_OF_RANGE);
}

bool is_decimal_text_vr(int32_t vr) {
  return vr == CV_VR_DS || vr == CV_VR_FL || vr == CV_VR_FD;
}

// How the value-conversion table groups the data types.
enum class Group {
  kPlain,     // Int, UInt: SS and US keep the low 16 bits without a check
  kShort,     // ShortInt, UShortInt
  kLong,      // LongInt, ULongInt: checked against SS and US, the only integers AT takes
  kFloating,  // Float, Double
};

// A number as the application gave it: an integer (signed or unsigned, always within
// -2^31..2^32-1) or a floating value.
struct Number {
  Group group;
  bool floating;
  bool from_float;
  int64_t integer;
  double real;
};

template <typename T>
T load(const void* value) {
  T loaded;
  std::memcpy(&loaded, value, sizeof loaded);
  return loaded;
}

bool load_number(int32_t type, const void* value, Number* number) {
  *number = Number{Group::kPlain, false, false, 0, 0.0};
  switch (type) {
    case CV_TYPE_INT:
      number->integer = load<int32_t>(value);
      return true;
    case CV_TYPE_UINT:
      number->integer = load<uint32_t>(value);
      return true;
    case CV_TYPE_SHORT_INT:
      number->group = Group::kShort;
      number->integer = load<int16_t>(value);
      return true;
    case CV_TYPE_USHORT_INT:
      number->group = Group::kShort;
      number->integer = load<uint16_t>(value);
      return true;
    case CV_TYPE_LONG_INT:
      number->group = Group::kLong;
      number->integer = load<int32_t>(value);
      return true;
    case CV_TYPE_ULONG_INT:
      number->group = Group::kLong;
      number->integer = load<uint32_t>(value);
      return true;
    case CV_TYPE_FLOAT:
      number->group = Group::kFloating;
      number->floating = true;
      number->from_float = true;
      number->real = load<float>(value);
      return true;
    case CV_TYPE_DOUBLE:
      number->group = Group::kFloating;
      number->floating = true;
      number->real = load<double>(value);
      return true;
    default:
      return false;
  }
}

// The integer a floating value names exactly, within [low, high]; false for a fraction, a value
// out of range, an infinity or NaN.
bool exact_integer(double real, int64_t low, int64_t high, int64_t* integer) {
  if (!(real >= static_cast<double>(low) && real <= static_cast<double>(high))) return false;
  if (std::trunc(real) != real) return false;
  *integer = static_cast<int64_t>(real);
  return true;
}

// The low 16 bits of an integer, as the 2 bytes SS and US store.
uint16_t low_16_bits(int64_t integer) {
  return static_cast<uint16_t>(static_cast<uint64_t>(integer) & 0xFFFFu);
}

// The low 32 bits, as UL and AT store them (-1 becomes 0xFFFFFFFF).
uint32_t low_32_bits(int64_t integer) {
  return static_cast<uint32_t>(static_cast<uint64_t>(integer) & 0xFFFFFFFFu);
}

void turn_commas_into_periods(char* text, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (text[i] == ',') text[i] = '.';
  }
}

void format_integer(int64_t integer, ValueBytes* out) {
  char* buffer = out->prepare(ValueBytes::kInlineCapacity);
  const int written = std::snprintf(buffer, ValueBytes::kInlineCapacity, "%" PRId64, integer);
  out->shrink(static_cast<size_t>(written));
}

// "%.0f" of any double: up to 309 digits for the largest, so the length is asked first.
void format_rounded(double real, ValueBytes* out) {
  char small[ValueBytes::kInlineCapacity];
  const int needed = std::snprintf(small, sizeof small, "%.0f", real);
  char* buffer = out->prepare(static_cast<size_t>(needed));
  std::snprintf(buffer, static_cast<size_t>(needed) + 1, "%.0f", real);
  turn_commas_into_periods(buffer, static_cast<size_t>(needed));
}

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

enum class IntegerText { kOk, kNotInteger, kTooLarge };

// Reads the whole text as a decimal integer: leading white space, an optional sign, at least one
// digit and nothing after. Values beyond 2^40 in magnitude are reported as too large.
IntegerText parse_whole_integer(std::string_view text, int64_t* value) {
  constexpr int64_t kCeiling = int64_t{1} << 40;
  size_t at = 0;
  while (at < text.size() && is_space(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  const size_t digits_start = at;
  int64_t magnitude = 0;
  bool too_large = false;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    if (magnitude < kCeiling) magnitude = magnitude * 10 + (text[at] - '0');
    if (magnitude >= kCeiling) too_large = true;
  }
  if (at == digits_start || at != text.size()) return IntegerText::kNotInteger;
  if (too_large) return IntegerText::kTooLarge;
  *value = negative ? -magnitude : magnitude;
  return IntegerText::kOk;
}

// Parses a decimal number from a NUL-terminated copy (which it may change). A period that
// stops the parse is read again as a comma, the decimal separator of some locales. Returns the
// value and, in *used, how many characters it read.
double parse_decimal(char* text, size_t* used) {
  char* end = nullptr;
  double value = std::strtod(text, &end);
  if (*end == '.') {
    *end = ',';
    value = std::strtod(text, &end);
  }
  *used = static_cast<size_t>(end - text);
  return value;
}

// A floating reading of 0 while the integer reading is not means the number underflowed.
bool underflowed(const char* text, double value) {
  return value == 0.0 && std::strtoll(text, nullptr, 10) != 0;
}

// Text for FL or FD (at most kDecimalTextLimit characters): the whole text must be a decimal
// number. Commas reaching here are allowed ones and mean periods.
Status parse_floating_text(int32_t vr, std::string_view text, double* value) {
  char copy[kDecimalTextLimit + 1];
  assert(text.size() <= kDecimalTextLimit);
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  turn_commas_into_periods(copy, text.size());
  size_t used = 0;
  const double parsed = parse_decimal(copy, &used);
  if (used == 0 || used != text.size()) return invalid_value();
  if (std::isinf(parsed) || underflowed(copy, parsed)) return out_of_range();
  if (vr == CV_VR_FL) {
    const double magnitude = std::fabs(parsed);
    if (magnitude > kFloatMax || (magnitude != 0.0 && magnitude < kFloatMinNormal)) {
      return out_of_range();
    }
  }
  *value = parsed;
  return ok();
}

// Text with REMOVE_PADDING_CHARS: spaces around it dropped (leading ones kept for LT, ST, UT),
// a value of spaces only kept as given.
std::string_view without_padding(int32_t vr, std::string_view text) {
  const size_t last = text.find_last_not_of(' ');
  if (last == std::string_view::npos) return text;
  size_t first = 0;
  if (vr != CV_VR_LT && vr != CV_VR_ST && vr != CV_VR_UT) first = text.find_first_not_of(' ');
  return text.substr(first, last + 1 - first);
}

Status integer_to_binary(int32_t vr, int64_t integer, ValueBytes* out) {
  switch (vr) {
    case CV_VR_SS:
      out->assign_number(static_cast<int16_t>(low_16_bits(integer)));
      return ok();
    case CV_VR_US:
      out->assign_number(low_16_bits(integer));
      return ok();
    case CV_VR_SL:
      if (integer < kInt32Min || integer > kInt32Max) return out_of_range();
      out->assign_number(static_cast<int32_t>(integer));
      return ok();
    default:  // UL, AT
      if (integer < 0 || integer > kUInt32Max) return out_of_range();
      out->assign_number(static_cast<uint32_t>(integer));
      return ok();
  }
}

// Reads the text of a DS or IS value as a number for the get direction.
Status parse_readable_text(const uint8_t* stored, size_t length, double* value) {
  if (length > kReadableTextLimit) return incompatible_value();
  char copy[kReadableTextLimit + 1];
  std::memcpy(copy, stored, length);
  copy[length] = '\0';
  size_t used = 0;
  const double parsed = parse_decimal(copy, &used);
  if (used == 0) return incompatible_value();
  // Only padding may follow the number.
  for (size_t at = used; at < length; ++at) {
    if (stored[at] != ' ') return incompatible_value();
  }
  if (std::isinf(parsed) || underflowed(copy, parsed)) return out_of_range();
  *value = parsed;
  return ok();
}

// Stores a number into the target type, checking its range; `out` is written only on success.
Status store_integer(int32_t type, int64_t integer, void* out) {
  switch (type) {
    case CV_TYPE_INT:
    case CV_TYPE_LONG_INT: {
      if (integer < kInt32Min || integer > kInt32Max) return out_of_range();
      const auto v = static_cast<int32_t>(integer);
      std::memcpy(out, &v, sizeof v);
      return ok();
    }
    case CV_TYPE_UINT:
    case CV_TYPE_ULONG_INT: {
      if (integer < 0 || integer > kUInt32Max) return out_of_range();
      const auto v = static_cast<uint32_t>(integer);
      std::memcpy(out, &v, sizeof v);
      return ok();
    }
    case CV_TYPE_SHORT_INT: {
      if (integer < kInt16Min || integer > kInt16Max) return out_of_range();
      const auto v = static_cast<int16_t>(integer);
      std::memcpy(out, &v, sizeof v);
      return ok();
    }
    case CV_TYPE_USHORT_INT: {
      if (integer < 0 || integer > kUInt16Max) return out_of_range();
      const auto v = static_cast<uint16_t>(integer);
      std::memcpy(out, &v, sizeof v);
      return ok();
    }
    case CV_TYPE_FLOAT: {
      const auto v = static_cast<float>(integer);
      std::memcpy(out, &v, sizeof v);
      return ok();
    }
    default: {  // CV_TYPE_DOUBLE
      const auto v = static_cast<double>(integer);
      std::memcpy(out, &v, sizeof v);
      return ok();
    }
  }
}

Status store_real(int32_t type, double real, void* out) {
  if (type == CV_TYPE_FLOAT) {
    if (std::fabs(real) > kFloatMax) return out_of_range();
    const auto v = static_cast<float>(real);
    std::memcpy(out, &v, sizeof v);
    return ok();
  }
  if (type == CV_TYPE_DOUBLE) {
    if (std::fabs(real) > kDoubleMax) return out_of_range();
    std::memcpy(out, &real, sizeof real);
    return ok();
  }
  // Integer targets take the value truncated toward 0; NaN and infinities lie in no range.
  const double truncated = std::trunc(real);
  if (!(truncated >= static_cast<double>(kInt32Min) &&
        truncated <= static_cast<double>(kUInt32Max))) {
    return out_of_range();
  }
  return store_integer(type, static_cast<int64_t>(truncated), out);
}

bool stored_value_fits(int32_t vr, size_t length) {
  const int32_t width = vr == CV_VR_SQ ? 4 : binary_width(vr);
  if (length >= static_cast<size_t>(width)) return true;
  assert(false && "stored binary value shorter than its VR's width");
  log::write(nullptr, log::kError, "Internal error, stored value of %zu bytes for VR %s", length,
             vr_text(vr));
  return false;
}

}  // namespace

ValueFlags value_flags_from(const CV_CONFIG_RECORD& config) {
  ValueFlags flags;
  flags.allow_comma = config.b(ALLOW_COMMA_IN_DS_FL_FD_STRINGS);
  flags.return_comma = config.b(RETURN_COMMA_IN_DS_FL_FD_STRINGS);
  flags.remove_padding = config.b(REMOVE_PADDING_CHARS);
  return flags;
}

void ValueBytes::refer(const void* bytes, size_t size) {
  data_ = static_cast<const uint8_t*>(bytes);
  size_ = size;
}

void ValueBytes::assign(const void* bytes, size_t size) {
  char* target = prepare(size);
  if (size > 0) std::memcpy(target, bytes, size);
}

char* ValueBytes::prepare(size_t size) {
  size_ = size;
  if (size <= kInlineCapacity) {
    data_ = inline_;
    return reinterpret_cast<char*>(inline_);
  }
  heap_.resize(size);
  data_ = reinterpret_cast<const uint8_t*>(heap_.data());
  return heap_.data();
}

int32_t number_type_size(int32_t type) {
  switch (type) {
    case CV_TYPE_INT:
    case CV_TYPE_UINT:
    case CV_TYPE_LONG_INT:
    case CV_TYPE_ULONG_INT:
    case CV_TYPE_FLOAT:
      return 4;
    case CV_TYPE_SHORT_INT:
    case CV_TYPE_USHORT_INT:
      return 2;
    case CV_TYPE_DOUBLE:
      return 8;
    default:
      return 0;
  }
}

Status check_decimal_text(int32_t vr, std::string_view text, bool allow_comma) {
  if (!is_decimal_text_vr(vr)) return ok();
  if (text.size() > kDecimalTextLimit) return invalid_value();
  if (!allow_comma && text.find(',') != std::string_view::npos) return invalid_value();
  return ok();
}

Status text_to_stored(int32_t vr, std::string_view text, const ValueFlags& flags, ValueBytes* out) {
  if (!CVI_ValidVRCode(vr) || is_opaque_vr(vr)) return incompatible_vr();
  TS_RETURN_IF_ERROR(check_decimal_text(vr, text, flags.allow_comma));

  if (is_text_vr(vr)) {
    const std::string_view value = flags.remove_padding ? without_padding(vr, text) : text;
    if (vr == CV_VR_DS && value.find(',') != std::string_view::npos) {
      char* copy = out->prepare(value.size());
      std::memcpy(copy, value.data(), value.size());
      turn_commas_into_periods(copy, value.size());
      return ok();
    }
    out->refer(value.data(), value.size());
    return ok();
  }

  if (text.empty()) return invalid_value();
  if (vr == CV_VR_FL || vr == CV_VR_FD) {
    double value = 0.0;
    TS_RETURN_IF_ERROR(parse_floating_text(vr, text, &value));
    if (vr == CV_VR_FL) {
      out->assign_number(static_cast<float>(value));
    } else {
      out->assign_number(value);
    }
    return ok();
  }

  int64_t integer = 0;
  const IntegerText parsed = parse_whole_integer(text, &integer);
  if (vr == CV_VR_SQ) {
    // An identifier outside the identifier range cannot name an Item.
    if (parsed != IntegerText::kOk || integer < kInt32Min || integer > kInt32Max) {
      return invalid_value();
    }
    out->assign_number(static_cast<int32_t>(integer));
    return ok();
  }
  if (parsed == IntegerText::kNotInteger) return invalid_value();
  // Text carries what Int and UInt can carry; SS and US then keep the low 16 bits.
  if (parsed == IntegerText::kTooLarge || integer < kInt32Min || integer > kUInt32Max) {
    return out_of_range();
  }
  return integer_to_binary(vr, integer, out);
}

Status number_to_stored(int32_t vr, int32_t type, const void* value, const char* function,
                        ValueBytes* out) {
  Number number;
  if (!load_number(type, value, &number)) return Status(CV_INVALID_DATA_TYPE);
  const Group group = number.group;
  int64_t integer = number.integer;

  switch (vr) {
    case CV_VR_DS:
      if (number.floating) {
        format_decimal_string(number.real, number.from_float, function, out);
      } else {
        format_integer(integer, out);
      }
      return ok();
    case CV_VR_IS:
      if (number.floating) {
        format_rounded(number.real, out);
      } else {
        format_integer(integer, out);
      }
      return ok();
    case CV_VR_SS:
    case CV_VR_US: {
      const bool is_signed = vr == CV_VR_SS;
      const int64_t low = is_signed ? kInt16Min : 0;
      const int64_t high = is_signed ? kInt16Max : kUInt16Max;
      if (group == Group::kFloating) {
        if (!exact_integer(number.real, low, high, &integer)) return out_of_range();
      } else if (group == Group::kLong && (integer < low || integer > high)) {
        return out_of_range();
      }
      // Int, UInt, ShortInt and UShortInt keep their low 16 bits unchecked.
      return integer_to_binary(vr, integer, out);
    }
    case CV_VR_SL:
      if (group == Group::kFloating &&
          !exact_integer(number.real, kInt32Min, kInt32Max, &integer)) {
        return out_of_range();
      }
      // Unsigned values above 2147483647 have no SL form.
      return integer_to_binary(vr, integer, out);
    case CV_VR_UL:
      if (group == Group::kFloating) {
        if (!exact_integer(number.real, 0, kUInt32Max, &integer)) return out_of_range();
      }
      // Negative integers are stored as their 32-bit pattern.
      out->assign_number(low_32_bits(integer));
      return ok();
    case CV_VR_AT:
      if (group != Group::kLong) return incompatible_vr();
      out->assign_number(low_32_bits(integer));
      return ok();
    case CV_VR_FL:
      if (!number.floating) {
        out->assign_number(static_cast<float>(integer));
        return ok();
      }
      // A finite Double beyond the FL range would become an infinity.
      if (std::isfinite(number.real) && std::fabs(number.real) > kFloatMax) return out_of_range();
      out->assign_number(static_cast<float>(number.real));
      return ok();
    case CV_VR_FD:
      out->assign_number(number.floating ? number.real : static_cast<double>(integer));
      return ok();
    case CV_VR_SQ:
      if (group == Group::kFloating) {
        if (!exact_integer(number.real, kInt32Min, kInt32Max, &integer)) return out_of_range();
      } else if (integer > kInt32Max) {
        return out_of_range();
      }
      out->assign_number(static_cast<int32_t>(integer));
      return ok();
    default:
      return incompatible_vr();
  }
}

Status value_to_stored(int32_t vr, int32_t type, const void* value, const ValueFlags& flags,
                       const char* function, ValueBytes* out) {
  if (type == CV_TYPE_STRING) {
    return text_to_stored(vr, std::string_view(static_cast<const char*>(value)), flags, out);
  }
  return number_to_stored(vr, type, value, function, out);
}

void format_decimal_string(double value, bool from_float, const char* function, ValueBytes* out) {
  detail::format_decimal_string_within(value, from_float, kDecimalStringWidth, function, out);
}

namespace detail {

void format_decimal_string_within(double value, bool from_float, size_t limit, const char* function,
                                  ValueBytes* out) {
  // "%g" with at most 14 significant digits needs at most 21 characters.
  char* buffer = out->prepare(ValueBytes::kInlineCapacity);
  constexpr size_t kSize = ValueBytes::kInlineCapacity;
  int precision = from_float ? 6 : 14;
  auto length = static_cast<size_t>(std::snprintf(buffer, kSize, "%.*g", precision, value));
  for (int step = 1; length > limit && step <= kFormatSteps; ++step) {
    --precision;
    // A Float's last attempt is the default precision.
    const bool last_float_step = from_float && step == kFormatSteps;
    length = static_cast<size_t>(last_float_step
                                     ? std::snprintf(buffer, kSize, "%g", value)
                                     : std::snprintf(buffer, kSize, "%.*g", precision, value));
  }
  if (length > limit) {
    log::write(function, log::kError,
               "ConvertFloatToVR:  Could not format this double into 16 bytes");
  }
  out->shrink(length);
  turn_commas_into_periods(buffer, length);
}

}  // namespace detail

Status stored_to_text(int32_t vr, const uint8_t* stored, size_t length, const ValueFlags& flags,
                      ValueBytes* out) {
  if (is_text_vr(vr)) {
    const void* period = vr == CV_VR_DS && flags.return_comma && length > 0
                             ? std::memchr(stored, '.', length)
                             : nullptr;
    if (period == nullptr) {
      out->refer(stored, length);
      return ok();
    }
    char* text = out->prepare(length);
    std::memcpy(text, stored, length);
    text[static_cast<const uint8_t*>(period) - stored] = ',';
    return ok();
  }
  if (!is_binary_vr(vr) && !is_sequence_vr(vr)) return incompatible_vr();
  if (!stored_value_fits(vr, length)) return Status(CV_SYSTEM_ERROR);

  char* buffer = out->prepare(ValueBytes::kInlineCapacity);
  constexpr size_t kSize = ValueBytes::kInlineCapacity;
  int written = 0;
  switch (vr) {
    case CV_VR_SS:
      written = std::snprintf(buffer, kSize, "%d", load<int16_t>(stored));
      break;
    case CV_VR_US:
      written = std::snprintf(buffer, kSize, "%u", load<uint16_t>(stored));
      break;
    case CV_VR_SL:
    case CV_VR_SQ:
      written = std::snprintf(buffer, kSize, "%" PRId32, load<int32_t>(stored));
      break;
    case CV_VR_UL:
    case CV_VR_AT:
      written = std::snprintf(buffer, kSize, "%" PRIu32, load<uint32_t>(stored));
      break;
    case CV_VR_FL:
      written = std::snprintf(buffer, kSize, "%.7g", static_cast<double>(load<float>(stored)));
      break;
    default:  // FD
      written = std::snprintf(buffer, kSize, "%.16g", load<double>(stored));
      break;
  }
  const auto size = static_cast<size_t>(written);
  out->shrink(size);
  if (vr == CV_VR_FL || vr == CV_VR_FD) {
    turn_commas_into_periods(buffer, size);
    if (flags.return_comma) {
      if (void* period = std::memchr(buffer, '.', size)) *static_cast<char*>(period) = ',';
    }
  }
  return ok();
}

Status stored_to_number(int32_t vr, int32_t type, const uint8_t* stored, size_t length, void* out) {
  if (number_type_size(type) == 0) return Status(CV_INVALID_DATA_TYPE);
  if (vr == CV_VR_DS || vr == CV_VR_IS) {
    double value = 0.0;
    TS_RETURN_IF_ERROR(parse_readable_text(stored, length, &value));
    return store_real(type, value, out);
  }
  if (!is_binary_vr(vr) && !is_sequence_vr(vr)) return incompatible_vr();
  if (!stored_value_fits(vr, length)) return Status(CV_SYSTEM_ERROR);
  switch (vr) {
    case CV_VR_SS:
      return store_integer(type, load<int16_t>(stored), out);
    case CV_VR_US:
      return store_integer(type, load<uint16_t>(stored), out);
    case CV_VR_SL:
    case CV_VR_SQ:
      return store_integer(type, load<int32_t>(stored), out);
    case CV_VR_UL:
    case CV_VR_AT:
      return store_integer(type, load<uint32_t>(stored), out);
    case CV_VR_FL:
      return store_real(type, static_cast<double>(load<float>(stored)), out);
    default:  // FD
      return store_real(type, load<double>(stored), out);
  }
}

}  // namespace tessel::data
