/* Tessel: transfer syntax codes and their UIDs. */
#ifndef TESSEL_TESSEL_SYNTAX_H_
#define TESSEL_TESSEL_SYNTAX_H_

#include "tessel/tessel_defs.h"

CV_EXTERN_C_BEGIN

/* Copies the configured UID of a transfer syntax code (TRANSFER_SYNTAX) with its NUL. Adds
 * CV_NULL_POINTER_PARM, CV_INVALID_TRANSFER_SYNTAX (unknown code or no UID configured),
 * CV_BUFFER_TOO_SMALL. */
CV_API int32_t CV_CALL CV_Get_Transfer_Syntax_From_Enum(int32_t syntax, char* buffer,
                                                        int32_t buffer_length);
/* Finds the code of a transfer syntax UID. Trailing blanks are removed from uid in place. An
 * unknown UID stores IMPLICIT_LITTLE_ENDIAN and returns CV_INVALID_TRANSFER_SYNTAX. Adds
 * CV_NULL_POINTER_PARM. */
CV_API int32_t CV_CALL CV_Get_Enum_From_Transfer_Syntax(char* uid, int32_t* syntax);

CV_EXTERN_C_END

#endif /* TESSEL_TESSEL_SYNTAX_H_ */
