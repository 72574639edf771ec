/* A program of a library user: starts Tessel from the installed configuration. */
#include <stdio.h>

#include <tessel/tessel.h>

int main(int argc, char** argv) {
  int32_t status;
  char name[64];
  if (argc != 2) return 2;
  CV_Set_TesselINI(argv[1]);
  status = CV_Library_Initialization(NULL, NULL, NULL);
  if (status != CV_NORMAL_COMPLETION) {
    fprintf(stderr, "initialisation: %s\n", CV_Error_Message(status));
    return 1;
  }
  status = CV_Get_Tag_Info(0x00100010, name, (int32_t)sizeof name);
  printf("%s (%s), version %s\n", name, CV_Error_Message(status), TESSEL_VERSION_STRING);
  CV_Library_Release();
  return status == CV_NORMAL_COMPLETION ? 0 : 1;
}
