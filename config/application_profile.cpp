// The application profile kept in memory: every section header and key line in file order,
// walked under appInfoListSemaphore by the list builders and the remote application lookup.
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/ini_reader.hpp"
#include "config/service_profiles.hpp"
#include "config/services.hpp"
#include "core/named_lock.hpp"

#include "tessel/tessel.h"

namespace tessel::services {
namespace {

using detail::StoredLine;
using detail::StoredLines;

struct ApplicationStore {
  std::string path;
  StoredLines lines;
  // Index of the first section header of each name.
  std::unordered_map<std::string, size_t> sections;
};

// Replaced only at load and release; read under appInfoListSemaphore.
ApplicationStore* g_store = nullptr;

}  // namespace

namespace detail {

bool read_application_store(config::IniReader& reader, StoredLines& out) {
  config::IniLine line;
  for (;;) {
    switch (reader.next(line)) {
      case config::ReadResult::kEnd:
        return true;
      case config::ReadResult::kError:
        return false;
      case config::ReadResult::kLine:
        break;
    }
    if (line.kind == config::IniLine::Kind::kSection) {
      out.push_back({StoredLine::Kind::kSection, std::move(line.name), {}});
    } else if (starts_with_ci(line.name, "SYNTAX_") && !starts_with_ci(line.name, "SYNTAX_LIST_")) {
      out.push_back({StoredLine::Kind::kSyntaxValue, {}, std::move(line.value)});
    } else {
      out.push_back({StoredLine::Kind::kKey, std::move(line.name), std::move(line.value)});
    }
  }
}

void install_application_store(StoredLines&& lines, std::string path) {
  auto store = std::make_unique<ApplicationStore>();
  store->path = std::move(path);
  store->lines = std::move(lines);
  for (size_t i = 0; i < store->lines.size(); ++i) {
    if (store->lines[i].kind == StoredLine::Kind::kSection) {
      store->sections.emplace(store->lines[i].key, i);
    }
  }
  core::LockHold hold(S.appInfoListSemaphore);
  delete g_store;
  g_store = store.release();
}

void release_application_store() {
  core::LockHold hold(S.appInfoListSemaphore);
  delete g_store;
  g_store = nullptr;
}

bool copy_section(std::string_view name, StoredLines& out) {
  out.clear();
  core::LockHold hold(S.appInfoListSemaphore);
  if (g_store == nullptr) return false;
  const auto found = g_store->sections.find(std::string(name));
  if (found == g_store->sections.end()) return false;
  const StoredLines& lines = g_store->lines;
  size_t i = found->second;
  for (++i; i < lines.size() && lines[i].kind != StoredLine::Kind::kSection; ++i) {
    out.push_back(lines[i]);
  }
  return true;
}

void append_application_dump(std::vector<std::string>& lines) {
  core::LockHold hold(S.appInfoListSemaphore);
  if (g_store == nullptr) return;
  lines.push_back("=== " + g_store->path + " ===");
  char text[256];
  int syntax_index = 0;
  for (const StoredLine& line : g_store->lines) {
    switch (line.kind) {
      case StoredLine::Kind::kSection:
        lines.push_back("[" + line.key + "]");
        syntax_index = 0;
        break;
      case StoredLine::Kind::kSyntaxValue:
        std::snprintf(text, sizeof text, "SYNTAX_%d = %s", ++syntax_index, line.value.c_str());
        lines.emplace_back(text);
        break;
      case StoredLine::Kind::kKey:
        if (config::names_equal(line.key, "PORT_NUMBER")) {
          std::snprintf(text, sizeof text, "%s = %d", line.key.c_str(),
                        leading_integer(line.value));
          lines.emplace_back(text);
        } else {
          lines.push_back(line.key + " = " + line.value);
        }
        break;
    }
  }
}

}  // namespace detail

bool find_remote_application(const char* title, RemoteApplication& out) {
  out = RemoteApplication{};
  if (title == nullptr) return false;
  StoredLines section;
  if (!detail::copy_section(title, section)) return false;
  for (const StoredLine& line : section) {
    if (line.kind != StoredLine::Kind::kKey) continue;
    // The first line of a key counts.
    if (config::names_equal(line.key, "HOST_NAME")) {
      if (!out.host_name) out.host_name = line.value;
    } else if (config::names_equal(line.key, "PORT_NUMBER")) {
      const std::optional<int32_t> port = detail::parse_number(line.value);
      if (!out.port_number) out.port_number = port ? *port : -1;
    } else if (config::names_equal(line.key, "SERVICE_LIST")) {
      if (!out.service_list) out.service_list = line.value;
    }
  }
  return true;
}

}  // namespace tessel::services
