// Requestor side of negotiation: argument checks, remote parameters, the request's parameter
// block and the judging of the A-ASSOCIATE-AC.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "codec/transfer_syntax.hpp"
#include "config/config_record.hpp"
#include "log/log.hpp"
#include "net/negotiation.hpp"
#include "net/negotiation_internal.hpp"

namespace tessel::net {
namespace {

using services::ServiceList;
using services::ServiceListEntry;

bool starts_with(const char* text, const std::string& prefix) {
  return std::strncmp(text, prefix.c_str(), prefix.size()) == 0;
}

bool supplied(const char* field, int32_t length) {
  return field != nullptr && length > 0;
}

// Fills one presentation context for a list service; false (with nothing filled) when the
// service has no transfer syntax with a UID.
Status fill_context(const char* function, const ServiceListEntry& entry, core::Application& app,
                    PresentationContextParams& pc, ProposedContext& proposed, bool* made) {
  *made = false;
  uint8_t count = 0;
  int32_t codes[kMaxTransferSyntaxes];
  if (entry.syntax_list != nullptr) {
    for (int32_t code : entry.syntax_list->syntaxes) {
      const char* uid = CVI_GetPtrForSyntax(code);
      if (uid == nullptr || uid[0] == '\0') continue;
      if (count == kMaxTransferSyntaxes) {
        log::write(function, log::kError, "Max number of transfer syntaxes for a service exceeded");
        return Status(CV_CONFIG_INFO_MISSING);
      }
      codes[count++] = code;
    }
  }
  if (count == 0) {
    log::write(function, log::kWarning, "No valid transfer syntaxes for service: %s",
               entry.service->name.c_str());
    return Status();
  }
  copy_text(pc.abstract_syntax, entry.service->uid.c_str());
  copy_text(proposed.abstract_syntax, entry.service->uid.c_str());
  pc.transfer_syntax_count = count;
  proposed.syntax_count = count;
  for (uint8_t i = 0; i < count; ++i) {
    copy_text(pc.transfer_syntaxes[i].uid, CVI_GetPtrForSyntax(codes[i]));
    pc.transfer_syntaxes[i].syntax = codes[i];
    proposed.syntaxes[i] = codes[i];
  }
  pc.result = 0;
  pc.scu_role = entry.scu_role;
  pc.scp_role = entry.scp_role;
  proposed.scu_role = entry.scu_role;
  proposed.scp_role = entry.scp_role;

  if (entry.extended_negotiation) {
    const std::vector<uint8_t>& data = *entry.extended_negotiation;
    if (!copy_param_bytes(data.data(), static_cast<uint32_t>(data.size()), &pc.extended_info)) {
      return Status(CV_CONFIG_INFO_MISSING);
    }
  } else {
    core::LockHold hold(app.extended_lock);
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    if (find_registered_negotiation(app, pc.abstract_syntax, &data, &length) &&
        !copy_param_bytes(data, length, &pc.extended_info)) {
      return Status(CV_CONFIG_INFO_MISSING);
    }
  }

  copy_text(pc.service_class_uid, entry.service_class_uid.c_str());
  if (!entry.related_general.empty()) {
    const ServiceList* related = CVI_GetServiceNumbers(entry.related_general.c_str());
    if (related == nullptr) {
      log::write(function, log::kWarning,
                 "Unknown related general service list encoded, ignoring: %s",
                 entry.related_general.c_str());
    } else {
      for (const ServiceListEntry& other : related->services) {
        if (pc.related_general_count == kMaxRelatedGeneralClasses) {
          proposed.related_cut = true;
          break;
        }
        copy_text(pc.related_general_classes[pc.related_general_count++],
                  other.service->uid.c_str());
      }
    }
  }
  copy_text(proposed.service_class_uid, pc.service_class_uid);
  proposed.related_count = pc.related_general_count;
  for (uint8_t k = 0; k < pc.related_general_count; ++k) {
    copy_text(proposed.related_classes[k], pc.related_general_classes[k]);
  }
  *made = true;
  return Status();
}

// The proposed context's slot in the answered block: the same slot when its ID matches, else
// the slot with that ID.
PresentationContextParams* answered_slot(AssociationParams& params, size_t index, uint8_t id) {
  if (index < kMaxPresentationContexts && params.presentation_contexts[index].context_id == id) {
    return &params.presentation_contexts[index];
  }
  for (PresentationContextParams& pc : params.presentation_contexts) {
    if (pc.context_id == id) return &pc;
  }
  return nullptr;
}

const char* rejection_reason_line(uint8_t result) {
  switch (result) {
    case 1:
      return "|  UL User rejection";
    case 2:
      return "|  No reason given";
    case 3:
      return "|  Abstract Syntax Rejected";
    case 4:
      return "|  Transfer Syntax Rejected";
    case kResultNoAnswer:
      return "|  Empty Value";
    default:
      return "|  Unknown reason code";
  }
}

void log_rejected_context(const char* function, const ProposedContext& proposed, uint8_t result) {
  log::write(function, log::kWarning, "Presentation context %u rejected, reason 0x%2.2x",
             static_cast<unsigned>(proposed.context_id), static_cast<unsigned>(result));
  if (const services::ServiceEntry* service = CVI_GetSOPEntryByUID(proposed.abstract_syntax)) {
    log::write(function, log::kWarning, "|  Abstract syntax: %s (%s)", proposed.abstract_syntax,
               service->name.c_str());
  } else {
    log::write(function, log::kWarning, "|  Abstract syntax: %s", proposed.abstract_syntax);
  }
  log::write(function, log::kWarning, "%s", rejection_reason_line(result));
}

Verdict refuse(std::string text) {
  return Verdict{false, std::move(text)};
}

}  // namespace

Result<core::Application*> check_open_arguments(const OpenArguments& args) {
  if (args.association_id != nullptr) *args.association_id = -1;
  if (args.association_id == nullptr || args.remote_title == nullptr) {
    return Status(CV_NULL_POINTER_PARM);
  }
  core::Application* app = CVI_applicationPtr(args.application_id);
  if (app == nullptr) return Status(CV_INVALID_APPLICATION_ID);
  if (args.port != nullptr && (*args.port < 0 || *args.port > 65535)) {
    return Status(CV_INVALID_PORT_NUMBER);
  }
  if (args.service_list != nullptr && args.service_list[0] == '\0') {
    return Status(CV_INVALID_SERVICE_LIST_NAME);
  }
  if (args.host != nullptr) {
    const size_t length = std::strlen(args.host);
    if (length < 1 || length > kMaxHostNameLength) return Status(CV_INVALID_HOST_NAME);
  }
  const size_t title_length = std::strlen(args.remote_title);
  if (title_length < 1 || title_length > kMaxTitleLength) {
    return Status(CV_INVALID_APPLICATION_TITLE);
  }
  return app;
}

Status complete_remote_parameters(const char* function, const OpenArguments& args,
                                  RemoteParameters* out) {
  out->title = args.remote_title;
  if (args.host != nullptr) out->host = args.host;
  if (args.port != nullptr) out->port = *args.port;
  if (args.service_list != nullptr) out->service_list = args.service_list;
  if (args.host != nullptr && args.port != nullptr && args.service_list != nullptr) {
    return Status();
  }
  services::RemoteApplication remote;
  if (!services::find_remote_application(args.remote_title, remote)) {
    log::write(function, log::kError, "Application title \"%s\" is not configured",
               args.remote_title);
    return Status(CV_CONFIG_INFO_MISSING);
  }
  if (args.port == nullptr) {
    if (!remote.port_number) {
      log::write(function, log::kWarning, "|  Unable to retrieve PORT_NUMBER for %s, using 104",
                 args.remote_title);
      out->port = kDefaultRemotePort;
    } else if (*remote.port_number < 0 || *remote.port_number > 65535) {
      log::write(function, log::kError, "Invalid port number: %d for application entity \"%s\" ",
                 *remote.port_number, args.remote_title);
      return Status(CV_CONFIG_INFO_MISSING);
    } else {
      out->port = *remote.port_number;
    }
  }
  if (args.host == nullptr) {
    if (!remote.host_name || remote.host_name->empty()) {
      log::write(function, log::kError, "|  Unable to retrieve HOST_NAME for %s",
                 args.remote_title);
      return Status(CV_CONFIG_INFO_MISSING);
    }
    out->host = *remote.host_name;
  }
  if (args.service_list == nullptr) {
    if (!remote.service_list || remote.service_list->empty()) {
      log::write(function, log::kError, "|  Unable to retrieve SERVICE_LIST for %s",
                 args.remote_title);
      return Status(CV_CONFIG_INFO_MISSING);
    }
    out->service_list = *remote.service_list;
  }
  return Status();
}

Result<const ServiceList*> load_request_service_list(const char* function, const char* name) {
  const ServiceList* list = CVI_GetServiceNumbers(name);
  if (list == nullptr) {
    log::write(function, log::kError, "Service List \"%s\" is not configured",
               name != nullptr ? name : "");
    return Status(CV_CONFIG_INFO_MISSING);
  }
  if (list->services.size() > kMaxOfferedServices) {
    log::write(function, log::kError, "Too many Services offered (Max supported in DICOM is %d)",
               static_cast<int>(kMaxOfferedServices));
    return Status(CV_INVALID_CONFIG_PARM);
  }
  return list;
}

Status check_user_identity(const char* function, const UserIdentity& identity) {
  const bool primary = supplied(identity.primary, identity.primary_length);
  const bool secondary = supplied(identity.secondary, identity.secondary_length);
  const char* violation = nullptr;
  switch (identity.type) {
    case 0:
      return Status();
    case 1:
      if (!primary || secondary) {
        violation = "Primary field should only be supplied when USERNAME User Identity specified.";
      }
      break;
    case 2:
      if (!primary || !secondary) {
        violation =
            "Primary and Secondary fields must be supplied when Username and Passcode User "
            "Identity specified.";
      }
      break;
    case 3:
      if (!primary || secondary) {
        violation =
            "Primary field should only be supplied when Kerberos Service Ticket User Identity "
            "specified.";
      }
      break;
    case 4:
      if (!primary || secondary) {
        violation =
            "Primary field should only be supplied when SAML Assertion User Identity specified.";
      }
      break;
    default:
      return Status(CV_INVALID_ENUM_PARM);
  }
  if (violation != nullptr) {
    log::write(function, log::kError, "%s", violation);
    return Status(CV_CONFIG_INFO_MISSING);
  }
  // Both fields travel with 16-bit lengths.
  if (identity.primary_length > 65535 || identity.secondary_length > 65535) {
    return Status(CV_INVALID_CONFIG_PARM);
  }
  return Status();
}

Status build_request(const char* function, const RequestSetup& setup, Association& association) {
  AssociationParams& params = *association.params;
  const RemoteParameters& remote = *setup.remote;
  const ServiceList& list = *setup.list;
  core::Application& app = *association.application;

  copy_text(params.calling_ae_title, app.title);
  copy_text(params.called_ae_title, remote.title.c_str());
  copy_text(params.calling_presentation_address, setup.local_node);
  std::snprintf(params.called_presentation_address, sizeof params.called_presentation_address,
                "%s:%d", remote.host.c_str(), static_cast<int>(remote.port));
  copy_text(params.implementation_class_uid, Cfg->str(IMPLEMENTATION_CLASS_UID).c_str());
  copy_text(params.implementation_version_name, Cfg->str(IMPLEMENTATION_VERSION).c_str());
  params.max_operations_invoked = list.max_operations_invoked;
  params.max_operations_performed = list.max_operations_performed;
  // What was proposed, until the answer replaces it.
  association.max_operations_invoked = list.max_operations_invoked;
  association.max_operations_performed = list.max_operations_performed;

  copy_text(association.remote_title, remote.title.c_str());
  copy_text(association.remote_host, remote.host.c_str());
  association.remote_port = remote.port;
  copy_text(association.service_list_name, list.name.c_str());

  try {
    association.service_numbers.clear();
    association.verification_listed = list.has_verification;
    association.proposed.clear();
    association.service_numbers.reserve(list.services.size());
    association.proposed.reserve(list.services.size());
    for (const ServiceListEntry& entry : list.services) {
      association.service_numbers.push_back(entry.service->number);
    }
  } catch (const std::bad_alloc&) {
    return Status(CV_CONFIG_INFO_MISSING);
  }

  if (setup.identity != nullptr && setup.identity->type != 0) {
    const UserIdentity& identity = *setup.identity;
    params.identity_type = static_cast<uint8_t>(identity.type);
    params.identity_response_requested = identity.response_requested ? 1 : 0;
    if (supplied(identity.primary, identity.primary_length) &&
        !copy_param_bytes(identity.primary, static_cast<uint32_t>(identity.primary_length),
                          &params.identity_primary)) {
      return Status(CV_CONFIG_INFO_MISSING);
    }
    if (supplied(identity.secondary, identity.secondary_length) &&
        !copy_param_bytes(identity.secondary, static_cast<uint32_t>(identity.secondary_length),
                          &params.identity_secondary)) {
      return Status(CV_CONFIG_INFO_MISSING);
    }
  }

  uint16_t slot = 0;
  for (const ServiceListEntry& entry : list.services) {
    if (slot == kMaxPresentationContexts) break;
    PresentationContextParams& pc = params.presentation_contexts[slot];
    ProposedContext proposed{};
    bool made = false;
    TS_RETURN_IF_ERROR(fill_context(function, entry, app, pc, proposed, &made));
    if (!made) continue;
    pc.context_id = static_cast<uint8_t>(2 * slot + 1);
    proposed.context_id = pc.context_id;
    association.proposed.push_back(proposed);  // capacity reserved above
    ++slot;
  }
  params.presentation_context_count = slot;
  return Status();
}

Verdict judge_associate_ac(const char* function, Association& association) {
  AssociationParams& params = *association.params;
  if (!Cfg->b(ACCEPT_ANY_PROTOCOL_VERSION) && params.protocol_version != 1) {
    return refuse(format_text("Unacceptable Protocol Version: %d",
                              static_cast<int>(params.protocol_version)));
  }
  if (!Cfg->b(ACCEPT_ANY_APPLICATION_TITLE) &&
      !starts_with(params.called_ae_title, association.remote_title)) {
    return refuse("Unacceptable Called_application_title");
  }
  if (!Cfg->b(ACCEPT_ANY_CONTEXT_NAME) &&
      !starts_with(params.application_context_name, Cfg->str(LOCAL_APPL_CONTEXT_NAME))) {
    return refuse("Unacceptable Application_context_name");
  }
  copy_text(params.remote_implementation_class_uid, params.implementation_class_uid);
  copy_text(params.remote_implementation_version_name, params.implementation_version_name);
  association.remote_max_pdu_length = params.max_pdu_length;
  if (!Cfg->b(ACCEPT_DIFFERENT_IC_UID) &&
      !starts_with(params.remote_implementation_class_uid, Cfg->str(IMPLEMENTATION_CLASS_UID))) {
    return refuse("Unacceptable Implem_class_uid");
  }
  if (!Cfg->b(ACCEPT_DIFFERENT_VERSION) && params.remote_implementation_version_name[0] != '\0' &&
      !starts_with(params.remote_implementation_version_name, Cfg->str(IMPLEMENTATION_VERSION))) {
    return refuse("Unacceptable Version_name");
  }

  bool answered = false;
  for (size_t i = 0; i < association.proposed.size(); ++i) {
    const PresentationContextParams* pc =
        answered_slot(params, i, association.proposed[i].context_id);
    if (pc != nullptr && pc->result != kResultNoAnswer) answered = true;
  }
  if (!answered) {
    log::write(function, log::kWarning, "|  No Contexts acceptable");
    return refuse("No Contexts acceptable");
  }

  size_t accepted_count = 0;
  for (size_t i = 0; i < association.proposed.size(); ++i) {
    const ProposedContext& proposed = association.proposed[i];
    const PresentationContextParams* pc = answered_slot(params, i, proposed.context_id);
    const uint8_t result = pc != nullptr ? pc->result : kResultNoAnswer;
    if (result != kResultAccepted) {
      log_rejected_context(function, proposed, result);
      continue;
    }
    if (CVI_GetSOPEntryByUID(proposed.abstract_syntax) == nullptr) {
      log::write(function, log::kWarning, "Unexpected Abstract Syntax received:");
      log::write(function, log::kWarning, "|  %s (Context %d)", proposed.abstract_syntax,
                 static_cast<int>(proposed.context_id));
      return refuse("Unexpected Abstract Syntax received:");
    }
    const bool answer_zero = pc->scu_role == 0 && pc->scp_role == 0;
    if (proposed.scu_role == 1 && proposed.scp_role == 0 && answer_zero) {
      return refuse("SCU role not supported by acceptor");
    }
    if (proposed.scu_role == 0 && proposed.scp_role == 1 && answer_zero) {
      return refuse("SCP role not supported by acceptor");
    }
    ++accepted_count;
  }
  if (accepted_count == 0) return refuse("No Contexts acceptable");

  try {
    association.accepted.clear();
    association.accepted.reserve(accepted_count);
  } catch (const std::bad_alloc&) {
    return refuse("Error setting up contexts");
  }
  for (size_t i = 0; i < association.proposed.size(); ++i) {
    const ProposedContext& proposed = association.proposed[i];
    const PresentationContextParams* pc = answered_slot(params, i, proposed.context_id);
    if (pc == nullptr || pc->result != kResultAccepted) continue;
    int32_t syntax = 0;
    for (uint8_t k = 0; k < proposed.syntax_count; ++k) {
      if (std::strcmp(CVI_GetPtrForSyntax(proposed.syntaxes[k]), pc->accepted_transfer_syntax) ==
          0) {
        syntax = proposed.syntaxes[k];
        break;
      }
    }
    if (syntax == 0) {
      association.accepted.clear();
      return refuse("A Transfer Syntax was returned that was NOT proposed");
    }
    AcceptedContext accepted{};
    accepted.context_id = proposed.context_id;
    accepted.service = CVI_GetSOPEntryByUID(proposed.abstract_syntax);
    copy_text(accepted.abstract_syntax, proposed.abstract_syntax);
    accepted.transfer_syntax = syntax;
    accepted.scu_role = pc->scu_role;
    accepted.scp_role = pc->scp_role;
    association.accepted.push_back(accepted);
  }
  // A window proposed but left out of the answer is the default of one operation at a time in
  // each direction; with none proposed there is nothing to keep to.
  const bool proposed = association.max_operations_invoked != kWindowNotSent ||
                        association.max_operations_performed != kWindowNotSent;
  const bool window_answered = params.max_operations_invoked != kWindowNotSent ||
                               params.max_operations_performed != kWindowNotSent;
  association.max_operations_invoked =
      proposed && !window_answered ? 1 : params.max_operations_invoked;
  association.max_operations_performed =
      proposed && !window_answered ? 1 : params.max_operations_performed;
  return Verdict{true, std::string()};
}

}  // namespace tessel::net
