/* find_scp.c: a small query acceptor written against the public C interface of Tessel.
 *
 * It registers one application entity, waits for associations on a TCP port, and answers
 * C-FIND requests of the Patient Root and Study Root query models (and C-ECHO) from a few
 * patients and studies held in memory. Each match leaves as a pending response (0xFF00)
 * carrying the keys the requestor asked for; a final response closes the query. Associations
 * are served one at a time; SIGINT or SIGTERM stops the program.
 *
 *   tessel-find-scp-example [--ini PATH] [--aet AE] [--port PORT] [--address ADDR]
 *
 * Matching, kept to what an example needs: PatientName and PatientID match exactly or with the
 * wildcards '*' and '?', StudyInstanceUID matches one of the UIDs listed, and an empty key
 * matches everything. Every other key is only returned. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <tessel/tessel.h>

/* Services the acceptor offers: a section of the application profile (applications.pro). */
#define SERVICE_LIST "QUERY_FIND_SERVICE_LIST"
#define PATIENT_ROOT_FIND "STANDARD_PATIENT_ROOT_QR_FIND"

/* DIMSE command fields and the statuses this acceptor answers with. */
#define C_FIND_RQ 0x0020
#define C_FIND_RSP 0x8020
#define C_ECHO_RQ 0x0030
#define C_ECHO_RSP 0x8030
#define STATUS_SUCCESS 0x0000
#define STATUS_PENDING 0xFF00
#define STATUS_IDENTIFIER_MISMATCH 0xA900 /* the identifier does not fit the query model */
#define STATUS_UNABLE_TO_PROCESS 0xC000

/* Attribute tags, group in the high 16 bits. */
#define TAG_STUDY_DATE 0x00080020u
#define TAG_QUERY_LEVEL 0x00080052u
#define TAG_ACCESSION_NUMBER 0x00080050u
#define TAG_MODALITIES_IN_STUDY 0x00080061u
#define TAG_STUDY_DESCRIPTION 0x00081030u
#define TAG_PATIENT_NAME 0x00100010u
#define TAG_PATIENT_ID 0x00100020u
#define TAG_PATIENT_BIRTH_DATE 0x00100030u
#define TAG_PATIENT_SEX 0x00100040u
#define TAG_STUDY_UID 0x0020000Du
#define TAG_STUDY_ID 0x00200010u

/* The example's database: each record is a short list of attributes. */
typedef struct {
  uint32_t tag;
  const char* value;
} Field;
typedef struct {
  int patient; /* index into PATIENTS; -1 for a patient record itself */
  Field fields[6];
} Record;

/* clang-format off */
static const Record PATIENTS[] = {
    {-1, {{TAG_PATIENT_NAME, "DOE^JOHN"}, {TAG_PATIENT_ID, "PAT001"},
          {TAG_PATIENT_BIRTH_DATE, "19700101"}, {TAG_PATIENT_SEX, "M"}}},
    {-1, {{TAG_PATIENT_NAME, "DOE^JANE"}, {TAG_PATIENT_ID, "PAT002"},
          {TAG_PATIENT_BIRTH_DATE, "19820315"}, {TAG_PATIENT_SEX, "F"}}},
    {-1, {{TAG_PATIENT_NAME, "SMITH^ANNA"}, {TAG_PATIENT_ID, "PAT003"},
          {TAG_PATIENT_BIRTH_DATE, "19551120"}, {TAG_PATIENT_SEX, "F"}}},
};
static const Record STUDIES[] = {
    {0, {{TAG_STUDY_UID, "2.25.100100100100001"}, {TAG_STUDY_DATE, "20240105"},
         {TAG_STUDY_ID, "S1"}, {TAG_ACCESSION_NUMBER, "ACC1001"},
         {TAG_STUDY_DESCRIPTION, "CT CHEST"}, {TAG_MODALITIES_IN_STUDY, "CT"}}},
    {0, {{TAG_STUDY_UID, "2.25.100100100100002"}, {TAG_STUDY_DATE, "20240612"},
         {TAG_STUDY_ID, "S2"}, {TAG_ACCESSION_NUMBER, "ACC1002"},
         {TAG_STUDY_DESCRIPTION, "MR KNEE"}, {TAG_MODALITIES_IN_STUDY, "MR"}}},
    {1, {{TAG_STUDY_UID, "2.25.100100100100003"}, {TAG_STUDY_DATE, "20231130"},
         {TAG_STUDY_ID, "S3"}, {TAG_ACCESSION_NUMBER, "ACC1003"},
         {TAG_STUDY_DESCRIPTION, "US ABDOMEN"}, {TAG_MODALITIES_IN_STUDY, "US"}}},
    {2, {{TAG_STUDY_UID, "2.25.100100100100004"}, {TAG_STUDY_DATE, "20220301"},
         {TAG_STUDY_ID, "S4"}, {TAG_ACCESSION_NUMBER, "ACC1004"},
         {TAG_STUDY_DESCRIPTION, "CHEST PA"}, {TAG_MODALITIES_IN_STUDY, "CR"}}},
};
/* clang-format on */
#define COUNT(array) (sizeof(array) / sizeof((array)[0]))

