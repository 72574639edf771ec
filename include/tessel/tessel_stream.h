/* Tessel: encoding messages to byte streams and decoding streams into messages. */
#ifndef TESSEL_TESSEL_STREAM_H_
#define TESSEL_TESSEL_STREAM_H_

#include "tessel/tessel_defs.h"

CV_EXTERN_C_BEGIN

/* Receives the encoded stream of CV_Message_To_Stream in even-length chunks. `data` is valid only
 * during the call; `is_first` is 1 on the first call only, `is_last` 1 on the final call, which
 * may carry 0 bytes. Returns CV_NORMAL_COMPLETION to go on; anything else ends the encode with
 * CV_CALLBACK_CANNOT_COMPLY. */
typedef int32_t(CV_CALL* CV_MESSAGE_SINK)(int32_t msg_id, void* user_info, uint32_t data_size,
                                          void* data, int32_t is_first, int32_t is_last);

/* Supplies the stream that CV_Stream_To_Message decodes, a chunk per call: sets *data_size and
 * *data (valid until the next call) and *is_last on the final chunk. Chunks must have even
 * length. Returns CV_NORMAL_COMPLETION, or anything else to end the decode with
 * CV_CALLBACK_CANNOT_COMPLY. */
typedef int32_t(CV_CALL* CV_MESSAGE_SOURCE)(int32_t msg_id, void* user_info, int32_t is_first,
                                            uint32_t* data_size, void** data, int32_t* is_last);

/* Encodes the attributes of a message, item or file whose tags lie in [start_tag, end_tag] in the
 * transfer syntax `syntax` (TRANSFER_SYNTAX) and hands the bytes to `sink`. Adds
 * CV_NULL_POINTER_PARM, CV_INVALID_MESSAGE_ID, CV_INVALID_TRANSFER_SYNTAX, CV_MESSAGE_EMPTY (no
 * attributes; the sink is not called), CV_CALLBACK_CANNOT_COMPLY, CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Message_To_Stream(int32_t msg_id, uint32_t start_tag, uint32_t end_tag,
                                            int32_t syntax, void* user_info, CV_MESSAGE_SINK sink);

/* The number of bytes CV_Message_To_Stream would produce for the same arguments, or 0xFFFFFFFF
 * when an attribute has undefined length. Adds CV_NULL_POINTER_PARM, CV_INVALID_MESSAGE_ID,
 * CV_INVALID_TRANSFER_SYNTAX, CV_MESSAGE_EMPTY. */
CV_API int32_t CV_CALL CV_Get_Stream_Length(int32_t msg_id, uint32_t start_tag, uint32_t end_tag,
                                            int32_t syntax, uint32_t* length);

/* Decodes a stream in transfer syntax `syntax` into the existing object msg_id (attributes are
 * added to what it holds), from start_tag on and up to stop_tag (the first attribute above it
 * ends the decode and is not stored). *error_tag is 0 on success, else the tag being read. Adds
 * CV_NULL_POINTER_PARM, CV_INVALID_MESSAGE_ID, CV_INVALID_TRANSFER_SYNTAX and the decode
 * statuses (CV_CALLBACK_CANNOT_COMPLY, CV_CALLBACK_UNEVEN_DATA_SIZE, CV_CALLBACK_INVALID_PARM,
 * CV_INVALID_VALUE_FOR_VR, CV_INVALID_STREAM_LENGTH, CV_OUT_OF_ORDER_TAG,
 * CV_UNEXPECTED_END_OF_STREAM, CV_STREAM_VALUE_TOO_LARGE, CV_ZLIB_ERROR, CV_SYSTEM_ERROR). */
CV_API int32_t CV_CALL CV_Stream_To_Message(int32_t msg_id, uint32_t start_tag, uint32_t stop_tag,
                                            int32_t syntax, uint32_t* error_tag, void* user_info,
                                            CV_MESSAGE_SOURCE source);

/* As CV_Stream_To_Message; *offset receives the byte offset, from the start of the stream, of the
 * attribute at which decoding stopped (the first one past stop_tag), or of the end of the
 * stream. */
CV_API int32_t CV_CALL CV_Stream_To_Message_With_Offset(int32_t msg_id, uint32_t start_tag,
                                                        uint32_t stop_tag, int32_t syntax,
                                                        uint32_t* error_tag, uint32_t* offset,
                                                        void* user_info, CV_MESSAGE_SOURCE source);

CV_EXTERN_C_END

#endif /* TESSEL_TESSEL_STREAM_H_ */
