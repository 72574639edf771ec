// Exported association calls: opening, waiting, answering, closing and aborting.
#include "config/services.hpp"
#include "core/api_guard.hpp"
#include "core/application.hpp"
#include "log/log.hpp"
#include "net/association_api_internal.hpp"
#include "net/negotiation.hpp"

#include "tessel/tessel.h"

namespace tessel::net {
namespace {

constexpr int32_t kHighestPort = 65535;

// The checks shared by every wait, after the initialised check and the out-pointer checks:
// an application registered, a given application known, the service list configured.
Status check_wait_arguments(const char* function, const char* service_list,
                            const int32_t* application_id) {
  if (!any_application_registered()) return Status(CV_NO_APPLICATIONS_REGISTERED);
  if (application_id != nullptr && CVI_applicationPtr(*application_id) == nullptr) {
    return Status(CV_INVALID_APPLICATION_ID);
  }
  if (service_list[0] == '\0') return Status(CV_INVALID_SERVICE_LIST_NAME);
  if (CVI_GetServiceNumbers(service_list) == nullptr) {
    log::write(function, log::kError, "Service List \"%s\" is not configured", service_list);
    return Status(CV_INVALID_SERVICE_LIST_NAME);
  }
  return Status();
}

// A wait on the default port for any application.
WaitRequest plain_wait(const char* service_list, int32_t timeout, const SecureTransportHooks* hooks,
                       void* app_context) {
  return WaitRequest{service_list,        timeout, -1,         -1, nullptr, false,
                     platform::kNoSocket, hooks,   app_context};
}

// Any application, the default port.
Status wait_any(const char* function, const char* service_list, int32_t timeout, int32_t* app_id,
                int32_t* assoc_id, const SecureTransportHooks* hooks, void* app_context,
                bool hooks_required) {
  if (app_id != nullptr) *app_id = -1;
  if (assoc_id != nullptr) *assoc_id = -1;
  if (service_list == nullptr || app_id == nullptr || assoc_id == nullptr ||
      (hooks_required && hooks == nullptr)) {
    return Status(CV_NULL_POINTER_PARM);
  }
  TS_RETURN_IF_ERROR(check_wait_arguments(function, service_list, nullptr));
  WaitRequest request = plain_wait(service_list, timeout, hooks, app_context);
  return wait_for_association(function, request, app_id, assoc_id);
}

// One application, a given port (and address). Without an address a port below 1 means the
// configured listen port; with one it is refused.
Status wait_on(const char* function, const char* service_list, int32_t timeout, int32_t app_id,
               int32_t port, const char* address, bool address_form, int32_t* assoc_id,
               const SecureTransportHooks* hooks, void* app_context, bool hooks_required) {
  if (assoc_id != nullptr) *assoc_id = -1;
  if (service_list == nullptr || assoc_id == nullptr || (hooks_required && hooks == nullptr)) {
    return Status(CV_NULL_POINTER_PARM);
  }
  TS_RETURN_IF_ERROR(check_wait_arguments(function, service_list, &app_id));
  const bool default_port = address_form && address == nullptr && port < 1;
  if (!default_port && (port < 1 || port > kHighestPort)) return Status(CV_INVALID_PORT_NUMBER);
  WaitRequest request = plain_wait(service_list, timeout, hooks, app_context);
  request.application_id = app_id;
  request.port = default_port ? -1 : port;
  request.address = address;
  int32_t ignored_app = -1;
  return wait_for_association(function, request, &ignored_app, assoc_id);
}

Status process_request(const char* function, CV_SOCKET socket, const char* service_list,
                       int32_t* app_id, int32_t* assoc_id, const SecureTransportHooks* hooks,
                       void* app_context, bool hooks_required) {
  if (app_id != nullptr) *app_id = -1;
  if (assoc_id != nullptr) *assoc_id = -1;
  // The socket is the library's whatever the outcome: refused arguments close it as well.
  const auto refused = [socket](Status status) {
    (void)platform::close_socket(static_cast<platform::SocketHandle>(socket));
    return status;
  };
  if (service_list == nullptr || app_id == nullptr || assoc_id == nullptr ||
      (hooks_required && hooks == nullptr)) {
    return refused(Status(CV_NULL_POINTER_PARM));
  }
  if (Status checked = check_wait_arguments(function, service_list, nullptr); !checked.ok()) {
    return refused(checked);
  }
  WaitRequest request = plain_wait(service_list, 0, hooks, app_context);
  request.use_socket = true;
  request.socket = socket;
  return wait_for_association(function, request, app_id, assoc_id);
}

Status open(const char* function, const OpenArguments& args, const SecureTransportHooks* hooks,
            void* app_context, bool hooks_required, const UserIdentity* identity) {
  if (args.association_id != nullptr) *args.association_id = -1;
  if (hooks_required && hooks == nullptr) return Status(CV_NULL_POINTER_PARM);
  return open_association(function, args, hooks, app_context, identity);
}

}  // namespace
}  // namespace tessel::net

