// Association negotiation without the network: the checks and parameter building of an
// association request, the judging of the answer, the choice of the application for an
// incoming request, the judging of a request and its presentation contexts, rejection codes,
// extended negotiation answers and the association parameter dump.
//
// The exported association calls run these steps around the upper layer:
//   requestor: check_open_arguments -> complete_remote_parameters -> create_association ->
//     load_request_service_list -> check_user_identity -> build_request ->
//     dump_association_params(request) -> DUL_associate_request (rejected: log_rejection) ->
//     judge_associate_ac (failure: "Unacceptable association response: %s", abort) ->
//     register_association;
//   acceptor: choose_application (when no application is given) -> create_association ->
//     dump_association_params(request) -> validate_request (refused: reject with the params'
//     reject fields, log_automatic_rejection, free) -> register_association ->
//     answers_echo_itself ? answer the echo : hand the association out pending;
//   accept: check_identity_acceptance -> select_extended_answers ->
//     dump_association_params(response) -> DUL_associate_accept;
//   reject: reject_codes(reason enum) -> DUL_associate_reject when `sent`, else close.
// Every function that logs takes the name of the exported call it runs for.
#ifndef TESSEL_NET_NEGOTIATION_HPP_
#define TESSEL_NET_NEGOTIATION_HPP_

#include <cstdint>
#include <string>

#include "config/services.hpp"
#include "core/application.hpp"
#include "core/status.hpp"
#include "net/association.hpp"
#include "net/association_params.hpp"

