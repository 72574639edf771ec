/* Tessel: attribute values. Setting and reading the values of the attributes of messages, items,
 * files and DICOMDIRs, with conversion between the application's types and the attribute's VR;
 * raw buffers, values streamed in chunks through callbacks, encapsulated pixel data frames.
 *
 * Every function here needs the library initialised (CV_LIBRARY_NOT_INITIALIZED otherwise),
 * returns CV_NULL_POINTER_PARM for a null required pointer and CV_INVALID_MESSAGE_ID for an
 * identifier that names no object. Unless stated otherwise the functions that set a value add an
 * absent attribute: a repeating-group tag (50xx, 60xx) takes the VR and template of its
 * 5000/6000 form when the object holds it; otherwise an object built from a template refuses
 * tags its template lacks, and other objects take the tag's dictionary VR (CV_INVALID_TAG when
 * the dictionary does not know it).
 *
 * Data type codes (CV_DATA_TYPE, tessel_defs.h) and the application types behind them:
 * CV_TYPE_STRING NUL-terminated text, CV_TYPE_INT int32_t, CV_TYPE_UINT uint32_t,
 * CV_TYPE_SHORT_INT int16_t, CV_TYPE_USHORT_INT uint16_t, CV_TYPE_LONG_INT int32_t,
 * CV_TYPE_ULONG_INT uint32_t, CV_TYPE_FLOAT float, CV_TYPE_DOUBLE double, CV_TYPE_BUFFER raw
 * bytes (CV_Get_Value only).
 *
 * Text that breaks its VR's character or length rules is stored all the same: the set returns
 * CV_INVALID_VALUE_FOR_VR or CV_INVALID_CHARS_IN_VALUE and the value stays. */
#ifndef TESSEL_TESSEL_VALUES_H_
#define TESSEL_TESSEL_VALUES_H_

#include "tessel/tessel_defs.h"

CV_EXTERN_C_BEGIN

/* Supplies a value in chunks (CV_Set_Value_From_Function and the encapsulated forms). Called
 * with is_first set on the first call; sets *data_size (even, not negative), *data (the chunk,
 * which must stay valid until the next call) and *is_last (non-zero on the last chunk). A size of
 * 0 without the last flag is simply followed by another call. Returns 1 to go on; anything else
 * stops the transfer. */
typedef int32_t(CV_CALL* CV_VALUE_SUPPLIER)(int32_t msg_id, uint32_t tag, int32_t is_first,
                                            void* user_info, int32_t* data_size, void** data,
                                            int32_t* is_last);
/* Receives a value in chunks (CV_Get_Value_To_Function and the encapsulated forms). data is
 * valid only during the call. Returns 1 to go on; anything else stops the transfer. */
typedef int32_t(CV_CALL* CV_VALUE_CONSUMER)(int32_t msg_id, uint32_t tag, void* user_info,
                                            int32_t data_length, void* data, int32_t is_first,
                                            int32_t is_last);

/* ---- Setting values ------------------------------------------------------------------------ */

/* Replaces every value of the attribute by the one value at `value`, of data type `type`
 * (CV_TYPE_STRING to CV_TYPE_DOUBLE). Conversions: text is stored as given in text VRs (spaces
 * around it dropped when REMOVE_PADDING_CHARS is set) and parsed as a number for SS, US, AT, SL,
 * UL, FL and FD (a comma in DS, FL or FD text is taken as a period when
 * ALLOW_COMMA_IN_DS_FL_FD_STRINGS is set); numbers are formatted into DS and IS and stored
 * natively in the binary VRs; an SQ value is the identifier of an item, which gains a reference.
 * Adds CV_INVALID_DATA_TYPE, CV_INVALID_TAG, CV_TOO_MANY_VALUES, CV_INCOMPATIBLE_VR (UN, OB, OW,
 * OL, OF take buffers or functions; AT takes only text and LongInt/ULongInt),
 * CV_VALUE_OUT_OF_RANGE, CV_INVALID_VALUE_FOR_VR, CV_INVALID_CHARS_IN_VALUE (value stored),
 * CV_NOT_ENCAPSULATED_MESSAGE, CV_SYSTEM_ERROR, CV_TEMP_FILE_ERROR. Refusals of the value itself
 * (conversion, range, item) come after the old values were released and leave the attribute
 * without values; the other refusals leave it as it was. An attribute added by the set stays. */
