// Operating-system services used by the library. Everything that touches the OS directly lives
// behind these declarations, with one implementation file per platform.
#ifndef TESSEL_PLATFORM_PLATFORM_HPP_
#define TESSEL_PLATFORM_PLATFORM_HPP_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tessel::platform {

// Recursive mutual-exclusion lock. Storage is sized for the largest platform lock so that the
// type stays a plain aggregate usable inside zero-filled state.
class RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  // Must be called once before use; `spin_count` > 0 makes lock() try that many times before
  // blocking.
  void create(int32_t spin_count);
  void destroy();
  void lock();
  void unlock();
  bool try_lock();

 private:
  alignas(16) unsigned char storage_[64] = {};
  int32_t spin_count_ = 0;
  bool created_ = false;
};

// Numeric identifier of the calling thread.
uint64_t current_thread_id();

// Environment variable, or nothing when unset.
std::optional<std::string> get_env(const char* name);

// Current working directory (without trailing separator); empty on failure.
std::string current_directory();

// Whether a path names an existing regular file.
bool file_exists(const std::string& path);
// Whether a path names an existing directory.
bool directory_exists(const std::string& path);
// Renames / removes a file; true on success.
bool rename_file(const std::string& from, const std::string& to);
bool remove_file(const std::string& path);
// The path as the platform's file functions take it: both '/' and '\\' separate directories in
// configured paths, and POSIX needs '/'.
std::string native_path(const std::string& path);
// Separator between directories in PATH.
char path_list_separator();
// Whether the path is absolute by the platform's rules (a leading '/' or '\' counts).
bool is_absolute_path(const std::string& path);

// A whole file mapped read-only into memory; empty files map to no bytes.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // False, with errno set, when the file cannot be opened or mapped.
  bool open(const std::string& path);
  const char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  const char* data_ = nullptr;
  size_t size_ = 0;
};

// Monotonic clock in milliseconds.
int64_t monotonic_ms();

// Local wall-clock time split into fields, with hundredths of a second.
struct LocalTime {
  int year_since_1900;
  int month;  // 0..11
  int day;
  int hour;
  int minute;
  int second;
  int hundredths;
};
LocalTime local_time_now();

// Last system error number of the calling thread.
int last_error();

}  // namespace tessel::platform

#endif  // TESSEL_PLATFORM_PLATFORM_HPP_
