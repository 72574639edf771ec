// The acceptable-service iterator: the accepted presentation contexts of an association, one
// ServiceInfo record per call. The association is looked up without a claim; the network lock
// is held while its contexts are read, so that it cannot be freed meanwhile.
#include <cstring>

#include "config/services.hpp"
#include "core/api_guard.hpp"
#include "core/named_lock.hpp"
#include "log/log.hpp"
#include "net/association.hpp"
#include "net/negotiation_internal.hpp"

#include "tessel/tessel.h"

namespace tessel::net {
namespace {

// This application's role on a context from the role bytes exchanged (the requestor's roles as
// the acceptor granted them). Without a role item the requestor is the SCU and the acceptor the
// SCP.
int32_t negotiated_role(const Association& association, const AcceptedContext& context) {
  const uint8_t scu = context.scu_role;
  const uint8_t scp = context.scp_role;
  const int32_t plain = association.is_acceptor ? CV_ROLE_SCP : CV_ROLE_SCU;
  if (scu == kNoRole || scp == kNoRole) return plain;
  if (scu == 1 && scp == 1) return CV_ROLE_SCU_SCP;
  // Only the SCP role granted to the requestor turns the roles around.
  if (scp == 1) return association.is_acceptor ? CV_ROLE_SCU : CV_ROLE_SCP;
  return plain;
}

const PresentationContextParams* params_context(const Association& association, uint8_t id) {
  const AssociationParams& params = *association.params;
  for (uint16_t i = 0; i < params.presentation_context_count && i < kMaxPresentationContexts; ++i) {
    if (params.presentation_contexts[i].context_id == id) return &params.presentation_contexts[i];
  }
  return nullptr;
}

void add_related(ServiceInfo& info, const char* uid) {
  RelatedServiceInfo& entry = info.RelatedSOPClasses[info.NumberOfRelatedSOPClasses++];
  const services::ServiceEntry* service = CVI_GetSOPEntryByUID(uid);
  copy_text(entry.ServiceName, service != nullptr ? service->name.c_str() : "");
  copy_text(entry.SOPClassUID, uid);
}

// The common extended negotiation of the context: the acceptor keeps what the request carried
// in its parameter block; the requestor what it proposed (the answer carries none).
void fill_extended(const char* function, const Association& association, uint8_t id,
                   ServiceInfo& info) {
  const char* service_class = nullptr;
  size_t count = 0;
  bool cut = false;
  const char(*related)[kMaxUidLength + 1] = nullptr;
  if (association.is_acceptor) {
    const PresentationContextParams* pc = params_context(association, id);
    if (pc == nullptr) return;
    service_class = pc->service_class_uid;
    count = pc->related_general_count;
    related = pc->related_general_classes;
  } else {
    for (const ProposedContext& proposed : association.proposed) {
      if (proposed.context_id != id) continue;
      service_class = proposed.service_class_uid;
      count = proposed.related_count;
      cut = proposed.related_cut;
      related = proposed.related_classes;
      break;
    }
    if (service_class == nullptr) return;
  }
  copy_text(info.ServiceClassUID, service_class);
  if (count > kMaxRelatedGeneralClasses) {
    count = kMaxRelatedGeneralClasses;
    cut = true;
  }
  static_assert(kMaxRelatedGeneralClasses <= CV_SERVICE_INFO_MAX_RELATED);
  if (cut) {
    log::write(function, log::kWarning,
               "ServiceInfo structure not large enough to hold all related sop classes.");
  }
  for (size_t k = 0; k < count; ++k) add_related(info, related[k]);
}

Status next_service(const char* function, int32_t assoc_id, bool restart, ServiceInfo* info) {
  if (info == nullptr) return Status(CV_NULL_POINTER_PARM);
  std::memset(info, 0, sizeof *info);
  core::LockHold hold(S.sesObjSemaphore);
  Association* association = find_association(assoc_id);
  if (association == nullptr) return Status(CV_INVALID_ASSOCIATION_ID);
  if (association->params == nullptr || association->accepted.empty()) {
    return Status(CV_CALL_INVALID_NOW);
  }
  if (restart) association->service_cursor = 0;
  while (association->service_cursor < association->accepted.size()) {
    const AcceptedContext& context = association->accepted[association->service_cursor++];
    if (context.service == nullptr) continue;
    if (context.transfer_syntax == 0) {
      const PresentationContextParams* pc = params_context(*association, context.context_id);
      log::write(function, log::kError, "INVALID TRANSFER SYNTAX FOUND: %s",
                 pc != nullptr ? pc->accepted_transfer_syntax : "");
      return Status(CV_SYSTEM_ERROR);
    }
    copy_text(info->ServiceName, context.service->name.c_str());
    copy_text(info->SOPClassUID, context.abstract_syntax);
    info->SyntaxType = context.transfer_syntax;
    info->Role = negotiated_role(*association, context);
    info->PresentationContextID = context.context_id;
    fill_extended(function, *association, context.context_id, *info);
    return Status();
  }
  return Status(CV_END_OF_LIST);
}

}  // namespace
}  // namespace tessel::net

extern "C" CV_API int32_t CV_Get_First_Acceptable_Service(int32_t assoc_id, ServiceInfo* info) {
  constexpr const char* kFunction = "CV_Get_First_Acceptable_Service";
  return tessel::api::call(kFunction, [&]() -> tessel::Status {
    return tessel::net::next_service(kFunction, assoc_id, true, info);
  });
}

extern "C" CV_API int32_t CV_Get_Next_Acceptable_Service(int32_t assoc_id, ServiceInfo* info) {
  constexpr const char* kFunction = "CV_Get_Next_Acceptable_Service";
  return tessel::api::call(kFunction, [&]() -> tessel::Status {
    return tessel::net::next_service(kFunction, assoc_id, false, info);
  });
}