CV_API int32_t CV_CALL CV_Set_Value(int32_t msg_id, uint32_t tag, int32_t type, const void* value);
/* Appends one value to the attribute; otherwise as CV_Set_Value. The set replaces the values
 * instead when the attribute has none, or holds a NULL value of a non-text VR or of LT, ST, UT. */
CV_API int32_t CV_CALL CV_Set_Next_Value(int32_t msg_id, uint32_t tag, int32_t type,
                                         const void* value);

/* CV_Set_Value with the data type of the function's name. */
CV_API int32_t CV_CALL CV_Set_Value_From_String(int32_t msg_id, uint32_t tag, const char* value);
CV_API int32_t CV_CALL CV_Set_Value_From_Int(int32_t msg_id, uint32_t tag, int32_t value);
CV_API int32_t CV_CALL CV_Set_Value_From_UInt(int32_t msg_id, uint32_t tag, uint32_t value);
CV_API int32_t CV_CALL CV_Set_Value_From_ShortInt(int32_t msg_id, uint32_t tag, int16_t value);
CV_API int32_t CV_CALL CV_Set_Value_From_UShortInt(int32_t msg_id, uint32_t tag, uint16_t value);
CV_API int32_t CV_CALL CV_Set_Value_From_LongInt(int32_t msg_id, uint32_t tag, int32_t value);
CV_API int32_t CV_CALL CV_Set_Value_From_ULongInt(int32_t msg_id, uint32_t tag, uint32_t value);
CV_API int32_t CV_CALL CV_Set_Value_From_Float(int32_t msg_id, uint32_t tag, float value);
CV_API int32_t CV_CALL CV_Set_Value_From_Double(int32_t msg_id, uint32_t tag, double value);

/* CV_Set_Next_Value with the data type of the function's name. */
CV_API int32_t CV_CALL CV_Set_Next_Value_From_String(int32_t msg_id, uint32_t tag,
                                                     const char* value);
CV_API int32_t CV_CALL CV_Set_Next_Value_From_Int(int32_t msg_id, uint32_t tag, int32_t value);
CV_API int32_t CV_CALL CV_Set_Next_Value_From_UInt(int32_t msg_id, uint32_t tag, uint32_t value);
CV_API int32_t CV_CALL CV_Set_Next_Value_From_ShortInt(int32_t msg_id, uint32_t tag, int16_t value);
CV_API int32_t CV_CALL CV_Set_Next_Value_From_UShortInt(int32_t msg_id, uint32_t tag,
                                                        uint16_t value);
CV_API int32_t CV_CALL CV_Set_Next_Value_From_LongInt(int32_t msg_id, uint32_t tag, int32_t value);
CV_API int32_t CV_CALL CV_Set_Next_Value_From_ULongInt(int32_t msg_id, uint32_t tag,
                                                       uint32_t value);
CV_API int32_t CV_CALL CV_Set_Next_Value_From_Float(int32_t msg_id, uint32_t tag, float value);
CV_API int32_t CV_CALL CV_Set_Next_Value_From_Double(int32_t msg_id, uint32_t tag, double value);

/* Replaces every value by one NULL value (a text value of no characters, or a value of length
 * 0). A NULL Specific Character Set (0008,0005) selects the default repertoire. Adds
 * CV_INVALID_TAG, CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Set_Value_To_NULL(int32_t msg_id, uint32_t tag);
/* Appends an empty value to a text attribute other than LT, ST and UT (CV_INCOMPATIBLE_VR for
 * any other VR). Adds CV_INVALID_TAG, CV_TOO_MANY_VALUES, CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Set_Next_Value_To_NULL(int32_t msg_id, uint32_t tag);
/* Releases every value; the attribute stays, with no value. Items held by an SQ attribute are
 * freed as well when REMOVE_SQ is set and nothing else refers to them. A value supplied by a
 * registered callback stays bound to it. Adds CV_INVALID_TAG (absent). */
CV_API int32_t CV_CALL CV_Set_Value_To_Empty(int32_t msg_id, uint32_t tag);
/* Removes the value under the attribute's value cursor: the value the last get returned, or
 * the first value when no get has run since the cursor was reset. The next CV_Get_Next_Value
 * returns the value that followed it. Opaque values (UN, OB, OW, OL, OF) are removed whole.
 * Adds CV_INVALID_TAG (absent), CV_NO_VALUE_YET. */
