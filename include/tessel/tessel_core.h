/* Tessel: status texts, library lifecycle, applications, value-callback registration, logging,
 * memory and the list container. */
#ifndef TESSEL_TESSEL_CORE_H_
#define TESSEL_TESSEL_CORE_H_

#include "tessel/tessel_defs.h"

CV_EXTERN_C_BEGIN

/* ---- Status texts ------------------------------------------------------------------------ */

/* Returns the fixed text of a status code, or "Unknown Error". Needs no initialisation; the
 * text is constant and must not be freed. */
CV_API const char* CV_CALL CV_Error_Message(int32_t status);
/* Returns the text of a socket error number. Unknown numbers give "error #" and three digits in
 * one static buffer that the next such call rewrites. Needs no initialisation. */
CV_API const char* CV_CALL CV3_strerror(int32_t error_number);

/* ---- Lifecycle ---------------------------------------------------------------------------- */

/* A generated configuration function returns a prepared configuration record whose first
 * member points to the identification text it was generated for. */
typedef struct CV_CONFIG_RECORD CV_CONFIG_RECORD;
typedef CV_CONFIG_RECORD*(CV_CALL* CV_CONFIG_FUNCTION)(void);

/* A generated dictionary function returns a record of the identification text and a prebuilt
 * dictionary table. */
typedef struct CV_DICTIONARY_RECORD {
  const char* version;
  const void* table;
} CV_DICTIONARY_RECORD;
typedef CV_DICTIONARY_RECORD*(CV_CALL* CV_DICTIONARY_FUNCTION)(void);

/* Stores the path of the initialisation file (a private copy; NULL clears it). Only before
 * initialisation: returns CV_LIBRARY_ALREADY_INITIALIZED afterwards; CV_SYSTEM_ERROR when the
 * copy cannot be made. */
CV_API int32_t CV_CALL CV_Set_TesselINI(const char* path);
/* Initialises the library: configuration, log, service tables and data dictionary. All three
 * arguments may be NULL. Returns CV_LIBRARY_ALREADY_INITIALIZED, CV_INI_FILE_NOT_FOUND,
 * CV_INVALID_CONFIG_PARM, CV_INVALID_GENERATOR_VERSION or the dictionary's status. */
CV_API int32_t CV_CALL CV_Library_Initialization(CV_CONFIG_FUNCTION profile,
                                                 CV_DICTIONARY_FUNCTION dictionary, void* reserved);
/* Drops every object, reloads configuration and tables; stays initialised. */
CV_API int32_t CV_CALL CV_Library_Reset(void);
/* Closes listen sockets, frees all memory and closes the log; back to uninitialised. */
CV_API int32_t CV_CALL CV_Library_Release(void);
/* Writes the version text ("4.5.0") into buffer of length bytes. Adds CV_NULL_POINTER_PARM,
 * CV_BUFFER_TOO_SMALL (length below 6). Needs no initialisation. */
CV_API int32_t CV_CALL CV_Get_Version_String(int32_t length, char* buffer);
/* Tells the image-compression component that the calling thread ends. */
CV_API int32_t CV_CALL CV_Thread_Release(void);

/* ---- Applications ------------------------------------------------------------------------- */

/* Registers a local application entity title (1 to 16 characters) and returns its identifier
 * through app_id (-1 on failure). Adds CV_NULL_POINTER_PARM, CV_INVALID_TITLE_LENGTH,
 * CV_ALREADY_REGISTERED, CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Register_Application(int32_t* app_id, const char* title);
/* Releases an application, its callbacks and associations; sets *app_id to -1. Adds
 * CV_NULL_POINTER_PARM, CV_INVALID_APPLICATION_ID. */
CV_API int32_t CV_CALL CV_Release_Application(int32_t* app_id);

/* ---- Value callbacks ---------------------------------------------------------------------- */

/* Request codes passed to value callbacks. 300 asks for the next chunk of the value the callback
 * supplies (it sets *data_size, *data and, on the last chunk, *is_last). */
#define CV_CB_GET_DATA 300
#define CV_CB_GET_LENGTH 301
#define CV_CB_PROVIDE_DATA 302
#define CV_CB_STREAM_LENGTH 303
#define CV_CB_STREAM_DATA 304
#define CV_CB_SET_DATA 305
#define CV_CB_FREE_DATA 306

