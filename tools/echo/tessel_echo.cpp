// tessel-echo: opens an association to a remote application entity, sends one C-ECHO request
// and reports the answer's status.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/common/tool_common.hpp"

#include "tessel/tessel.h"

namespace {

constexpr const char* kProgram = "tessel-echo";
constexpr const char* kUsage = "usage: tessel-echo [--ini PATH] [--aet AE] [--aec AE] HOST PORT\n";
constexpr const char* kEchoList = "ECHO_SERVICE_LIST";
constexpr int32_t kEchoRequest = 0x0030;
constexpr int32_t kEchoResponse = 0x8030;
constexpr uint32_t kStatusTag = 0x00000900;
constexpr int32_t kReplyTimeout = 30;

// Owns the application and association so that every exit path releases them.
class Echo {
 public:
  ~Echo() {
    if (message_id_ != CV_NO_ID) CV_Free_Message(&message_id_);
    if (response_id_ != CV_NO_ID) CV_Free_Message(&response_id_);
    if (assoc_id_ != CV_NO_ID) CV_Abort_Association(&assoc_id_);
    if (app_id_ != CV_NO_ID) CV_Release_Application(&app_id_);
    CV_Library_Release();
  }
  int run(const std::string& aet, const std::string& aec, const std::string& host, int32_t port);

 private:
  int failed(const std::string& what, int32_t status) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, what.c_str(), CV_Error_Message(status));
    return 1;
  }
  int32_t app_id_ = CV_NO_ID;
  int32_t assoc_id_ = CV_NO_ID;
  int32_t message_id_ = CV_NO_ID;
  int32_t response_id_ = CV_NO_ID;
};

int Echo::run(const std::string& aet, const std::string& aec, const std::string& host,
              int32_t port) {
  const std::string peer = aec + "@" + host + ":" + std::to_string(port);
  int32_t status = CV_Register_Application(&app_id_, aet.c_str());
  if (status != CV_NORMAL_COMPLETION) return failed("cannot register " + aet, status);
  status = CV_Open_Association(app_id_, &assoc_id_, aec.c_str(), &port, host.c_str(), kEchoList);
  if (status != CV_NORMAL_COMPLETION)
    return failed("cannot open an association to " + peer, status);
  status = CV_Open_Message(&message_id_, "STANDARD_ECHO", kEchoRequest);
  if (status == CV_NORMAL_COMPLETION) status = CV_Send_Request_Message(assoc_id_, message_id_);
  if (status != CV_NORMAL_COMPLETION) return failed("cannot send the C-ECHO request", status);
  int32_t command = 0;
  status = CV_Read_Message(assoc_id_, kReplyTimeout, &response_id_, nullptr, &command);
  if (status != CV_NORMAL_COMPLETION) return failed("no C-ECHO response", status);
  if (command != kEchoResponse) {
    std::fprintf(stderr, "%s: unexpected answer (command 0x%04X) from %s\n", kProgram,
                 static_cast<unsigned>(command), peer.c_str());
    return 1;
  }
  int32_t dimse_status = -1;
  status = CV_Get_Value_To_Int(response_id_, kStatusTag, &dimse_status);
  if (status != CV_NORMAL_COMPLETION) return failed("C-ECHO response without status", status);
  CV_Close_Association(&assoc_id_);
  if (dimse_status != 0) {
    std::fprintf(stderr, "%s: C-ECHO to %s answered with status 0x%04X\n", kProgram, peer.c_str(),
                 static_cast<unsigned>(dimse_status) & 0xFFFFu);
    return 1;
  }
  std::printf("C-ECHO to %s: status 0x0000 (success)\n", peer.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ini;
  std::string aet = "TESSEL_SCU";
  std::string aec = "TESSEL_SCP";
  std::string positional[2];
  int count = 0;
  bool bad = false;
  for (int i = 1; i < argc && !bad; ++i) {
    const std::string arg = argv[i];
    if (arg == "--ini" && i + 1 < argc) {
      ini = argv[++i];
    } else if (arg == "--aet" && i + 1 < argc) {
      aet = argv[++i];
    } else if (arg == "--aec" && i + 1 < argc) {
      aec = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::puts(
          "Sends a C-ECHO request to the application entity --aec (default TESSEL_SCP) at HOST "
          "PORT, calling\nas --aet (default TESSEL_SCU). --ini PATH names the initialisation "
          "file (else TESSEL_INI, else the\nshipped one). Exit status: 0 status 0000 received, "
          "1 failed (one line on standard error),\n2 bad arguments.");
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-') {
      bad = true;
    } else if (count < 2) {
      positional[count++] = arg;
    } else {
      bad = true;
    }
  }
  int32_t port = 0;
  if (bad || count != 2 || !tessel_tools::parse_port(positional[1], &port) ||
      !tessel_tools::valid_title(aet) || !tessel_tools::valid_title(aec)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!tessel_tools::start_library(tessel_tools::find_ini(ini), kProgram)) return 1;
  Echo echo;
  return echo.run(aet, aec, positional[0], port);
}
