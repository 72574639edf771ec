/* Tessel: opening, accepting, rejecting, closing and aborting associations.
 *
 * A requestor opens an association to a remote application entity with CV_Open_Association
 * (or a secure or user-identity variant) and gets an association identifier (from 10000 up).
 * An acceptor waits with CV_Wait_For_Association (or a variant) and receives the identifier of
 * an association whose request is still pending; it answers with CV_Accept_Association or
 * CV_Reject_Association. Either side ends the association with CV_Close_Association or
 * CV_Abort_Association, which set the caller's identifier to -1.
 *
 * Verification-only associations are answered inside the library: a request whose only
 * accepted context is Verification, made to an application whose service list lacks
 * Verification (or to a title ending in "_ECHO" that no application has), never reaches the
 * application while AUTO_ECHO_SUPPORT is on.
 *
 * Every function returns CV_LIBRARY_NOT_INITIALIZED before CV_Library_Initialization. One
 * thread at a time may work on an association: a call made while another thread is inside a
 * network call on it logs "Function call made when another thread was accessing network" and
 * returns CV_SYSTEM_ERROR. CV_Abort_Association is the exception: it may come from any thread,
 * and the thread that owns the association completes the abort within one second. */
#ifndef TESSEL_TESSEL_ASSOCIATION_H_
#define TESSEL_TESSEL_ASSOCIATION_H_

#include "tessel/tessel_defs.h"
#include "tessel/tessel_network.h"

CV_EXTERN_C_BEGIN

/* Reasons of CV_Reject_Association. Reasons 1 to 6 and 13 reach the peer as an
 * A-ASSOCIATE-RJ; for 7 to 12, 14 and 15 the connection is closed without an answer. Any other
 * value rejects permanently with no reason given. */
#define CV_REJECT_TRANSIENT_NO_REASON 1
#define CV_REJECT_CALLING_TITLE_NOT_RECOGNIZED 2
#define CV_REJECT_TEMPORARY_CONGESTION 3
#define CV_REJECT_LOCAL_LIMIT_EXCEEDED 4
#define CV_REJECT_CALLED_TITLE_NOT_RECOGNIZED 5
#define CV_REJECT_CONTEXT_NAME_NOT_SUPPORTED 6
#define CV_REJECT_CALLING_AE_QUALIFIER 7
#define CV_REJECT_CALLING_AP_INVOCATION_ID 8
#define CV_REJECT_CALLING_AE_INVOCATION_ID 9
#define CV_REJECT_CALLED_AE_QUALIFIER 10
#define CV_REJECT_CALLED_AP_INVOCATION_ID 11
#define CV_REJECT_CALLED_AE_INVOCATION_ID 12
#define CV_REJECT_PRESENTATION_ADDRESS_UNKNOWN 13
#define CV_REJECT_PRESENTATION_VERSION 14
#define CV_REJECT_NO_PRESENTATION_SAP 15

/* User identity types of CV_Open_Association_With_Identity. */
#define CV_IDENTITY_NONE 0
#define CV_IDENTITY_USERNAME 1
#define CV_IDENTITY_USERNAME_PASSCODE 2
#define CV_IDENTITY_KERBEROS 3
#define CV_IDENTITY_SAML 4

/* ---- Requestor ---- */

