#include "tools/common/tool_common.hpp"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tessel/tessel.h"

namespace tessel_tools {
namespace {

bool readable(const std::string& path) {
  return !path.empty() && access(path.c_str(), R_OK) == 0;
}

std::string executable_dir() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<size_t>(n));
  return path.substr(0, path.find_last_of('/'));
}

struct SyntaxName {
  const char* name;
  int32_t code;
};

constexpr SyntaxName kNative[] = {
    {"IMPLICIT_LITTLE_ENDIAN", IMPLICIT_LITTLE_ENDIAN},
    {"EXPLICIT_LITTLE_ENDIAN", EXPLICIT_LITTLE_ENDIAN},
    {"EXPLICIT_BIG_ENDIAN", EXPLICIT_BIG_ENDIAN},
    {"DEFLATED_EXPLICIT_LITTLE_ENDIAN", DEFLATED_EXPLICIT_LITTLE_ENDIAN},
};

}  // namespace

int32_t native_syntax_code(const std::string& name) {
  for (const SyntaxName& entry : kNative) {
    if (name == entry.name) return entry.code;
  }
  return -1;
}

bool is_native_syntax(int32_t code) {
  for (const SyntaxName& entry : kNative) {
    if (code == entry.code) return true;
  }
  return false;
}

std::string text_value(int32_t id, uint32_t tag) {
  char buffer[256] = {};
  if (CV_Get_Value_To_String(id, tag, sizeof buffer, buffer) != CV_NORMAL_COMPLETION) return {};
  std::string text = buffer;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

bool parse_port(const std::string& text, int32_t* port) {
  if (text.empty() || text.size() > 5) return false;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < 1 || value > 65535) return false;
  *port = static_cast<int32_t>(value);
  return true;
}

bool valid_title(const std::string& title) {
  return !title.empty() && title.size() <= 16;
}

std::string find_ini(const std::string& explicit_path) {
  if (!explicit_path.empty()) return explicit_path;
  if (const char* env = std::getenv("TESSEL_INI"); env != nullptr && *env != '\0') return env;
  const std::string dir = executable_dir();
  for (const std::string& candidate :
       {dir + "/../etc/tessel/tessel.ini", dir + "/../etc/tessel.ini",
        std::string(TESSEL_BUILD_ETC_DIR) + "/tessel.ini",
        std::string(TESSEL_INSTALL_ETC_DIR) + "/tessel.ini"}) {
    if (readable(candidate)) return candidate;
  }
  return {};
}

bool start_library(const std::string& ini_path, const char* program) {
  if (ini_path.empty()) {
    std::fprintf(stderr, "%s: cannot find tessel.ini (use --ini PATH or set TESSEL_INI)\n",
                 program);
    return false;
  }
  int32_t status = CV_Set_TesselINI(ini_path.c_str());
  if (status == CV_NORMAL_COMPLETION) status = CV_Library_Initialization(nullptr, nullptr, nullptr);
  if (status != CV_NORMAL_COMPLETION) {
    std::fprintf(stderr, "%s: cannot initialise the library from %s: %s\n", program,
                 ini_path.c_str(), CV_Error_Message(status));
    CV_Library_Release();
    return false;
  }
  return true;
}

}  // namespace tessel_tools
