// Exported message exchange functions: argument checks, the association claim held for the
// whole call, and the abort another thread may have asked for meanwhile.
#include "core/api_guard.hpp"
#include "core/application.hpp"
#include "core/named_lock.hpp"
#include "data/objects.hpp"
#include "log/log.hpp"
#include "net/dimse.hpp"
#include "platform/platform.hpp"

#include "tessel/tessel.h"

using tessel::Status;
using tessel::data::MsgObj;
using tessel::net::Association;
namespace net = tessel::net;

namespace {

// Runs `body` with the association claimed by the calling thread. The body reports through
// its `ended` flag that it freed the association; otherwise the claim is released here, after an
// abort requested by another thread has been carried out.
template <typename Body>
Status with_claimed_association(const char* function, int32_t association_id, Body&& body) {
  int32_t busy = 0;
  tessel::core::SessionClaimState* session =
      CVI_sessionPtr(association_id, 1, tessel::platform::current_thread_id(), &busy);
  if (session == nullptr) {
    if (busy != 0) {
      tessel::log::write(function, tessel::log::kError,
                         "Function call made when another thread was accessing network");
      return Status(CV_SYSTEM_ERROR);
    }
    return Status(CV_INVALID_ASSOCIATION_ID);
  }
  auto* association = static_cast<Association*>(session);
  bool ended = false;
  const Status status = body(*association, &ended);
  if (ended) return status;
  if (net::find_association(association_id) != association) {
    tessel::log::write(function, tessel::log::kError,
                       "Session pointer mistakenly freed while in a network function");
    return Status(CV_SYSTEM_ERROR);
  }
  {
    // The end of the claim and an abort request from another thread meet under the network
    // lock: either that thread flagged the handle while the claim was held, and the abort is
    // completed here, or it finds the association unclaimed and aborts it itself.
    tessel::core::LockHold hold(S.sesObjSemaphore);
    const net::DulAssociation* handle = *net::handle_slot(*association);
    if (handle == nullptr || handle->abort_requested == 0) {
      CVI_releaseSessionClaim(association);
      return status;
    }
  }
  net::end_association(association, true);
  return Status(CV_ASSOCIATION_ABORTED);
}

MsgObj* message_of(int32_t msg_id) {
  return tessel::data::find_object(msg_id);
}

Status send(const char* function, int32_t association_id, int32_t msg_id,
            const net::SendArguments& args) {
  return with_claimed_association(function, association_id,
                                  [&](Association& association, bool* ended) -> Status {
                                    MsgObj* message = message_of(msg_id);
                                    if (message == nullptr) return Status(CV_INVALID_MESSAGE_ID);
                                    return net::send_message(association, *message, args, ended);
                                  });
}

Status read(const char* function, int32_t association_id, int32_t timeout, int32_t* msg_id,
            const char** service, int32_t* command, uint32_t stop_tag) {
  if (msg_id == nullptr) return Status(CV_NULL_POINTER_PARM);
  net::ReadResult result;
  TS_RETURN_IF_ERROR(with_claimed_association(
      function, association_id, [&](Association& association, bool* ended) -> Status {
        return net::read_message(association, timeout, stop_tag, function, &result, ended);
      }));
  *msg_id = result.message_id;
  if (service != nullptr) *service = result.service;
  if (command != nullptr) *command = result.command;
  return Status();
}

Status continue_to_tag(const char* function, int32_t association_id, int32_t msg_id,
                       uint32_t stop_tag) {
  return with_claimed_association(
      function, association_id, [&](Association& association, bool* ended) -> Status {
        return net::continue_read(association, msg_id, stop_tag, function, ended);
      });
}

}  // namespace

extern "C" CV_API int32_t CV_Send_Request_Message(int32_t association_id, int32_t msg_id) {
  constexpr const char* kFunction = "CV_Send_Request_Message";
  return tessel::api::call(kFunction, [&]() -> Status {
    const net::SendArguments args{net::SendKind::kRequest, kFunction, nullptr, nullptr};
    return send(kFunction, association_id, msg_id, args);
  });
}

extern "C" CV_API int32_t CV_Send_Request_Message_For_Service(int32_t association_id,
                                                              int32_t msg_id, const char* service) {
  constexpr const char* kFunction = "CV_Send_Request_Message_For_Service";
  return tessel::api::call(kFunction, [&]() -> Status {
    if (service == nullptr) return Status(CV_NULL_POINTER_PARM);
    const net::SendArguments args{net::SendKind::kRequest, kFunction, service, nullptr};
    return send(kFunction, association_id, msg_id, args);
  });
}

