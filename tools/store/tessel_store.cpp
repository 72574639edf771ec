// tessel-store: sends DICOM files to a remote application entity as C-STORE requests over one
// association and reports the status of each.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/tool_common.hpp"
#include "tools/dump/read_dicom.hpp"
#include "tools/store/pixel_feed.hpp"
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
constexpr uint32_t kMessageIdTag = 0x00000110;
constexpr uint32_t kRespondedToTag = 0x00000120;
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

// Sends the files in order. When the peer agreed to an asynchronous operations window, the
// next requests go out before the earlier answers are in, up to the window: the peer handles
// one file while the next is on its way. The window is learned from the library, which refuses
// a request beyond it.
class Sender {
 public:
  Sender(int32_t syntax, bool progress) : syntax_(syntax), progress_(progress) {}
  ~Sender() {
    free_message(&file_id_);
    free_message(&response_id_);
    if (assoc_id_ != CV_NO_ID) CV_Abort_Association(&assoc_id_);
    if (app_id_ != CV_NO_ID) CV_Release_Application(&app_id_);
    CV_Library_Release();
  }
  int run(const std::string& aet, const std::string& aec, const std::string& host, int32_t port,
          const std::vector<std::string>& files);

 private:
  // A request sent whose answer has not been read yet.
  struct InFlight {
    size_t file;
    int32_t message_id;
  };

  void send(size_t index, const std::string& path);
  Outcome prepare(const std::string& path, std::string* service);
  void collect_answer();
  void fail_in_flight(const std::string& text);
  void report_ready(const std::vector<std::string>& files);
  // Once turned into the request the file is a message, which CV_Free_File refuses:
  // CV_Free_Message frees it as either.
  static void free_message(int32_t* id) {
    if (*id != CV_NO_ID) CV_Free_Message(id);
  }
  static Outcome failure(const std::string& text) { return Outcome{false, text}; }
  static Outcome failure(const std::string& text, int32_t status) {
    return Outcome{false, text + ": " + CV_Error_Message(status)};
  }

  int32_t syntax_;
  bool progress_;
  int32_t app_id_ = CV_NO_ID;
  int32_t assoc_id_ = CV_NO_ID;
  int32_t file_id_ = CV_NO_ID;      // the file being sent, turned into the request message
  tessel_tools::PixelFeed pixels_;  // its Pixel Data, when that stays in the file
  int32_t response_id_ = CV_NO_ID;
  size_t window_ = SIZE_MAX;  // requests in flight at most; known once the library refuses one
  std::deque<InFlight> in_flight_;
  std::vector<std::optional<Outcome>> outcomes_;
  size_t reported_ = 0;  // files whose line is printed
  size_t stored_ = 0;
  double megabytes_ = 0.0;
};

