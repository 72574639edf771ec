/* Tessel: sending and reading DIMSE messages on an open association.
 *
 * A message is opened for a service and command (CV_Open_Message). Sending completes its command
 * group (message ID, SOP class, priority, command data set type ...), picks the presentation
 * context and sends command and data set as P-DATA-TF PDUs no longer than the peer accepts.
 * Reading reassembles the next message into a new message object that the caller frees with
 * CV_Free_Message.
 *
 * Every send and read call needs initialisation and claims the association for the calling
 * thread: a call made while another thread is inside a network call on the same association
 * logs "Function call made when another thread was accessing network" and returns
 * CV_SYSTEM_ERROR. When another thread asked for an abort meanwhile, the association is aborted
 * at the end of the call, which returns CV_ASSOCIATION_ABORTED. A call that ends the association
 * (abort, release, lost connection) frees it: its ID is invalid afterwards. All calls add
 * CV_LIBRARY_NOT_INITIALIZED and CV_INVALID_ASSOCIATION_ID / CV_INVALID_MESSAGE_ID where they take
 * those IDs. */
#ifndef TESSEL_TESSEL_DIMSE_H_
#define TESSEL_TESSEL_DIMSE_H_

#include "tessel/tessel_defs.h"
#include "tessel/tessel_stream.h"

CV_EXTERN_C_BEGIN

/* Sends a request message on the first accepted context of the message's service (with the
 * message's transfer syntax when one is set, see CV_Set_Message_Transfer_Syntax). An absent
 * Message ID gets the next value of the process's counter (1 to 32000). Adds
 * CV_CALL_INVALID_NOW (no negotiated association, or an acceptor decision pending),
 * CV_UNACCEPTABLE_SERVICE (no context), CV_MAX_OPERATIONS_EXCEEDED (the negotiated asynchronous
 * window is full), CV_REQUIRED_ATTRIBUTE_MISSING, CV_ASSOCIATION_ABORTED (the association ended
 * while sending; it is freed), CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Send_Request_Message(int32_t association_id, int32_t msg_id);

/* As CV_Send_Request_Message; when the message's own service has no context, an accepted
 * context of the service named `service` in the association's service list is used. Adds
 * CV_NULL_POINTER_PARM. */
CV_API int32_t CV_CALL CV_Send_Request_Message_For_Service(int32_t association_id, int32_t msg_id,
                                                           const char* service);

/* Writes `status` into Status (0000,0900) and sends a response message on the context of the
 * request it answers: the one named by Message ID Being Responded To, or the oldest unanswered
 * request received. Pending C-FIND, C-MOVE and C-GET responses (0xFF00, 0xFF01) keep the request
 * unanswered. Adds the statuses of CV_Send_Request_Message. */
CV_API int32_t CV_CALL CV_Send_Response_Message(int32_t association_id, int32_t status,
                                                int32_t msg_id);

/* Waits up to `timeout` seconds (0: just look; negative: no limit) for the next message and
 * reads it whole. *msg_id receives the new message; *service (may be NULL) points to its service
 * name, valid until the message is freed; *command (may be NULL) receives its command. C-ECHO
 * requests are answered by the library itself when AUTO_ECHO_SUPPORT is on and the association's
 * service list lacks Verification. Adds CV_NULL_POINTER_PARM, CV_TIMEOUT (nothing arrived; the
 * association stays usable), CV_READ_NOT_FINISHED (a message stopped at a tag is not finished),
 * CV_CALL_INVALID_NOW, CV_ASSOCIATION_CLOSED (the peer released), CV_ASSOCIATION_ABORTED,
 * CV_NETWORK_SHUT_DOWN, CV_TIMEOUT_IN_TRANSFER (the peer stopped in the middle of a message),
 * CV_INVALID_MESSAGE_RECEIVED, CV_SYSTEM_ERROR; all but the first three end the association. */
CV_API int32_t CV_CALL CV_Read_Message(int32_t association_id, int32_t timeout, int32_t* msg_id,
                                       const char** service, int32_t* command);

/* As CV_Read_Message, reading the data set up to and including `stop_tag`; the rest stays in the
 * network until a CV_Continue_Read_Message call. Adds CV_INVALID_TAG (stop tag below
 * (0001,0000)). */
CV_API int32_t CV_CALL CV_Read_Message_To_Tag(int32_t association_id, int32_t timeout,
                                              int32_t* msg_id, const char** service,
                                              int32_t* command, uint32_t stop_tag);

/* Reads the rest of a message that stopped at a tag into the same message. Adds
 * CV_INVALID_MESSAGE_ID (not the message that stopped) and the read statuses. */
CV_API int32_t CV_CALL CV_Continue_Read_Message(int32_t association_id, int32_t msg_id);

/* Reads further into a message that stopped at a tag, up to and including `stop_tag`. Adds
 * CV_INVALID_TAG (a stop tag before the one already reached). */
CV_API int32_t CV_CALL CV_Continue_Read_Message_To_Tag(int32_t association_id, int32_t msg_id,
                                                       uint32_t stop_tag);

/* Hands the rest of the data set of a message that stopped at a tag, as raw bytes in the
 * context's transfer syntax, to `callback` (msg_id and user_info handed back; is_last on the
 * final chunk) instead of decoding it. Adds CV_NULL_POINTER_PARM, CV_CALLBACK_CANNOT_COMPLY (the
 * callback refused; the association is aborted). */
CV_API int32_t CV_CALL CV_Continue_Read_Message_To_Stream(int32_t association_id, int32_t msg_id,
                                                          void* user_info,
                                                          CV_MESSAGE_SINK callback);

/* Fixes the transfer syntax (TRANSFER_SYNTAX) a message must be sent in. Items are accepted only
 * when they hold Pixel Data (7FE0,0010); on a file the Transfer Syntax UID (0002,0010) is set.
 * Adds CV_INVALID_TRANSFER_SYNTAX. */
CV_API int32_t CV_CALL CV_Set_Message_Transfer_Syntax(int32_t msg_id, int32_t syntax);
/* Reads the transfer syntax set for a message (of a file: from (0002,0010)). Adds
 * CV_NULL_POINTER_PARM, CV_CALL_INVALID_NOW (none set). */
CV_API int32_t CV_CALL CV_Get_Message_Transfer_Syntax(int32_t msg_id, int32_t* syntax);
/* Clears the transfer syntax set for a message. */
CV_API int32_t CV_CALL CV_Reset_Message_Transfer_Syntax(int32_t msg_id);

/* Copies, with its NUL, the name of the Meta SOP class service whose presentation context
 * carried the last unanswered request received. Looks the association up without claiming it.
 * Adds CV_NULL_POINTER_PARM, CV_BUFFER_TOO_SMALL (size below 1 or too small),
 * CV_PRIVATE_BLOCK_NOT_FOUND (no unanswered request or context), CV_NOT_META_SOP. */
CV_API int32_t CV_CALL CV_Get_Meta_ServiceName(int32_t association_id, char* buffer,
                                               int32_t buffer_size);

CV_EXTERN_C_END

#endif /* TESSEL_TESSEL_DIMSE_H_ */