CV_API int32_t CV_CALL CV_Delete_Current_Value(int32_t msg_id, uint32_t tag);

/* Replaces the value of a UN, OB, OW, OL or OF attribute by `length` bytes copied from `buffer`
 * (`buffer` may be NULL when length is 0, which stores a NULL value). Values of at least
 * LARGE_DATA_SIZE bytes go to a temporary file when LARGE_DATA_STORE selects file storage; an
 * attribute bound to a value callback hands the bytes to it. Adds CV_INVALID_TAG,
 * CV_INCOMPATIBLE_VR, CV_INVALID_VALUE_FOR_VR (odd length for UN, OW, OL, OF),
 * CV_TOO_MANY_VALUES, CV_CALLBACK_CANNOT_COMPLY, CV_SYSTEM_ERROR, CV_TEMP_FILE_ERROR. */
CV_API int32_t CV_CALL CV_Set_Value_From_Buffer(int32_t msg_id, uint32_t tag, const void* buffer,
                                                uint32_t length);
/* Replaces the value of an OB, OW, OL, OF or UT attribute by the chunks `supplier` provides
 * (called until it sets its last flag). On any failure the attribute is left without a value.
 * Adds CV_INVALID_TAG, CV_INCOMPATIBLE_VR, CV_CALLBACK_CANNOT_COMPLY (supplier did not return
 * 1), CV_CALLBACK_UNEVEN_DATA_SIZE (odd chunk), CV_CALLBACK_NEGATIVE_DATA_SIZE,
 * CV_CALLBACK_INVALID_PARM (a size with a NULL data pointer), CV_SYSTEM_ERROR,
 * CV_TEMP_FILE_ERROR; for UT the text checks' CV_INVALID_VALUE_FOR_VR and
 * CV_INVALID_CHARS_IN_VALUE (value stored). */
CV_API int32_t CV_CALL CV_Set_Value_From_Function(int32_t msg_id, uint32_t tag, void* user_info,
                                                  CV_VALUE_SUPPLIER supplier);

/* ---- Reading values ------------------------------------------------------------------------ */

/* Reads the first value into `buffer` (buffer_size bytes) as data type `type` and resets the
 * value cursor to it. CV_TYPE_STRING writes NUL-terminated text (cut to buffer_size - 1
 * characters with CV_BUFFER_TOO_SMALL when longer); the numeric types need buffer_size at least
 * the type's size; CV_TYPE_BUFFER behaves as CV_Get_Value_To_Buffer. *length receives the number
 * of bytes written without the NUL; with CV_BUFFER_TOO_SMALL for text, the full text length.
 * Adds CV_INVALID_DATA_TYPE, CV_INVALID_TAG, CV_INCOMPATIBLE_VR, CV_NO_VALUE_YET, CV_NULL_VALUE,
 * CV_BUFFER_TOO_SMALL, CV_INCOMPATIBLE_VALUE (DS or IS text that is no number),
 * CV_VALUE_OUT_OF_RANGE (the number does not fit the type). */
CV_API int32_t CV_CALL CV_Get_Value(int32_t msg_id, uint32_t tag, int32_t type,
                                    uint32_t buffer_size, void* buffer, uint32_t* length);
/* Reads the value after the value cursor and advances it (the first value when the cursor was
 * just reset); as CV_Get_Value otherwise. CV_TYPE_BUFFER gives CV_INCOMPATIBLE_VR. Adds
 * CV_NO_MORE_VALUES after the last value. */
CV_API int32_t CV_CALL CV_Get_Next_Value(int32_t msg_id, uint32_t tag, int32_t type,
                                         uint32_t buffer_size, void* buffer, uint32_t* length);

/* CV_Get_Value with the data type of the function's name. */
CV_API int32_t CV_CALL CV_Get_Value_To_String(int32_t msg_id, uint32_t tag, uint32_t buffer_size,
                                              char* buffer);
