/* Tessel: DICOM Part 10 files.
 *
 * A file object is a message object of kind File (or DICOMDIR) that also carries the 128-byte
 * preamble, the 4-byte prefix ("DICM") and a file name, and the File Meta Information elements
 * of group 0002. The library never opens a file itself: writing hands the encoded bytes to a
 * sink the application supplies, reading pulls them from its source; the file name is only
 * passed to those callbacks and to log lines (tessel_file_io.h has a ready-made pair for plain
 * files on disk).
 *
 * Every function below returns CV_LIBRARY_NOT_INITIALIZED before CV_Library_Initialization and
 * CV_NULL_POINTER_PARM for a null required pointer. An identifier that names no File or DICOMDIR
 * gives CV_INVALID_FILE_ID unless said otherwise. */
#ifndef TESSEL_TESSEL_FILE_H_
#define TESSEL_TESSEL_FILE_H_

#include "tessel/tessel_defs.h"

CV_EXTERN_C_BEGIN

/* Length of the preamble CV_Get_File_Preamble and CV_Set_File_Preamble copy. */
#define CV_FILE_PREAMBLE_LENGTH 128

/* Receives a written file in even-length chunks, in file order: `data` (valid only during the
 * call) holds `data_size` bytes; `is_first` is 1 on the first call only (its chunk starts with
 * the preamble), `is_last` 1 on the final call, which may carry 0 bytes. `file_name` is the name
 * the file object holds. Returns CV_NORMAL_COMPLETION to go on; anything else ends the write
 * with CV_CALLBACK_CANNOT_COMPLY (bytes already handed over stay written). */
typedef int32_t(CV_CALL* CV_FILE_SINK)(const char* file_name, void* user_info, uint32_t data_size,
                                       void* data, int32_t is_first, int32_t is_last);

/* Supplies a file being read, a chunk per call: sets *data_size and *data (valid until the next
 * call) and *is_last (non-zero) with the final chunk; `is_first` is 1 on the first call only.
 * Chunks must have even length, except when KORAX_OPEN_FILE is set; a chunk of size 0 that is
 * not the last is followed by another call. Returns CV_NORMAL_COMPLETION, or anything else to
 * end the read with CV_CALLBACK_CANNOT_COMPLY. Note the argument order, which differs from
 * CV_MESSAGE_SOURCE. */
typedef int32_t(CV_CALL* CV_FILE_SOURCE)(const char* file_name, void* user_info,
                                         uint32_t* data_size, void** data, int32_t is_first,
                                         int32_t* is_last);

/* ---- Creation and conversion ---- */

/* Creates a file object for a service and a DIMSE command field (see CV_Open_Message): a File,
 * or a DICOMDIR when the first 8 characters of `service` are "DICOMDIR". The preamble is zeroed,
 * the prefix is "DICM", `file_name` is copied, and the meta elements (0002,0000) UL,
 * (0002,0001) OB, (0002,0002) UI, (0002,0003) UI, (0002,0010) UI, (0002,0012) UI (type 1) and
 * (0002,0013) SH, (0002,0016) AE, (0002,0100) UI, (0002,0102) OB (type 3) are added without
 * values; then the data set attributes of the pair's template are added (the command group is
 * not kept: files carry none). A pair without template is logged at trace 7 and the file keeps
 * the meta elements only. On failure *file_id is -1.
 * Adds CV_INVALID_COMMAND, CV_MESSAGE_INFO_FILE_ERROR (template unreadable; nothing is left
 * behind), CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Create_File(int32_t* file_id, const char* file_name, const char* service,
                                      int32_t command);
/* Creates a File without service or command (its service name is "MOUSE") holding the meta
 * elements only. Adds CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Create_Empty_File(int32_t* file_id, const char* file_name);
/* Turns a message into a File under the same identifier: zero preamble, "DICM", `file_name`, the
 * meta elements (those the message already has are left as they are), and every attribute of
 * the command group (0000) deleted. Adds CV_INVALID_MESSAGE_ID (not a message: items, files and
 * DICOMDIRs do not qualify), CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Message_To_File(int32_t msg_id, const char* file_name);
/* Turns a File or DICOMDIR into a message under the same identifier: the preamble, prefix, file
 * name and directory structures are released and every attribute of group 0002 is deleted. */
CV_API int32_t CV_CALL CV_File_To_Message(int32_t file_id);

/* ---- File header ---- */

/* Replaces the file name handed to the callbacks. Adds CV_SYSTEM_ERROR (logged "Out Of
 * Memory"). */
CV_API int32_t CV_CALL CV_Reset_Filename(int32_t file_id, const char* file_name);
/* Copies the file name, with its NUL, into `buffer` of `buffer_size` bytes. Adds
 * CV_BUFFER_TOO_SMALL when the name's length is not smaller than buffer_size (nothing is
 * copied). */
CV_API int32_t CV_CALL CV_Get_Filename(int32_t file_id, char* buffer, int32_t buffer_size);
/* Copies the 128-byte preamble out of the object into `buffer`. */
CV_API int32_t CV_CALL CV_Get_File_Preamble(int32_t file_id, void* buffer);
/* Copies 128 bytes from `buffer` into the object's preamble. */
CV_API int32_t CV_CALL CV_Set_File_Preamble(int32_t file_id, const void* buffer);

/* ---- Writing ---- */

/* The number of bytes CV_Write_File would write without padding: 132 (preamble and prefix),
 * plus group 0002 in explicit VR little endian, plus everything from (0003,0000) on in the
 * transfer syntax (0002,0010) names (for the deflated syntax, before compression); 0xFFFFFFFF
 * when an attribute has undefined length (encapsulated pixel data, a value callback reporting
 * undefined length). Meta values the library supplies at write time count once they are set.
 * On failure *length is 0. Adds CV_INVALID_TRANSFER_SYNTAX ((0002,0010) has no value, or a UID
 * that is not configured), the length computation's statuses (CV_CALLBACK_CANNOT_COMPLY, ...). */
