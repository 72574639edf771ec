/* Tessel: ready-made file callbacks for plain files on disk.
 *
 * The library never opens files itself; CV_Write_File and CV_Open_File hand the bytes to
 * callbacks of the application. This header supplies a pair of such callbacks over C stdio for
 * the common case of a file on a local disk, as static inline functions: nothing here is
 * exported by the library, and the header may be used from C99 and C++.
 *
 *   CV_FILE_IO io;
 *   if (CV_File_IO_Open_Write(&io, "out.dcm") == CV_NORMAL_COMPLETION) {
 *     int32_t status = CV_Write_File(file_id, 0, &io, CV_File_IO_Write);
 *     if (CV_File_IO_Close(&io) != CV_NORMAL_COMPLETION && status == CV_NORMAL_COMPLETION)
 *       status = CV_CALLBACK_CANNOT_COMPLY;
 *   }
 *
 *   if (CV_File_IO_Open_Read(&io, "in.dcm", 0) == CV_NORMAL_COMPLETION) {
 *     int32_t status = CV_Open_File(app_id, file_id, &io, CV_File_IO_Read);
 *     CV_File_IO_Close(&io);
 *   }
 *
 * One CV_FILE_IO serves one file at a time and one thread at a time. */
#ifndef TESSEL_TESSEL_FILE_IO_H_
#define TESSEL_TESSEL_FILE_IO_H_

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "tessel/tessel_file.h"
#include "tessel/tessel_status.h"

#ifdef __cplusplus
#  define CV_FILE_IO_CAST_(type, value) static_cast<type>(value)
#else
#  define CV_FILE_IO_CAST_(type, value) ((type)(value))
#endif

/* Chunk size of CV_File_IO_Read when the caller gives none (bytes, even). */
#define CV_FILE_IO_DEFAULT_CHUNK 262144u

CV_EXTERN_C_BEGIN

/* The state of one open file: pass its address as the user_info of CV_Write_File or
 * CV_Open_File. Fields are read-only for the application. */
typedef struct CV_FILE_IO {
  FILE* file;          /* the open stream; NULL when closed */
  void* buffer;        /* reading: the chunk handed to the library (owned) */
  uint32_t chunk_size; /* reading: bytes asked of stdio per chunk (even) */
  int32_t error;       /* errno of the first failure, 0 when none */
  long long remaining; /* reading: bytes left in a regular file; -1 when its size is unknown */
} CV_FILE_IO;

/* Opens `path` for writing in binary mode (created or truncated). Returns CV_NORMAL_COMPLETION,
 * CV_NULL_POINTER_PARM, or CV_CALLBACK_CANNOT_COMPLY with io->error set when the file cannot be
 * opened (io is then closed). */
static inline int32_t CV_File_IO_Open_Write(CV_FILE_IO* io, const char* path) {
  if (io == NULL || path == NULL) return CV_NULL_POINTER_PARM;
  io->buffer = NULL;
  io->chunk_size = 0;
  io->error = 0;
  io->remaining = -1;
  errno = 0;
  io->file = fopen(path, "wb");
  if (io->file == NULL) {
    io->error = errno != 0 ? errno : EIO;
    return CV_CALLBACK_CANNOT_COMPLY;
  }
  return CV_NORMAL_COMPLETION;
}

/* Opens `path` for reading in binary mode with a chunk buffer of `chunk_size` bytes (0: the
 * default; an odd size is made even, a size below 2 becomes 2). Returns CV_NORMAL_COMPLETION,
 * CV_NULL_POINTER_PARM, or CV_CALLBACK_CANNOT_COMPLY with io->error set (io is then closed). */
static inline int32_t CV_File_IO_Open_Read(CV_FILE_IO* io, const char* path, uint32_t chunk_size) {
  if (io == NULL || path == NULL) return CV_NULL_POINTER_PARM;
  io->error = 0;
  io->remaining = -1;
  io->chunk_size = chunk_size == 0 ? CV_FILE_IO_DEFAULT_CHUNK : chunk_size & ~1u;
  if (io->chunk_size < 2) io->chunk_size = 2;
  io->buffer = malloc(io->chunk_size);
  if (io->buffer == NULL) {
    io->file = NULL;
    io->error = ENOMEM;
    return CV_CALLBACK_CANNOT_COMPLY;
  }
  errno = 0;
  io->file = fopen(path, "rb");
  if (io->file == NULL) {
    io->error = errno != 0 ? errno : EIO;
    free(io->buffer);
    io->buffer = NULL;
    return CV_CALLBACK_CANNOT_COMPLY;
  }
  /* A file whose size is known ends without a read past its last chunk. */
  if (fseek(io->file, 0, SEEK_END) == 0) {
    long size = ftell(io->file);
    if (size >= 0 && fseek(io->file, 0, SEEK_SET) == 0) {
      io->remaining = size;
    } else {
      io->remaining = -1;
      clearerr(io->file);
      rewind(io->file);
    }
  }
  return CV_NORMAL_COMPLETION;
}

