// Shared helpers for the test programs: scratch directories, configuration sets written by the
// test itself, and a scoped library initialisation.
#ifndef TESSEL_TESTS_SUPPORT_TEST_ENV_HPP_
#define TESSEL_TESTS_SUPPORT_TEST_ENV_HPP_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tessel::test {

// A fresh directory under the build tree, removed with its contents on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);

// The logical lines of a fixed-slot log file: slots up to the end marker, padding removed,
// continuation lines (15 leading blanks) joined to their first line with one blank.
std::vector<std::string> read_log_lines(const std::string& path);
// Whether any logical line of the log file contains `text`.
bool log_contains(const std::string& path, const std::string& text);

// The configuration directory of the build tree (the shipped set plus generated files).
std::string shipped_etc_dir();
std::string shipped_ini();

// A configuration set in a scratch directory: tessel.ini, a system profile and the services and
// application profiles, each starting from the shipped file with extra lines appended per
// section. The log goes to a file inside the directory.
class ConfigSet {
 public:
  ConfigSet();
  // Appends a line to a section of the initialisation file ("Corvane3") or of the system
  // profile (any other section name).
  ConfigSet& ini_line(const std::string& line);
  ConfigSet& profile_line(const std::string& section, const std::string& line);
  // Replaces a whole file's content (for "tessel.ini", "corvane.pro", "services.pro",
  // "applications.pro").
  ConfigSet& replace(const std::string& name, const std::string& content);
  // Writes the files and returns the path of tessel.ini.
  std::string write();
  const ScratchDir& dir() const { return dir_; }

 private:
  ScratchDir dir_;
  std::map<std::string, std::string> files_;
  std::string ini_extra_;
  std::map<std::string, std::string> profile_extra_;
};

// Initialises the library from an initialisation file and releases it on destruction.
class LibraryScope {
 public:
  explicit LibraryScope(const std::string& ini_path);
  ~LibraryScope();
  LibraryScope(const LibraryScope&) = delete;
  LibraryScope& operator=(const LibraryScope&) = delete;

  int32_t status() const { return status_; }

 private:
  int32_t status_;
};

}  // namespace tessel::test

#endif  // TESSEL_TESTS_SUPPORT_TEST_ENV_HPP_
