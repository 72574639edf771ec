// Conversions between the application's value types and the stored forms of the VRs: text or
// numbers into the bytes an attribute keeps, stored bytes back into text or numbers, and the
// formatting of floating values as DS text. Every function here is a pure function of its
// arguments (apart from the log lines it writes); the value layer supplies the VR, the
// configuration flags and the object's state.
#ifndef TESSEL_DATA_VALUE_CONVERT_HPP_
#define TESSEL_DATA_VALUE_CONVERT_HPP_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/status.hpp"

struct CV_CONFIG_RECORD;

namespace tessel::data {

// The configuration booleans the conversions depend on.
struct ValueFlags {
  bool allow_comma = false;     // ALLOW_COMMA_IN_DS_FL_FD_STRINGS: "1,5" is read as 1.5
  bool return_comma = false;    // RETURN_COMMA_IN_DS_FL_FD_STRINGS: "1.5" is returned as "1,5"
  bool remove_padding = false;  // REMOVE_PADDING_CHARS: spaces around set text are dropped
};

// Reads the three booleans from a configuration record.
ValueFlags value_flags_from(const CV_CONFIG_RECORD& config);

// The bytes of one converted value: a view of bytes the caller owns, or bytes held here (inline
// up to kInlineCapacity, so that numbers and short texts never allocate). Binary values are in
// native byte order, text has no NUL. A view stays valid only as long as the bytes it refers to.
class ValueBytes {
 public:
  static constexpr size_t kInlineCapacity = 32;

  ValueBytes() = default;
  ValueBytes(const ValueBytes&) = delete;
  ValueBytes& operator=(const ValueBytes&) = delete;

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  std::string_view text() const {
    return std::string_view(reinterpret_cast<const char*>(data_), size_);
  }
  // The value read as T (a binary VR's number, or an SQ value's item identifier as int32_t).
  template <typename T>
  T as() const {
    T value{};
    std::memcpy(&value, data_, sizeof value < size_ ? sizeof value : size_);
    return value;
  }

  // Refers to bytes the caller keeps alive.
  void refer(const void* bytes, size_t size);
  // Copies bytes in.
  void assign(const void* bytes, size_t size);
  // Copies a number in as its native bytes.
  template <typename T>
  void assign_number(T value) {
    static_assert(sizeof(T) <= kInlineCapacity);
    std::memcpy(inline_, &value, sizeof value);
    data_ = inline_;
    size_ = sizeof value;
  }
  // Makes room for `size` bytes held here and returns them for writing; the heap is used only
  // beyond kInlineCapacity.
  char* prepare(size_t size);
  // Shortens prepared bytes after writing fewer.
  void shrink(size_t size) { size_ = size; }

 private:
  alignas(8) uint8_t inline_[kInlineCapacity] = {};
  const uint8_t* data_ = inline_;
  size_t size_ = 0;
  std::string heap_;
};

// Size in bytes of the application type of a number data type code (Int to Double); 0 for
// String, Buffer and codes out of range.
int32_t number_type_size(int32_t type);

// -------------------------------------------------------------------------------------------
// Set direction: application value to stored form.

// The first check on text given for DS, FL or FD, made before any value is touched: more than
// 256 characters, or a comma while `allow_comma` is off, gives CV_INVALID_VALUE_FOR_VR. Other VRs
// pass.
Status check_decimal_text(int32_t vr, std::string_view text, bool allow_comma);

// Text to stored form. Text VRs keep the text (padding removed by the flag; a DS comma turned
// into a period); SS, US, SL, UL, AT take a whole decimal integer; FL and FD a decimal number;
// SQ an item identifier in decimal (the caller checks it names an Item). Opaque VRs give
// CV_INCOMPATIBLE_VR. The result may be a view of `text`.
Status text_to_stored(int32_t vr, std::string_view text, const ValueFlags& flags, ValueBytes* out);

// A number of data type `type` (CV_TYPE_INT to CV_TYPE_DOUBLE), read from `value`, to stored
// form. DS formatting of Float and Double logs under `function` when the text cannot be made to
// fit 16 characters. Unsigned values always convert by their unsigned value: UInt 3000000000
// stores 3e9 in FL and FD, and gives CV_VALUE_OUT_OF_RANGE in SL and SQ; UShortInt 40000 stores
// 40000 in SL, FL, FD and as an item identifier. A Double beyond the FL range gives
// CV_VALUE_OUT_OF_RANGE in FL.
Status number_to_stored(int32_t vr, int32_t type, const void* value, const char* function,
                        ValueBytes* out);

// Either of the above by data type code: CV_TYPE_STRING takes a NUL-terminated text; codes
// above CV_TYPE_DOUBLE give CV_INVALID_DATA_TYPE.
Status value_to_stored(int32_t vr, int32_t type, const void* value, const ValueFlags& flags,
                       const char* function, ValueBytes* out);

// The DS text of a Float (`from_float`) or Double: "%.14g" (Float "%.6g"), precision lowered one
// step at a time, at most 6 times, while the text is longer than 16 characters. A text that
// still does not fit is kept and logged.
void format_decimal_string(double value, bool from_float, const char* function, ValueBytes* out);

// -------------------------------------------------------------------------------------------
// Get direction: stored form to application value. `stored` is one value: a text VR's bytes,
// or one binary value of the VR's width, or an SQ value's item identifier (int32_t).

// Stored form to text. Text VRs return the stored text (a view of it unless the comma rule
// changes it); binary VRs and SQ are formatted; other VRs give CV_INCOMPATIBLE_VR.
Status stored_to_text(int32_t vr, const uint8_t* stored, size_t length, const ValueFlags& flags,
                      ValueBytes* out);

// Stored form to a number of data type `type` (CV_TYPE_INT to CV_TYPE_DOUBLE), written to `out`
// (number_type_size(type) bytes) only on success. DS and IS text is parsed; out-of-range results
// give CV_VALUE_OUT_OF_RANGE, unreadable text CV_INCOMPATIBLE_VALUE, other VRs
// CV_INCOMPATIBLE_VR.
Status stored_to_number(int32_t vr, int32_t type, const uint8_t* stored, size_t length, void* out);

// Testing seam for the DS formatting: as format_decimal_string with another length limit.
namespace detail {
void format_decimal_string_within(double value, bool from_float, size_t limit, const char* function,
                                  ValueBytes* out);
}  // namespace detail

}  // namespace tessel::data

#endif  // TESSEL_DATA_VALUE_CONVERT_HPP_
