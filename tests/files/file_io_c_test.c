/* The disk callbacks of tessel_file_io.h compile as C99 and work through the shared library: a
 * file written to disk reads back, and a missing file reports its errno. */
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

int main(void) {
  const char* path = TESSEL_TEST_SCRATCH_DIR "/c_file_io.dcm";
  int32_t app = -1, written = -1, read = -1;
  char text[64] = "";
  CV_FILE_IO io;

  CHECK(CV_Set_TesselINI(TESSEL_TEST_ETC_DIR "/tessel.ini") == CV_NORMAL_COMPLETION);
  CHECK(CV_Library_Initialization(NULL, NULL, NULL) == CV_NORMAL_COMPLETION);
  CHECK(CV_Register_Application(&app, "C_FILES") == CV_NORMAL_COMPLETION);
  CHECK(CV_Create_Empty_File(&written, path) == CV_NORMAL_COMPLETION);
  CHECK(CV_Set_Value_From_String(written, 0x00020002, "1.2.840.10008.5.1.4.1.1.7") == 1);
  CHECK(CV_Set_Value_From_String(written, 0x00020003, "1.2.3.4") == 1);
  CHECK(CV_Set_Value_From_String(written, 0x00020010, "1.2.840.10008.1.2.1") == 1);
  CHECK(CV_Set_Value_From_String(written, 0x00100010, "Doe^Jane") == 1);
  CHECK(CV_File_IO_Open_Write(&io, path) == CV_NORMAL_COMPLETION);
  CHECK(CV_Write_File(written, 0, &io, CV_File_IO_Write) == CV_NORMAL_COMPLETION);
  CHECK(CV_File_IO_Close(&io) == CV_NORMAL_COMPLETION);

  CHECK(CV_Create_Empty_File(&read, path) == CV_NORMAL_COMPLETION);
  CHECK(CV_File_IO_Open_Read(&io, path, 64) == CV_NORMAL_COMPLETION);
  CHECK(CV_Open_File(app, read, &io, CV_File_IO_Read) == CV_NORMAL_COMPLETION);
  CHECK(CV_File_IO_Close(&io) == CV_NORMAL_COMPLETION);
  CHECK(CV_Get_Value_To_String(read, 0x00100010, sizeof text, text) == CV_NORMAL_COMPLETION);
  CHECK(strcmp(text, "Doe^Jane") == 0);

  CHECK(CV_File_IO_Open_Read(&io, TESSEL_TEST_SCRATCH_DIR "/missing/none.dcm", 0) ==
        CV_CALLBACK_CANNOT_COMPLY);
  CHECK(io.error == ENOENT && io.file == NULL);

  CHECK(CV_Free_File(&written) == CV_NORMAL_COMPLETION);
  CHECK(CV_Free_File(&read) == CV_NORMAL_COMPLETION);
  CHECK(CV_Release_Application(&app) == CV_NORMAL_COMPLETION);
  CHECK(CV_Library_Release() == CV_NORMAL_COMPLETION);
  remove(path);
  return failures == 0 ? 0 : 1;
}
