// Locating the initialisation file, the configuration directory beside it, and the expansion of
// variables in path values.
#include <cstring>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "config/config_internal.hpp"
#include "core/state.hpp"
#include "log/log.hpp"
#include "platform/platform.hpp"

namespace tessel::config {
namespace {

constexpr char kDirectoryMacro[] = "CV3INIDIR";

std::string& directory_storage() {
  static std::string directory;
  return directory;
}

bool is_separator(char c) {
  return c == '/' || c == '\\';
}

// The value cut at "%", "$", "(" and ")", empty pieces dropped.
std::vector<std::string> split_pieces(const std::string& value) {
  std::vector<std::string> pieces;
  std::string piece;
  for (char c : value) {
    if (c == '%' || c == '$' || c == '(' || c == ')') {
      if (!piece.empty()) pieces.push_back(std::move(piece));
      piece.clear();
    } else {
      piece.push_back(c);
    }
  }
  if (!piece.empty()) pieces.push_back(std::move(piece));
  return pieces;
}

std::optional<std::string> within_limit(std::string result) {
  if (result.size() > kMaxPath) {
    log::write(kLoaderName, log::kWarning, "File name length exceeds the limit");
    return std::nullopt;
  }
  return result;
}

}  // namespace

const std::string& configuration_directory() {
  return directory_storage();
}
void clear_configuration_directory() {
  directory_storage().clear();
}

bool needs_expansion(std::string_view value) {
  return value.find("$(") != std::string_view::npos || value.find('%') != std::string_view::npos;
}

std::optional<std::string> expand_variables(const std::string& value) {
  const std::vector<std::string> pieces = split_pieces(value);
  const std::string first = pieces.empty() ? std::string() : pieces[0];

  if (first == kDirectoryMacro) {
    std::string result = configuration_directory();
    if (pieces.size() > 1) {
      std::string_view rest = pieces[1];
      if (!rest.empty() && is_separator(rest.front())) rest.remove_prefix(1);
      result += rest;
    }
    return within_limit(std::move(result));
  }

  const std::optional<std::string> variable = platform::get_env(first.c_str());
  if (first.empty() || !variable || variable->empty()) {
    log::write(kLoaderName, log::kError, "Unable to retrieve environment variable  %s\n",
               first.c_str());
    return std::nullopt;
  }
  if (pieces.size() > 2) {
    log::write(kLoaderName, log::kError, "Too many environment variables found in  %s\n",
               value.c_str());
    return std::nullopt;
  }
  std::string result = *variable;
  if (pieces.size() > 1) result += pieces[1];
  return within_limit(std::move(result));
}

void set_configuration_directory(const std::string& ini_path) {
  size_t cut = ini_path.size();
  while (cut > 0 && !is_separator(ini_path[cut - 1])) --cut;
  const std::string own_directory = ini_path.substr(0, cut);
  std::string& directory = directory_storage();
  if (platform::is_absolute_path(ini_path)) {
    directory = own_directory;
    return;
  }
  directory = platform::current_directory();
  if (directory.empty() || !is_separator(directory.back())) directory.push_back('/');
  directory += own_directory;
}

std::optional<std::string> locate_ini_file() {
  if (const char* stored = core::stored_ini_path(); stored != nullptr) {
    const std::string path(stored);
    if (!needs_expansion(path)) return path;
    std::optional<std::string> expanded = expand_variables(path);
    if (!expanded) {
      log::write(kLoaderName, log::kError, "Invalid value for tessel.ini = %s", path.c_str());
    }
    return expanded;
  }

  if (std::optional<std::string> variable = platform::get_env("TESSEL_INI");
      variable && !variable->empty()) {
    return variable->substr(0, kMaxPath);
  }

  const std::string search = platform::get_env("PATH").value_or("");
  size_t start = 0;
  while (start <= search.size()) {
    size_t end = search.find(platform::path_list_separator(), start);
    if (end == std::string::npos) end = search.size();
    // An empty entry names the current directory.
    std::string directory = end > start ? search.substr(start, end - start) : std::string(".");
    if (!is_separator(directory.back())) directory.push_back('/');
    const std::string candidate = directory + "tessel.ini";
    if (platform::file_exists(candidate)) return candidate;
    start = end + 1;
  }
  // Without drive letters the root directory stands in for the root of the current drive.
  return std::string("/tessel.ini");
}

bool expand_data_file_name(const std::string& configured, std::string& out, const char* function) {
  for (const char* macro : {"%CV3INIDIR%", "$(CV3INIDIR)"}) {
    const size_t at = configured.find(macro);
    if (at == std::string::npos) continue;
    std::string rest = configured.substr(at + std::strlen(macro));
    if (!rest.empty() && (rest[0] == '\\' || rest[0] == '/')) rest.erase(0, 1);
    out = configuration_directory() + rest;
    if (out.size() > kMaxPath) {
      log::write(function, log::kError, "File name length exceeds the limit");
      return false;
    }
    return true;
  }
  out = configured;
  return true;
}

}  // namespace tessel::config
