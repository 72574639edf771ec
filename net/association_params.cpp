#include "net/association_params.hpp"

#include <cstring>

#include "config/config_record.hpp"

namespace tessel::net {

void reset_association_params(AssociationParams* params) noexcept {
  std::memset(static_cast<void*>(params), 0, sizeof *params);
  init_zeroed_association_params(params);
}

void init_zeroed_association_params(AssociationParams* params) noexcept {
  params->protocol_version = 1;
  params->max_operations_invoked = kWindowNotSent;
  params->max_operations_performed = kWindowNotSent;
  for (PresentationContextParams& pc : params->presentation_contexts) {
    pc.scu_role = kNoRole;
    pc.scp_role = kNoRole;
  }
  if (Cfg == nullptr) return;
  const std::string& name = Cfg->str(LOCAL_APPL_CONTEXT_NAME);
  std::memcpy(params->application_context_name, name.data(),
              name.size() < kMaxUidLength ? name.size() : kMaxUidLength);
  params->max_pdu_length = Cfg->l(PDU_MAXIMUM_LENGTH);
}

}  // namespace tessel::net