namespace net = tessel::net;
using tessel::Status;

// ---- Requestor ----

extern "C" CV_API int32_t CV_Open_Association(int32_t app_id, int32_t* assoc_id,
                                              const char* remote_title, const int32_t* remote_port,
                                              const char* remote_host, const char* service_list) {
  constexpr const char* kFunction = "CV_Open_Association";
  return tessel::api::call(kFunction, [&]() -> Status {
    const net::OpenArguments args{assoc_id,    app_id,      remote_title,
                                  remote_port, remote_host, service_list};
    return net::open(kFunction, args, nullptr, nullptr, false, nullptr);
  });
}

extern "C" CV_API int32_t CV_Open_Secure_Association(
    int32_t app_id, int32_t* assoc_id, const char* remote_title, const int32_t* remote_port,
    const char* remote_host, const char* service_list, const SecureTransportHooks* hooks,
    void* app_context) {
  constexpr const char* kFunction = "CV_Open_Secure_Association";
  return tessel::api::call(kFunction, [&]() -> Status {
    const net::OpenArguments args{assoc_id,    app_id,      remote_title,
                                  remote_port, remote_host, service_list};
    return net::open(kFunction, args, hooks, app_context, true, nullptr);
  });
}

extern "C" CV_API int32_t CV_Open_Association_With_Identity(
    int32_t app_id, int32_t* assoc_id, const char* remote_title, const int32_t* remote_port,
    const char* remote_host, const char* service_list, const SecureTransportHooks* hooks,
    void* app_context, int32_t identity_type, int32_t response_requested, const char* primary,
    int32_t primary_length, const char* secondary, int32_t secondary_length) {
  constexpr const char* kFunction = "CV_Open_Association_With_Identity";
  return tessel::api::call(kFunction, [&]() -> Status {
    const net::OpenArguments args{assoc_id,    app_id,      remote_title,
                                  remote_port, remote_host, service_list};
    const net::UserIdentity identity{identity_type, response_requested != 0,
                                     primary,       primary_length,
                                     secondary,     secondary_length};
    return net::open(kFunction, args, hooks, app_context, false, &identity);
  });
}

// ---- Acceptor ----

extern "C" CV_API int32_t CV_Wait_For_Association(const char* service_list, int32_t timeout,
                                                  int32_t* app_id, int32_t* assoc_id) {
  constexpr const char* kFunction = "CV_Wait_For_Association";
  return tessel::api::call(kFunction, [&]() -> Status {
    return net::wait_any(kFunction, service_list, timeout, app_id, assoc_id, nullptr, nullptr,
                         false);
  });
}

extern "C" CV_API int32_t CV_Wait_For_Association_On_Port(const char* service_list, int32_t timeout,
                                                          int32_t app_id, int32_t port,
                                                          int32_t* assoc_id) {
  constexpr const char* kFunction = "CV_Wait_For_Association_On_Port";
  return tessel::api::call(kFunction, [&]() -> Status {
    return net::wait_on(kFunction, service_list, timeout, app_id, port, nullptr, false, assoc_id,
                        nullptr, nullptr, false);
  });
}

extern "C" CV_API int32_t CV_Wait_For_Association_On_Address(const char* service_list,
                                                             int32_t timeout, int32_t app_id,
                                                             int32_t port, const char* address,
                                                             int32_t* assoc_id) {
  constexpr const char* kFunction = "CV_Wait_For_Association_On_Address";
  return tessel::api::call(kFunction, [&]() -> Status {
    return net::wait_on(kFunction, service_list, timeout, app_id, port, address, true, assoc_id,
                        nullptr, nullptr, false);
  });
}

extern "C" CV_API int32_t CV_Wait_For_Secure_Association(const char* service_list, int32_t timeout,
                                                         int32_t* app_id, int32_t* assoc_id,
                                                         const SecureTransportHooks* hooks,
                                                         void* app_context) {
  constexpr const char* kFunction = "CV_Wait_For_Secure_Association";
  return tessel::api::call(kFunction, [&]() -> Status {
    return net::wait_any(kFunction, service_list, timeout, app_id, assoc_id, hooks, app_context,
                         true);
  });
}

