// tessel-dump: reads DICOM files and prints each one, as the library's listing or as the DICOM
// JSON Model of its data set.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/common/tool_common.hpp"
#include "tools/dump/json_model.hpp"
#include "tools/dump/read_dicom.hpp"

#include "tessel/tessel.h"

namespace {

constexpr const char* kProgram = "tessel-dump";
constexpr const char* kUsage = "usage: tessel-dump [--ini PATH] [--json] FILE...\n";

constexpr const char* kHelp =
    "Reads DICOM files and prints each one.\n"
    "\n"
    "  --json      print the data set of each file (meta group 0002 left out) in the DICOM\n"
    "              JSON Model, one compact JSON object per file, one file per line; bulk\n"
    "              data is inline Base64 (\"InlineBinary\")\n"
    "              without it: the library's listing of each file\n"
    "  --ini PATH  the initialisation file (else TESSEL_INI, else the shipped one)\n"
    "\n"
    "Part 10 files are read as such. A file without preamble and \"DICM\" prefix is read as a\n"
    "meta group and data set when it starts with group 0002, else as a bare data set in\n"
    "implicit VR little endian (explicit when its first element carries a VR).\n"
    "Exit status: 0 when every file was read, 1 otherwise (one line per failed file on\n"
    "standard error), 2 for bad arguments.\n";

}  // namespace

int main(int argc, char** argv) {
  std::string ini;
  bool json = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--ini" && i + 1 < argc) {
      ini = argv[++i];
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "-h" || arg == "--help") {
      std::printf("%s\n%s", kUsage, kHelp);
      return 0;
    } else if (arg == "--") {
      for (++i; i < argc; ++i) files.emplace_back(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fputs(kUsage, stderr);
      return 2;
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!tessel_tools::start_library(tessel_tools::find_ini(ini), kProgram)) return 1;
  int32_t app_id = CV_NO_ID;
  int32_t status = CV_Register_Application(&app_id, "TESSEL_DUMP");
  if (status != CV_NORMAL_COMPLETION) {
    std::fprintf(stderr, "%s: cannot register the application: %s\n", kProgram,
                 CV_Error_Message(status));
    CV_Library_Release();
    return 1;
  }

  int failures = 0;
  for (const std::string& path : files) {
    int32_t file_id = CV_NO_ID;
    const tessel_tools::ReadOutcome outcome = tessel_tools::read_dicom_file(app_id, path, &file_id);
    std::string error;
    if (outcome.status != CV_NORMAL_COMPLETION) {
      error = tessel_tools::describe_failure(outcome);
    } else if (json) {
      std::string text;
      tessel_tools::JsonFailure failure;
      if (tessel_tools::append_json_data_set(file_id, &text, &failure)) {
        text.push_back('\n');
        std::fwrite(text.data(), 1, text.size(), stdout);
      } else {
        char where[64];
        std::snprintf(where, sizeof where, " at (%04X,%04X)", failure.tag >> 16,
                      failure.tag & 0xFFFF);
        error = std::string(CV_Error_Message(failure.status)) + where;
      }
    } else {
      std::fflush(stdout);
      status = CV_List_File(file_id, nullptr);
      std::fflush(stdout);
      if (status != CV_NORMAL_COMPLETION) error = CV_Error_Message(status);
    }
    if (file_id != CV_NO_ID) CV_Free_File(&file_id);
    if (!error.empty()) {
      std::fflush(stdout);
      std::fprintf(stderr, "%s: %s: %s\n", kProgram, path.c_str(), error.c_str());
      ++failures;
    }
  }
  std::fflush(stdout);
  CV_Release_Application(&app_id);
  CV_Library_Release();
  return failures == 0 ? 0 : 1;
}
