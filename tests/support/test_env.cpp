#include "tests/support/test_env.hpp"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tessel/tessel.h"

namespace tessel::test {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  fs::path base = fs::path(TESSEL_TEST_BINARY_DIR) / "test-scratch";
  fs::create_directories(base);
  path_ = (base / ("d" + std::to_string(getpid()) + "_" + std::to_string(counter++))).string();
  fs::remove_all(path_);
  fs::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> read_log_lines(const std::string& path) {
  std::string content = read_file(path);
  const size_t end = content.find('\x04');
  if (end != std::string::npos) content.resize(end);
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t eol = content.find("\r\n", pos);
    if (eol == std::string::npos) eol = content.size();
    std::string line = content.substr(pos, eol - pos);
    pos = eol + 2;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\0')) line.pop_back();
    if (line.empty()) continue;
    if (line.compare(0, 15, std::string(15, ' ')) == 0 && !lines.empty()) {
      lines.back() += " " + line.substr(line.find_first_not_of(' '));
    } else {
      lines.push_back(line);
    }
  }
  return lines;
}

bool log_contains(const std::string& path, const std::string& text) {
  for (const std::string& line : read_log_lines(path)) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

std::string shipped_etc_dir() {
  return TESSEL_TEST_ETC_DIR;
}
std::string shipped_ini() {
  return shipped_etc_dir() + "/tessel.ini";
}

ConfigSet::ConfigSet() {
  for (const char* name : {"tessel.ini", "corvane.pro", "services.pro", "applications.pro"}) {
    files_[name] = read_file(shipped_etc_dir() + "/" + name);
  }
}

ConfigSet& ConfigSet::ini_line(const std::string& line) {
  ini_extra_ += line + "\n";
  return *this;
}

ConfigSet& ConfigSet::profile_line(const std::string& section, const std::string& line) {
  profile_extra_[section] += line + "\n";
  return *this;
}

ConfigSet& ConfigSet::replace(const std::string& name, const std::string& content) {
  files_[name] = content;
  return *this;
}

std::string ConfigSet::write() {
  // Later lines of a section override earlier ones, so extras go after a repeated header.
  std::string ini = files_["tessel.ini"];
  ini += "\n[Corvane3]\nLOG_FILE = " + dir_.file("tessel.log") + "\n" + ini_extra_;
  write_file(dir_.file("tessel.ini"), ini);
  std::string profile = files_["corvane.pro"];
  // Generated binary files stay in the build tree.
  profile += "\n[MESSAGE_PARMS]\nDICTIONARY_FILE = " + shipped_etc_dir() + "/corvan3.dct\n" +
             "MSG_INFO_FILE = " + shipped_etc_dir() + "/corvan3.msg\n";
  for (const auto& [section, lines] : profile_extra_) profile += "\n[" + section + "]\n" + lines;
  write_file(dir_.file("corvane.pro"), profile);
  write_file(dir_.file("services.pro"), files_["services.pro"]);
  write_file(dir_.file("applications.pro"), files_["applications.pro"]);
  return dir_.file("tessel.ini");
}

LibraryScope::LibraryScope(const std::string& ini_path) {
  CV_Set_TesselINI(ini_path.c_str());
  status_ = CV_Library_Initialization(nullptr, nullptr, nullptr);
}

LibraryScope::~LibraryScope() {
  CV_Library_Release();
}

}  // namespace tessel::test
