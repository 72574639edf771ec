// File objects: argument checks, creation with the meta group and templates, DICOMDIRs,
// conversion to and from messages, the header (name, preamble), copies, listing, and
// allocation failures.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "config/config_record.hpp"
#include "media/file_info.hpp"
#include "tests/files/files_support.hpp"
#include "tests/support/log_capture.hpp"

namespace tessel::test {
namespace {

std::vector<uint32_t> group_tags(int32_t id, uint16_t group) {
  std::vector<uint32_t> tags;
  uint32_t tag = 0;
  for (int32_t s = CV_Get_First_Attribute(id, &tag, nullptr, nullptr); s == kOk;
       s = CV_Get_Next_Attribute(id, &tag, nullptr, nullptr)) {
    if ((tag >> 16) == group) tags.push_back(tag);
  }
  return tags;
}

// Number of attributes of the object with at least one stored value.
int with_values(int32_t id) {
  int n = 0;
  for (const data::TagObj* r = data::find_object(id)->first; r != nullptr; r = r->next) {
    n += r->value_count > 0 ? 1 : 0;
  }
  return n;
}

int32_t file_sink(const char*, void*, uint32_t, void*, int32_t, int32_t) {
  return kOk;
}
int32_t file_source(const char*, void*, uint32_t*, void**, int32_t, int32_t*) {
  return CV_CALLBACK_CANNOT_COMPLY;
}

const std::vector<uint32_t> kMetaTags = {0x00020000, 0x00020001, 0x00020002, 0x00020003,
                                         0x00020010, 0x00020012, 0x00020013, 0x00020016,
                                         0x00020100, 0x00020102};

using FileObjectsTest = FilesTest;

// The first failing check of each kind: null pointers before identifiers, identifiers before the
// rest; a message or an unknown identifier is not a file, a file is not a message.
TEST_F(FileObjectsTest, ArgumentChecksInOrder) {
  const int32_t app = register_application();
  const int32_t file = create_empty_file();
  const int32_t message = open_empty_message();
  const int32_t unknown = 987654;
  int32_t out = 5;
  int32_t message_copy = message;
  uint32_t length = 7;
  const int32_t too_large = Cfg->i(WORK_BUFFER_SIZE) + 2;
  struct Row {
    const char* what;
    std::function<int32_t()> call;
    int32_t expected;
  };
  const std::vector<Row> rows = {
      {"null name", [&] { return CV_Create_File(&out, nullptr, "STANDARD_CT", 1); },
       CV_NULL_POINTER_PARM},
      {"bad command", [&] { return CV_Create_File(&out, "f", "STANDARD_CT", 2); },
       CV_INVALID_COMMAND},
      {"file to file", [&] { return CV_Message_To_File(file, "f"); }, CV_INVALID_MESSAGE_ID},
      {"message as file", [&] { return CV_Get_File_Length(message, &length); }, CV_INVALID_FILE_ID},
      {"null sink before id", [&] { return CV_Write_File(unknown, 1, nullptr, nullptr); },
       CV_NULL_POINTER_PARM},
      {"odd pad", [&] { return CV_Write_File(file, 1, nullptr, file_sink); }, CV_INVALID_PAD_SIZE},
      {"pad above the work buffer",
       [&] { return CV_Write_File(file, too_large, nullptr, file_sink); }, CV_INVALID_PAD_SIZE},
      {"bad application before id", [&] { return CV_Open_File(-1, unknown, nullptr, file_source); },
       CV_INVALID_APPLICATION_ID},
      {"unknown file",
       [&] { return CV_Open_File_Upto_Tag(app, unknown, nullptr, 0, &length, file_source); },
       CV_INVALID_FILE_ID},
      {"free a message", [&] { return CV_Free_File(&message_copy); }, CV_INVALID_FILE_ID},
  };
  for (const Row& row : rows) EXPECT_EQ(row.call(), row.expected) << row.what;
  EXPECT_EQ(out, CV_NO_ID) << "a refused creation leaves no identifier";
  EXPECT_EQ(length, 0u) << "a refused length is 0";
  EXPECT_EQ(message_copy, message) << "a refused free keeps the identifier";
}

// A file holds the meta elements without values, a zero preamble and its name; a service with
// a template adds the data set attributes but no command group; a pair without template warns
// at trace 7 unless the service is "MOUSE".
TEST_F(FileObjectsTest, CreationAppliesTemplatesWithoutCommandGroup) {
  struct Row {
    const char* service;
    int32_t command;
    bool template_applied;
    const char* warning;
  };
  const Row rows[] = {
      {"STANDARD_CT", 0x0001, true, nullptr},
      {"STANDARD_CT", 0x0020, false, "WARNING: No Service STANDARD_CT, Command C_FIND_RQ"},
      {"MOUSE", 0x0001, false, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.service);
    LogCapture log;
    int32_t id = -1;
    ASSERT_EQ(CV_Create_File(&id, "dir/x.dcm", row.service, row.command), kOk);
    track(id);
    EXPECT_EQ(group_tags(id, 0x0002), kMetaTags);
    EXPECT_TRUE(group_tags(id, 0x0000).empty());
    EXPECT_EQ(with_values(id), 0);
    EXPECT_EQ(object(id).template_applied, row.template_applied);
    EXPECT_EQ(data::find_attribute(object(id), 0x7FE00010) != nullptr, row.template_applied);
    EXPECT_EQ(log.count("(CV_Create_File) T7: WARNING: No Service"), row.warning ? 1 : 0);
    if (row.warning != nullptr) {
      EXPECT_TRUE(log.contains(row.warning));
    }
    const char* service = nullptr;
    int32_t command = 0;
    ASSERT_EQ(CV_Get_Message_Service(id, &service, &command), kOk);
    EXPECT_STREQ(service, row.service);
    char preamble[CV_FILE_PREAMBLE_LENGTH];
    ASSERT_EQ(CV_Get_File_Preamble(id, preamble), kOk);
    EXPECT_EQ(std::string(preamble, sizeof preamble), std::string(sizeof preamble, '\0'));
  }
}

int g_created = 0;
int g_released = 0;

// A service name beginning "DICOMDIR" makes a DICOMDIR whose directory structures are created
// with it, renewed when it is emptied and released with its header, however it goes.
TEST_F(FileObjectsTest, DicomdirNamesCreateDicomdirs) {
  const data::ObjectHooks saved = data::object_hooks();
  data::object_hooks().create_directory_info = [](data::MsgObj&) {
    ++g_created;
    return Status();
  };
  data::object_hooks().release_directory_info = [](data::MsgObj&) { ++g_released; };
  g_created = g_released = 0;
  std::vector<int32_t> ids;
  for (const char* service : {"DICOMDIR", "DICOMDIR_PRIVATE", "DICOMDI"}) {
    int32_t id = -1;
    ASSERT_EQ(CV_Create_File(&id, "DICOMDIR", service, 0x0001), kOk) << service;
    EXPECT_EQ(object(id).kind,
              service[7] == 'R' ? data::ObjectKind::kDicomdir : data::ObjectKind::kFile);
    ids.push_back(id);
  }
  EXPECT_EQ(g_created, 2);
  EXPECT_EQ(CV_Empty_File(ids[0]), kOk);
  EXPECT_EQ(g_released, 1);
  EXPECT_EQ(g_created, 3);
  EXPECT_EQ(CV_File_To_Message(ids[0]), kOk);
  EXPECT_EQ(g_released, 2);
  track(ids[0]);
  for (size_t i = 1; i < ids.size(); ++i) EXPECT_EQ(CV_Free_File(&ids[i]), kOk);
  EXPECT_EQ(g_released, 3);
  data::object_hooks().create_directory_info = saved.create_directory_info;
  data::object_hooks().release_directory_info = saved.release_directory_info;
}

// Message -> file drops the command group and adds the meta elements beside those the message
// has and keeps the name; file -> message drops the header and group 0002.
TEST_F(FileObjectsTest, MessageToFileAndBack) {
  int32_t id = -1;
  ASSERT_EQ(CV_Open_Message(&id, "STANDARD_CT", 0x0001), kOk);
  track(id);
  ASSERT_FALSE(group_tags(id, 0x0000).empty());
  ASSERT_EQ(CV_Add_Standard_Attribute(id, 0x00020010), kOk);
  ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020010, "1.2.840.10008.1.2.1"), kOk);
  ASSERT_EQ(CV_Set_Value_From_String(id, 0x00100010, "Doe^John"), kOk);
  ASSERT_EQ(CV_Message_To_File(id, "dir\\sub/name.dcm"), kOk);
  EXPECT_EQ(object(id).kind, data::ObjectKind::kFile);
  EXPECT_TRUE(group_tags(id, 0x0000).empty());
  EXPECT_EQ(group_tags(id, 0x0002), kMetaTags);
  EXPECT_EQ(with_values(id), 2) << "values are kept";
  // The name needs room for its terminator; both separators are kept as given.
  char name[32];
  EXPECT_EQ(CV_Get_Filename(id, name, 16), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(CV_Get_Filename(id, name, -1), CV_BUFFER_TOO_SMALL);
  ASSERT_EQ(CV_Get_Filename(id, name, 17), kOk);
  EXPECT_STREQ(name, "dir\\sub/name.dcm");
  ASSERT_EQ(CV_Reset_Filename(id, ""), kOk);
  EXPECT_EQ(CV_Get_Filename(id, name, 0), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(CV_Get_Filename(id, name, 1), kOk);
  ASSERT_EQ(CV_File_To_Message(id), kOk);
  EXPECT_EQ(object(id).kind, data::ObjectKind::kMessage);
  EXPECT_TRUE(group_tags(id, 0x0002).empty());
  EXPECT_EQ(object(id).media_info, nullptr);
  EXPECT_EQ(with_values(id), 1);
  EXPECT_EQ(CV_Get_Filename(id, name, sizeof name), CV_INVALID_FILE_ID);
}

// Exactly 128 preamble bytes are copied; emptying clears values, preamble and prefix but keeps
// attributes; a copy of a file is a file with name and preamble; freed identifiers become -1.
TEST_F(FileObjectsTest, PreambleEmptyingCopiesAndFreeing) {
  const int32_t id = create_filled_file(EXPLICIT_LITTLE_ENDIAN, "source.dcm");
  const std::string preamble = pattern(CV_FILE_PREAMBLE_LENGTH + 8);
  ASSERT_EQ(CV_Set_File_Preamble(id, preamble.data()), kOk);
  std::string back(CV_FILE_PREAMBLE_LENGTH + 8, '\xEE');
  ASSERT_EQ(CV_Get_File_Preamble(id, back.data()), kOk);
  EXPECT_EQ(back, preamble.substr(0, 128) + std::string(8, '\xEE'));

  int32_t copy = -1;
  ASSERT_EQ(CV_Duplicate_Message(id, &copy, 0, nullptr, nullptr), kOk);
  EXPECT_EQ(object(copy).kind, data::ObjectKind::kFile);
  char name[32];
  ASSERT_EQ(CV_Get_Filename(copy, name, sizeof name), kOk);
  EXPECT_STREQ(name, "source.dcm");
  ASSERT_EQ(CV_Get_File_Preamble(copy, back.data()), kOk);
  EXPECT_EQ(back.substr(0, 128), preamble.substr(0, 128));
  EXPECT_EQ(with_values(copy), with_values(id));
  int32_t stale = copy;
  EXPECT_EQ(CV_Free_Message(&copy), kOk);  // frees a file, header included
  EXPECT_EQ(copy, CV_NO_ID);
  EXPECT_EQ(CV_Free_File(&stale), CV_INVALID_FILE_ID);

  std::memcpy(media::file_info(object(id))->prefix, "XYZW", 4);
  const std::vector<uint32_t> before = group_tags(id, 0x0008);
  ASSERT_EQ(CV_Empty_File(id), kOk);
  EXPECT_EQ(group_tags(id, 0x0008), before);
  EXPECT_EQ(with_values(id), 0);
  ASSERT_EQ(CV_Get_File_Preamble(id, back.data()), kOk);
  EXPECT_EQ(back.substr(0, 128), std::string(128, '\0'));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(media::file_info(object(id))->prefix), 4), "DICM");
}