/* A study record also answers for the attributes of its patient. */
static const char* record_value(const Record* record, uint32_t tag) {
  size_t i;
  for (i = 0; i < COUNT(record->fields) && record->fields[i].value != NULL; ++i) {
    if (record->fields[i].tag == tag) return record->fields[i].value;
  }
  return record->patient >= 0 ? record_value(&PATIENTS[record->patient], tag) : NULL;
}

/* '*' matches any run of characters, '?' any one character. Runs in time proportional to the
 * product of the lengths, whatever the pattern. */
static int wildcard_match(const char* pattern, const char* text) {
  const char* star = NULL;
  const char* resume = NULL;
  while (*text != '\0') {
    if (*pattern == '?' || (*pattern != '*' && *pattern == *text)) {
      ++pattern;
      ++text;
    } else if (*pattern == '*') {
      star = pattern++;
      resume = text;
    } else if (star != NULL) {
      pattern = star + 1;
      text = ++resume;
    } else {
      return 0;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

/* Reads the next text value of a key without its padding. Returns 0 when there is none. */
static int next_text(int32_t msg_id, uint32_t tag, int first, char* buffer, uint32_t size) {
  size_t length;
  const int32_t status = first ? CV_Get_Value_To_String(msg_id, tag, size, buffer)
                               : CV_Get_Next_Value_To_String(msg_id, tag, size, buffer);
  if (status != CV_NORMAL_COMPLETION) return 0;
  length = strlen(buffer);
  while (length > 0 && buffer[length - 1] == ' ') buffer[--length] = '\0';
  return 1;
}

/* Whether a record satisfies the request's matching keys. */
static int record_matches(int32_t request, const Record* record) {
  static const uint32_t wildcard_keys[] = {TAG_PATIENT_NAME, TAG_PATIENT_ID};
  char key[256];
  size_t i;
  int first;
  int listed = 0;
  for (i = 0; i < COUNT(wildcard_keys); ++i) {
    const char* held = record_value(record, wildcard_keys[i]);
    if (next_text(request, wildcard_keys[i], 1, key, sizeof key) && key[0] != '\0' &&
        held != NULL && !wildcard_match(key, held)) {
      return 0;
    }
  }
  /* A UID key may list several UIDs; the record matches when it holds one of them. */
  for (first = 1; next_text(request, TAG_STUDY_UID, first, key, sizeof key); first = 0) {
    const char* held = record_value(record, TAG_STUDY_UID);
    if (key[0] == '\0' || held == NULL || strcmp(key, held) == 0) return 1;
    listed = 1;
  }
  return !listed;
}

/* Sends a response without identifier: the final status, or a failure. */
static int32_t send_final(int32_t assoc_id, const char* service, int32_t status) {
  int32_t response = CV_NO_ID;
  int32_t result = CV_Open_Empty_Message(&response);
  if (result == CV_NORMAL_COMPLETION)
    result = CV_Set_Service_Command(response, service, C_FIND_RSP);
  if (result == CV_NORMAL_COMPLETION) result = CV_Send_Response_Message(assoc_id, status, response);
  if (response != CV_NO_ID) CV_Free_Message(&response);
  return result;
}

/* Sends one pending response holding every key of the request, with the record's value or, for
 * a key the record does not hold, empty. Keys the dictionary does not know are left out. */
static int32_t send_match(int32_t assoc_id, const char* service, const uint32_t* keys,
                          int key_count, const char* level, const Record* record) {
  int32_t response = CV_NO_ID;
  int32_t result = CV_Open_Empty_Message(&response);
  int i;
  if (result == CV_NORMAL_COMPLETION)
    result = CV_Set_Service_Command(response, service, C_FIND_RSP);
  for (i = 0; i < key_count && result == CV_NORMAL_COMPLETION; ++i) {
    const char* value = keys[i] == TAG_QUERY_LEVEL ? level : record_value(record, keys[i]);
    if (value != NULL) {
      result = CV_Set_Value_From_String(response, keys[i], value);
    } else {
      (void)CV_Set_Value_To_NULL(response, keys[i]); /* a tag unknown to the dictionary fails */
    }
  }
  if (result == CV_NORMAL_COMPLETION) {
    result = CV_Send_Response_Message(assoc_id, STATUS_PENDING, response);
  }
  if (response != CV_NO_ID) CV_Free_Message(&response);
  return result;
}

/* Answers one C-FIND request: the matches, then the final status. */
static int32_t answer_find(int32_t assoc_id, int32_t request, const char* service) {
  uint32_t keys[128];
  int key_count = 0;
  uint32_t tag = 0;
  char level[32] = "";
  const Record* table;
  size_t rows;
  size_t i;
  int matches = 0;
  int32_t result;

  /* The identifier is every attribute outside the command group (0000,xxxx). */
  result = CV_Get_First_Attribute(request, &tag, NULL, NULL);
  for (; result == CV_NORMAL_COMPLETION;
       result = CV_Get_Next_Attribute(request, &tag, NULL, NULL)) {
    if ((tag >> 16) == 0 || (tag & 0xFFFFu) == 0) continue; /* command group, group lengths */
    if (key_count == (int)COUNT(keys))
      return send_final(assoc_id, service, STATUS_UNABLE_TO_PROCESS);
    keys[key_count++] = tag;
  }
  next_text(request, TAG_QUERY_LEVEL, 1, level, sizeof level);

  /* Patient Root knows the PATIENT and STUDY levels, Study Root only STUDY; SERIES and IMAGE
   * belong to both models but this database holds no series. */
  if (strcmp(level, "STUDY") == 0) {
    table = STUDIES;
    rows = COUNT(STUDIES);
  } else if (strcmp(level, "PATIENT") == 0 && strcmp(service, PATIENT_ROOT_FIND) == 0) {
    table = PATIENTS;
    rows = COUNT(PATIENTS);
  } else if (strcmp(level, "SERIES") == 0 || strcmp(level, "IMAGE") == 0) {
    printf("C-FIND at %s level refused: not held\n", level);
    return send_final(assoc_id, service, STATUS_UNABLE_TO_PROCESS);
  } else {
    printf("C-FIND refused: query level \"%s\" does not fit %s\n", level, service);
    return send_final(assoc_id, service, STATUS_IDENTIFIER_MISMATCH);
  }

  for (i = 0; i < rows; ++i) {
    if (!record_matches(request, &table[i])) continue;
    result = send_match(assoc_id, service, keys, key_count, level, &table[i]);
    if (result != CV_NORMAL_COMPLETION) return result;
    ++matches;
  }
  printf("C-FIND at %s level: %d match(es)\n", level, matches);
  return send_final(assoc_id, service, STATUS_SUCCESS);
}

static volatile sig_atomic_t stop_requested = 0;

static void on_stop_signal(int signal_number) {
  (void)signal_number;
  stop_requested = 1;
}

/* Reads requests until the peer releases or aborts, or a stop is requested. The reads wait
 * one second at a time so that a stop is seen promptly. */
static void serve_association(int32_t assoc_id) {
  while (!stop_requested) {
    int32_t request = CV_NO_ID;
    const char* service = NULL;
    int32_t command = 0;
    int32_t status = CV_Read_Message(assoc_id, 1, &request, &service, &command);
    if (status == CV_TIMEOUT) continue;
    if (status != CV_NORMAL_COMPLETION) {
      /* Any other outcome, a release included, has ended and freed the association. */
      printf("association ended: %s\n", CV_Error_Message(status));
      return;
    }
    if (service == NULL) {
      printf("ignored a request without a service\n");
    } else if (command == C_FIND_RQ) {
      status = answer_find(assoc_id, request, service);
    } else if (command == C_ECHO_RQ) {
      int32_t response = CV_NO_ID;
      status = CV_Open_Message(&response, service, C_ECHO_RSP);
      if (status == CV_NORMAL_COMPLETION)
        status = CV_Send_Response_Message(assoc_id, STATUS_SUCCESS, response);
      if (response != CV_NO_ID) CV_Free_Message(&response);
    } else {
      printf("ignored a request with command 0x%04X\n", (unsigned)command);
    }
    CV_Free_Message(&request);
    if (status != CV_NORMAL_COMPLETION) {
      fprintf(stderr, "cannot answer: %s\n", CV_Error_Message(status));
      CV_Abort_Association(&assoc_id);
      return;
    }
  }
  CV_Abort_Association(&assoc_id);
}

static int usage(void) {
  fputs("usage: tessel-find-scp-example [--ini PATH] [--aet AE] [--port PORT] [--address ADDR]\n",
        stderr);
  return 2;
}

int main(int argc, char** argv) {
  const char* ini = NULL;
  const char* title = "TESSEL_FIND";
  const char* address = NULL;
  long port = 0; /* 0: TCPIP_LISTEN_PORT of the system profile */
  int32_t app_id = CV_NO_ID;
  int32_t status;
  int exit_code = 0;
  int announced = 0;
  struct sigaction action;
  int i;

  for (i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--ini") == 0) {
      ini = argv[i + 1];
    } else if (strcmp(argv[i], "--aet") == 0) {
      title = argv[i + 1];
    } else if (strcmp(argv[i], "--address") == 0) {
      address = argv[i + 1];
    } else if (strcmp(argv[i], "--port") == 0) {
      char* end = NULL;
      errno = 0;
      port = strtol(argv[i + 1], &end, 10);
      if (errno != 0 || *end != '\0' || port < 1 || port > 65535) return usage();
    } else {
      return usage();
    }
  }
  if (i != argc) return usage();

  /* No SA_RESTART: a signal cuts the wait for the next association short. */
  memset(&action, 0, sizeof action);
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, NULL);
  sigaction(SIGTERM, &action, NULL);

  /* Without --ini the library reads TESSEL_INI; the build names its own copy as a last resort. */
#ifdef TESSEL_EXAMPLE_INI
  if (ini == NULL && getenv("TESSEL_INI") == NULL && access(TESSEL_EXAMPLE_INI, R_OK) == 0)
    ini = TESSEL_EXAMPLE_INI;
#endif
  status = ini != NULL ? CV_Set_TesselINI(ini) : CV_NORMAL_COMPLETION;
  if (status == CV_NORMAL_COMPLETION) status = CV_Library_Initialization(NULL, NULL, NULL);
  if (status == CV_NORMAL_COMPLETION) status = CV_Register_Application(&app_id, title);
  if (status != CV_NORMAL_COMPLETION) {
    fprintf(stderr, "cannot start: %s\n", CV_Error_Message(status));
    CV_Library_Release();
    return 1;
  }

  while (!stop_requested) {
    int32_t assoc_id = CV_NO_ID;
    status = CV_Wait_For_Association_On_Address(SERVICE_LIST, 1, app_id, (int32_t)port, address,
                                                &assoc_id);
    /* The first wait opens the listening socket: only then can requestors connect. */
    if (!announced && (status == CV_NORMAL_COMPLETION || status == CV_TIMEOUT)) {
      announced = 1;
      if (port > 0)
        printf("%s listening on port %ld\n", title, port);
      else
        printf("%s listening on TCPIP_LISTEN_PORT\n", title);
      fflush(stdout);
    }
    if (status == CV_TIMEOUT || status == CV_SYSTEM_CALL_INTERRUPTED ||
        status == CV_NEGOTIATION_ABORTED) {
      continue;
    }
    if (status != CV_NORMAL_COMPLETION) {
      fprintf(stderr, "cannot wait for associations: %s\n", CV_Error_Message(status));
      exit_code = 1;
      break;
    }
    if (CV_Accept_Association(assoc_id) == CV_NORMAL_COMPLETION) {
      printf("association accepted\n");
      serve_association(assoc_id);
    }
    fflush(stdout);
  }

  CV_Release_Application(&app_id);
  CV_Library_Release();
  printf("stopped\n");
  return exit_code;
}
