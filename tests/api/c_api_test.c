/* The public interface compiled as C99 and used through the shared library. */
#include <stdio.h>
#include <string.h>

#include <tessel/tessel.h>

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

static int lines_seen = 0;
static void CV_CALL count_line(int32_t type, const char* line) {
  (void)type;
  if (line != NULL && strstr(line, "from C") != NULL) ++lines_seen;
}

int main(void) {
  char version[16];
  int32_t app = 0;
  int32_t value = 0;
  uint32_t allocated = 0, in_use = 0;

  CHECK(CV_Register_Application(&app, "C_CLIENT") == CV_LIBRARY_NOT_INITIALIZED);
  CHECK(CV_Get_Version_String((int32_t)sizeof version, version) == CV_NORMAL_COMPLETION);
  CHECK(strcmp(version, "4.5.0") == 0);
  CHECK(strcmp(CV_Error_Message(CV_TIMEOUT), "Timed out waiting on network partner") == 0);

  CHECK(CV_Set_TesselINI(TESSEL_TEST_ETC_DIR "/tessel.ini") == CV_NORMAL_COMPLETION);
  CHECK(CV_Library_Initialization(NULL, NULL, NULL) == CV_NORMAL_COMPLETION);
  CHECK(CV_Register_Application(&app, "C_CLIENT") == CV_NORMAL_COMPLETION);
  CHECK(app == 1001);
  CHECK(CV_Get_Long_Config_Value(PDU_MAXIMUM_LENGTH, &value) == CV_NORMAL_COMPLETION);
  CHECK(value >= 4096);
  CHECK(CV_Set_Log_Destination(WARNING_MESSAGE, CV_LOG_DEST_MEMORY) == CV_NORMAL_COMPLETION);
  CV_Register_MemoryLog_Function(count_line);
  CVlog(CV_LOG_WARNING, "warning %d from C", 1);
  CHECK(lines_seen == 1);
  CHECK(CV_Report_Memory(&allocated, &in_use) == CV_NORMAL_COMPLETION);
  CHECK(allocated >= in_use);
  CHECK(CV_Release_Application(&app) == CV_NORMAL_COMPLETION);
  CHECK(app == -1);
  CHECK(CV_Library_Release() == CV_NORMAL_COMPLETION);
  if (failures == 0) printf("C interface: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