// The listing names the file and shows the preamble in hex, to a file or to stdout.
TEST_F(FileObjectsTest, ListingShowsFileNameAndPreamble) {
  const int32_t id = create_empty_file("listed.dcm");
  std::string preamble(CV_FILE_PREAMBLE_LENGTH, '\0');
  for (size_t i = 0; i < preamble.size(); ++i) preamble[i] = static_cast<char>(i);
  ASSERT_EQ(CV_Set_File_Preamble(id, preamble.data()), kOk);
  ScratchDir dir;
  ASSERT_EQ(CV_List_File(id, dir.file("list.txt").c_str()), kOk);
  const std::string text = read_file(dir.file("list.txt"));
  std::string first_row = "     Prefix: ";
  for (int i = 0; i < 32; ++i) first_row += hex(std::string(1, static_cast<char>(i))).substr(0, 2);
  for (const std::string& line :
       {"File ID: " + std::to_string(id), std::string("     Filename: listed.dcm"), first_row,
        "===== End of File ID: " + std::to_string(id) + " ====="}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(CV_List_File(id, nullptr), kOk);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("     Filename: listed.dcm"),
            std::string::npos);
}

// Every pool allocation of a creation or conversion may fail: the call reports CV_SYSTEM_ERROR
// and leaves no object behind, or the message unchanged.
TEST_F(FileObjectsTest, AllocationFailuresLeaveNothingBehind) {
  int failures = 0;
  for (int32_t n = 1; n < 5000; ++n) {
    memory::fail_allocation_after(n);
    int32_t id = 77;
    const int32_t status = CV_Create_File(&id, "ct.dcm", "STANDARD_CT", 0x0001);
    memory::fail_allocation_after(0);
    if (status == kOk) {
      EXPECT_EQ(CV_Free_File(&id), kOk);
      break;
    }
    ++failures;
    ASSERT_EQ(status, CV_SYSTEM_ERROR) << n;
    EXPECT_EQ(id, CV_NO_ID);
  }
  EXPECT_GT(failures, 10);
  failures = 0;
  for (int32_t n = 1; n < 100; ++n) {
    const int32_t message = open_empty_message();
    ASSERT_EQ(CV_Set_Value_From_String(message, 0x00100010, "Doe^John"), kOk);
    memory::fail_allocation_after(n);
    const int32_t status = CV_Message_To_File(message, "m.dcm");
    memory::fail_allocation_after(0);
    const bool done = status == kOk;
    if (!done) {
      ++failures;
      ASSERT_EQ(status, CV_SYSTEM_ERROR) << n;
      EXPECT_EQ(object(message).kind, data::ObjectKind::kMessage);
      EXPECT_EQ(object(message).media_info, nullptr);
      EXPECT_TRUE(group_tags(message, 0x0002).empty()) << n;
    }
    free_now(message);
    if (done) break;
  }
  EXPECT_GT(failures, 5);
}

}  // namespace
}  // namespace tessel::test