/* Opens an association from the local application app_id to the remote application entity
 * remote_title (1 to 16 characters). remote_port (0 to 65535), remote_host (1 to 39
 * characters) and service_list may each be NULL: what is left out comes from the remote
 * title's section of the application profile (HOST_NAME, PORT_NUMBER, default 104, and
 * SERVICE_LIST). The request proposes one presentation context per service of the list. Waits
 * CONNECT_TIMEOUT for the connection and ASSOC_REPLY_TIMEOUT for the answer. *assoc_id is -1
 * unless the call succeeds.
 * Adds CV_NULL_POINTER_PARM, CV_INVALID_APPLICATION_ID, CV_INVALID_PORT_NUMBER,
 * CV_INVALID_SERVICE_LIST_NAME, CV_INVALID_HOST_NAME, CV_INVALID_APPLICATION_TITLE,
 * CV_CONFIG_INFO_MISSING (remote application or list not configured), CV_INVALID_CONFIG_PARM
 * (more than 128 services), CV_CONNECTION_FAILED, CV_UNKNOWN_HOST_NAME,
 * CV_NEGOTIATION_FAILED (rejected, or an unacceptable answer), CV_NEGOTIATION_ABORTED,
 * CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Open_Association(int32_t app_id, int32_t* assoc_id,
                                           const char* remote_title, const int32_t* remote_port,
                                           const char* remote_host, const char* service_list);
/* As CV_Open_Association over the application's secure transport: hooks (required; copied)
 * and app_context (handed back to the hooks). */
CV_API int32_t CV_CALL CV_Open_Secure_Association(int32_t app_id, int32_t* assoc_id,
                                                  const char* remote_title,
                                                  const int32_t* remote_port,
                                                  const char* remote_host, const char* service_list,
                                                  const SecureTransportHooks* hooks,
                                                  void* app_context);
/* As CV_Open_Secure_Association with hooks optional (NULL: plain TCP), proposing user
 * identity: identity_type CV_IDENTITY_USERNAME (primary field only), _USERNAME_PASSCODE (both
 * fields), _KERBEROS or _SAML (primary only); response_requested non-zero asks the acceptor
 * for a server response. A field counts as supplied when its pointer is set and its length
 * positive; fields are copied. Wrong fields for the type give CV_CONFIG_INFO_MISSING; a type
 * outside 0 to 4 CV_INVALID_ENUM_PARM. */
CV_API int32_t CV_CALL CV_Open_Association_With_Identity(
    int32_t app_id, int32_t* assoc_id, const char* remote_title, const int32_t* remote_port,
    const char* remote_host, const char* service_list, const SecureTransportHooks* hooks,
    void* app_context, int32_t identity_type, int32_t response_requested, const char* primary,
    int32_t primary_length, const char* secondary, int32_t secondary_length);

/* ---- Acceptor ---- */

/* Listens on TCPIP_LISTEN_PORT and waits up to timeout seconds (0: just look; negative: no
 * limit) for an association request, judged against the service list service_list. The
 * request belongs to the registered application whose title it calls (a title ending in
 * "_ECHO" goes to the library's own echo application, anything else to the first registered
 * application). Requests refused on the spot are rejected, logged, and the wait goes on for
 * the time left; so does the wait after a verification-only association the library answered
 * itself. On success *app_id and *assoc_id name the application and the association, whose
 * request is pending: answer it with CV_Accept_Association or CV_Reject_Association. Both are
 * -1 otherwise.
 * Adds CV_NULL_POINTER_PARM, CV_NO_APPLICATIONS_REGISTERED, CV_INVALID_SERVICE_LIST_NAME
 * (empty or not configured), CV_TIMEOUT, CV_SYSTEM_CALL_INTERRUPTED, CV_NEGOTIATION_ABORTED
 * (the connection failed before a request arrived), CV_SYSTEM_ERROR (among others, the port
 * cannot be listened on). */
CV_API int32_t CV_CALL CV_Wait_For_Association(const char* service_list, int32_t timeout,
                                               int32_t* app_id, int32_t* assoc_id);
/* As CV_Wait_For_Association on the given port (1 to 65535), for the given application. Adds
 * CV_INVALID_APPLICATION_ID and CV_INVALID_PORT_NUMBER. */
CV_API int32_t CV_CALL CV_Wait_For_Association_On_Port(const char* service_list, int32_t timeout,
                                                       int32_t app_id, int32_t port,
                                                       int32_t* assoc_id);
/* As CV_Wait_For_Association_On_Port on one local address (numeric or a name; NULL: every
 * address). Without an address, a port below 1 means TCPIP_LISTEN_PORT. */