namespace tessel::net {

inline constexpr const char* kEchoApplicationTitle = "TESSEL_ECHO";
inline constexpr const char* kStorageServiceClassUid = "1.2.840.10008.4.2";
// Presentation contexts an association can carry, so services a request may offer.
inline constexpr size_t kMaxOfferedServices = 128;
inline constexpr int32_t kDefaultRemotePort = 104;
inline constexpr size_t kMaxHostNameLength = 39;

// ---------------------------------------------------------------------------------------------
// Requestor.

// Arguments of the exported open calls; null pointers stand for arguments left out.
struct OpenArguments {
  int32_t* association_id;
  int32_t application_id;
  const char* remote_title;
  const int32_t* port;
  const char* host;
  const char* service_list;
};

// The argument checks of opening, after the initialised check and in this order: association-ID
// pointer and title present (CV_NULL_POINTER_PARM), application known
// (CV_INVALID_APPLICATION_ID), a given port within 0..65535 (CV_INVALID_PORT_NUMBER), a given
// service list name not empty (CV_INVALID_SERVICE_LIST_NAME), a given host of 1 to 39
// characters (CV_INVALID_HOST_NAME), a title of 1 to 16 characters
// (CV_INVALID_APPLICATION_TITLE). The association ID is set to -1 before anything else is
// checked. Gives the application.
Result<core::Application*> check_open_arguments(const OpenArguments& args);

struct RemoteParameters {
  std::string title;
  std::string host;
  int32_t port = kDefaultRemotePort;
  std::string service_list;
};

// Takes host, port and service list from the arguments, and whatever is left out from the
// remote title's section of the application profile (PORT_NUMBER defaults to 104 with a
// logged line; a missing HOST_NAME or SERVICE_LIST, an invalid port or an unknown title fail).
// Failures give CV_CONFIG_INFO_MISSING after their log line.
Status complete_remote_parameters(const char* function, const OpenArguments& args,
                                  RemoteParameters* out);

// The service list a request offers: "Service List \"%s\" is not configured"
// (CV_CONFIG_INFO_MISSING) or more than 128 services (CV_INVALID_CONFIG_PARM). The list stays
// owned by the list registry.
Result<const services::ServiceList*> load_request_service_list(const char* function,
                                                               const char* name);

// User identity of a request; type 0 for none, 1 user name, 2 user name and passcode,
// 3 Kerberos service ticket, 4 SAML assertion. A field is supplied when its pointer is set and
// its length positive.
struct UserIdentity {
  int32_t type;
  bool response_requested;
  const char* primary;
  int32_t primary_length;
  const char* secondary;
  int32_t secondary_length;
};

// Which fields each identity type needs (CV_CONFIG_INFO_MISSING with the type's line); a type
// outside 0..4 is CV_INVALID_ENUM_PARM, a field over 65535 bytes CV_INVALID_CONFIG_PARM.
Status check_user_identity(const char* function, const UserIdentity& identity);

struct RequestSetup {
  const RemoteParameters* remote;
  const services::ServiceList* list;
  const UserIdentity* identity;  // null: no user identity
  const char* local_node;        // this machine's name, the calling presentation address
};

// Fills the association for its request: titles, presentation addresses ("host:port" for the
// called one), implementation identification, window, user identity and one presentation
// context per service of the list with a usable transfer syntax, IDs 1, 3, 5, ...; also the
// association's remote fields, service list and proposed contexts. A service with more than
// 26 transfer syntaxes, or no memory, fails with CV_CONFIG_INFO_MISSING.
Status build_request(const char* function, const RequestSetup& setup, Association& association);

// Logs an A-ASSOCIATE-RJ received in answer to a request (warning level).
void log_rejection(const char* function, uint8_t result, uint8_t source, uint8_t reason);

struct Verdict {
  bool accepted;
  std::string text;  // why not, when not accepted
};

// Judges the A-ASSOCIATE-AC that the upper layer decoded into the association's parameter
// block. On success the association's accepted contexts, remote identification and negotiated
// window are set; otherwise the text says why ("Unacceptable association response: %s" is the
// caller's line).
Verdict judge_associate_ac(const char* function, Association& association);

// ---------------------------------------------------------------------------------------------
// Acceptor.

struct ApplicationChoice {
  core::Application* application;  // null when no application is registered
  bool echo_list;                  // use the built-in echo service list
  bool echo_only;                  // TESSEL_ECHO took a title ending in _ECHO / _echo
};

// The application an incoming request belongs to: the one titled as the called title, else
// TESSEL_ECHO for a title ending in _ECHO or _echo, else the first registered application
// other than TESSEL_ECHO (TESSEL_ECHO itself when it is the only one).
ApplicationChoice choose_application(const char* called_title);

// Judges a decoded A-ASSOCIATE-RQ in the association's parameter block against `list` and the
// application, and turns the block into the answer: result, transfer syntax and roles of every
// context, maximum length, implementation identification and window. Accepted: the
// association's accepted contexts and window are set. Refused: the text says why and the
// block's reject_result/source/reason hold the A-ASSOCIATE-RJ to send.
Verdict validate_request(Association& association, const services::ServiceList& list);

// Decides every proposed context of `params` against `list`; gives the number accepted.
size_t judge_presentation_contexts(AssociationParams& params, const services::ServiceList& list);

struct RoleDecision {
  bool accepted;
  uint8_t scu_role;  // answer; kNoRole for no role item
  uint8_t scp_role;
};
// The answer to proposed role bytes (kNoRole/kNoRole: no role item) given this side's role
// flags for the service (kNoRole when not configured).
RoleDecision decide_roles(uint8_t proposed_scu, uint8_t proposed_scp, uint8_t local_scu,
                          uint8_t local_scp);

// One direction of the asynchronous window answer; `local` is kWindowNotSent when this side's
// list has no value.
uint16_t answer_window(uint16_t requested, uint16_t local);

// Whether the library answers the association itself: exactly one context accepted, it is
// Verification, and `list` does not contain Verification.
bool answers_echo_itself(const Association& association, const services::ServiceList& list);

// The lines of a request refused before the application saw it ("Validate Association
// failed:" at T4, "Association automatically rejected:" at warning level).
void log_automatic_rejection(const char* function, const AssociationParams& params,
                             const std::string& text);

// A-ASSOCIATE-RJ fields of a CV_Reject_Association reason enum, its info text, and whether the
// upper layer can send it (reasons 1, 2, 3 and 7); otherwise the connection is just closed.
struct RejectCodes {
  uint8_t result;
  uint8_t reason;
  uint8_t source;
  const char* text;
  bool sent;
};
RejectCodes reject_codes(int32_t reason_enum);

// Acceptance with or without user identity: the request must have carried identity and asked
// for a response, and only types 3 and 4 take a non-empty server response
// (CV_CALL_INVALID_NOW); a null response with a length is CV_NULL_POINTER_PARM. With identity
// the block gets the server response (a copy). Without, a requested response is warned about.
Status check_identity_acceptance(const char* function, AssociationParams& params,
                                 bool with_identity, const void* response, int32_t length);

// The extended negotiation answers of an acceptance: every accepted context whose request
// carried data and whose answer the application did not set gets the data registered for its
// SOP class, or none; refused contexts answer none. Runs under the application's lock.
void select_extended_answers(Association& association);

// CV_Set_Negotiation_Info_For_Association after its initialised check: null service, or null
// buffer with a positive length (CV_NULL_POINTER_PARM); unknown association
// (CV_INVALID_ASSOCIATION_ID); negative length (CV_MUST_BE_POSITIVE); no pending request
// (CV_NO_REQUEST_PENDING); no accepted context of that service that carried extended data
// (CV_SERVICE_NOT_CONFIGURED). Stores a copy as the context's answer.
Status set_association_negotiation_info(int32_t association_id, const char* service,
                                        const void* buffer, int32_t length);

// ---------------------------------------------------------------------------------------------
// The registry of CV_Set_Negotiation_Info, per application. Negotiation reads it through
// these functions, with the application's extended-negotiation lock held; until the registry
// installs them, no application has anything registered.
struct NegotiationRegistry {
  // Whether the application has registered anything at all.
  bool (*has_entries)(const core::Application& app);
  // The data registered for a SOP class UID; false when none. The bytes stay the registry's.
  bool (*find)(const core::Application& app, const char* sop_class_uid, const uint8_t** data,
               uint32_t* length);
};
void set_negotiation_registry(const NegotiationRegistry* registry);

// ---------------------------------------------------------------------------------------------
// The "REQUEST Association Parameters:" / "RESPONSE Association Parameters:" block at T3.
void dump_association_params(const char* function, const AssociationParams& params, bool request);

}  // namespace tessel::net

#endif  // TESSEL_NET_NEGOTIATION_HPP_