/* Value callback of a standard attribute. data_size and data point to the chunk; is_first marks
 * the first chunk; *is_last is set on the last. Returns a status; anything but
 * CV_NORMAL_COMPLETION fails the calling operation. */
typedef int32_t(CV_CALL* CV_VALUE_CALLBACK)(int32_t msg_id, uint32_t tag, void* user_info,
                                            int32_t request, uint32_t* data_size, void** data,
                                            int32_t is_first, int32_t* is_last);
/* Value callback of a private attribute, addressed by creator code, group and element byte. */
typedef int32_t(CV_CALL* CV_PVALUE_CALLBACK)(int32_t msg_id, const char* creator, uint16_t group,
                                             uint8_t element, void* user_info, int32_t request,
                                             uint32_t* data_size, void** data, int32_t is_first,
                                             int32_t* is_last);

/* Registers (or replaces) the value callback of a tag for an application. Adds
 * CV_NULL_POINTER_PARM, CV_INVALID_TAG (private group), CV_INVALID_APPLICATION_ID,
 * CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Register_Callback_Function(int32_t app_id, uint32_t tag, void* user_info,
                                                     CV_VALUE_CALLBACK function);
/* Registers the value callback of a private attribute. Adds CV_NULL_POINTER_PARM,
 * CV_INVALID_APPLICATION_ID, CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Register_pCallback_Function(int32_t app_id, const char* creator,
                                                      uint16_t group, uint8_t element,
                                                      void* user_info, CV_PVALUE_CALLBACK function);
/* Removes a registered callback. Adds CV_INVALID_APPLICATION_ID, CV_INVALID_TAG (none). */
CV_API int32_t CV_CALL CV_Release_Callback_Function(int32_t app_id, uint32_t tag);
CV_API int32_t CV_CALL CV_Release_pCallback_Function(int32_t app_id, const char* creator,
                                                     uint16_t group, uint8_t element);
/* Binds an application's callbacks to the OB/OW/OL/OF attributes of a message. Adds
 * CV_INVALID_APPLICATION_ID, CV_INVALID_MESSAGE_ID. */
CV_API int32_t CV_CALL CV_Set_Message_Callbacks(int32_t app_id, int32_t msg_id);

/* ---- Named locks -------------------------------------------------------------------------- */

/* An opaque recursive lock. */
typedef struct CV_LOCK CV_LOCK;

/* The library's named locks, created at initialisation. Applications that extend the library's
 * tables may hold one with CV3_RequestSemaphore / CV3_ReleaseSemaphore. */
typedef struct CV_NAMED_LOCKS {
  CV_LOCK* mallocSemaphore;
  CV_LOCK* dictionSemaphore;
  CV_LOCK* logSemaphore;
  CV_LOCK* sesObjSemaphore;
  CV_LOCK* appObjSemaphore;
  CV_LOCK* msgObjSemaphore;
  CV_LOCK* entityObjSemaphore;
  CV_LOCK* DirModelInitSemaphore;
  CV_LOCK* appInfoListSemaphore;
  CV_LOCK* syntaxListHeadSemaphore;
  CV_LOCK* serviceListHeadSemaphore;
  CV_LOCK* serviceNameListHeadSemaphore;
  CV_LOCK* SRRecListSemaphore;
  CV_LOCK* ListenPortListSemaphore;
} CV_NAMED_LOCKS;
CV_API extern CV_NAMED_LOCKS S;

/* Enters / leaves a lock (recursive per thread). A NULL lock is ignored. Needs no
 * initialisation. */
CV_API void CV_CALL CV3_RequestSemaphore(CV_LOCK* lock);
CV_API void CV_CALL CV3_ReleaseSemaphore(CV_LOCK* lock);

/* ---- Logging ------------------------------------------------------------------------------ */

/* Log level bit values for CVlog and CVlog_Function. */
#define CV_LOG_T1 1
#define CV_LOG_T2 2
#define CV_LOG_T3 4
#define CV_LOG_T4 8
#define CV_LOG_T5 16
#define CV_LOG_T6 32
#define CV_LOG_T7 64
#define CV_LOG_T8 128
#define CV_LOG_T9 256
#define CV_LOG_INFO 512
#define CV_LOG_WARNING 1024
#define CV_LOG_ERROR 2048

