// Reader of the line syntax shared by the initialisation file and every profile: sections in
// brackets, key lines split at the first blank, "=" or ",", "#" comments anywhere on a line.
#ifndef TESSEL_CONFIG_INI_READER_HPP_
#define TESSEL_CONFIG_INI_READER_HPP_

#include <cstddef>
#include <string>
#include <string_view>

namespace tessel::config {

// Lines are read through a buffer of this many bytes (one kept for the terminator); a longer
// physical line is read as several lines.
inline constexpr size_t kLineBufferSize = 299;
// Longest section name or key; the name buffers hold 80 bytes.
inline constexpr size_t kMaxNameLength = 79;
// Value limits of the four files.
inline constexpr size_t kIniValueLimit = 259;
inline constexpr size_t kServicesValueLimit = 127;
inline constexpr size_t kApplicationsValueLimit = 79;

// Section and key names compare without regard to case.
bool names_equal(std::string_view a, std::string_view b);

struct IniLine {
  enum class Kind { kSection, kKey };
  Kind kind = Kind::kKey;
  std::string name;   // section name (without brackets) or key
  std::string value;  // key lines only, kept exactly as written
};

enum class ReadResult {
  kLine,   // `line` holds the next section header or key line
  kEnd,    // end of file
  kError,  // an over-long name or value, or a read error; already logged
};

class IniReader {
 public:
  // `value_limit` is the longest value accepted; `function` names the reader in log lines.
  IniReader(size_t value_limit, const char* function)
      : value_limit_(value_limit), function_(function) {}
  ~IniReader() { close(); }
  IniReader(const IniReader&) = delete;
  IniReader& operator=(const IniReader&) = delete;

  // Opens the file and reads it whole; false (nothing logged) when it cannot be opened. A read
  // error is reported by the next call of next().
  bool open(const std::string& path);
  void close();
  bool is_open() const { return open_; }
  const std::string& path() const { return path_; }

  // Starts again from the first line, for readers that walk the file more than once.
  void rewind();

  // Reads up to the next section header or key line. Key lines before the first section header
  // are skipped. `section()` names the section the returned line belongs to.
  ReadResult next(IniLine& line);
  const std::string& section() const { return section_; }

 private:
  // One buffer's worth of a physical line; false at end of file.
  bool read_raw(std::string_view& raw);

  std::string content_;  // the whole file
  std::string text_;     // the cleaned current line
  size_t position_ = 0;  // start of the next line in content_
  bool open_ = false;
  int read_error_ = 0;  // errno of a failed read, reported by next()
  std::string path_;
  std::string section_;
  bool in_section_ = false;
  size_t value_limit_;
  const char* function_;
};

}  // namespace tessel::config

#endif  // TESSEL_CONFIG_INI_READER_HPP_
