// Acceptor side of negotiation: the application of an incoming request, the judging of the
// request and its presentation contexts, rejection codes and the answers given at acceptance.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "codec/transfer_syntax.hpp"
#include "config/config_record.hpp"
#include "core/application.hpp"
#include "core/state.hpp"
#include "log/log.hpp"
#include "net/negotiation.hpp"
#include "net/negotiation_internal.hpp"

namespace tessel::net {
namespace {

using services::ServiceEntry;
using services::ServiceList;
using services::ServiceListEntry;

NegotiationRegistry g_registry;

bool ends_with_echo(const char* title) {
  const size_t length = std::strlen(title);
  if (length < 5) return false;
  const char* tail = title + length - 5;
  return std::strcmp(tail, "_ECHO") == 0 || std::strcmp(tail, "_echo") == 0;
}

const char* echo_uid() {
  const ServiceEntry* echo = CVI_GetSOPEntryByName(services::kEchoServiceName);
  return echo != nullptr ? echo->uid.c_str() : nullptr;
}

// The entry that serves a proposed context, by the lookup order of the acceptor.
const ServiceListEntry* find_service(const PresentationContextParams& pc, const ServiceList& list) {
  for (const ServiceListEntry& entry : list.services) {
    if (entry.service->uid == pc.abstract_syntax) return &entry;
  }
  const char* verification = echo_uid();
  if (!list.has_verification && verification != nullptr &&
      std::strcmp(pc.abstract_syntax, verification) == 0) {
    const ServiceList* echo_list = CVI_GetServiceNumbers(services::kEchoServiceListName);
    if (echo_list != nullptr && !echo_list->services.empty()) return &echo_list->services[0];
  }
  if (Cfg->b(ACCEPT_RELATED_GENERAL_SERVICES)) {
    for (const ServiceListEntry& entry : list.services) {
      for (uint8_t k = 0; k < pc.related_general_count && k < kMaxRelatedGeneralClasses; ++k) {
        if (entry.service->uid == pc.related_general_classes[k]) return &entry;
      }
    }
  }
  if (Cfg->b(ACCEPT_STORAGE_SERVICE_CONTEXTS) &&
      std::strcmp(pc.service_class_uid, kStorageServiceClassUid) == 0 && !list.services.empty()) {
    return &list.services[0];
  }
  return nullptr;
}

// The first syntax of this side's list that the requestor proposed; its UID in *uid.
int32_t choose_transfer_syntax(const PresentationContextParams& pc, const ServiceListEntry& entry,
                               const char** uid) {
  if (entry.syntax_list == nullptr) return 0;
  const uint8_t count = pc.transfer_syntax_count < kMaxTransferSyntaxes
                            ? pc.transfer_syntax_count
                            : static_cast<uint8_t>(kMaxTransferSyntaxes);
  for (int32_t code : entry.syntax_list->syntaxes) {
    const char* candidate = CVI_GetPtrForSyntax(code);
    if (candidate == nullptr || candidate[0] == '\0') continue;
    for (uint8_t k = 0; k < count; ++k) {
      if (std::strcmp(pc.transfer_syntaxes[k].uid, candidate) == 0) {
        *uid = candidate;
        return code;
      }
    }
  }
  return 0;
}

void refuse_context(PresentationContextParams& pc, uint8_t result) {
  pc.result = result;
  pc.accepted_transfer_syntax[0] = '\0';
  pc.scu_role = kNoRole;
  pc.scp_role = kNoRole;
}

bool set_up_accepted(Association& association) {
  const AssociationParams& params = *association.params;
  try {
    association.accepted.clear();
    for (uint16_t i = 0; i < params.presentation_context_count && i < kMaxPresentationContexts;
         ++i) {
      const PresentationContextParams& pc = params.presentation_contexts[i];
      if (pc.context_id == 0 || pc.result != kResultAccepted) continue;
      AcceptedContext accepted{};
      accepted.context_id = pc.context_id;
      accepted.service = CVI_GetSOPEntryByUID(pc.abstract_syntax);
      copy_text(accepted.abstract_syntax, pc.abstract_syntax);
      // 0 marks a syntax without a code, which the acceptable-service iterator reports.
      if (!codec::syntax_from_uid(pc.accepted_transfer_syntax, &accepted.transfer_syntax).ok()) {
        accepted.transfer_syntax = 0;
      }
      accepted.scu_role = pc.scu_role;
      accepted.scp_role = pc.scp_role;
      association.accepted.push_back(accepted);
    }
  } catch (const std::bad_alloc&) {
    association.accepted.clear();
    return false;
  }
  return true;
}

}  // namespace

// ---- Shared helpers ----

std::string format_text(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

void set_negotiation_registry(const NegotiationRegistry* registry) {
  g_registry = registry != nullptr ? *registry : NegotiationRegistry{};
}

bool has_registered_negotiation(const core::Application& app) {
  return g_registry.has_entries != nullptr && g_registry.has_entries(app);
}

bool find_registered_negotiation(const core::Application& app, const char* sop_class_uid,
                                 const uint8_t** data, uint32_t* length) {
  return g_registry.find != nullptr && g_registry.find(app, sop_class_uid, data, length);
}

// ---- Choosing the application ----

ApplicationChoice choose_application(const char* called_title) {
  ApplicationChoice choice{nullptr, false, false};
  core::Application* echo = nullptr;
  core::Application* matched = nullptr;
  core::Application* first = nullptr;
  {
    // The table keeps no order of its own; identifiers are handed out in ascending order, so
    // the lowest one is the earliest registration still present. Titles are unique.
    core::LockHold hold(S.appObjSemaphore);
    echo = CVI_applicationPtr(core::g_state.echo_app_id);
    matched = core::application_by_title(called_title);
    first = core::lowest_application(echo);
  }
  if (matched != nullptr) {
    choice.application = matched;
    choice.echo_list = std::strcmp(matched->title, kEchoApplicationTitle) == 0;
    return choice;
  }
  if (echo != nullptr && ends_with_echo(called_title)) {
    choice.application = echo;
    choice.echo_list = true;
    choice.echo_only = true;
    return choice;
  }
  choice.application = first != nullptr ? first : echo;
  choice.echo_list = choice.application != nullptr && choice.application == echo;
  return choice;
}

// ---- Judging a request ----

uint16_t answer_window(uint16_t requested, uint16_t local) {
  if (local == kWindowNotSent) return 1;
  if (requested == 0) return local;
  if (local != 0 && local < requested) return local;
  return requested;
}

RoleDecision decide_roles(uint8_t proposed_scu, uint8_t proposed_scp, uint8_t local_scu,
                          uint8_t local_scp) {
  const bool none = local_scu == kNoRole && local_scp == kNoRole;
  const bool scu_only = local_scu == 1 && local_scp == 0;
  const bool scp_only = local_scu == 0 && local_scp == 1;
  const bool both = local_scu == 1 && local_scp == 1;
  constexpr RoleDecision kRefused{false, kNoRole, kNoRole};
  constexpr RoleDecision kNoItem{true, kNoRole, kNoRole};
  if (proposed_scu == kNoRole && proposed_scp == kNoRole) return scu_only ? kRefused : kNoItem;
  if (proposed_scu == 1 && proposed_scp == 0) {
    if (scp_only || both) return RoleDecision{true, 1, 0};
    if (none) return kNoItem;
    return kRefused;
  }
  if (proposed_scu == 1 && proposed_scp == 1) {
    if (scp_only) return RoleDecision{true, 1, 0};
    if (scu_only) return RoleDecision{true, 0, 1};
    if (both) return RoleDecision{true, 1, 1};
    if (none) return kNoItem;
    return kRefused;
  }
  if (proposed_scu == 0 && proposed_scp == 1) {
    if (scu_only || both) return RoleDecision{true, 0, 1};
    return kRefused;
  }
  return kRefused;
}

size_t judge_presentation_contexts(AssociationParams& params, const ServiceList& list) {
  const bool multiple = Cfg->b(ACCEPT_MULTIPLE_PRES_CONTEXTS);
  const uint16_t count = params.presentation_context_count < kMaxPresentationContexts
                             ? params.presentation_context_count
                             : static_cast<uint16_t>(kMaxPresentationContexts);
  size_t accepted = 0;
  for (uint16_t i = 0; i < count; ++i) {
    PresentationContextParams& pc = params.presentation_contexts[i];
    if (pc.context_id == 0 || pc.abstract_syntax[0] == '\0') continue;
    const ServiceListEntry* entry = find_service(pc, list);
    if (entry == nullptr) {
      refuse_context(pc, kResultAbstractSyntax);
      continue;
    }
    const char* syntax_uid = nullptr;
    if (choose_transfer_syntax(pc, *entry, &syntax_uid) == 0) {
      refuse_context(pc, kResultTransferSyntax);
      continue;
    }
    bool repeated = false;
    for (uint16_t k = 0; k < i && !multiple; ++k) {
      const PresentationContextParams& earlier = params.presentation_contexts[k];
      if (earlier.context_id != 0 &&
          std::strcmp(earlier.abstract_syntax, pc.abstract_syntax) == 0) {
        repeated = true;
      }
    }
    if (repeated) {
      refuse_context(pc, kResultUserRejection);
      continue;
    }
    const RoleDecision roles =
        decide_roles(pc.scu_role, pc.scp_role, entry->scu_role, entry->scp_role);
    if (!roles.accepted) {
      refuse_context(pc, kResultUserRejection);
      continue;
    }
    pc.result = kResultAccepted;
    copy_text(pc.accepted_transfer_syntax, syntax_uid);
    pc.scu_role = roles.scu_role;
    pc.scp_role = roles.scp_role;
    ++accepted;
  }
  return accepted;
}

Verdict validate_request(Association& association, const ServiceList& list) {
  AssociationParams& params = *association.params;
  params.reject_result = 1;
  params.reject_source = 1;
  params.reject_reason = 1;
  bool failed = false;
  std::string text;
  if (!Cfg->b(ACCEPT_ANY_PROTOCOL_VERSION) && params.protocol_version != 1) {
    text =
        format_text("Unacceptable Protocol Version: %d", static_cast<int>(params.protocol_version));
    params.reject_source = 2;
    params.reject_reason = 2;
    failed = true;
  }
  if (!Cfg->b(ACCEPT_ANY_CONTEXT_NAME) &&
      Cfg->str(LOCAL_APPL_CONTEXT_NAME) != params.application_context_name) {
    text =
        format_text("Unacceptable Application_context_name: %s", params.application_context_name);
    params.reject_reason = 2;
    failed = true;
  }
  if (!failed) {
    if (!Cfg->b(ACCEPT_ANY_APPLICATION_TITLE) && !association.echo_only &&
        std::strcmp(params.called_ae_title, association.application->title) != 0) {
      text = format_text("Unacceptable Called_application_title: %s", params.called_ae_title);
      params.reject_reason = 7;
      failed = true;
    }
    if (!Cfg->b(ACCEPT_ANY_HOSTNAME) && std::strcmp(params.remote_host_name, "unknown") == 0) {
      text = format_text("Unable to lookup remote hostname for IP address: %s",
                         params.calling_presentation_address);
      params.reject_reason = 1;
      failed = true;
    }
  }

  copy_text(association.remote_title, params.calling_ae_title);
  copy_text(association.remote_host, params.remote_host_name);
  copy_text(association.service_list_name, list.name.c_str());
  association.remote_max_pdu_length = params.max_pdu_length;
  params.max_pdu_length = Cfg->l(PDU_MAXIMUM_LENGTH);
  copy_text(params.remote_implementation_class_uid, params.implementation_class_uid);
  copy_text(params.remote_implementation_version_name, params.implementation_version_name);
  copy_text(params.implementation_class_uid, Cfg->str(IMPLEMENTATION_CLASS_UID).c_str());
  const bool version_sent = params.remote_implementation_version_name[0] != '\0';
  copy_text(params.implementation_version_name,
            version_sent ? Cfg->str(IMPLEMENTATION_VERSION).c_str() : "");
  if (params.max_operations_invoked != kWindowNotSent ||
      params.max_operations_performed != kWindowNotSent) {
    params.max_operations_invoked =
        answer_window(params.max_operations_invoked, list.max_operations_invoked);
    params.max_operations_performed =
        answer_window(params.max_operations_performed, list.max_operations_performed);
  }
  if (failed) return Verdict{false, text};

  try {
    association.service_numbers.clear();
    association.verification_listed = list.has_verification;
    for (const ServiceListEntry& entry : list.services) {
      association.service_numbers.push_back(entry.service->number);
    }
  } catch (const std::bad_alloc&) {
    return Verdict{false, "Error setting up contexts"};
  }
  if (judge_presentation_contexts(params, list) == 0) {
    params.reject_result = 1;
    params.reject_source = 1;
    params.reject_reason = 1;
    return Verdict{false, "No acceptable presentation contexts"};
  }
  if (!set_up_accepted(association)) return Verdict{false, "Error setting up contexts"};
  association.max_operations_invoked = params.max_operations_invoked;
  association.max_operations_performed = params.max_operations_performed;
  association.request_pending = true;
  return Verdict{true, std::string()};
}

bool answers_echo_itself(const Association& association, const ServiceList& list) {
  const char* verification = echo_uid();
  return association.accepted.size() == 1 && verification != nullptr &&
         std::strcmp(association.accepted[0].abstract_syntax, verification) == 0 &&
         !list.has_verification;
}

void log_automatic_rejection(const char* function, const AssociationParams& params,
                             const std::string& text) {
  log::write(function, log::kT4, "Validate Association failed:");
  log::write(function, log::kT4, "|  %s", text.c_str());
  log::write(function, log::kWarning, "Association automatically rejected:");
  log::write(function, log::kWarning, "|  %s", text.c_str());
  if (params.remote_host_name[0] != '\0') {
    log::write(function, log::kWarning, "|  Calling_presentation_address: %s (%s)",
               params.remote_host_name, params.calling_presentation_address);
  } else {
    log::write(function, log::kWarning, "|  Calling_presentation_address: %s",
               params.calling_presentation_address);
  }
  log::write(function, log::kWarning, "|  Calling_application_title: %s", params.calling_ae_title);
}

// ---- Rejecting ----

RejectCodes reject_codes(int32_t reason_enum) {
  struct Row {
    uint8_t result;
    uint8_t reason;
    uint8_t source;
    const char* text;
  };
  static constexpr Row kRows[] = {
      {2, 1, 1, "Transient rejection, no reason given"},
      {1, 3, 1, "Permanent rejection, Calling AE title not recognized"},
      {2, 1, 3, "Transient rejection, temporary congestion"},
      {2, 2, 3, "Transient rejection, local limit exceeded"},
      {1, 7, 1, "Permanent rejection, Called AE title not recognized"},
      {1, 2, 1, "Permanent rejection, Application context name not supported"},
      {1, 8, 1, "Permanent rejection, Calling AE qualifier not recognized"},
      {1, 9, 1, "Permanent rejection, Calling AP invocation identifier not recognized"},
      {1, 10, 1, "Permanent rejection, Calling AE invocation identifier not recognized"},
      {1, 11, 1, "Permanent rejection, Called AE qualifier not recognized"},
      {1, 12, 1, "Permanent rejection, Called AP invocation identifier not recognized"},
      {1, 13, 1, "Permanent rejection, Called AE invocation identifier not recognized"},
      {1, 3, 3, "Permanent rejection, Called Presentation address unknown"},
      {1, 4, 3, "Permanent rejection, Presentation protocol version not supported"},
      {1, 5, 3, "Permanent rejection, No Presentation Service Access Point (SAP) available"},
  };
  constexpr Row kOther{1, 1, 1, "Permanent rejection, no reason given"};
  const bool listed =
      reason_enum >= 1 && reason_enum <= static_cast<int32_t>(sizeof kRows / sizeof kRows[0]);
  const Row& row = listed ? kRows[reason_enum - 1] : kOther;
  // The upper layer writes an A-ASSOCIATE-RJ only for these reasons.
  const bool sent = row.reason == 1 || row.reason == 2 || row.reason == 3 || row.reason == 7;
  return RejectCodes{row.result, row.reason, row.source, row.text, sent};
}

// ---- Accepting ----

Status check_identity_acceptance(const char* function, AssociationParams& params,
                                 bool with_identity, const void* response, int32_t length) {
  if (!with_identity) {
    if (params.identity_type != 0 && params.identity_response_requested != 0) {
      log::write(function, log::kWarning,
                 "User Identity response requested in Association Request PDU, but not supplied "
                 "for the Association Accept PDU.");
    }
    return Status();
  }
  if (response == nullptr && length > 0) return Status(CV_NULL_POINTER_PARM);
  if (params.identity_type == 0) {
    log::write(function, log::kError,
               "Attempting to accept association with user identity information when the "
               "association request did not contain user identity information.");
    return Status(CV_CALL_INVALID_NOW);
  }
  if (params.identity_response_requested == 0) {
    log::write(function, log::kError,
               "Attempting to accept association with user identity information when the "
               "association request explicitly did not ask for a server response.");
    return Status(CV_CALL_INVALID_NOW);
  }
  if (length > 0 && params.identity_type != 3 && params.identity_type != 4) {
    log::write(function, log::kError,
               "Attempting to accept association with a user identity Server Response when the "
               "user identity type in the request forbids response information.");
    return Status(CV_CALL_INVALID_NOW);
  }
  // The response travels with a 16-bit length.
  if (length > 65535) return Status(CV_INVALID_CONFIG_PARM);
  CVI_releaseBuffer(params.identity_response.data);
  if (!copy_param_bytes(response, length > 0 ? static_cast<uint32_t>(length) : 0,
                        &params.identity_response)) {
    return Status(CV_SYSTEM_ERROR);
  }
  params.identity_response_present = true;
  return Status();
}

void select_extended_answers(Association& association) {
  AssociationParams& params = *association.params;
  core::Application& app = *association.application;
  core::LockHold hold(app.extended_lock);
  const bool registered = has_registered_negotiation(app);
  for (PresentationContextParams& pc : params.presentation_contexts) {
    if (pc.context_id == 0) continue;
    if (pc.result != kResultAccepted) {
      CVI_releaseBuffer(pc.extended_info.data);
      pc.extended_info = ParamBytes{nullptr, 0};
      continue;
    }
    if (pc.extended_answer_set || pc.extended_info.length == 0) continue;
    CVI_releaseBuffer(pc.extended_info.data);
    pc.extended_info = ParamBytes{nullptr, 0};
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    // A copy that cannot be made leaves the context without an answer.
    if (registered && find_registered_negotiation(app, pc.abstract_syntax, &data, &length)) {
      (void)copy_param_bytes(data, length, &pc.extended_info);
    }
  }
}

Status set_association_negotiation_info(int32_t association_id, const char* service,
                                        const void* buffer, int32_t length) {
  if (service == nullptr || (buffer == nullptr && length > 0)) return Status(CV_NULL_POINTER_PARM);
  Association* association = find_association(association_id);
  if (association == nullptr) return Status(CV_INVALID_ASSOCIATION_ID);
  if (length < 0) return Status(CV_MUST_BE_POSITIVE);
  if (!association->request_pending) return Status(CV_NO_REQUEST_PENDING);
  const ServiceEntry* entry = CVI_GetSOPEntryByName(service);
  if (entry == nullptr) return Status(CV_SERVICE_NOT_CONFIGURED);
  AssociationParams& params = *association->params;
  for (PresentationContextParams& pc : params.presentation_contexts) {
    if (pc.context_id == 0 || pc.result != kResultAccepted || entry->uid != pc.abstract_syntax) {
      continue;
    }
    if (pc.extended_info.length == 0 && !pc.extended_answer_set) continue;
    ParamBytes copy{nullptr, 0};
    if (!copy_param_bytes(buffer, static_cast<uint32_t>(length), &copy)) {
      return Status(CV_SYSTEM_ERROR);
    }
    CVI_releaseBuffer(pc.extended_info.data);
    pc.extended_info = copy;
    pc.extended_answer_set = true;
    return Status();
  }
  return Status(CV_SERVICE_NOT_CONFIGURED);
}

}  // namespace tessel::net
