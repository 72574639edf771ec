// Log blocks of negotiation: the association parameter dump and the lines of a rejection
// received by a requestor.
#include <cstdio>
#include <cstring>
#include <string>

#include "codec/transfer_syntax.hpp"
#include "config/services.hpp"
#include "log/log.hpp"
#include "net/negotiation.hpp"

namespace tessel::net {
namespace {

constexpr int32_t kDumpLevel = log::kT3;

const char* identity_type_line(uint8_t type) {
  switch (type) {
    case 1:
      return "|  User Identity Type: Username";
    case 2:
      return "|  User Identity Type: Username and Passcode";
    case 3:
      return "|  User Identity Type: Kerberos Service Ticket";
    case 4:
      return "|  User Identity Type: SAML Assertion";
    default:
      return nullptr;
  }
}

// Text of a role byte; `role` is "SCU" or "SCP". Other values give "ILLEGAL RESPONSE: 0x%2x".
std::string role_text(uint8_t value, const char* role, bool request) {
  char text[80];
  if (value == kNoRole) {
    std::snprintf(text, sizeof text,
                  request ? "Not sent (requestor supports %s)"
                          : "Not sent (remote accepts requestor %s role)",
                  role);
  } else if (value == 1) {
    std::snprintf(text, sizeof text,
                  request ? "1: requestor supports %s role" : "1: remote accepts requestor %s role",
                  role);
  } else if (value == 0) {
    std::snprintf(
        text, sizeof text,
        request ? "0: requestor doesn't support %s role" : "0: remote rejects requestor %s role",
        role);
  } else {
    std::snprintf(text, sizeof text, "ILLEGAL RESPONSE: 0x%2x", static_cast<unsigned>(value));
  }
  return text;
}

std::string result_text(uint8_t result) {
  switch (result) {
    case kResultAccepted:
      return "Accepted";
    case kResultUserRejection:
      return "REJECTED: By User";
    case kResultNoReason:
      return "REJECTED: No reason given";
    case kResultAbstractSyntax:
      return "REJECTED: Abstract syntax";
    case kResultTransferSyntax:
      return "REJECTED: Transfer syntax";
    case kResultNoAnswer:
      return "REJECTED: NO RESPONSE!";
    default: {
      char text[40];
      std::snprintf(text, sizeof text, "ILLEGAL RESPONSE: 0x%2x", static_cast<unsigned>(result));
      return text;
    }
  }
}

// A transfer syntax UID followed by its display name in parentheses when the library knows it.
std::string syntax_text(const char* uid) {
  int32_t code = 0;
  std::string text = uid;
  if (codec::syntax_from_uid(uid, &code).ok()) {
    text += " (";
    text += CVI_GetNameForSyntax(code);
    text += ")";
  }
  return text;
}

void dump_context(const char* function, const PresentationContextParams& pc, int n, bool request) {
  log::write(function, kDumpLevel, "|  (%d)Pres_context_id: %d", n,
             static_cast<int>(pc.context_id));
  if (const services::ServiceEntry* service = CVI_GetSOPEntryByUID(pc.abstract_syntax)) {
    log::write(function, kDumpLevel, "|  (%d)Abstract_syntax: %s (%s)", n, pc.abstract_syntax,
               service->name.c_str());
  } else {
    log::write(function, kDumpLevel, "|  (%d)Abstract_syntax: %s", n, pc.abstract_syntax);
  }
  if (request) {
    log::write(function, kDumpLevel, "|  (%d)Proposed Transfer Syntaxes:", n);
    for (uint8_t k = 0; k < pc.transfer_syntax_count && k < kMaxTransferSyntaxes; ++k) {
      log::write(function, kDumpLevel, "|    %s", syntax_text(pc.transfer_syntaxes[k].uid).c_str());
    }
  } else if (pc.result == kResultAccepted) {
    log::write(function, kDumpLevel, "|  (%d)Result_transfer_syntax: %s", n,
               syntax_text(pc.accepted_transfer_syntax).c_str());
  }
  if (pc.service_class_uid[0] != '\0') {
    if (std::strcmp(pc.service_class_uid, kStorageServiceClassUid) == 0) {
      log::write(function, kDumpLevel, "|  (%d)Service Class UID: %s (Storage)", n,
                 pc.service_class_uid);
    } else {
      log::write(function, kDumpLevel, "|  (%d)Service Class UID: %s", n, pc.service_class_uid);
    }
  }
  if (pc.related_general_count != 0) {
    log::write(function, kDumpLevel, "|  (%d)Related General SOP Class UIDs:", n);
    for (uint8_t k = 0; k < pc.related_general_count && k < kMaxRelatedGeneralClasses; ++k) {
      log::write(function, kDumpLevel, "|    %s", pc.related_general_classes[k]);
    }
  }
  log::write(function, kDumpLevel, "|  (%d)SCU Role: %s", n,
             role_text(pc.scu_role, "SCU", request).c_str());
  log::write(function, kDumpLevel, "|  (%d)SCP Role: %s", n,
             role_text(pc.scp_role, "SCP", request).c_str());
  log::write(function, kDumpLevel, "|  (%d)Ext_info_length: %u", n,
             static_cast<unsigned>(pc.extended_info.length));
  if (pc.extended_info.length != 0 && pc.extended_info.data != nullptr) {
    std::string hex;
    hex.reserve(2 * static_cast<size_t>(pc.extended_info.length));
    for (uint32_t k = 0; k < pc.extended_info.length; ++k) {
      char pair[3];
      std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(pc.extended_info.data[k]));
      hex += pair;
    }
    log::write(function, kDumpLevel, "|  (%d)Ext_info_buffer: %s", n, hex.c_str());
  } else {
    log::write(function, kDumpLevel, "|  (%d)No extended application info", n);
  }
  if (!request) {
    log::write(function, kDumpLevel, "|  (%d)Negotiation Result: %s", n,
               result_text(pc.result).c_str());
  }
}

void dump_identity(const char* function, const AssociationParams& params, bool request) {
  const char* type_line = identity_type_line(params.identity_type);
  if (request) {
    if (type_line == nullptr) {
      log::write(function, kDumpLevel, "|  User Identity: Not Sent");
      return;
    }
    log::write(function, kDumpLevel, "%s", type_line);
    log::write(function, kDumpLevel,
               params.identity_response_requested != 0
                   ? "|  User Identity: Positive Response Requested"
                   : "|  User Identity: Positive Response Not Requested");
    log::write(function, kDumpLevel, "|  User Identity Primary Field Length: %d",
               static_cast<int>(params.identity_primary.length));
    log::write(function, kDumpLevel, "|  User Identity Secondary Field Length: %d",
               static_cast<int>(params.identity_secondary.length));
    return;
  }
  if (!params.identity_response_present) {
    log::write(function, kDumpLevel, "|  User Identity Response: Not Sent");
    return;
  }
  log::write(function, kDumpLevel, "|  User Identity Response: Sent");
  if (type_line != nullptr) log::write(function, kDumpLevel, "%s", type_line);
  log::write(function, kDumpLevel, "|  User Identity Server Response Length: %d",
             static_cast<int>(params.identity_response.length));
}

const char* user_reason(uint8_t reason) {
  switch (reason) {
    case 1:
      return "No reason given";
    case 2:
      return "Unacceptable application context";
    case 3:
      return "Unacceptable calling AP title";
    case 7:
      return "Unacceptable called AP title";
    case 8:
      return "Unacceptable calling AE qualifier";
    case 9:
      return "Unacceptable calling AP invocation identifier";
    case 10:
      return "Unacceptable calling AE invocation identifier";
    case 11:
      return "Unacceptable called AE qualifier";
    case 12:
      return "Unacceptable called AP invocation identifier";
    case 13:
      return "Unacceptable called AE invocation identifier";
    default:
      return nullptr;
  }
}

const char* presentation_reason(uint8_t reason) {
  switch (reason) {
    case 1:
      return "Temporary congestion";
    case 2:
      return "Local limit exceeded";
    case 3:
      return "Presentation address unknown";
    case 4:
      return "Presentation protocol version not supported";
    case 5:
      return "No presentation service access point available";
    default:
      return nullptr;
  }
}

}  // namespace

