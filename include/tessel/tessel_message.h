/* Tessel: messages, items and their attributes.
 *
 * Messages, items, files and DICOMDIRs share one identifier space (from 100 upward). Every
 * function below returns CV_LIBRARY_NOT_INITIALIZED before CV_Library_Initialization and
 * CV_NULL_POINTER_PARM for a null required pointer; an identifier that names no object gives
 * CV_INVALID_MESSAGE_ID (CV_INVALID_ITEM_ID for the item-only functions). */
#ifndef TESSEL_TESSEL_MESSAGE_H_
#define TESSEL_TESSEL_MESSAGE_H_

#include "tessel/tessel_defs.h"

CV_EXTERN_C_BEGIN

/* A compression or decompression callback, called for the pixel data of one frame at a time:
 * the frame's input arrives in one or more calls (is_first on the first, is_last on the last);
 * when the frame's output is complete the callback sets out_buffer and out_size (a buffer the
 * context owns, valid until the next call). `context` is the callback's own pointer, null
 * before the first call; a call with `release` set frees it and sets it to null. Any return
 * other than CV_NORMAL_COMPLETION stops the conversion. */
typedef int32_t(CV_CALL* CV_COMPRESSION_CALLBACK)(int32_t msg_id, void** context,
                                                  uint32_t data_size, void* data_buffer,
                                                  uint32_t* out_size, void** out_buffer,
                                                  int32_t is_first, int32_t is_last,
                                                  int32_t release);

/* ---- Creation ---- */

/* Opens a message for a service (a name of the services profile) and a DIMSE command field
 * (0x0001 C-STORE-RQ ... 0x8150 N-DELETE-RSP, 0x0FFF C-CANCEL-RQ). The message receives the
 * command group attributes (no values) and the attributes of the template the message
 * information file holds for the pair. A pair without template (a service or command the
 * services profile does not have) is logged at trace 7 and the message keeps only its command
 * attributes. On failure *msg_id is -1.
 * Adds CV_INVALID_COMMAND, CV_MESSAGE_INFO_FILE_ERROR (template unreadable), CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Open_Message(int32_t* msg_id, const char* service, int32_t command);
/* Opens a message without service, command or attributes (its name is "MOUSE"). Adds
 * CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Open_Empty_Message(int32_t* msg_id);
/* Opens an item with the template of an item name of the services profile (no template when
 * FORCE_OPEN_EMPTY_ITEM is set; an unknown name is logged at trace 7 and gives an empty item).
 * On failure *item_id is -1. Adds CV_MESSAGE_INFO_FILE_ERROR, CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Open_Item(int32_t* item_id, const char* item_name);
/* Opens an item without name or attributes ("MOUSE"). Adds CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Open_Empty_Item(int32_t* item_id);

/* ---- Attributes ---- */

/* Adds a dictionary attribute, without value, with its dictionary VR and VM 1 to n (an
 * attribute deleted earlier comes back with its template's VM and type). Adds CV_INVALID_TAG (not
 * in the dictionary), CV_TAG_ALREADY_EXISTS, CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Add_Standard_Attribute(int32_t msg_id, uint32_t tag);
/* Adds an attribute the dictionary does not know, with the given VR (CV_VR_CODE) and VM 1 to n.
 * Adds CV_INVALID_VR_CODE, CV_INVALID_TAG (the tag is in the dictionary), CV_TAG_ALREADY_EXISTS,
 * CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Add_Nonstandard_Attribute(int32_t msg_id, uint32_t tag, int32_t vr);
/* Deletes an attribute and its values. Adds CV_INVALID_TAG (absent). */
CV_API int32_t CV_CALL CV_Delete_Attribute(int32_t msg_id, uint32_t tag);
/* Deletes every attribute whose tag lies from first_tag to last_tag; succeeds when none does. */
CV_API int32_t CV_CALL CV_Delete_Range(int32_t msg_id, uint32_t first_tag, uint32_t last_tag);
/* Changes the VR of an attribute: OB, OL, OF and OW to any VR (the bytes stay; read as SS or US,
 * a value of n bytes counts n / 2 values), US to OW or SS, SS to OW or US, and UN to any VR (a
 * value is decoded again in implicit VR little endian; when that fails it stays UN and the
 * failure is returned). Adds CV_INVALID_VR_CODE, CV_INVALID_TAG, CV_VR_ALREADY_VALID (any other
 * change), CV_CANNOT_CHANGE_VR_TO_SQ (bytes that cannot be read as items),
 * CV_INVALID_STREAM_LENGTH (UN bytes not a whole number of values), CV_CALLBACK_REGISTERED (a UN
 * value supplied by a callback), CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Set_Value_Representation(int32_t msg_id, uint32_t tag, int32_t vr);

/* ---- Walking ---- */

