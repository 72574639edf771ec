// tessel-store: sends DICOM files to a remote application entity as C-STORE requests over one
// association and reports the status of each.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/common/tool_common.hpp"
#include "tools/dump/read_dicom.hpp"
#include <sys/stat.h>

#include "tessel/tessel.h"

namespace {

constexpr const char* kProgram = "tessel-store";
constexpr const char* kUsage =
    "usage: tessel-store [--ini PATH] [--aet AE] [--aec AE] [--syntax NAME] HOST PORT FILE...\n";
// The everyday storage classes in the native syntaxes: an association carries at most 128
// presentation contexts, so the list of every storage class cannot be proposed.
constexpr const char* kStorageList = "COMMON_STORAGE_SERVICE_LIST";
constexpr int32_t kStoreRequest = 0x0001;
constexpr int32_t kStoreResponse = 0x8001;
constexpr uint32_t kStatusTag = 0x00000900;
constexpr uint32_t kAffectedInstanceTag = 0x00001000;
constexpr uint32_t kMetaSopClassTag = 0x00020002;
constexpr uint32_t kMetaSyntaxTag = 0x00020010;
constexpr uint32_t kSopClassTag = 0x00080016;
constexpr uint32_t kSopInstanceTag = 0x00080018;
constexpr int32_t kReplyTimeout = 120;

double file_megabytes(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return 0.0;
  return static_cast<double>(info.st_size) / 1e6;
}

// The outcome of one file: a one-line text and whether it was stored with status 0000.
struct Outcome {
  bool stored = false;
  std::string text;
};

class Sender {
 public:
  Sender(int32_t syntax, bool progress) : syntax_(syntax), progress_(progress) {}
  ~Sender() {
    release_objects();
    if (assoc_id_ != CV_NO_ID) CV_Abort_Association(&assoc_id_);
    if (app_id_ != CV_NO_ID) CV_Release_Application(&app_id_);
    CV_Library_Release();
  }
  int run(const std::string& aet, const std::string& aec, const std::string& host, int32_t port,
          const std::vector<std::string>& files);

 private:
  Outcome send(const std::string& path);
  Outcome prepare(const std::string& path, std::string* service);
  void release_objects() {
    // Once turned into the request the file is a message, which CV_Free_File refuses:
    // CV_Free_Message frees it as either.
    if (file_id_ != CV_NO_ID) CV_Free_Message(&file_id_);
    if (response_id_ != CV_NO_ID) CV_Free_Message(&response_id_);
  }
  static Outcome failure(const std::string& text) { return Outcome{false, text}; }
  static Outcome failure(const std::string& text, int32_t status) {
    return Outcome{false, text + ": " + CV_Error_Message(status)};
  }