/* Results of CVlog and CVlog_Function. */
#define CV_LOG_OK 0
#define CV_LOG_FILE_FAILED 2
#define CV_LOG_NO_FORMAT 4
#define CV_LOG_WRITE_FAILED 5
#define CV_LOG_NOT_CONFIGURED 7
#define CV_LOG_NO_MEMORY 8

/* Writes one log line at a level with printf formatting. */
CV_API int32_t CV_CALL CVlog(int32_t level, const char* format, ...) CV_PRINTF_FORMAT(2, 3);
/* As CVlog; the line carries the function name. */
CV_API int32_t CV_CALL CVlog_Function(const char* function, int32_t level, const char* format, ...)
    CV_PRINTF_FORMAT(3, 4);
/* Sets the prefix of every log line (at most 10 characters after leading blanks; NULL clears).
 * Returns the stored prefix. Needs no initialisation. */
CV_API const char* CV_CALL CV_Set_Log_Prefix(const char* prefix);

/* Enhanced log record handed to the enhanced callback; valid only during the call. */
typedef struct CV_LOG_RECORD {
  int32_t level; /* 1 error, 2 warning, 3 info, 5..13 trace 1..9, 14 unknown */
  int32_t hour;
  int32_t minute;
  int32_t second;
  int32_t hundredths;
  int32_t day;   /* of the month */
  int32_t month; /* 0 to 11 */
  int32_t year;  /* since 1900 */
  const char* level_tag;
  const char* prefix;
  const char* thread_id;
  const char* time_text;
  const char* function;
  const char* message;
} CV_LOG_RECORD;

/* Simple callback: type 1 error, 2 warning, 3 info, 4 trace; the whole formatted line. */
typedef void(CV_CALL* CV_MEMORY_LOG_FUNCTION)(int32_t type, const char* line);
typedef void(CV_CALL* CV_ENHANCED_LOG_FUNCTION)(const CV_LOG_RECORD* record);
/* Receives the lines of the memory ring, oldest first. */
typedef int32_t(CV_CALL* CV_MEMORY_LOG_READER)(const char* line, int32_t is_first, int32_t is_last);

/* Register (NULL removes) the log callbacks. Do nothing unless initialised. */
CV_API void CV_CALL CV_Register_MemoryLog_Function(CV_MEMORY_LOG_FUNCTION function);
CV_API void CV_CALL CV_Register_Enhanced_MemoryLog_Function(CV_ENHANCED_LOG_FUNCTION function);
/* Hands every line of the memory ring to function, oldest first; empties the ring when clear is
 * non-zero. Adds CV_NULL_POINTER_PARM, CV_LOG_EMPTY. */
CV_API int32_t CV_CALL CV_MemoryLog_To_Function(int32_t clear, CV_MEMORY_LOG_READER function);

/* ---- Memory ------------------------------------------------------------------------------- */

/* Frees pool blocks whose slots are all free, within seconds (0: no limit); a later call
 * resumes where a time-limited one stopped. Adds CV_VALUE_OUT_OF_RANGE (negative). */
CV_API int32_t CV_CALL CV_Cleanup_Memory(int32_t seconds);
/* Returns the bytes allocated from the system and the bytes in blocks holding live objects;
 * writes the per-pool report at trace 1 when that level is on. Adds CV_NULL_POINTER_PARM. */
CV_API int32_t CV_CALL CV_Report_Memory(uint32_t* bytes_allocated, uint32_t* bytes_in_use);

/* ---- List container ----------------------------------------------------------------------- */

/* A position in a library list; iterate lists returned by the library with CObList_GetNext. */
typedef struct CNode CNode;
typedef CNode* POSITION;
/* Returns the data word of the node at *position and moves *position to the next node (NULL
 * after the tail). */
CV_API void* CV_CALL CObList_GetNext(POSITION* position);

CV_EXTERN_C_END

#endif /* TESSEL_TESSEL_CORE_H_ */