CV_API int32_t CV_CALL CV_Get_File_Length(int32_t file_id, uint32_t* length);
/* Encodes the whole object as a Part 10 file and hands the bytes to `sink`: preamble, prefix,
 * group 0002 in explicit VR little endian, then the data set in the transfer syntax
 * (0002,0010) names (which the application must set). Empty meta values are supplied first:
 * (0002,0001) becomes 00 01, (0002,0012) IMPLEMENTATION_CLASS_UID, (0002,0013)
 * IMPLEMENTATION_VERSION; (0002,0000) is always recomputed. A non-zero `pad_length` (even, at
 * most WORK_BUFFER_SIZE) adds a trailing padding attribute (FFFC,FFFC) of zeros, of 2 to
 * pad_length bytes, so that the file length becomes a whole multiple of pad_length (in the
 * deflated syntax the length before compression; with an attribute of undefined length the
 * padding holds 2 bytes).
 * Adds CV_INVALID_PAD_SIZE, the status of reading (0002,0010) (CV_NO_VALUE_YET, CV_NULL_VALUE,
 * ...), CV_INVALID_TRANSFER_SYNTAX (UID not configured), CV_CALLBACK_CANNOT_COMPLY (the sink or a
 * value callback refused), CV_SYSTEM_ERROR and the encoder's other statuses. */
CV_API int32_t CV_CALL CV_Write_File(int32_t file_id, int32_t pad_length, void* user_info,
                                     CV_FILE_SINK sink);
/* As CV_Write_File; the value callbacks application `app_id` registered are first bound to the
 * object's OB, OW, OL and OF attributes that hold no value (and to those of its items as they
 * are written), so that bulk data can come from the application. Bindings made by a call that
 * fails are released again. Adds CV_INVALID_APPLICATION_ID. */
CV_API int32_t CV_CALL CV_Write_File_By_Callback(int32_t app_id, int32_t file_id,
                                                 int32_t pad_length, void* user_info,
                                                 CV_FILE_SINK sink);

/* ---- Reading ---- */

/* Reads a whole Part 10 file from `source` into the (normally empty) object: the preamble is
 * stored, the prefix must be "DICM" (CV_NO_DICM_PREFIX otherwise, unless FORCE_DICM_IN_PREFIX is
 * set, which logs the replacement and stores "DICM"), group 0002 is read in explicit VR little
 * endian and the data set in the transfer syntax of (0002,0010). Value callbacks registered by
 * application `app_id` are bound to the OB, OW, OL and OF attributes as they are read. A failure
 * is logged with the tag and byte offset where it happened; the object keeps what was read.
 * Adds CV_INVALID_APPLICATION_ID, CV_NO_DICM_PREFIX and the decoder's statuses
 * (CV_CALLBACK_CANNOT_COMPLY, CV_CALLBACK_UNEVEN_DATA_SIZE, CV_CALLBACK_INVALID_PARM,
 * CV_INVALID_TRANSFER_SYNTAX, CV_INVALID_VALUE_FOR_VR, CV_INVALID_STREAM_LENGTH,
 * CV_OUT_OF_ORDER_TAG, CV_UNEXPECTED_END_OF_STREAM, CV_STREAM_VALUE_TOO_LARGE, CV_ZLIB_ERROR,
 * CV_SYSTEM_ERROR). */
CV_API int32_t CV_CALL CV_Open_File(int32_t app_id, int32_t file_id, void* user_info,
                                    CV_FILE_SOURCE source);
/* As CV_Open_File, except that an OB, OW, OL or OF value handed to a registered value callback
 * is announced to it with its byte offset in the file (request CV_CB_STREAM_DATA) instead of
 * its length (CV_CB_STREAM_LENGTH); the value bytes follow as with CV_Open_File. */
CV_API int32_t CV_CALL CV_Open_File_Bypass_OBOW(int32_t app_id, int32_t file_id, void* user_info,
                                                CV_FILE_SOURCE source);
/* As CV_Open_File, but stops before the first attribute whose tag is above `stop_tag` (which is
 * not stored) and sets *offset to that attribute's byte offset in the file (the file length when
 * the file ends first). */
CV_API int32_t CV_CALL CV_Open_File_Upto_Tag(int32_t app_id, int32_t file_id, void* user_info,
                                             uint32_t stop_tag, uint32_t* offset,
                                             CV_FILE_SOURCE source);

/* ---- Empty, free, list ---- */

/* As CV_Empty_Message for a file: every attribute loses its values but stays (private creator
 * codes keep theirs, or are removed when EMPTY_PRIVATE_CREATOR_CODES is set); the preamble is
 * zeroed and the prefix reset to "DICM"; a DICOMDIR also loses its directory structures. Adds
 * CV_INVALID_MESSAGE_ID for an object that is neither a File nor a DICOMDIR. */
CV_API int32_t CV_CALL CV_Empty_File(int32_t file_id);
/* Frees a File or DICOMDIR with its header, file name and directory structures and sets
 * *file_id to -1. */
CV_API int32_t CV_CALL CV_Free_File(int32_t* file_id);
/* Writes a readable listing of the file (as CV_List_Message, with its file name and preamble)
 * to the file `file_name` (created or truncated), or to standard output when `file_name` is
 * null. Adds CV_SYSTEM_ERROR when the file cannot be created. */
CV_API int32_t CV_CALL CV_List_File(int32_t file_id, const char* file_name);

CV_EXTERN_C_END

#endif /* TESSEL_TESSEL_FILE_H_ */
