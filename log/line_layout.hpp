// Text layout helpers of the log: printable filtering, physical line splitting and the
// hexadecimal byte text of the dumps. Pure functions on caller buffers; nothing allocates.
#ifndef TESSEL_LOG_LINE_LAYOUT_HPP_
#define TESSEL_LOG_LINE_LAYOUT_HPP_

#include <cstddef>
#include <cstdint>

namespace tessel::log {

// A whole log line: prefix, header and message, cut to 356 characters.
inline constexpr size_t kLineCapacity = 357;
// Continuation lines start with this many blanks.
inline constexpr int32_t kContinuationIndent = 15;
// Slot widths the writer accepts; wider or narrower configured values are clamped.
inline constexpr int32_t kMinLineLength = 16;
inline constexpr int32_t kMaxLineLength = 254;

// Removes every byte outside 0x20..0x7E in place; returns the new length.
size_t strip_non_printing(char* text) noexcept;

// Cuts one logical line into the physical lines of a log whose slots hold `width` characters.
// The first line takes at most width - 1 characters; every further line is 15 blanks and at most
// width - 16 characters (at least one, so narrow widths still progress). A piece that is not the
// end of the text is cut at its last blank unless that blank is one of the piece's first two
// characters; blanks at the start of the remaining text are dropped.
class LineSplitter {
 public:
  LineSplitter(const char* line, int32_t width) noexcept;
  // Writes the next physical line, NUL-terminated, into `out` (kLineCapacity bytes suffice);
  // false when the text is used up.
  bool next(char* out, size_t out_size) noexcept;

 private:
  const char* rest_;
  int32_t width_;
  bool first_ = true;
};

// Hexadecimal text of `count` bytes: "%02x" per byte (or a blank and the character for a
// printable byte when `show_printable`), two blanks after every second byte. Returns the length
// written; the output is cut to fit `out_size` with its NUL.
size_t hex_text(const uint8_t* bytes, size_t count, bool show_printable, char* out,
                size_t out_size) noexcept;

}  // namespace tessel::log

#endif  // TESSEL_LOG_LINE_LAYOUT_HPP_
