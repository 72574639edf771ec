// The library's own answer to verification-only associations: accept, answer every C-ECHO
// request with a C-ECHO response of status 0, and end when the peer releases.
#include "config/config_record.hpp"
#include "config/services.hpp"
#include "log/log.hpp"
#include "net/association_api_internal.hpp"
#include "net/dimse.hpp"
#include "net/ul_status.hpp"

#include "tessel/tessel.h"
#include "tessel/tessel_dimse.h"

namespace tessel::net {
namespace {

constexpr int32_t kUlOk = code(UlStatus::kNormal);
constexpr int32_t kCEchoRsp = kCEchoRq | kResponseBit;

constexpr int32_t kEchoReadTimeout = 15;

// Answers C-ECHO requests on an accepted association until the peer releases it. A fresh
// response is opened for every request, so that its command group is completed for the request
// it answers. A failure is logged here and leaves the association to the caller's abort.
Status serve_echo_requests(const char* function, int32_t association_id) {
  int32_t response = -1;
  if (CV_Open_Message(&response, services::kEchoServiceName, kCEchoRsp) != CV_NORMAL_COMPLETION) {
    log::write(function, log::kError, "(HandleEchoSession)Unable to open echo response message");
    return Status(CV_SYSTEM_ERROR);
  }
  for (;;) {
    int32_t request = -1;
    int32_t command = 0;
    const int32_t read =
        CV_Read_Message(association_id, kEchoReadTimeout, &request, nullptr, &command);
    if (read == CV_ASSOCIATION_CLOSED) {
      log::write(function, log::kInfo, "DICOM Echo association closed");
      (void)CV_Free_Message(&response);
      return Status();
    }
    if (read != CV_NORMAL_COMPLETION) {
      if (read == CV_TIMEOUT) {
        log::write(function, log::kError, "Timed out while handling echo response:");
      } else {
        log::write(function, log::kError, "Read error while handling echo request:");
        log::write(function, log::kError, "|   %s", CV_Error_Message(read));
      }
      (void)CV_Free_Message(&response);
      return Status(read);
    }
    (void)CV_Free_Message(&request);
    // Only Verification was accepted, so nothing but C-ECHO requests can arrive.
    if (command != kCEchoRq) continue;
    if (response < 0 &&
        CV_Open_Message(&response, services::kEchoServiceName, kCEchoRsp) != CV_NORMAL_COMPLETION) {
      log::write(function, log::kError, "(HandleEchoSession)Unable to open echo response message");
      return Status(CV_SYSTEM_ERROR);
    }
    const int32_t sent = CV_Send_Response_Message(association_id, 0, response);
    (void)CV_Free_Message(&response);
    if (sent != CV_NORMAL_COMPLETION) {
      log::write(function, log::kError, "Error while sending echo response:");
      log::write(function, log::kError, "|   %s", CV_Error_Message(sent));
      return Status(sent);
    }
  }
}

}  // namespace

void answer_echo_association(const char* function, Association* association) {
  AssociationParams& params = *association->params;
  if (!Cfg->b(AUTO_ECHO_SUPPORT)) {
    if (DUL_associate_reject(dul_slot(*association), 1, 1, 1) != kUlOk) {
      log::write(function, log::kError, "(HandleEchoSession)Unable to reject echo association");
    }
    net::free_association(association);
    return;
  }
  select_extended_answers(*association);
  dump_association_params(function, params, false);
  const int32_t accepted = DUL_associate_accept(dul_slot(*association), &params);
  if (accepted != kUlOk) {
    log::write(function, log::kError, "(HandleEchoSession)DUL_associate_accept error: %s",
               ul_status_text(accepted).text);
    net::free_association(association);
    return;
  }
  association->request_pending = false;
  const int32_t id = association->id;
  if (!serve_echo_requests(function, id).ok()) {
    // The exchange may have ended the association already.
    int32_t remaining = id;
    (void)abort_association(&remaining);
  }
}

}  // namespace tessel::net
