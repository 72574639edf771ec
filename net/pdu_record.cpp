// Clearing and comparing the decoded A-ASSOCIATE record by the slots in use.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "net/pdu.hpp"

namespace tessel::net {
namespace {

template <typename T>
bool same_slots(const T* a, const T* b, size_t count, size_t capacity) {
  const size_t used = std::min(count, capacity);
  return std::equal(a, a + used, b);
}

template <typename T>
void zero_bytes(T* object, size_t from, size_t to) {
  std::memset(reinterpret_cast<unsigned char*>(object) + from, 0, to - from);
}

}  // namespace

bool UserInformation::operator==(const UserInformation& other) const {
  return max_length == other.max_length &&
         std::ranges::equal(implementation_class_uid, other.implementation_class_uid) &&
         std::ranges::equal(implementation_version_name, other.implementation_version_name) &&
         max_operations_invoked == other.max_operations_invoked &&
         max_operations_performed == other.max_operations_performed &&
         role_count == other.role_count &&
         same_slots(roles, other.roles, role_count, kMaxNegotiationItems) &&
         extended_count == other.extended_count &&
         same_slots(extended, other.extended, extended_count, kMaxNegotiationItems) &&
         common_extended_count == other.common_extended_count &&
         same_slots(common_extended, other.common_extended, common_extended_count,
                    kMaxNegotiationItems) &&
         identity_type == other.identity_type &&
         identity_response_requested == other.identity_response_requested &&
         identity_primary == other.identity_primary &&
         identity_secondary == other.identity_secondary &&
         identity_response_present == other.identity_response_present &&
         identity_response == other.identity_response;
}

bool AssociatePdu::operator==(const AssociatePdu& other) const {
  return type == other.type && reserved == other.reserved && pdu_length == other.pdu_length &&
         protocol_version == other.protocol_version && reserved_version == other.reserved_version &&
         std::ranges::equal(called_ae_title, other.called_ae_title) &&
         std::ranges::equal(calling_ae_title, other.calling_ae_title) &&
         std::ranges::equal(reserved_block, other.reserved_block) &&
         context_item_type == other.context_item_type &&
         context_item_reserved == other.context_item_reserved &&
         context_item_length == other.context_item_length &&
         std::ranges::equal(application_context_name, other.application_context_name) &&
         presentation_context_count == other.presentation_context_count &&
         same_slots(presentation_contexts, other.presentation_contexts, presentation_context_count,
                    kMaxPresentationContexts) &&
         user_info == other.user_info;
}

void clear_associate(AssociatePdu* pdu) {
  zero_bytes(pdu, 0, offsetof(AssociatePdu, presentation_contexts));
  UserInformation& info = pdu->user_info;
  zero_bytes(&info, 0, offsetof(UserInformation, roles));
  info.extended_count = 0;
  info.common_extended_count = 0;
  zero_bytes(&info, offsetof(UserInformation, identity_type), sizeof info);
}

}  // namespace tessel::net
