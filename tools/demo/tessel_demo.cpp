// tessel-demo: starts the library from the shipped configuration with the configuration dump
// switched on, shows the identification lines, part of the dump and the memory in use, and
// releases the library.
//
// The dump is written at start-up to the log file; the demo runs on a copy of the shipped
// initialisation file and system profile that sends it to a scratch log file.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/common/tool_common.hpp"

#include "tessel/tessel.h"

namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

// Replaces the configuration-directory macros by the shipped directory, so that the copy still
// names the shipped data files.
std::string pin_directory(std::string text, const std::string& dir) {
  for (const std::string macro : {"$(CV3INIDIR)", "%CV3INIDIR%"}) {
    for (size_t at = text.find(macro); at != std::string::npos; at = text.find(macro, at)) {
      text.replace(at, macro.size(), dir);
      at += dir.size();
    }
  }
  return text;
}

// The logical lines of the fixed-slot log file: slots up to the end marker, padding removed,
// continuation lines joined to their first line.
std::vector<std::string> log_lines(const std::string& path) {
  std::string content = read_text(path);
  content.resize(std::min(content.size(), content.find('\x04')));
  std::vector<std::string> lines;
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line, '\n')) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    if (line.compare(0, 15, std::string(15, ' ')) == 0 && !lines.empty()) {
      lines.back().append(1, ' ').append(line, line.find_first_not_of(' '));
    } else {
      lines.push_back(line);
    }
  }
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ini;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ini") == 0 && i + 1 < argc) {
      ini = argv[++i];
    } else {
      std::fprintf(stderr, "usage: tessel-demo [--ini PATH]\n");
      return 2;
    }
  }
  ini = tessel_tools::find_ini(ini);
  if (ini.empty()) {
    std::fprintf(stderr, "tessel-demo: cannot find tessel.ini (use --ini PATH or TESSEL_INI)\n");
    return 1;
  }
  const std::string etc_dir = ini.substr(0, ini.find_last_of('/'));
  char scratch[] = "/tmp/tessel-demo-XXXXXX";
  if (mkdtemp(scratch) == nullptr) {
    std::perror("tessel-demo: mkdtemp");
    return 1;
  }
  const std::string dir = scratch;
  const std::string log_file = dir + "/demo.log";
  std::string ini_text = pin_directory(read_text(ini), etc_dir);
  ini_text += "\n[Corvane3]\nCORVANE_3_PROFILE = " + dir + "/corvane.pro\nLOG_FILE = " + log_file +
              "\nLOG_FILE_SIZE = 30000\nLOG_FILE_LINE_LENGTH = 200\nINFO_MESSAGE = FILE\n"
              "T6_MESSAGE = FILE\n";
  const std::string profile = pin_directory(read_text(etc_dir + "/corvane.pro"), etc_dir);
  if (!write_text(dir + "/tessel.ini", ini_text) || !write_text(dir + "/corvane.pro", profile)) {
    std::fprintf(stderr, "tessel-demo: cannot write to %s\n", dir.c_str());
    return 1;
  }

  char version[16];
  CV_Get_Version_String(sizeof version, version);
  std::printf("Tessel %s, shipped configuration %s\n\n", version, ini.c_str());
  if (!tessel_tools::start_library(dir + "/tessel.ini", "tessel-demo")) return 1;

  int32_t app = -1;
  int32_t status = CV_Register_Application(&app, "TESSEL_DEMO");
  std::printf("Registered application TESSEL_DEMO: %s (identifier %d)\n", CV_Error_Message(status),
              app);
  char service[64];
  status = CV_Get_Corvane_Service("1.2.840.10008.5.1.4.1.1.2", service, sizeof service);
  std::printf("CT Image Storage is service %s (%s)\n", service, CV_Error_Message(status));
  char name[128];
  CV_Get_Tag_Info(0x00100010, name, sizeof name);
  std::printf("Tag (0010,0010) is \"%s\"\n", name);

  uint32_t allocated = 0;
  uint32_t in_use = 0;
  CV_Report_Memory(&allocated, &in_use);
  std::printf("Memory: %u bytes allocated from the system, %u in blocks holding live objects\n\n",
              allocated, in_use);
  CV_Release_Application(&app);
  status = CV_Library_Release();

  // The log of the start-up: identification lines and the configuration dump.
  const std::vector<std::string> lines = log_lines(log_file);
  const size_t shown = std::min<size_t>(lines.size(), 60);
  std::printf("Start-up log (%zu lines, the first %zu shown):\n", lines.size(), shown);
  for (size_t i = 0; i < shown; ++i) std::printf("  %s\n", lines[i].c_str());
  if (lines.size() > shown)
    std::printf("  ... %zu more lines in %s\n", lines.size() - shown, log_file.c_str());
  std::printf("\nLibrary released: %s\n", CV_Error_Message(status));
  return status == CV_NORMAL_COMPLETION ? 0 : 1;
}