extern "C" CV_API int32_t CV_Send_Response_Message(int32_t association_id, int32_t status,
                                                   int32_t msg_id) {
  constexpr const char* kFunction = "CV_Send_Response_Message";
  return tessel::api::call(kFunction, [&]() -> Status {
    const auto value = static_cast<uint16_t>(status);
    const net::SendArguments args{net::SendKind::kResponse, kFunction, nullptr, &value};
    return send(kFunction, association_id, msg_id, args);
  });
}

extern "C" CV_API int32_t CV_Read_Message(int32_t association_id, int32_t timeout, int32_t* msg_id,
                                          const char** service, int32_t* command) {
  constexpr const char* kFunction = "CV_Read_Message";
  return tessel::api::call(kFunction, [&]() -> Status {
    return read(kFunction, association_id, timeout, msg_id, service, command, 0xFFFFFFFF);
  });
}

extern "C" CV_API int32_t CV_Read_Message_To_Tag(int32_t association_id, int32_t timeout,
                                                 int32_t* msg_id, const char** service,
                                                 int32_t* command, uint32_t stop_tag) {
  constexpr const char* kFunction = "CV_Read_Message_To_Tag";
  return tessel::api::call(kFunction, [&]() -> Status {
    return read(kFunction, association_id, timeout, msg_id, service, command, stop_tag);
  });
}

extern "C" CV_API int32_t CV_Continue_Read_Message(int32_t association_id, int32_t msg_id) {
  constexpr const char* kFunction = "CV_Continue_Read_Message";
  return tessel::api::call(kFunction, [&]() -> Status {
    return continue_to_tag(kFunction, association_id, msg_id, 0xFFFFFFFF);
  });
}

extern "C" CV_API int32_t CV_Continue_Read_Message_To_Tag(int32_t association_id, int32_t msg_id,
                                                          uint32_t stop_tag) {
  constexpr const char* kFunction = "CV_Continue_Read_Message_To_Tag";
  return tessel::api::call(kFunction, [&]() -> Status {
    return continue_to_tag(kFunction, association_id, msg_id, stop_tag);
  });
}

extern "C" CV_API int32_t CV_Continue_Read_Message_To_Stream(int32_t association_id, int32_t msg_id,
                                                             void* user_info,
                                                             CV_MESSAGE_SINK callback) {
  constexpr const char* kFunction = "CV_Continue_Read_Message_To_Stream";
  return tessel::api::call(kFunction, [&]() -> Status {
    if (callback == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_claimed_association(
        kFunction, association_id, [&](Association& association, bool* ended) -> Status {
          return net::continue_read_to_stream(association, msg_id, user_info, callback, kFunction,
                                              ended);
        });
  });
}

extern "C" CV_API int32_t CV_Set_Message_Transfer_Syntax(int32_t msg_id, int32_t syntax) {
  return tessel::api::call("CV_Set_Message_Transfer_Syntax", [&]() -> Status {
    MsgObj* message = message_of(msg_id);
    if (message == nullptr) return Status(CV_INVALID_MESSAGE_ID);
    return net::set_message_syntax(*message, syntax);
  });
}

extern "C" CV_API int32_t CV_Get_Message_Transfer_Syntax(int32_t msg_id, int32_t* syntax) {
  return tessel::api::call("CV_Get_Message_Transfer_Syntax", [&]() -> Status {
    if (syntax == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* message = message_of(msg_id);
    if (message == nullptr) return Status(CV_INVALID_MESSAGE_ID);
    int32_t value = 0;
    TS_RETURN_IF_ERROR(net::get_message_syntax(*message, &value));
    *syntax = value;
    return Status();
  });
}

extern "C" CV_API int32_t CV_Reset_Message_Transfer_Syntax(int32_t msg_id) {
  return tessel::api::call("CV_Reset_Message_Transfer_Syntax", [&]() -> Status {
    MsgObj* message = message_of(msg_id);
    if (message == nullptr) return Status(CV_INVALID_MESSAGE_ID);
    return net::reset_message_syntax(*message);
  });
}

extern "C" CV_API int32_t CV_Get_Meta_ServiceName(int32_t association_id, char* buffer,
                                                  int32_t buffer_size) {
  return tessel::api::call("CV_Get_Meta_ServiceName", [&]() -> Status {
    if (buffer == nullptr) return Status(CV_NULL_POINTER_PARM);
    if (buffer_size < 1) return Status(CV_BUFFER_TOO_SMALL);
    Association* association = net::find_association(association_id);
    if (association == nullptr) return Status(CV_INVALID_ASSOCIATION_ID);
    return net::meta_service_name(*association, buffer, buffer_size);
  });
}