CV_API int32_t CV_CALL CV_Wait_For_Association_On_Address(const char* service_list, int32_t timeout,
                                                          int32_t app_id, int32_t port,
                                                          const char* address, int32_t* assoc_id);
/* The three waits over the application's secure transport: hooks (required; copied) and
 * app_context (handed back to the hooks). */
CV_API int32_t CV_CALL CV_Wait_For_Secure_Association(const char* service_list, int32_t timeout,
                                                      int32_t* app_id, int32_t* assoc_id,
                                                      const SecureTransportHooks* hooks,
                                                      void* app_context);
CV_API int32_t CV_CALL CV_Wait_For_Secure_Association_On_Port(const char* service_list,
                                                              int32_t timeout, int32_t app_id,
                                                              int32_t port, int32_t* assoc_id,
                                                              const SecureTransportHooks* hooks,
                                                              void* app_context);
CV_API int32_t CV_CALL CV_Wait_For_Secure_Association_On_Address(
    const char* service_list, int32_t timeout, int32_t app_id, int32_t port, const char* address,
    int32_t* assoc_id, const SecureTransportHooks* hooks, void* app_context);

/* As CV_Wait_For_Association for a connection the application accepted itself (for example
 * with CV_Wait_For_Connection). Once the library is initialised, the socket belongs to it from
 * then on, whatever the outcome (refused arguments included). The request must arrive within
 * ARTIM_TIMEOUT. A request refused on the spot gives CV_NEGOTIATION_FAILED; a verification-only
 * association answered by the library gives CV_ASSOCIATION_CLOSED once it ends. */
CV_API int32_t CV_CALL CV_Process_Association_Request(CV_SOCKET socket, const char* service_list,
                                                      int32_t* app_id, int32_t* assoc_id);
CV_API int32_t CV_CALL CV_Process_Secure_Association_Request(CV_SOCKET socket,
                                                             const char* service_list,
                                                             int32_t* app_id, int32_t* assoc_id,
                                                             const SecureTransportHooks* hooks,
                                                             void* app_context);

/* Accepts the pending request of an association: sends the A-ASSOCIATE-AC with the contexts
 * chosen when the request arrived. Adds CV_INVALID_ASSOCIATION_ID, CV_NO_REQUEST_PENDING,
 * CV_ASSOCIATION_ABORTED (the answer could not be sent; the association is gone). */
CV_API int32_t CV_CALL CV_Accept_Association(int32_t assoc_id);
/* As CV_Accept_Association, answering the request's user identity with a server response of
 * length bytes (copied; length 0 for none). Allowed only when the request carried user
 * identity and asked for a response, and a non-empty response only for the Kerberos and SAML
 * types (CV_CALL_INVALID_NOW otherwise). A NULL response with a positive length is
 * CV_NULL_POINTER_PARM; a negative length CV_MUST_BE_POSITIVE. */
CV_API int32_t CV_CALL CV_Accept_Association_With_Identity(int32_t assoc_id, const void* response,
                                                           int32_t length);
/* Rejects the pending request of an association with a CV_REJECT_ reason and frees the
 * association. Returns CV_NORMAL_COMPLETION whether or not the rejection reached the peer. Adds
 * CV_INVALID_ASSOCIATION_ID, CV_NO_REQUEST_PENDING. */
CV_API int32_t CV_CALL CV_Reject_Association(int32_t assoc_id, int32_t reason);
/* Sets the extended negotiation answer (length bytes, copied; length 0 for none) for the
 * accepted service `service` of an association whose request is pending and carried extended
 * negotiation for it. Adds CV_NULL_POINTER_PARM, CV_INVALID_ASSOCIATION_ID,
 * CV_MUST_BE_POSITIVE, CV_NO_REQUEST_PENDING, CV_SERVICE_NOT_CONFIGURED, CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Set_Negotiation_Info_For_Association(int32_t assoc_id,
                                                               const char* service,
                                                               const void* buffer, int32_t length);

/* ---- Both sides ---- */