// Reads the file and turns it into a C-STORE request message for its SOP class.
Outcome Sender::prepare(const std::string& path, std::string* service) {
  if (!pixels_.open(app_id_, path, &file_id_)) {
    const tessel_tools::ReadOutcome read = tessel_tools::read_dicom_file(app_id_, path, &file_id_);
    if (read.status != CV_NORMAL_COMPLETION) {
      return failure("cannot read: " + tessel_tools::describe_failure(read));
    }
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

void Sender::send(size_t index, const std::string& path) {
  std::string service;
  Outcome prepared = prepare(path, &service);
  if (!prepared.stored) {
    free_message(&file_id_);
    pixels_.close();
    outcomes_[index] = prepared;
    return;
  }
  int32_t status = CV_Send_Request_Message(assoc_id_, file_id_);
  while (status == CV_MAX_OPERATIONS_EXCEEDED && !in_flight_.empty() && assoc_id_ != CV_NO_ID) {
    window_ = in_flight_.size();
    collect_answer();
    if (assoc_id_ != CV_NO_ID) status = CV_Send_Request_Message(assoc_id_, file_id_);
  }
  // Pixel data that could not be read from its file any more (it shrank while being sent)
  // leaves the peer with part of a message: the association cannot carry another one.
  const bool cut_short = status != CV_NORMAL_COMPLETION && pixels_.supplied() > 0 &&
                         pixels_.supplied() < pixels_.length();
  if (cut_short) {
    if (status != CV_ASSOCIATION_ABORTED && assoc_id_ != CV_NO_ID) {
      CV_Abort_Association(&assoc_id_);
    }
    assoc_id_ = CV_NO_ID;
  }
  int32_t message_id = -1;
  if (status == CV_NORMAL_COMPLETION) {
    status = CV_Get_Value_To_Int(file_id_, kMessageIdTag, &message_id);
  }
  std::string unsent_syntax;
  if (status == CV_UNACCEPTABLE_SERVICE) {
    int32_t wanted = 0;
    char uid[65] = {};
    if (CV_Get_Message_Transfer_Syntax(file_id_, &wanted) == CV_NORMAL_COMPLETION &&
        CV_Get_Transfer_Syntax_From_Enum(wanted, uid, sizeof uid) == CV_NORMAL_COMPLETION) {
      unsent_syntax = std::string(" in ") + uid;
    }
  }
  free_message(&file_id_);
  pixels_.close();
  if (cut_short) {
    outcomes_[index] = failure("the file changed while it was sent; association aborted");
  } else if (assoc_id_ == CV_NO_ID) {
    outcomes_[index] = failure("not sent: the association has ended");
  } else if (status == CV_UNACCEPTABLE_SERVICE) {
    outcomes_[index] =
        failure("the peer accepted no presentation context for " + service + unsent_syntax);
  } else if (status != CV_NORMAL_COMPLETION) {
    // The library frees an association that ended while sending (an abort, or a message that
    // failed half-way out: then the next file finds it gone).
    if (status == CV_ASSOCIATION_ABORTED || status == CV_INVALID_ASSOCIATION_ID) {
      assoc_id_ = CV_NO_ID;
    }
    outcomes_[index] = failure("cannot send", status);
  } else {
    in_flight_.push_back(InFlight{index, message_id});
  }
}

// Reads one answer and settles the file it belongs to.
void Sender::collect_answer() {
  int32_t command = 0;
  const int32_t status =
      CV_Read_Message(assoc_id_, kReplyTimeout, &response_id_, nullptr, &command);
  if (status != CV_NORMAL_COMPLETION) {
    // A late answer could not be matched to its file any more: end the association. Every
    // other read failure has ended it already.
    if (status == CV_TIMEOUT) {
      CV_Abort_Association(&assoc_id_);
    } else {
      assoc_id_ = CV_NO_ID;
    }
    fail_in_flight(std::string("no C-STORE response: ") + CV_Error_Message(status));
    return;
  }
  int32_t answered = -1;
  auto match = in_flight_.begin();
  if (CV_Get_Value_To_Int(response_id_, kRespondedToTag, &answered) == CV_NORMAL_COMPLETION) {
    while (match != in_flight_.end() && match->message_id != answered) ++match;
  }
  // The library matches answers to requests; anything else takes the oldest request's place.
  if (match == in_flight_.end()) match = in_flight_.begin();
  const size_t file = match->file;
  in_flight_.erase(match);
  int32_t dimse_status = -1;
  char text[64];
  if (command != kStoreResponse) {
    std::snprintf(text, sizeof text, "unexpected answer (command 0x%04X)",
                  static_cast<unsigned>(command));
    outcomes_[file] = failure(text);
  } else if (const int32_t got = CV_Get_Value_To_Int(response_id_, kStatusTag, &dimse_status);
             got != CV_NORMAL_COMPLETION) {
    outcomes_[file] = failure("C-STORE response without status", got);
  } else {
    std::snprintf(text, sizeof text, "status 0x%04X",
                  static_cast<unsigned>(dimse_status) & 0xFFFFu);
    outcomes_[file] = Outcome{dimse_status == 0, text};
  }
  free_message(&response_id_);
}

void Sender::fail_in_flight(const std::string& text) {
  for (const InFlight& request : in_flight_) outcomes_[request.file] = failure(text);
  in_flight_.clear();
}

// Prints the lines of the files settled so far, in the order the files were given.
void Sender::report_ready(const std::vector<std::string>& files) {
  for (; reported_ < files.size() && outcomes_[reported_].has_value(); ++reported_) {
    const Outcome& outcome = *outcomes_[reported_];
    const std::string& path = files[reported_];
    if (outcome.stored) {
      ++stored_;
      megabytes_ += file_megabytes(path);
    }
    std::printf("%s: %s%s\n", path.c_str(), outcome.stored ? "stored, " : "FAILED, ",
                outcome.text.c_str());
  }
  std::fflush(stdout);
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
  outcomes_.assign(files.size(), std::nullopt);
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& path = files[i];
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool show = progress_ && elapsed >= 1.0;
    if (show) {
      std::printf("\r[%zu/%zu] sending %s ...\x1b[K", i + 1, files.size(), path.c_str());
      std::fflush(stdout);
    }
    while (in_flight_.size() >= window_ && assoc_id_ != CV_NO_ID) collect_answer();
    if (assoc_id_ == CV_NO_ID) {
      outcomes_[i] = failure("not sent: the association has ended");
    } else {
      send(i, path);
    }
    if (show) std::printf("\r\x1b[K");
    report_ready(files);
  }
  while (!in_flight_.empty() && assoc_id_ != CV_NO_ID) collect_answer();
  fail_in_flight("no C-STORE response: the association has ended");
  report_ready(files);
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
  std::printf("%zu of %zu files stored to %s in %.2f s (%.1f files/s, %.2f MB/s)\n", stored_,
              files.size(), peer.c_str(), seconds, static_cast<double>(stored_) / rate_base,
              megabytes_ / rate_base);
  return stored_ == files.size() ? 0 : 1;
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
          "initialisation file (else TESSEL_INI, else the shipped one).\nWhen the peer agrees "
          "to the asynchronous operations window of the storage list (16 in the\nshipped "
          "profile), that many requests travel before the first answer.\nExit status: 0 every "
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