extern "C" CV_API int32_t CV_Wait_For_Secure_Association_On_Port(const char* service_list,
                                                                 int32_t timeout, int32_t app_id,
                                                                 int32_t port, int32_t* assoc_id,
                                                                 const SecureTransportHooks* hooks,
                                                                 void* app_context) {
  constexpr const char* kFunction = "CV_Wait_For_Secure_Association_On_Port";
  return tessel::api::call(kFunction, [&]() -> Status {
    return net::wait_on(kFunction, service_list, timeout, app_id, port, nullptr, false, assoc_id,
                        hooks, app_context, true);
  });
}

extern "C" CV_API int32_t CV_Wait_For_Secure_Association_On_Address(
    const char* service_list, int32_t timeout, int32_t app_id, int32_t port, const char* address,
    int32_t* assoc_id, const SecureTransportHooks* hooks, void* app_context) {
  constexpr const char* kFunction = "CV_Wait_For_Secure_Association_On_Address";
  return tessel::api::call(kFunction, [&]() -> Status {
    return net::wait_on(kFunction, service_list, timeout, app_id, port, address, true, assoc_id,
                        hooks, app_context, true);
  });
}

extern "C" CV_API int32_t CV_Process_Association_Request(CV_SOCKET socket, const char* service_list,
                                                         int32_t* app_id, int32_t* assoc_id) {
  constexpr const char* kFunction = "CV_Process_Association_Request";
  return tessel::api::call(kFunction, [&]() -> Status {
    return net::process_request(kFunction, socket, service_list, app_id, assoc_id, nullptr, nullptr,
                                false);
  });
}

extern "C" CV_API int32_t CV_Process_Secure_Association_Request(CV_SOCKET socket,
                                                                const char* service_list,
                                                                int32_t* app_id, int32_t* assoc_id,
                                                                const SecureTransportHooks* hooks,
                                                                void* app_context) {
  constexpr const char* kFunction = "CV_Process_Secure_Association_Request";
  return tessel::api::call(kFunction, [&]() -> Status {
    return net::process_request(kFunction, socket, service_list, app_id, assoc_id, hooks,
                                app_context, true);
  });
}

extern "C" CV_API int32_t CV_Accept_Association(int32_t assoc_id) {
  constexpr const char* kFunction = "CV_Accept_Association";
  return tessel::api::call(kFunction, [&]() -> Status {
    return net::accept_association(kFunction, assoc_id, false, nullptr, 0);
  });
}

extern "C" CV_API int32_t CV_Accept_Association_With_Identity(int32_t assoc_id,
                                                              const void* response,
                                                              int32_t length) {
  constexpr const char* kFunction = "CV_Accept_Association_With_Identity";
  return tessel::api::call(kFunction, [&]() -> Status {
    if (response == nullptr && length > 0) return Status(CV_NULL_POINTER_PARM);
    return net::accept_association(kFunction, assoc_id, true, response, length);
  });
}

extern "C" CV_API int32_t CV_Reject_Association(int32_t assoc_id, int32_t reason) {
  constexpr const char* kFunction = "CV_Reject_Association";
  return tessel::api::call(
      kFunction, [&]() -> Status { return net::reject_association(kFunction, assoc_id, reason); });
}

extern "C" CV_API int32_t CV_Set_Negotiation_Info_For_Association(int32_t assoc_id,
                                                                  const char* service,
                                                                  const void* buffer,
                                                                  int32_t length) {
  return tessel::api::call("CV_Set_Negotiation_Info_For_Association", [&]() -> Status {
    return net::set_association_negotiation_info(assoc_id, service, buffer, length);
  });
}

// ---- Both sides ----

extern "C" CV_API int32_t CV_Close_Association(int32_t* assoc_id) {
  constexpr const char* kFunction = "CV_Close_Association";
  return tessel::api::call(kFunction, [&]() -> Status {
    if (assoc_id == nullptr) return Status(CV_NULL_POINTER_PARM);
    return net::close_association(kFunction, assoc_id);
  });
}

extern "C" CV_API int32_t CV_Abort_Association(int32_t* assoc_id) {
  return tessel::api::call("CV_Abort_Association", [&]() -> Status {
    if (assoc_id == nullptr) return Status(CV_NULL_POINTER_PARM);
    return net::abort_association(assoc_id);
  });
}
