/* The file callbacks of tessel_file_io.h used from C99 through the shared library: a file is
 * written to disk, read back into a new file object and compared; the failure paths of the
 * helpers report their status and errno. */
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <tessel/tessel.h>
#include <tessel/tessel_file_io.h>

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

static long size_of(const char* path) {
  long size = -1;
  FILE* f = fopen(path, "rb");
  if (f == NULL) return -1;
  if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
  fclose(f);
  return size;
}

int main(void) {
  const char* path = TESSEL_TEST_SCRATCH_DIR "/c_file_io.dcm";
  int32_t app = -1;
  int32_t written_id = -1;
  int32_t read_id = -1;
  uint32_t length = 0;
  char text[64];
  uint8_t preamble[CV_FILE_PREAMBLE_LENGTH];
  uint8_t back[CV_FILE_PREAMBLE_LENGTH];
  CV_FILE_IO io;
  int i;

  CHECK(CV_Set_TesselINI(TESSEL_TEST_ETC_DIR "/tessel.ini") == CV_NORMAL_COMPLETION);
  CHECK(CV_Library_Initialization(NULL, NULL, NULL) == CV_NORMAL_COMPLETION);
  CHECK(CV_Register_Application(&app, "C_FILES") == CV_NORMAL_COMPLETION);

  CHECK(CV_Create_Empty_File(&written_id, path) == CV_NORMAL_COMPLETION);
  CHECK(CV_Set_Value_From_String(written_id, 0x00020002, "1.2.840.10008.5.1.4.1.1.7") ==
        CV_NORMAL_COMPLETION);
  CHECK(CV_Set_Value_From_String(written_id, 0x00020003, "1.2.3.4") == CV_NORMAL_COMPLETION);
  CHECK(CV_Set_Value_From_String(written_id, 0x00020010, "1.2.840.10008.1.2.1") ==
        CV_NORMAL_COMPLETION);
  CHECK(CV_Set_Value_From_String(written_id, 0x00100010, "Doe^Jane") == CV_NORMAL_COMPLETION);
  CHECK(CV_Set_Value_From_String(written_id, 0x00200013, "17") == CV_NORMAL_COMPLETION);
  for (i = 0; i < CV_FILE_PREAMBLE_LENGTH; ++i) preamble[i] = (uint8_t)(i ^ 0x5A);
  CHECK(CV_Set_File_Preamble(written_id, preamble) == CV_NORMAL_COMPLETION);

  /* Write through the stdio sink, padded to 256 bytes. */
  CHECK(CV_File_IO_Open_Write(&io, path) == CV_NORMAL_COMPLETION);
  CHECK(CV_Write_File(written_id, 256, &io, CV_File_IO_Write) == CV_NORMAL_COMPLETION);
  CHECK(CV_File_IO_Close(&io) == CV_NORMAL_COMPLETION);
  CHECK(CV_Get_File_Length(written_id, &length) == CV_NORMAL_COMPLETION);
  CHECK((long)length == size_of(path));
  CHECK(size_of(path) % 256 == 0);

  /* Read it back in small chunks through the stdio source. */
  CHECK(CV_Create_Empty_File(&read_id, path) == CV_NORMAL_COMPLETION);
  CHECK(CV_File_IO_Open_Read(&io, path, 64) == CV_NORMAL_COMPLETION);
  CHECK(CV_Open_File(app, read_id, &io, CV_File_IO_Read) == CV_NORMAL_COMPLETION);
  CHECK(CV_File_IO_Close(&io) == CV_NORMAL_COMPLETION);
  CHECK(CV_Get_Value_To_String(read_id, 0x00100010, sizeof text, text) == CV_NORMAL_COMPLETION);
  CHECK(strcmp(text, "Doe^Jane") == 0);
  CHECK(CV_Get_Value_To_String(read_id, 0x00200013, sizeof text, text) == CV_NORMAL_COMPLETION);
  CHECK(strcmp(text, "17") == 0);
  CHECK(CV_Get_Value_To_String(read_id, 0x00020012, sizeof text, text) == CV_NORMAL_COMPLETION);
  CHECK(strlen(text) > 0);
  CHECK(CV_Get_File_Preamble(read_id, back) == CV_NORMAL_COMPLETION);
  CHECK(memcmp(back, preamble, sizeof back) == 0);

  /* The same file read whole, with the default chunk size. */
  CHECK(CV_Free_File(&read_id) == CV_NORMAL_COMPLETION);
  CHECK(read_id == -1);
  CHECK(CV_Create_Empty_File(&read_id, path) == CV_NORMAL_COMPLETION);
  CHECK(CV_File_IO_Open_Read(&io, path, 0) == CV_NORMAL_COMPLETION);
  CHECK(io.chunk_size == CV_FILE_IO_DEFAULT_CHUNK);
  CHECK(CV_Open_File(app, read_id, &io, CV_File_IO_Read) == CV_NORMAL_COMPLETION);
  CHECK(CV_File_IO_Close(&io) == CV_NORMAL_COMPLETION);
  CHECK(CV_Get_Value_To_String(read_id, 0x00100010, sizeof text, text) == CV_NORMAL_COMPLETION);
  CHECK(strcmp(text, "Doe^Jane") == 0);

  /* Failures of the helpers: a missing file, a directory that cannot be written, null
   * arguments, and a closed CV_FILE_IO refused by the callbacks. */
  CHECK(CV_File_IO_Open_Read(&io, TESSEL_TEST_SCRATCH_DIR "/missing/none.dcm", 0) ==
        CV_CALLBACK_CANNOT_COMPLY);
  CHECK(io.error == ENOENT);
  CHECK(io.file == NULL && io.buffer == NULL);
  CHECK(CV_File_IO_Open_Write(&io, TESSEL_TEST_SCRATCH_DIR "/missing/none.dcm") ==
        CV_CALLBACK_CANNOT_COMPLY);
  CHECK(io.error == ENOENT);
  CHECK(CV_File_IO_Open_Write(NULL, path) == CV_NULL_POINTER_PARM);
  CHECK(CV_File_IO_Open_Read(&io, NULL, 0) == CV_NULL_POINTER_PARM);
  CHECK(CV_File_IO_Close(&io) == CV_CALLBACK_CANNOT_COMPLY);
  CHECK(CV_Write_File(written_id, 0, &io, CV_File_IO_Write) == CV_CALLBACK_CANNOT_COMPLY);

  CHECK(CV_Free_File(&written_id) == CV_NORMAL_COMPLETION);
  CHECK(CV_Free_File(&read_id) == CV_NORMAL_COMPLETION);
  CHECK(CV_Release_Application(&app) == CV_NORMAL_COMPLETION);
  CHECK(CV_Library_Release() == CV_NORMAL_COMPLETION);
  remove(path);
  if (failures == 0) printf("file callbacks from C: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