void dump_association_params(const char* function, const AssociationParams& params, bool request) {
  if (!log::enabled(kDumpLevel)) return;
  log::write(function, kDumpLevel,
             request ? "REQUEST Association Parameters:" : "RESPONSE Association Parameters:");
  if (params.remote_host_name[0] != '\0' && params.calling_presentation_address[0] != '\0') {
    log::write(function, kDumpLevel, "|  Calling_presentation_address: %s (%s)",
               params.remote_host_name, params.calling_presentation_address);
  } else {
    log::write(function, kDumpLevel, "|  Calling_presentation_address: %s",
               params.remote_host_name[0] != '\0' ? params.remote_host_name
                                                  : params.calling_presentation_address);
  }
  // The called address is kept as "host:port"; the port follows the last colon, so numeric
  // IPv6 hosts keep theirs.
  std::string called = params.called_presentation_address;
  const size_t colon = called.rfind(':');
  const std::string host = colon == std::string::npos ? called : called.substr(0, colon);
  const std::string port = colon == std::string::npos ? std::string() : called.substr(colon + 1);
  log::write(function, kDumpLevel, "|  Called_presentation_address: %s:%s", host.c_str(),
             port.c_str());
  log::write(function, kDumpLevel, "|  Called_application_title: %s", params.called_ae_title);
  log::write(function, kDumpLevel, "|  Calling_application_title: %s", params.calling_ae_title);
  log::write(function, kDumpLevel, "|  Application_context_name: %s",
             params.application_context_name);
  log::write(function, kDumpLevel, "|  PDU_maximum_length: %lu",
             static_cast<unsigned long>(params.max_pdu_length));
  log::write(function, kDumpLevel, "|  Implem_class_uid: %s", params.implementation_class_uid);
  log::write(function, kDumpLevel, "|  Version_name: %s", params.implementation_version_name);
  if (params.max_operations_invoked == kWindowNotSent &&
      params.max_operations_performed == kWindowNotSent) {
    log::write(function, kDumpLevel, "|  Max_operations_invoked: %s", "Not Sent");
    log::write(function, kDumpLevel, "|  Max_operations_performed: %s", "Not Sent");
  } else {
    log::write(function, kDumpLevel, "|  Max_operations_invoked: %u",
               static_cast<unsigned>(params.max_operations_invoked));
    log::write(function, kDumpLevel, "|  Max_operations_performed: %u",
               static_cast<unsigned>(params.max_operations_performed));
  }
  dump_identity(function, params, request);
  log::write(function, kDumpLevel, "|  PRESENTATION CONTEXTS:");
  int n = 0;
  for (uint16_t i = 0; i < params.presentation_context_count && i < kMaxPresentationContexts; ++i) {
    const PresentationContextParams& pc = params.presentation_contexts[i];
    if (pc.context_id == 0) continue;
    dump_context(function, pc, n++, request);
  }
}