/* Lengths of the text fields of ServiceInfo, with their NUL. */
#define CV_SERVICE_INFO_NAME_LENGTH 50
#define CV_SERVICE_INFO_UID_LENGTH 66
#define CV_SERVICE_INFO_MAX_RELATED 10

/* Negotiated role of this application on a presentation context (ServiceInfo.Role). */
#define CV_ROLE_SCP 0
#define CV_ROLE_SCU 1
#define CV_ROLE_SCU_SCP 2

/* A related general SOP class of a presentation context: its service name (empty when the
 * class is not configured) and UID. */
typedef struct RelatedServiceInfo {
  char ServiceName[CV_SERVICE_INFO_NAME_LENGTH];
  char SOPClassUID[CV_SERVICE_INFO_UID_LENGTH];
} RelatedServiceInfo;

/* One accepted presentation context of an association, as the acceptable-service iterator
 * returns it. Text fields are NUL-terminated; ServiceClassUID is empty when none was
 * negotiated. */
typedef struct ServiceInfo {
  char ServiceName[CV_SERVICE_INFO_NAME_LENGTH];
  char SOPClassUID[CV_SERVICE_INFO_UID_LENGTH];
  int32_t SyntaxType;            /* transfer syntax code (TRANSFER_SYNTAX) */
  int32_t Role;                  /* CV_ROLE_SCP, CV_ROLE_SCU or CV_ROLE_SCU_SCP */
  int32_t PresentationContextID; /* odd, 1 to 255 */
  char ServiceClassUID[CV_SERVICE_INFO_UID_LENGTH];
  int32_t NumberOfRelatedSOPClasses; /* entries of RelatedSOPClasses in use */
  RelatedServiceInfo RelatedSOPClasses[CV_SERVICE_INFO_MAX_RELATED];
} ServiceInfo;

/* Iterate the accepted presentation contexts of an association whose abstract syntax is a
 * configured service, in the order of the request: the first call starts again at the
 * first context, each next call returns the following one, CV_END_OF_LIST after the last.
 * *info is cleared before it is filled. Role is this application's: without a role selection
 * the requestor is SCU and the acceptor SCP. An acceptor may iterate while its request is still
 * pending. The association is looked up without claiming it, so another thread may be inside a
 * network call on it meanwhile. Adds CV_NULL_POINTER_PARM, CV_INVALID_ASSOCIATION_ID,
 * CV_CALL_INVALID_NOW (no contexts negotiated), CV_SYSTEM_ERROR (the context's transfer syntax
 * is not a known one; logged "INVALID TRANSFER SYNTAX FOUND: %s"). More related general classes
 * than the record holds are cut to CV_SERVICE_INFO_MAX_RELATED with a warning. */
CV_API int32_t CV_CALL CV_Get_First_Acceptable_Service(int32_t assoc_id, ServiceInfo* info);
CV_API int32_t CV_CALL CV_Get_Next_Acceptable_Service(int32_t assoc_id, ServiceInfo* info);

/* Releases the association (A-RELEASE-RQ, waiting RELEASE_TIMEOUT for the answer), frees it
 * and sets *assoc_id to -1. The association is freed even when the release fails
 * (CV_ASSOCIATION_ABORTED). Adds CV_NULL_POINTER_PARM, CV_INVALID_ASSOCIATION_ID, and
 * CV_SYSTEM_ERROR when another thread is using the association (which then stays). */
CV_API int32_t CV_CALL CV_Close_Association(int32_t* assoc_id);
/* Aborts the association (A-ABORT), frees it and sets *assoc_id to -1. Callable from any
 * thread: when another thread is inside a network call on the association, that thread is
 * asked to abort it, sees the request within one second and frees the association; this call
 * returns at once. Adds CV_NULL_POINTER_PARM, CV_INVALID_ASSOCIATION_ID. */
CV_API int32_t CV_CALL CV_Abort_Association(int32_t* assoc_id);

CV_EXTERN_C_END

#endif /* TESSEL_TESSEL_ASSOCIATION_H_ */