CV_API int32_t CV_CALL CV_Get_Value_To_Int(int32_t msg_id, uint32_t tag, int32_t* value);
CV_API int32_t CV_CALL CV_Get_Value_To_UInt(int32_t msg_id, uint32_t tag, uint32_t* value);
CV_API int32_t CV_CALL CV_Get_Value_To_ShortInt(int32_t msg_id, uint32_t tag, int16_t* value);
CV_API int32_t CV_CALL CV_Get_Value_To_UShortInt(int32_t msg_id, uint32_t tag, uint16_t* value);
CV_API int32_t CV_CALL CV_Get_Value_To_LongInt(int32_t msg_id, uint32_t tag, int32_t* value);
CV_API int32_t CV_CALL CV_Get_Value_To_ULongInt(int32_t msg_id, uint32_t tag, uint32_t* value);
CV_API int32_t CV_CALL CV_Get_Value_To_Float(int32_t msg_id, uint32_t tag, float* value);
CV_API int32_t CV_CALL CV_Get_Value_To_Double(int32_t msg_id, uint32_t tag, double* value);

/* CV_Get_Next_Value with the data type of the function's name. */
CV_API int32_t CV_CALL CV_Get_Next_Value_To_String(int32_t msg_id, uint32_t tag,
                                                   uint32_t buffer_size, char* buffer);
CV_API int32_t CV_CALL CV_Get_Next_Value_To_Int(int32_t msg_id, uint32_t tag, int32_t* value);
CV_API int32_t CV_CALL CV_Get_Next_Value_To_UInt(int32_t msg_id, uint32_t tag, uint32_t* value);
CV_API int32_t CV_CALL CV_Get_Next_Value_To_ShortInt(int32_t msg_id, uint32_t tag, int16_t* value);
CV_API int32_t CV_CALL CV_Get_Next_Value_To_UShortInt(int32_t msg_id, uint32_t tag,
                                                      uint16_t* value);
CV_API int32_t CV_CALL CV_Get_Next_Value_To_LongInt(int32_t msg_id, uint32_t tag, int32_t* value);
CV_API int32_t CV_CALL CV_Get_Next_Value_To_ULongInt(int32_t msg_id, uint32_t tag, uint32_t* value);
CV_API int32_t CV_CALL CV_Get_Next_Value_To_Float(int32_t msg_id, uint32_t tag, float* value);
CV_API int32_t CV_CALL CV_Get_Next_Value_To_Double(int32_t msg_id, uint32_t tag, double* value);

/* Number of values: 1 for UN, OB, OW, OL and OF and for a value supplied by a callback (asked for
 * its length when nothing was set through the library). Adds CV_INVALID_TAG, CV_NO_VALUE_YET,
 * CV_NULL_VALUE (the one value is NULL), CV_CALLBACK_CANNOT_COMPLY. */
CV_API int32_t CV_CALL CV_Get_Value_Count(int32_t msg_id, uint32_t tag, int32_t* count);
/* Byte length of value number `value_number` (from 1): the text length, the width of a binary
 * VR, the whole length of an opaque value, the value count of an SQ attribute; a callback
 * supplying the value is asked for it. Adds CV_INVALID_TAG, CV_NO_VALUE_YET, CV_NULL_VALUE,
 * CV_INVALID_VALUE_NUMBER, CV_CALLBACK_CANNOT_COMPLY. */
CV_API int32_t CV_CALL CV_Get_Value_Length(int32_t msg_id, uint32_t tag, int32_t value_number,
                                           uint32_t* length);

/* Copies the raw bytes of a UN, OB or OW value into `buffer` (buffer_size bytes); *length
 * receives the bytes copied. A NULL value writes an empty text (when buffer_size allows) and
 * length 0 with CV_NULL_VALUE. When the next stored piece does not fit, CV_BUFFER_TOO_SMALL is
 * returned with *length set to that piece's length. Adds CV_INVALID_TAG, CV_INCOMPATIBLE_VR,
 * CV_NO_VALUE_YET, CV_CALLBACK_CANNOT_COMPLY, CV_TEMP_FILE_ERROR. */
CV_API int32_t CV_CALL CV_Get_Value_To_Buffer(int32_t msg_id, uint32_t tag, uint32_t buffer_size,
                                              void* buffer, uint32_t* length);
/* Hands the value of a binary, opaque or UT attribute to `consumer`, one stored piece per call
 * (a callback-supplied value chunk by chunk as its callback gives it). Adds CV_INVALID_TAG,
 * CV_INCOMPATIBLE_VR, CV_NO_VALUE_YET, CV_NULL_VALUE, CV_CALLBACK_CANNOT_COMPLY (consumer did
 * not return 1, or a failing value callback), CV_TEMP_FILE_ERROR. */