void log_rejection(const char* function, uint8_t result, uint8_t source, uint8_t reason) {
  const unsigned r = result;
  const unsigned s = source;
  const unsigned why = reason;
  log::write(function, log::kWarning, "Association Rejected");
  log::write(function, log::kWarning, "|  Codes: Result 0x%2.2x Source 0x%2.2x Reason 0x%2.2x", r,
             s, why);
  if (result == 1) {
    log::write(function, log::kWarning, "|  Result code %u: Permanent Rejection", r);
  } else if (result == 2) {
    log::write(function, log::kWarning, "|  Result code %u: Transient Rejection", r);
  } else {
    log::write(function, log::kWarning, "|  Invalid Result code: 0x%2.2x", r);
  }
  const char* reason_text = nullptr;
  switch (source) {
    case 1:
      log::write(function, log::kWarning, "|  Result source %u: UL service user", s);
      reason_text = user_reason(reason);
      break;
    case 2:
      log::write(function, log::kWarning, "|  Result source %u: UL service provider (ACSE)", s);
      if (reason == 1) {
        log::write(function, log::kWarning, "|   Result reason %u: No reason given", why);
        return;
      }
      if (reason == 2) reason_text = "Unacceptable protocol version";
      break;
    case 3:
      log::write(function, log::kWarning, "|  Result source %u: UL service provider (pres)", s);
      reason_text = presentation_reason(reason);
      break;
    default:
      log::write(function, log::kWarning, "|  Invalid Result source: 0x%2.2x", s);
      break;
  }
  if (reason_text != nullptr) {
    log::write(function, log::kWarning, "|  Result reason %u: %s", why, reason_text);
  } else {
    log::write(function, log::kWarning, "|  Invalid Reason code: 0x%2.2x", why);
  }
}

}  // namespace tessel::net