/* Closes the file and frees the buffer; safe on a closed CV_FILE_IO. Returns
 * CV_CALLBACK_CANNOT_COMPLY when a write failed or the data could not be flushed to the file
 * (io->error tells why), else CV_NORMAL_COMPLETION: check it after writing. */
static inline int32_t CV_File_IO_Close(CV_FILE_IO* io) {
  if (io == NULL) return CV_NULL_POINTER_PARM;
  if (io->file != NULL) {
    errno = 0;
    if (fclose(io->file) != 0 && io->error == 0) io->error = errno != 0 ? errno : EIO;
    io->file = NULL;
  }
  free(io->buffer);
  io->buffer = NULL;
  return io->error == 0 ? CV_NORMAL_COMPLETION : CV_CALLBACK_CANNOT_COMPLY;
}

/* Write callback (CV_FILE_SINK) for CV_Write_File: appends each chunk to the file and flushes it
 * with the last one. `user_info` is the CV_FILE_IO opened by CV_File_IO_Open_Write. A failing
 * write records errno in io->error and refuses the chunk, which ends the write with
 * CV_CALLBACK_CANNOT_COMPLY. */
static inline int32_t CV_CALL CV_File_IO_Write(const char* file_name, void* user_info,
                                               uint32_t data_size, void* data, int32_t is_first,
                                               int32_t is_last) {
  CV_FILE_IO* io = CV_FILE_IO_CAST_(CV_FILE_IO*, user_info);
  (void)file_name;
  (void)is_first;
  if (io == NULL || io->file == NULL || (data_size > 0 && data == NULL)) {
    return CV_CALLBACK_CANNOT_COMPLY;
  }
  errno = 0;
  if (data_size > 0 && fwrite(data, 1, data_size, io->file) != data_size) {
    if (io->error == 0) io->error = errno != 0 ? errno : EIO;
    return CV_CALLBACK_CANNOT_COMPLY;
  }
  if (is_last != 0 && fflush(io->file) != 0) {
    if (io->error == 0) io->error = errno != 0 ? errno : EIO;
    return CV_CALLBACK_CANNOT_COMPLY;
  }
  return CV_NORMAL_COMPLETION;
}

/* Read callback (CV_FILE_SOURCE) for CV_Open_File and its variants: hands over the file in
 * chunks of io->chunk_size bytes (the last may be shorter, and is odd when the file length is
 * odd) and sets *is_last on the final chunk. `user_info` is the CV_FILE_IO opened by
 * CV_File_IO_Open_Read. A read error records errno in io->error and ends the read with
 * CV_CALLBACK_CANNOT_COMPLY. */
static inline int32_t CV_CALL CV_File_IO_Read(const char* file_name, void* user_info,
                                              uint32_t* data_size, void** data, int32_t is_first,
                                              int32_t* is_last) {
  CV_FILE_IO* io = CV_FILE_IO_CAST_(CV_FILE_IO*, user_info);
  size_t got;
  int next;
  (void)file_name;
  (void)is_first;
  if (io == NULL || io->file == NULL || io->buffer == NULL || data_size == NULL || data == NULL ||
      is_last == NULL) {
    return CV_CALLBACK_CANNOT_COMPLY;
  }
  errno = 0;
  got = fread(io->buffer, 1, io->chunk_size, io->file);
  if (ferror(io->file)) {
    if (io->error == 0) io->error = errno != 0 ? errno : EIO;
    return CV_CALLBACK_CANNOT_COMPLY;
  }
  *data_size = CV_FILE_IO_CAST_(uint32_t, got);
  *data = io->buffer;
  *is_last = 0;
  if (io->remaining >= 0) {
    io->remaining -= CV_FILE_IO_CAST_(long long, got);
    /* A file that shrank ends early; one that grows ends at its size when opened. */
    if (io->remaining <= 0 || got < io->chunk_size) *is_last = 1;
  } else if (got < io->chunk_size) {
    *is_last = 1;
  } else {
    /* Size unknown (a pipe): a full chunk may be the last one, so look one byte ahead. */
    next = getc(io->file);
    if (next == EOF && ferror(io->file)) {
      if (io->error == 0) io->error = errno != 0 ? errno : EIO;
      return CV_CALLBACK_CANNOT_COMPLY;
    }
    if (next == EOF) {
      *is_last = 1;
    } else if (ungetc(next, io->file) == EOF) {
      if (io->error == 0) io->error = EIO;
      return CV_CALLBACK_CANNOT_COMPLY;
    }
  }
  return CV_NORMAL_COMPLETION;
}

CV_EXTERN_C_END

#undef CV_FILE_IO_CAST_

#endif /* TESSEL_TESSEL_FILE_IO_H_ */
