// Association objects: creation with an identifier from the association table, lookup,
// registration on the application's list and the single free path.
#include "net/association.hpp"

#include <cstring>

#include "log/log.hpp"
#include "memory/oblist.hpp"
#include "memory/pool.hpp"

namespace tessel::net {
namespace {

NetworkRelease g_network_release;

// Application release hands each association still listed to this teardown; the association
// has already been taken off the list, so it is freed without touching the list again.
void teardown_listed_association(void* object) {
  auto* association = static_cast<Association*>(object);
  association->registered = false;
  association->application = nullptr;
  free_association(association);
}

void unregister(Association& association) {
  if (!association.registered || association.application == nullptr) return;
  core::Application& app = *association.application;
  core::LockHold hold(app.association_lock);
  if (app.associations != nullptr) {
    POSITION node = CObList_Find(app.associations, &association, nullptr);
    if (node != nullptr) CObList_RemoveAt(app.associations, node);
  }
  association.registered = false;
}

void release_bytes(ParamBytes& bytes) {
  CVI_releaseBuffer(bytes.data);
  bytes.data = nullptr;
  bytes.length = 0;
}

}  // namespace

Result<Association*> create_association(core::Application& app, bool acceptor,
                                        AssociationParams* params) {
  // Global reset clears the teardown, so it is installed again with every association.
  core::set_association_teardown(&teardown_listed_association);
  Association* association = memory::pool_new<Association>(memory::PoolId::AssocObj);
  if (association == nullptr) return Status(CV_SYSTEM_ERROR);
  // A block of a few hundred kilobytes: one handed in is taken over rather than a fresh one
  // made and dropped again.
  AssociationParams* own = nullptr;
  if (params == nullptr) {
    own = memory::pool_new<AssociationParams>(memory::PoolId::AssocParmsObj);
    if (own == nullptr) {
      memory::pool_delete(memory::PoolId::AssocObj, association);
      return Status(CV_SYSTEM_ERROR);
    }
    // Pool slots come zeroed.
    init_zeroed_association_params(own);
  }
  association->application = &app;
  association->application_id = app.id;
  association->is_acceptor = acceptor;
  association->id = core::new_session_id(association);
  if (association->id < 0) {
    memory::pool_delete(memory::PoolId::AssocParmsObj, own);
    memory::pool_delete(memory::PoolId::AssocObj, association);
    return Status(CV_SYSTEM_ERROR);
  }
  association->params = params != nullptr ? params : own;
  return association;
}

Association* find_association(int32_t id) {
  return static_cast<Association*>(CVI_sessionPtr(id, 0, 0, nullptr));
}

Status register_association(Association& association) {
  if (association.registered) return Status();
  if (association.application == nullptr) return Status(CV_SYSTEM_ERROR);
  core::Application& app = *association.application;
  core::LockHold hold(app.association_lock);
  if (app.associations == nullptr) app.associations = CObList_Create();
  if (app.associations == nullptr || CObList_AddTail(app.associations, &association) == nullptr) {
    return Status(CV_SYSTEM_ERROR);
  }
  association.registered = true;
  return Status();
}

void free_association(Association* association) {
  if (association == nullptr) return;
  unregister(*association);
  if (association->upper_layer != nullptr || association->read_write_state != nullptr) {
    if (g_network_release != nullptr) {
      g_network_release(*association);
    } else {
      log::write("free_association", log::kError,
                 "Internal error, association %d freed with its connection still open",
                 association->id);
    }
  }
  if (association->id >= 0) core::release_session_id(association->id);
  if (association->params != nullptr) {
    release_param_bytes(*association->params);
    memory::pool_delete(memory::PoolId::AssocParmsObj, association->params);
  }
  memory::pool_delete(memory::PoolId::AssocObj, association);
}

void set_network_release(NetworkRelease release) {
  g_network_release = release;
}

void release_param_bytes(AssociationParams& params) {
  for (PresentationContextParams& pc : params.presentation_contexts) {
    release_bytes(pc.extended_info);
  }
  release_bytes(params.identity_primary);
  release_bytes(params.identity_secondary);
  release_bytes(params.identity_response);
}

bool copy_param_bytes(const void* data, uint32_t length, ParamBytes* out) {
  out->data = nullptr;
  out->length = 0;
  if (length == 0) return true;
  auto* copy = static_cast<uint8_t*>(CVI_newBuffer(length));
  if (copy == nullptr) return false;
  std::memcpy(copy, data, length);
  out->data = copy;
  out->length = length;
  return true;
}

}  // namespace tessel::net
