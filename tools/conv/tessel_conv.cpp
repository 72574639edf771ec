// tessel-conv: rewrites a DICOM file in another native transfer syntax, keeping the data set's
// values.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/common/tool_common.hpp"
#include "tools/dump/read_dicom.hpp"

#include "tessel/tessel.h"
#include "tessel/tessel_file_io.h"

namespace {

constexpr const char* kProgram = "tessel-conv";
constexpr const char* kUsage =
    "usage: tessel-conv [--ini PATH] --syntax NAME IN OUT  (NAME: EXPLICIT_LITTLE_ENDIAN, "
    "IMPLICIT_LITTLE_ENDIAN, EXPLICIT_BIG_ENDIAN, DEFLATED_EXPLICIT_LITTLE_ENDIAN)\n";

constexpr const char* kDicomdirClass = "1.2.840.10008.1.3.10";

// Fills a meta element the file lacks from the data set attribute that holds the same UID.
int32_t copy_when_empty(int32_t id, uint32_t meta_tag, uint32_t data_tag) {
  if (!tessel_tools::text_value(id, meta_tag).empty()) return CV_NORMAL_COMPLETION;
  const std::string uid = tessel_tools::text_value(id, data_tag);
  if (uid.empty()) return CV_NORMAL_COMPLETION;
  return CV_Set_Value_From_String(id, meta_tag, uid.c_str());
}

class Conversion {
 public:
  ~Conversion() {
    if (file_id_ != CV_NO_ID) CV_Free_File(&file_id_);
    if (app_id_ != CV_NO_ID) CV_Release_Application(&app_id_);
    CV_Library_Release();
  }
  int run(int32_t target, const std::string& in, const std::string& out);

 private:
  int failed(const std::string& path, const std::string& text) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, path.c_str(), text.c_str());
    return 1;
  }
  int32_t app_id_ = CV_NO_ID;
  int32_t file_id_ = CV_NO_ID;
};

int Conversion::run(int32_t target, const std::string& in, const std::string& out) {
  int32_t status = CV_Register_Application(&app_id_, "TESSEL_CONV");
  if (status != CV_NORMAL_COMPLETION) {
    return failed("cannot register the application", CV_Error_Message(status));
  }
  const tessel_tools::ReadOutcome read = tessel_tools::read_dicom_file(app_id_, in, &file_id_);
  if (read.status != CV_NORMAL_COMPLETION) return failed(in, tessel_tools::describe_failure(read));

  if (tessel_tools::text_value(file_id_, 0x00020002) == kDicomdirClass) {
    return failed(in, "a DICOMDIR cannot be converted: its record offsets would not be rewritten");
  }
  if (read.layout == tessel_tools::FileLayout::kBareDataSet) {
    status = copy_when_empty(file_id_, 0x00020002, 0x00080016);
    if (status == CV_NORMAL_COMPLETION) status = copy_when_empty(file_id_, 0x00020003, 0x00080018);
    if (status != CV_NORMAL_COMPLETION) return failed(in, CV_Error_Message(status));
  } else {
    std::string uid = tessel_tools::text_value(file_id_, 0x00020010);
    int32_t source = -1;
    if (CV_Get_Enum_From_Transfer_Syntax(uid.data(), &source) != CV_NORMAL_COMPLETION ||
        !tessel_tools::is_native_syntax(source)) {
      return failed(in, "transfer syntax " + uid +
                            " is encapsulated (compressed); no codec is available to convert it");
    }
  }

  char uid[65] = {};
  status = CV_Get_Transfer_Syntax_From_Enum(target, uid, sizeof uid);
  if (status == CV_NORMAL_COMPLETION) status = CV_Set_Value_From_String(file_id_, 0x00020010, uid);
  // The writer supplies its own implementation identification.
  for (const uint32_t tag : {0x00020012u, 0x00020013u}) {
    if (status == CV_NORMAL_COMPLETION) status = CV_Set_Value_To_Empty(file_id_, tag);
  }
  if (status != CV_NORMAL_COMPLETION) return failed(in, CV_Error_Message(status));

  CV_FILE_IO io;
  status = CV_File_IO_Open_Write(&io, out.c_str());
  if (status != CV_NORMAL_COMPLETION) return failed(out, std::strerror(io.error));
  status = CV_Write_File(file_id_, 0, &io, CV_File_IO_Write);
  const int32_t closed = CV_File_IO_Close(&io);
  if (status == CV_NORMAL_COMPLETION && closed != CV_NORMAL_COMPLETION) {
    status = CV_CALLBACK_CANNOT_COMPLY;
  }
  if (status != CV_NORMAL_COMPLETION) {
    std::string text = CV_Error_Message(status);
    if (io.error != 0) text += std::string(" (") + std::strerror(io.error) + ")";
    unlink(out.c_str());
    return failed(out, text);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ini;
  std::string syntax;
  std::string paths[2];
  int path_count = 0;
  bool bad = false;
  for (int i = 1; i < argc && !bad; ++i) {
    const std::string arg = argv[i];
    if (arg == "--ini" && i + 1 < argc) {
      ini = argv[++i];
    } else if (arg == "--syntax" && i + 1 < argc) {
      syntax = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::puts(
          "Rewrites the Part 10 file IN as OUT in the native transfer syntax NAME, keeping the "
          "data set's values;\nencapsulated (compressed) files are refused. --ini PATH names "
          "the initialisation file (else TESSEL_INI,\nelse the shipped one). Exit status: 0 "
          "done, 1 failed (one line on standard error), 2 bad arguments.");
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-') {
      bad = true;
    } else if (path_count < 2) {
      paths[path_count++] = arg;
    } else {
      bad = true;
    }
  }
  const int32_t target = tessel_tools::native_syntax_code(syntax);
  if (bad || path_count != 2 || target < 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!tessel_tools::start_library(tessel_tools::find_ini(ini), kProgram)) return 1;
  Conversion conversion;
  return conversion.run(target, paths[0], paths[1]);
}
