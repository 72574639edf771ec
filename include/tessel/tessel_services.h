/* Tessel: the service table built from the services profile. */
#ifndef TESSEL_TESSEL_SERVICES_H_
#define TESSEL_TESSEL_SERVICES_H_

#include "tessel/tessel_defs.h"

CV_EXTERN_C_BEGIN

/* Finds the service name configured for a SOP class UID (compared exactly) and copies it with
 * its NUL into buffer, which holds buffer_size bytes. Needs initialisation.
 * Adds CV_NULL_POINTER_PARM (sop_class_uid or buffer NULL); CV_INVALID_SOP_CLASS_UID (no
 * service has that UID; an empty text is written when buffer_size is positive);
 * CV_BUFFER_TOO_SMALL (buffer_size negative, or the name does not fit: the first
 * buffer_size - 1 characters are written with a NUL). */
CV_API int32_t CV_CALL CV_Get_Corvane_Service(const char* sop_class_uid, char* buffer,
                                              int32_t buffer_size);

/* Finds the SOP class UID of a configured service name (compared exactly) and copies it with
 * its NUL into buffer, with the same conventions as CV_Get_Corvane_Service. Needs
 * initialisation. Adds CV_NULL_POINTER_PARM; CV_INVALID_SERVICE_NAME (no service has that
 * name); CV_BUFFER_TOO_SMALL. */
CV_API int32_t CV_CALL CV_Get_UID_From_Corvane_Service(const char* service_name, char* buffer,
                                                       int32_t buffer_size);

CV_EXTERN_C_END

#endif /* TESSEL_TESSEL_SERVICES_H_ */
