/* Tessel: data dictionary lookups. */
#ifndef TESSEL_TESSEL_DICTIONARY_H_
#define TESSEL_TESSEL_DICTIONARY_H_

#include "tessel/tessel_defs.h"

CV_EXTERN_C_BEGIN

/* Copies the dictionary name of a tag (cut to length - 1 characters and CV_BUFFER_TOO_SMALL when
 * longer). Adds CV_NULL_POINTER_PARM, CV_BUFFER_TOO_SMALL (negative length), CV_INVALID_TAG
 * (unknown tag), CV_MISSING_CONFIG_PARM (no dictionary). */
CV_API int32_t CV_CALL CV_Get_Tag_Info(uint32_t tag, char* name, int32_t length);
/* Name, VR code (CV_VR_CODE) and VM bounds (255 = n) of a tag. Adds CV_NULL_POINTER_PARM (any
 * null pointer or tag 0), CV_BUFFER_TOO_SMALL (length below 1), CV_INVALID_TAG. */
CV_API int32_t CV_CALL CV_Get_Tags_Dict_Info(uint32_t tag, char* name, int32_t length, int32_t* vr,
                                             uint16_t* vm_low, uint16_t* vm_high);
/* Name of a private attribute of a creator: group and element byte (block-relative). */
CV_API int32_t CV_CALL CV_Get_pTag_Info(const char* creator, uint16_t group, uint8_t element,
                                        char* name, int32_t length);
/* The keyword derived from a tag's dictionary name (e.g. "PatientName"). Adds
 * CV_NULL_POINTER_PARM, CV_BUFFER_TOO_SMALL, CV_MISSING_CONFIG_PARM, CV_INVALID_TAG (private or
 * unknown tag). Nothing is written when the keyword does not fit. */
CV_API int32_t CV_CALL CV_Get_Tag_Keyword(uint32_t tag, char* keyword, int32_t length);

CV_EXTERN_C_END

#endif /* TESSEL_TESSEL_DICTIONARY_H_ */