  int32_t syntax_;
  bool progress_;
  int32_t app_id_ = CV_NO_ID;
  int32_t assoc_id_ = CV_NO_ID;
  int32_t file_id_ = CV_NO_ID;  // the file being sent, turned into the request message
  int32_t response_id_ = CV_NO_ID;
};

// Reads the file and turns it into a C-STORE request message for its SOP class.
Outcome Sender::prepare(const std::string& path, std::string* service) {
  const tessel_tools::ReadOutcome read = tessel_tools::read_dicom_file(app_id_, path, &file_id_);
  if (read.status != CV_NORMAL_COMPLETION) {
    return failure("cannot read: " + tessel_tools::describe_failure(read));
  }
  std::string sop_class = tessel_tools::text_value(file_id_, kSopClassTag);
  if (sop_class.empty()) sop_class = tessel_tools::text_value(file_id_, kMetaSopClassTag);
  const std::string instance = tessel_tools::text_value(file_id_, kSopInstanceTag);
  if (sop_class.empty() || instance.empty()) {
    return failure("no SOP Class UID or SOP Instance UID in the data set");
  }
  int32_t file_syntax = EXPLICIT_LITTLE_ENDIAN;
  std::string syntax_uid = tessel_tools::text_value(file_id_, kMetaSyntaxTag);
  if (!syntax_uid.empty() &&
      CV_Get_Enum_From_Transfer_Syntax(syntax_uid.data(), &file_syntax) != CV_NORMAL_COMPLETION) {
    return failure("unknown transfer syntax " + syntax_uid);
  }
  char name[128] = {};
  int32_t status = CV_Get_Corvane_Service(sop_class.c_str(), name, sizeof name);
  if (status != CV_NORMAL_COMPLETION) return failure("SOP class " + sop_class, status);
  *service = name;

  status = CV_File_To_Message(file_id_);
  if (status == CV_NORMAL_COMPLETION) {
    status = CV_Set_Service_Command(file_id_, service->c_str(), kStoreRequest);
  }
  if (status == CV_NORMAL_COMPLETION) {
    status = CV_Set_Value_From_String(file_id_, kAffectedInstanceTag, instance.c_str());
  }
  if (status != CV_NORMAL_COMPLETION) return failure("cannot build the request", status);
  // Native data sets go on whatever native context was accepted, unless --syntax fixes one;
  // encapsulated pixel data can only travel in its own syntax.
  int32_t wanted = 0;
  if (syntax_ > 0) {
    wanted = syntax_;
    if (!tessel_tools::is_native_syntax(file_syntax)) {
      return failure("transfer syntax " + syntax_uid +
                     " is encapsulated (compressed); no codec is available to convert it");
    }
  } else if (!tessel_tools::is_native_syntax(file_syntax)) {
    wanted = file_syntax;
  }
  status = wanted > 0 ? CV_Set_Message_Transfer_Syntax(file_id_, wanted)
                      : CV_Reset_Message_Transfer_Syntax(file_id_);
  if (status != CV_NORMAL_COMPLETION) return failure("cannot set the transfer syntax", status);
  return Outcome{true, {}};
}

Outcome Sender::send(const std::string& path) {
  std::string service;
  Outcome prepared = prepare(path, &service);
  if (!prepared.stored) return prepared;

  int32_t status = CV_Send_Request_Message(assoc_id_, file_id_);
  if (status == CV_UNACCEPTABLE_SERVICE) {
    int32_t wanted = 0;
    const bool fixed = CV_Get_Message_Transfer_Syntax(file_id_, &wanted) == CV_NORMAL_COMPLETION;
    char uid[65] = {};
    if (fixed) CV_Get_Transfer_Syntax_From_Enum(wanted, uid, sizeof uid);
    return failure("the peer accepted no presentation context for " + service +
                   (fixed ? std::string(" in ") + uid : std::string()));
  }
  if (status != CV_NORMAL_COMPLETION) {
    // The library frees an association that ended while sending.
    if (status == CV_ASSOCIATION_ABORTED) assoc_id_ = CV_NO_ID;
    return failure("cannot send", status);
  }
  int32_t command = 0;
  status = CV_Read_Message(assoc_id_, kReplyTimeout, &response_id_, nullptr, &command);
  if (status != CV_NORMAL_COMPLETION) {
    // A late answer could not be matched to its file any more: end the association. Every
    // other read failure has ended it already.
    if (status == CV_TIMEOUT) {
      CV_Abort_Association(&assoc_id_);
    } else {
      assoc_id_ = CV_NO_ID;
    }
    return failure("no C-STORE response", status);
  }
  if (command != kStoreResponse) {
    char text[64];
    std::snprintf(text, sizeof text, "unexpected answer (command 0x%04X)",
                  static_cast<unsigned>(command));
    return failure(text);
  }
  int32_t dimse_status = -1;
  status = CV_Get_Value_To_Int(response_id_, kStatusTag, &dimse_status);
  if (status != CV_NORMAL_COMPLETION) return failure("C-STORE response without status", status);
  char text[64];
  std::snprintf(text, sizeof text, "status 0x%04X", static_cast<unsigned>(dimse_status) & 0xFFFFu);
  return Outcome{dimse_status == 0, text};
}

int Sender::run(const std::string& aet, const std::string& aec, const std::string& host,
                int32_t port, const std::vector<std::string>& files) {
  const std::string peer = aec + "@" + host + ":" + std::to_string(port);
  int32_t status = CV_Register_Application(&app_id_, aet.c_str());
  if (status != CV_NORMAL_COMPLETION) {
    std::fprintf(stderr, "%s: cannot register %s: %s\n", kProgram, aet.c_str(),
                 CV_Error_Message(status));
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  status = CV_Open_Association(app_id_, &assoc_id_, aec.c_str(), &port, host.c_str(), kStorageList);
  if (status != CV_NORMAL_COMPLETION) {
    std::fprintf(stderr, "%s: cannot open an association to %s: %s\n", kProgram, peer.c_str(),
                 CV_Error_Message(status));
    return 1;
  }
  size_t stored = 0;
  double megabytes = 0.0;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& path = files[i];
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (progress_ && elapsed >= 1.0) {
      std::printf("\r[%zu/%zu] sending %s ...\x1b[K", i + 1, files.size(), path.c_str());
      std::fflush(stdout);
    }
    Outcome outcome;
    if (assoc_id_ == CV_NO_ID) {
      outcome = failure("not sent: the association has ended");
    } else {
      outcome = send(path);
    }
    release_objects();
    if (progress_ && elapsed >= 1.0) std::printf("\r\x1b[K");
    if (outcome.stored) {
      ++stored;
      megabytes += file_megabytes(path);
    }
    std::printf("%s: %s%s\n", path.c_str(), outcome.stored ? "stored, " : "FAILED, ",
                outcome.text.c_str());
    std::fflush(stdout);
  }
  if (assoc_id_ != CV_NO_ID) {
    status = CV_Close_Association(&assoc_id_);
    if (status != CV_NORMAL_COMPLETION) {
      std::fprintf(stderr, "%s: release of the association failed: %s\n", kProgram,
                   CV_Error_Message(status));
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double rate_base = seconds > 0.0 ? seconds : 1e-9;
  std::printf("%zu of %zu files stored to %s in %.2f s (%.1f files/s, %.2f MB/s)\n", stored,
              files.size(), peer.c_str(), seconds, static_cast<double>(stored) / rate_base,
              megabytes / rate_base);
  return stored == files.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ini;
  std::string aet = "TESSEL_SCU";
  std::string aec = "TESSEL_SCP";
  std::string syntax;
  std::vector<std::string> positional;
  bool bad = false;
  for (int i = 1; i < argc && !bad; ++i) {
    const std::string arg = argv[i];
    if (arg == "--ini" && i + 1 < argc) {
      ini = argv[++i];
    } else if (arg == "--aet" && i + 1 < argc) {
      aet = argv[++i];
    } else if (arg == "--aec" && i + 1 < argc) {
      aec = argv[++i];
    } else if (arg == "--syntax" && i + 1 < argc) {
      syntax = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::puts(
          "Sends each FILE as a C-STORE request to the application entity --aec (default "
          "TESSEL_SCP) at\nHOST PORT over one association, calling as --aet (default "
          "TESSEL_SCU); the everyday storage\nclasses are proposed in the native syntaxes. "
          "--syntax NAME (EXPLICIT_LITTLE_ENDIAN,\nIMPLICIT_LITTLE_ENDIAN, EXPLICIT_BIG_ENDIAN, "
          "DEFLATED_EXPLICIT_LITTLE_ENDIAN) sends in that\nsyntax only. --ini PATH names the "
          "initialisation file (else TESSEL_INI, else the shipped one).\nExit status: 0 every "
          "file stored with status 0000, 1 otherwise, 2 bad arguments.");
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-') {
      bad = true;
    } else {
      positional.push_back(arg);
    }
  }
  int32_t port = 0;
  const int32_t target = syntax.empty() ? 0 : tessel_tools::native_syntax_code(syntax);
  if (bad || positional.size() < 3 || !tessel_tools::parse_port(positional[1], &port) ||
      target < 0 || !tessel_tools::valid_title(aet) || !tessel_tools::valid_title(aec)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!tessel_tools::start_library(tessel_tools::find_ini(ini), kProgram)) return 1;
  const std::vector<std::string> files(positional.begin() + 2, positional.end());
  Sender sender(target, isatty(STDOUT_FILENO) != 0);
  return sender.run(aet, aec, positional[0], port, files);
}