CV_API int32_t CV_CALL CV_Get_Value_To_Function(int32_t msg_id, uint32_t tag, void* user_info,
                                                CV_VALUE_CONSUMER consumer);

/* ---- Encapsulated pixel data ---------------------------------------------------------------- */

/* Starts the encapsulated value of an OB or OW attribute (normally Pixel Data (7FE0,0010)) of an
 * object whose transfer syntax is encapsulated (a File without a syntax yet is judged by its
 * (0002,0010)): the basic offset table item (holding the frame offsets when CREATE_OFFSET_TABLE
 * is set, else empty), then the first frame, one fragment item (FE FF 00 E0, 32-bit
 * little-endian length, bytes) per chunk from `supplier` as for CV_Set_Value_From_Function.
 * Adds CV_INVALID_TAG, CV_INCOMPATIBLE_VR, CV_INVALID_TRANSFER_SYNTAX, the supplier statuses of
 * CV_Set_Value_From_Function, CV_CALLBACK_REGISTERED, CV_SYSTEM_ERROR, CV_TEMP_FILE_ERROR. */
CV_API int32_t CV_CALL CV_Set_Encapsulated_Value_From_Function(int32_t msg_id, uint32_t tag,
                                                               void* user_info,
                                                               CV_VALUE_SUPPLIER supplier);
/* Adds the next frame to an encapsulated value; as above. */
CV_API int32_t CV_CALL CV_Set_Next_Encapsulated_Value_From_Function(int32_t msg_id, uint32_t tag,
                                                                    void* user_info,
                                                                    CV_VALUE_SUPPLIER supplier);
/* Ends an encapsulated value with the sequence delimitation item (FE FF DD E0, length 0). With
 * CREATE_OFFSET_TABLE set the value must have been started (else CV_INVALID_TAG). Adds
 * CV_INVALID_TAG, CV_INCOMPATIBLE_VR, CV_INVALID_TRANSFER_SYNTAX, CV_CALLBACK_REGISTERED,
 * CV_SYSTEM_ERROR, CV_TEMP_FILE_ERROR. */
CV_API int32_t CV_CALL CV_Close_Encapsulated_Value(int32_t msg_id, uint32_t tag);
/* Hands the fragments of the first frame to `consumer`, one call per fragment (the fragment's
 * bytes without the item header), and sets the attribute's frame cursor after it. Frames are
 * delimited by the basic offset table; without one every fragment is a frame. Adds
 * CV_INVALID_TAG, CV_INCOMPATIBLE_VR, CV_INVALID_TRANSFER_SYNTAX, CV_NO_VALUE_YET,
 * CV_NO_MORE_VALUES, CV_INVALID_VALUE_FOR_VR (malformed items), CV_CALLBACK_CANNOT_COMPLY,
 * CV_CALLBACK_REGISTERED, CV_TEMP_FILE_ERROR. */
CV_API int32_t CV_CALL CV_Get_Encapsulated_Value_To_Function(int32_t msg_id, uint32_t tag,
                                                             void* user_info,
                                                             CV_VALUE_CONSUMER consumer);
/* Hands the fragments of the frame after the frame cursor to `consumer`; as above. */
CV_API int32_t CV_CALL CV_Get_Next_Encapsulated_Value_To_Function(int32_t msg_id, uint32_t tag,
                                                                  void* user_info,
                                                                  CV_VALUE_CONSUMER consumer);

/* ---- Byte order ---------------------------------------------------------------------------- */

/* Reverses the bytes of every 2-byte unit of an OW value and of every 4-byte unit of an OL or OF
 * value, in place (an OB value is left as it is). A trailing partial unit stays as it is and is
 * logged. Adds CV_INVALID_TAG, CV_INCOMPATIBLE_VR, CV_CALLBACK_REGISTERED (value supplied by a
 * callback), CV_TEMP_FILE_ERROR (value kept in a temporary file). */
CV_API int32_t CV_CALL CV_Byte_Swap_OBOW(int32_t msg_id, uint32_t tag);

CV_EXTERN_C_END

#endif /* TESSEL_TESSEL_VALUES_H_ */
