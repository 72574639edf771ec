// Printable filtering, physical line splitting and hexadecimal byte text.
#include "log/line_layout.hpp"

#include <algorithm>
#include <cstring>

namespace tessel::log {
namespace {

bool printable(unsigned char c) {
  return c >= 0x20 && c <= 0x7E;
}

}  // namespace

size_t strip_non_printing(char* text) noexcept {
  size_t out = 0;
  for (size_t in = 0; text[in] != '\0'; ++in) {
    if (printable(static_cast<unsigned char>(text[in]))) text[out++] = text[in];
  }
  text[out] = '\0';
  return out;
}

LineSplitter::LineSplitter(const char* line, int32_t width) noexcept
    : rest_(line), width_(std::clamp(width, kMinLineLength, kMaxLineLength)) {}

bool LineSplitter::next(char* out, size_t out_size) noexcept {
  if (out_size == 0) return false;
  if (!first_) {
    while (*rest_ == ' ') ++rest_;
  }
  if (*rest_ == '\0') return false;

  const size_t capacity = first_
                              ? static_cast<size_t>(width_ - 1)
                              : static_cast<size_t>(std::max(1, width_ - 1 - kContinuationIndent));
  const size_t remaining = strnlen(rest_, capacity + 1);
  size_t take = remaining;
  if (remaining > capacity) {
    take = capacity;
    // A blank at piece index 0 or 1 would leave a stub of a line; cut hard instead.
    for (size_t b = capacity - 1; b >= 2; --b) {
      if (rest_[b] == ' ') {
        take = b;
        break;
      }
    }
  }

  const size_t indent = first_ ? 0 : static_cast<size_t>(kContinuationIndent);
  size_t length = std::min(indent, out_size - 1);
  std::memset(out, ' ', length);
  const size_t copied = std::min(take, out_size - 1 - length);
  std::memcpy(out + length, rest_, copied);
  length += copied;
  out[length] = '\0';

  rest_ += take;
  first_ = false;
  return true;
}

size_t hex_text(const uint8_t* bytes, size_t count, bool show_printable, char* out,
                size_t out_size) noexcept {
  static constexpr char kDigits[] = "0123456789abcdef";
  if (out_size == 0) return 0;
  size_t length = 0;
  auto put = [&](char c) {
    if (length + 1 < out_size) out[length++] = c;
  };
  for (size_t i = 0; i < count; ++i) {
    const uint8_t b = bytes[i];
    if (show_printable && printable(b)) {
      put(' ');
      put(static_cast<char>(b));
    } else {
      put(kDigits[b >> 4]);
      put(kDigits[b & 0x0F]);
    }
    if (i % 2 == 1) {
      put(' ');
      put(' ');
    }
  }
  out[length] = '\0';
  return length;
}

}  // namespace tessel::log