/* Returns the first attribute (tag, VR, value count; each pointer may be null) and places the
 * walk after it. The count is 1 for UN, OB, OW, OL and OF. Adds CV_MESSAGE_EMPTY. */
CV_API int32_t CV_CALL CV_Get_First_Attribute(int32_t msg_id, uint32_t* tag, int32_t* vr,
                                              int32_t* count);
/* Returns the attribute the walk stands on and moves past it. Adds CV_MESSAGE_EMPTY,
 * CV_NO_MORE_ATTRIBUTES. The walk is shared by every caller of the object. */
CV_API int32_t CV_CALL CV_Get_Next_Attribute(int32_t msg_id, uint32_t* tag, int32_t* vr,
                                             int32_t* count);
/* VR and value count of an attribute; the walk continues after it. Adds CV_INVALID_TAG. */
CV_API int32_t CV_CALL CV_Get_Attribute_Info(int32_t msg_id, uint32_t tag, int32_t* vr,
                                             int32_t* count);

/* ---- Message properties ---- */

/* The service name and command of a message, file or DICOMDIR. *service points to the
 * library's copy, valid until the service is changed or the object freed; *command is 0xFFFF
 * for a message opened empty. Adds CV_INVALID_MESSAGE_ID for items. */
CV_API int32_t CV_CALL CV_Get_Message_Service(int32_t msg_id, const char** service,
                                              int32_t* command);
/* Sets the service name and command of a message, file or DICOMDIR. A name beginning "DICOMDIR"
 * turns a file into a DICOMDIR (a message stays a message); another name turns a DICOMDIR back
 * into a file. Adds CV_INVALID_MESSAGE_ID (items), CV_INVALID_COMMAND, CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Set_Service_Command(int32_t msg_id, const char* service, int32_t command);

/* ---- Copy, empty, free ---- */

/* Copies a message, item or file with all its attributes (items of sequences are copied too)
 * into a new object of the same kind. `syntax` is the copy's transfer syntax (0: the source's;
 * an invalid code is logged and taken as 0). Changing between an encapsulated and a native
 * syntax needs `compressor` (when the copy is encapsulated) and `decompressor` (when the source
 * is, unless one is registered on it); both are kept on the copy. On failure *dest_id is -1.
 * Adds CV_INVALID_MESSAGE_ID (DICOMDIR or structured-report source), CV_NO_COMPRESSION_FUNCTION,
 * CV_NO_DECOMPRESSION_FUNCTION, CV_FUNCTION_UNAVAILABLE (pixel data would need converting and
 * no codec layer is present), CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Duplicate_Message(int32_t source_id, int32_t* dest_id, int32_t syntax,
                                            CV_COMPRESSION_CALLBACK compressor,
                                            CV_COMPRESSION_CALLBACK decompressor);
/* Removes every value of a message; the attributes stay. Private creator codes keep their
 * values, or are removed when EMPTY_PRIVATE_CREATOR_CODES is set. Adds CV_INVALID_MESSAGE_ID
 * for objects that are not messages. */
CV_API int32_t CV_CALL CV_Empty_Message(int32_t msg_id);
/* As CV_Empty_Message, for items. Adds CV_INVALID_ITEM_ID for objects that are not items. */
CV_API int32_t CV_CALL CV_Empty_Item(int32_t item_id);
/* Frees a message, item, file or DICOMDIR (by its kind) and sets *msg_id to -1. The items its
 * sequences name are freed with it unless another sequence still names them (their identifiers
 * then become invalid). An item still named by a sequence value is not freed: the call succeeds,
 * logs the refusal at trace 1 and leaves *msg_id as it is. */
CV_API int32_t CV_CALL CV_Free_Message(int32_t* msg_id);
/* As CV_Free_Message; a stale identifier gives CV_INVALID_ITEM_ID. */
CV_API int32_t CV_CALL CV_Free_Item(int32_t* item_id);

/* ---- Listing ---- */

/* Writes a readable listing of the object (items of sequences inside their attribute) to the
 * file `file_name` (created or truncated), or to the log at trace 2 when `file_name` is null.
 * LIST_VALUE_LIMIT, LIST_SQ_DEPTH_LIMIT, LIST_UN_ATTRIBUTES and
 * EXPORT_PRIVATE_ATTRIBUTES_TO_NETWORK shape it. An unknown identifier is listed as invalid and
 * returned as CV_INVALID_MESSAGE_ID. Adds CV_SYSTEM_ERROR when the file cannot be created. */
CV_API int32_t CV_CALL CV_List_Message(int32_t msg_id, const char* file_name);
/* As CV_List_Message; an unknown identifier gives CV_INVALID_ITEM_ID. */
CV_API int32_t CV_CALL CV_List_Item(int32_t item_id, const char* file_name);

CV_EXTERN_C_END

#endif /* TESSEL_TESSEL_MESSAGE_H_ */
