// File objects: argument checks, creation with the meta group and templates, conversion to and
// from messages, the file header (name, preamble, prefix policy), emptying, freeing, copying
// and listing.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "data/msg_info.hpp"
#include "data/objects.hpp"
#include "media/file_header.hpp"
#include "media/file_info.hpp"
#include "memory/pool.hpp"
#include "tests/files/files_support.hpp"
#include "tests/support/log_capture.hpp"

namespace tessel::test {
namespace {

std::vector<uint32_t> tags_of(int32_t id) {
  std::vector<uint32_t> tags;
  uint32_t tag = 0;
  int32_t status = CV_Get_First_Attribute(id, &tag, nullptr, nullptr);
  while (status == kOk) {
    tags.push_back(tag);
    status = CV_Get_Next_Attribute(id, &tag, nullptr, nullptr);
  }
  return tags;
}

std::vector<uint32_t> group_tags(int32_t id, uint16_t group) {
  std::vector<uint32_t> tags;
  for (uint32_t tag : tags_of(id)) {
    if ((tag >> 16) == group) tags.push_back(tag);
  }
  return tags;
}

// The stored value count (the public walk counts an opaque value as 1 even when it has none).
int32_t value_count(int32_t id, uint32_t tag) {
  data::MsgObj* object = data::find_object(id);
  const data::TagObj* record = object != nullptr ? data::find_attribute(*object, tag) : nullptr;
  EXPECT_NE(record, nullptr) << std::hex << tag;
  return record != nullptr ? record->value_count : -1;
}

int32_t file_sink(const char*, void*, uint32_t, void*, int32_t, int32_t) {
  return CV_NORMAL_COMPLETION;
}
int32_t file_source(const char*, void*, uint32_t*, void**, int32_t, int32_t*) {
  return CV_CALLBACK_CANNOT_COMPLY;
}

const std::vector<uint32_t> kMetaTags = {0x00020000, 0x00020001, 0x00020002, 0x00020003,
                                         0x00020010, 0x00020012, 0x00020013, 0x00020016,
                                         0x00020100, 0x00020102};

using FileObjectsTest = FilesTest;

TEST(FileFunctionsUninitialised, AllReturnNotInitialised) {
  int32_t id = 100;
  char buffer[130];
  uint32_t length = 0;
  const std::vector<std::function<int32_t()>> calls = {
      [&] { return CV_Create_File(&id, "f", "STANDARD_CT", 1); },
      [&] { return CV_Create_Empty_File(&id, "f"); },
      [&] { return CV_Message_To_File(id, "f"); },
      [&] { return CV_File_To_Message(id); },
      [&] { return CV_Reset_Filename(id, "f"); },
      [&] { return CV_Get_Filename(id, buffer, sizeof buffer); },
      [&] { return CV_Get_File_Preamble(id, buffer); },
      [&] { return CV_Set_File_Preamble(id, buffer); },
      [&] { return CV_Get_File_Length(id, &length); },
      [&] { return CV_Write_File(id, 0, nullptr, file_sink); },
      [&] { return CV_Write_File_By_Callback(1000, id, 0, nullptr, file_sink); },
      [&] { return CV_Open_File(1000, id, nullptr, file_source); },
      [&] { return CV_Open_File_Bypass_OBOW(1000, id, nullptr, file_source); },
      [&] { return CV_Open_File_Upto_Tag(1000, id, nullptr, 0, &length, file_source); },
      [&] { return CV_Empty_File(id); },
      [&] { return CV_Free_File(&id); },
      [&] { return CV_List_File(id, nullptr); },
  };
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i](), CV_LIBRARY_NOT_INITIALIZED) << "call " << i;
  }
}

// Null pointers come before identifiers, identifiers before the other checks; a message, an
// item or an unknown identifier is not a file.
TEST_F(FileObjectsTest, ArgumentChecksInOrder) {
  const int32_t app = register_application();
  const int32_t file = create_empty_file();
  const int32_t message = open_empty_message();
  int32_t item = -1;
  ASSERT_EQ(CV_Open_Empty_Item(&item), kOk);
  track(item);
  const int32_t unknown = 987654;
  int32_t out = 5;
  int32_t message_copy = message;
  char buffer[130];
  uint32_t length = 7;
  struct Row {
    const char* what;
    std::function<int32_t()> call;
    int32_t expected;
  };
  const std::vector<Row> rows = {
      {"create null id", [&] { return CV_Create_File(nullptr, "f", "STANDARD_CT", 1); },
       CV_NULL_POINTER_PARM},
      {"create null name", [&] { return CV_Create_File(&out, nullptr, "STANDARD_CT", 1); },
       CV_NULL_POINTER_PARM},
      {"create null service", [&] { return CV_Create_File(&out, "f", nullptr, 1); },
       CV_NULL_POINTER_PARM},
      {"create bad command", [&] { return CV_Create_File(&out, "f", "STANDARD_CT", 2); },
       CV_INVALID_COMMAND},
      {"empty null id", [&] { return CV_Create_Empty_File(nullptr, "f"); }, CV_NULL_POINTER_PARM},
      {"empty null name", [&] { return CV_Create_Empty_File(&out, nullptr); },
       CV_NULL_POINTER_PARM},
      {"to file null name", [&] { return CV_Message_To_File(unknown, nullptr); },
       CV_NULL_POINTER_PARM},
      {"to file of a file", [&] { return CV_Message_To_File(file, "f"); }, CV_INVALID_MESSAGE_ID},
      {"to file of an item", [&] { return CV_Message_To_File(item, "f"); }, CV_INVALID_MESSAGE_ID},
      {"to file unknown", [&] { return CV_Message_To_File(unknown, "f"); }, CV_INVALID_MESSAGE_ID},
      {"to message of a message", [&] { return CV_File_To_Message(message); }, CV_INVALID_FILE_ID},
      {"reset null", [&] { return CV_Reset_Filename(unknown, nullptr); }, CV_NULL_POINTER_PARM},
      {"reset message", [&] { return CV_Reset_Filename(message, "f"); }, CV_INVALID_FILE_ID},
      {"get name null", [&] { return CV_Get_Filename(unknown, nullptr, 10); },
       CV_NULL_POINTER_PARM},
      {"get name item", [&] { return CV_Get_Filename(item, buffer, 10); }, CV_INVALID_FILE_ID},
      {"get preamble null", [&] { return CV_Get_File_Preamble(file, nullptr); },
       CV_NULL_POINTER_PARM},
      {"set preamble null", [&] { return CV_Set_File_Preamble(file, nullptr); },
       CV_NULL_POINTER_PARM},
      {"get preamble message", [&] { return CV_Get_File_Preamble(message, buffer); },
       CV_INVALID_FILE_ID},
      {"set preamble unknown", [&] { return CV_Set_File_Preamble(unknown, buffer); },
       CV_INVALID_FILE_ID},
      {"length null", [&] { return CV_Get_File_Length(file, nullptr); }, CV_NULL_POINTER_PARM},
      {"length message", [&] { return CV_Get_File_Length(message, &length); }, CV_INVALID_FILE_ID},
      {"write null sink", [&] { return CV_Write_File(unknown, 1, nullptr, nullptr); },
       CV_NULL_POINTER_PARM},
      {"write message", [&] { return CV_Write_File(message, 1, nullptr, file_sink); },
       CV_INVALID_FILE_ID},
      {"write odd pad", [&] { return CV_Write_File(file, 1, nullptr, file_sink); },
       CV_INVALID_PAD_SIZE},
      {"write negative pad", [&] { return CV_Write_File(file, -2, nullptr, file_sink); },
       CV_INVALID_PAD_SIZE},
      {"write pad above work buffer",
       [&] { return CV_Write_File(file, Cfg->i(WORK_BUFFER_SIZE) + 2, nullptr, file_sink); },
       CV_INVALID_PAD_SIZE},
      {"write app null sink",
       [&] { return CV_Write_File_By_Callback(-1, unknown, 1, nullptr, nullptr); },
       CV_NULL_POINTER_PARM},
      {"write bad app",
       [&] { return CV_Write_File_By_Callback(-1, unknown, 1, nullptr, file_sink); },
       CV_INVALID_APPLICATION_ID},
      {"write app message",
       [&] { return CV_Write_File_By_Callback(app, message, 1, nullptr, file_sink); },
       CV_INVALID_FILE_ID},
      {"write app odd pad",
       [&] { return CV_Write_File_By_Callback(app, file, 3, nullptr, file_sink); },
       CV_INVALID_PAD_SIZE},
      {"open null source", [&] { return CV_Open_File(-1, unknown, nullptr, nullptr); },
       CV_NULL_POINTER_PARM},
      {"open bad app", [&] { return CV_Open_File(-1, unknown, nullptr, file_source); },
       CV_INVALID_APPLICATION_ID},
      {"open message", [&] { return CV_Open_File(app, message, nullptr, file_source); },
       CV_INVALID_FILE_ID},
      {"bypass null source", [&] { return CV_Open_File_Bypass_OBOW(-1, file, nullptr, nullptr); },
       CV_NULL_POINTER_PARM},
      {"bypass bad app", [&] { return CV_Open_File_Bypass_OBOW(-1, file, nullptr, file_source); },
       CV_INVALID_APPLICATION_ID},
      {"bypass item", [&] { return CV_Open_File_Bypass_OBOW(app, item, nullptr, file_source); },
       CV_INVALID_FILE_ID},
      {"upto null offset",
       [&] { return CV_Open_File_Upto_Tag(-1, unknown, nullptr, 0, nullptr, file_source); },
       CV_NULL_POINTER_PARM},
      {"upto null source",
       [&] { return CV_Open_File_Upto_Tag(-1, unknown, nullptr, 0, &length, nullptr); },
       CV_NULL_POINTER_PARM},
      {"upto bad app",
       [&] { return CV_Open_File_Upto_Tag(-1, unknown, nullptr, 0, &length, file_source); },
       CV_INVALID_APPLICATION_ID},
      {"upto unknown",
       [&] { return CV_Open_File_Upto_Tag(app, unknown, nullptr, 0, &length, file_source); },
       CV_INVALID_FILE_ID},
      {"empty message", [&] { return CV_Empty_File(message); }, CV_INVALID_MESSAGE_ID},
      {"empty unknown", [&] { return CV_Empty_File(unknown); }, CV_INVALID_FILE_ID},
      {"free null", [&] { return CV_Free_File(nullptr); }, CV_NULL_POINTER_PARM},
      {"free message", [&] { return CV_Free_File(&message_copy); }, CV_INVALID_FILE_ID},
      {"list message", [&] { return CV_List_File(message, nullptr); }, CV_INVALID_FILE_ID},
  };
  for (const Row& row : rows) EXPECT_EQ(row.call(), row.expected) << row.what;
  EXPECT_EQ(out, CV_NO_ID) << "a refused creation leaves no identifier";
  EXPECT_EQ(length, 0u) << "a refused length is 0";
  EXPECT_EQ(message_copy, message) << "a refused free keeps the identifier";
  EXPECT_NE(data::find_object(message), nullptr);
}

// A new file holds the meta elements, in order, with their VRs and types and without values; a
// zero preamble and the name given.
TEST_F(FileObjectsTest, EmptyFileHoldsTheMetaElementsOnly) {
  const int32_t id = create_empty_file("scans/one.dcm");
  EXPECT_EQ(tags_of(id), kMetaTags);
  struct Expected {
    uint32_t tag;
    int32_t vr;
    data::AttributeType type;
  };
  const Expected expected[] = {
      {0x00020000, CV_VR_UL, data::AttributeType::k1},
      {0x00020001, CV_VR_OB, data::AttributeType::k1},
      {0x00020002, CV_VR_UI, data::AttributeType::k1},
      {0x00020003, CV_VR_UI, data::AttributeType::k1},
      {0x00020010, CV_VR_UI, data::AttributeType::k1},
      {0x00020012, CV_VR_UI, data::AttributeType::k1},
      {0x00020013, CV_VR_SH, data::AttributeType::k3},
      {0x00020016, CV_VR_AE, data::AttributeType::k3},
      {0x00020100, CV_VR_UI, data::AttributeType::k3},
      {0x00020102, CV_VR_OB, data::AttributeType::k3},
  };
  for (const Expected& e : expected) {
    const data::TagObj* record = data::find_attribute(object(id), e.tag);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->vr, e.vr) << std::hex << e.tag;
    EXPECT_EQ(record->value_count, 0) << std::hex << e.tag;
    ASSERT_NE(record->template_info, nullptr) << std::hex << e.tag;
    EXPECT_EQ(record->template_info->type, e.type) << std::hex << e.tag;
  }
  EXPECT_EQ(object(id).kind, data::ObjectKind::kFile);
  const char* service = nullptr;
  int32_t command = 0;
  ASSERT_EQ(CV_Get_Message_Service(id, &service, &command), kOk);
  EXPECT_STREQ(service, "MOUSE");
  uint8_t preamble[CV_FILE_PREAMBLE_LENGTH];
  std::memset(preamble, 0xAA, sizeof preamble);
  ASSERT_EQ(CV_Get_File_Preamble(id, preamble), kOk);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(preamble), sizeof preamble),
            std::string(sizeof preamble, '\0'));
  char name[32];
  ASSERT_EQ(CV_Get_Filename(id, name, sizeof name), kOk);
  EXPECT_STREQ(name, "scans/one.dcm");
}

// A file created for a service gets the data set attributes of the template but no command
// group; the service and command are recorded.
TEST_F(FileObjectsTest, CreateFileAppliesTheTemplateWithoutCommandGroup) {
  int32_t id = -1;
  ASSERT_EQ(CV_Create_File(&id, "ct.dcm", "STANDARD_CT", 0x0001), kOk);
  track(id);
  EXPECT_TRUE(group_tags(id, 0x0000).empty());
  EXPECT_EQ(group_tags(id, 0x0002), kMetaTags);
  const data::TagObj* sop_class = data::find_attribute(object(id), 0x00080016);
  ASSERT_NE(sop_class, nullptr);
  EXPECT_NE(sop_class->template_info, nullptr);
  EXPECT_NE(data::find_attribute(object(id), 0x7FE00010), nullptr);
  EXPECT_TRUE(object(id).template_applied);
  const char* service = nullptr;
  int32_t command = 0;
  ASSERT_EQ(CV_Get_Message_Service(id, &service, &command), kOk);
  EXPECT_STREQ(service, "STANDARD_CT");
  EXPECT_EQ(command, 0x0001);
  EXPECT_EQ(object(id).kind, data::ObjectKind::kFile);
}

// A pair without template is no error: the file keeps its meta elements, and the warning goes
// to trace 7 unless the name is "MOUSE".
TEST_F(FileObjectsTest, PairWithoutTemplateWarnsAtTrace7) {
  struct Row {
    const char* service;
    int32_t command;
    const char* warning;  // null: no warning
  };
  const Row rows[] = {
      {"NO_SUCH_SERVICE", 0x0001, "WARNING: No Service NO_SUCH_SERVICE, Command C_STORE_RQ"},
      {"STANDARD_CT", 0x0020, "WARNING: No Service STANDARD_CT, Command C_FIND_RQ"},
      {"MOUSE", 0x0001, nullptr},
  };
  for (const Row& row : rows) {
    LogCapture log;
    int32_t id = -1;
    ASSERT_EQ(CV_Create_File(&id, "x.dcm", row.service, row.command), kOk) << row.service;
    track(id);
    EXPECT_EQ(tags_of(id), kMetaTags) << row.service;
    EXPECT_FALSE(object(id).template_applied);
    if (row.warning != nullptr) {
      EXPECT_EQ(log.count(std::string("(CV_Create_File) T7: ") + row.warning), 1) << row.service;
    } else {
      EXPECT_EQ(log.count("WARNING: No Service"), 0);
    }
  }
}

int g_directories_created = 0;
int g_directories_released = 0;
Status count_create(data::MsgObj&) {
  ++g_directories_created;
  return Status();
}
void count_release(data::MsgObj&) {
  ++g_directories_released;
}

// A service name beginning "DICOMDIR" makes a DICOMDIR whose directory structures are created
// with it and released with its header, however it goes.
TEST_F(FileObjectsTest, DicomdirNamesCreateDicomdirs) {
  const data::ObjectHooks saved = data::object_hooks();
  data::object_hooks().create_directory_info = count_create;
  data::object_hooks().release_directory_info = count_release;
  g_directories_created = g_directories_released = 0;
  struct Row {
    const char* service;
    data::ObjectKind kind;
  };
  const Row rows[] = {{"DICOMDIR", data::ObjectKind::kDicomdir},
                      {"DICOMDIR_PRIVATE", data::ObjectKind::kDicomdir},
                      {"DICOMDI", data::ObjectKind::kFile},
                      {"STANDARD_CT", data::ObjectKind::kFile}};
  std::vector<int32_t> ids;
  for (const Row& row : rows) {
    int32_t id = -1;
    ASSERT_EQ(CV_Create_File(&id, "DICOMDIR", row.service, 0x0001), kOk) << row.service;
    EXPECT_EQ(object(id).kind, row.kind) << row.service;
    ids.push_back(id);
  }
  EXPECT_EQ(g_directories_created, 2);
  // Emptying renews the structures; turning into a message and freeing release them.
  EXPECT_EQ(CV_Empty_File(ids[0]), kOk);
  EXPECT_EQ(g_directories_released, 1);
  EXPECT_EQ(g_directories_created, 3);
  EXPECT_EQ(CV_File_To_Message(ids[0]), kOk);
  EXPECT_EQ(g_directories_released, 2);
  track(ids[0]);
  for (size_t i = 1; i < ids.size(); ++i) EXPECT_EQ(CV_Free_File(&ids[i]), kOk);
  EXPECT_EQ(g_directories_released, 3);
  data::object_hooks().create_directory_info = saved.create_directory_info;
  data::object_hooks().release_directory_info = saved.release_directory_info;
}

// Message -> file drops the command group and adds the meta elements beside those the message
// has; file -> message drops the header and group 0002; going round again leaves only the empty
// meta elements in group 0002.
TEST_F(FileObjectsTest, MessageToFileAndBack) {
  int32_t id = -1;
  ASSERT_EQ(CV_Open_Message(&id, "STANDARD_CT", 0x0001), kOk);
  track(id);
  ASSERT_FALSE(group_tags(id, 0x0000).empty());
  ASSERT_EQ(CV_Add_Standard_Attribute(id, 0x00020010), kOk);
  ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020010, "1.2.840.10008.1.2.1"), kOk);
  ASSERT_EQ(CV_Set_Value_From_String(id, 0x00100010, "Doe^John"), kOk);

  ASSERT_EQ(CV_Message_To_File(id, "converted.dcm"), kOk);
  EXPECT_EQ(object(id).kind, data::ObjectKind::kFile);
  EXPECT_TRUE(group_tags(id, 0x0000).empty());
  EXPECT_EQ(group_tags(id, 0x0002), kMetaTags);
  EXPECT_EQ(value_count(id, 0x00020010), 1) << "an existing meta element keeps its value";
  EXPECT_EQ(value_count(id, 0x00100010), 1);
  char name[32];
  ASSERT_EQ(CV_Get_Filename(id, name, sizeof name), kOk);
  EXPECT_STREQ(name, "converted.dcm");

  ASSERT_EQ(CV_File_To_Message(id), kOk);
  EXPECT_EQ(object(id).kind, data::ObjectKind::kMessage);
  EXPECT_TRUE(group_tags(id, 0x0002).empty());
  EXPECT_EQ(object(id).media_info, nullptr);
  EXPECT_EQ(CV_Get_Filename(id, name, sizeof name), CV_INVALID_FILE_ID);
  EXPECT_EQ(value_count(id, 0x00100010), 1);

  ASSERT_EQ(CV_Message_To_File(id, "again.dcm"), kOk);
  EXPECT_EQ(group_tags(id, 0x0002), kMetaTags);
  for (uint32_t tag : kMetaTags) EXPECT_EQ(value_count(id, tag), 0) << std::hex << tag;
}

// The name needs room for its terminator.
TEST_F(FileObjectsTest, FileNameBufferMustHoldTheTerminator) {
  const int32_t id = create_empty_file("abc.dcm");
  struct Row {
    const char* name;  // null: keep the current one
    int32_t size;
    int32_t expected;
  };
  const Row rows[] = {
      {nullptr, 7, CV_BUFFER_TOO_SMALL},
      {nullptr, 0, CV_BUFFER_TOO_SMALL},
      {nullptr, -1, CV_BUFFER_TOO_SMALL},
      {nullptr, 8, kOk},
      {"", 1, kOk},
      {"", 0, CV_BUFFER_TOO_SMALL},
      {"dir\\sub/longer name.dcm", 24, kOk},
      {"dir\\sub/longer name.dcm", 23, CV_BUFFER_TOO_SMALL},
  };
  std::string current = "abc.dcm";
  for (const Row& row : rows) {
    if (row.name != nullptr) {
      ASSERT_EQ(CV_Reset_Filename(id, row.name), kOk);
      current = row.name;
    }
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(CV_Get_Filename(id, buffer, row.size), row.expected) << current << " " << row.size;
    if (row.expected == kOk) {
      EXPECT_EQ(std::string(buffer), current);
    }
  }
}

// The preamble is copied in and out as 128 bytes; emptying a file clears its values and its
// header but keeps its attributes.
TEST_F(FileObjectsTest, PreambleAndEmptyFile) {
  const int32_t id = create_filled_file(EXPLICIT_LITTLE_ENDIAN);
  uint8_t pattern[CV_FILE_PREAMBLE_LENGTH + 8];
  for (size_t i = 0; i < sizeof pattern; ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_EQ(CV_Set_File_Preamble(id, pattern), kOk);
  uint8_t back[CV_FILE_PREAMBLE_LENGTH + 8];
  std::memset(back, 0xEE, sizeof back);
  ASSERT_EQ(CV_Get_File_Preamble(id, back), kOk);
  EXPECT_EQ(std::memcmp(back, pattern, CV_FILE_PREAMBLE_LENGTH), 0);
  EXPECT_EQ(back[CV_FILE_PREAMBLE_LENGTH], 0xEE) << "exactly 128 bytes are copied";
  media::FileInfo* info = media::file_info(object(id));
  ASSERT_NE(info, nullptr);
  std::memcpy(info->prefix, "XYZW", 4);

  const std::vector<uint32_t> before = tags_of(id);
  ASSERT_EQ(CV_Empty_File(id), kOk);
  EXPECT_EQ(tags_of(id), before);
  for (uint32_t tag : before) EXPECT_EQ(value_count(id, tag), 0) << std::hex << tag;
  ASSERT_EQ(CV_Get_File_Preamble(id, back), kOk);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back), CV_FILE_PREAMBLE_LENGTH),
            std::string(CV_FILE_PREAMBLE_LENGTH, '\0'));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info->prefix), 4), "DICM");
  EXPECT_EQ(object(id).kind, data::ObjectKind::kFile);
}

// Freeing sets the identifier to -1 whichever free function is used; a copy of a file is a file
// with the same name and preamble.
TEST_F(FileObjectsTest, FreeAndDuplicate) {
  int32_t id = -1;
  ASSERT_EQ(CV_Create_Empty_File(&id, "first.dcm"), kOk);
  int32_t stale = id;
  ASSERT_EQ(CV_Free_File(&id), kOk);
  EXPECT_EQ(id, CV_NO_ID);
  EXPECT_EQ(CV_Free_File(&stale), CV_INVALID_FILE_ID);

  const int32_t source = create_filled_file(EXPLICIT_LITTLE_ENDIAN, "source.dcm");
  uint8_t pattern[CV_FILE_PREAMBLE_LENGTH];
  std::memset(pattern, 0x5A, sizeof pattern);
  ASSERT_EQ(CV_Set_File_Preamble(source, pattern), kOk);
  int32_t copy = -1;
  ASSERT_EQ(CV_Duplicate_Message(source, &copy, 0, nullptr, nullptr), kOk);
  EXPECT_EQ(object(copy).kind, data::ObjectKind::kFile);
  char name[32];
  ASSERT_EQ(CV_Get_Filename(copy, name, sizeof name), kOk);
  EXPECT_STREQ(name, "source.dcm");
  uint8_t back[CV_FILE_PREAMBLE_LENGTH] = {};
  ASSERT_EQ(CV_Get_File_Preamble(copy, back), kOk);
  EXPECT_EQ(std::memcmp(back, pattern, sizeof pattern), 0);
  EXPECT_EQ(tags_of(copy), tags_of(source));
  // CV_Free_Message frees a file as well, header included.
  EXPECT_EQ(CV_Free_Message(&copy), kOk);
  EXPECT_EQ(copy, CV_NO_ID);
}

// The listing names the file and shows the preamble in hex after the service lines.
TEST_F(FileObjectsTest, ListingShowsFileNameAndPreamble) {
  const int32_t id = create_empty_file("listed.dcm");
  uint8_t pattern[CV_FILE_PREAMBLE_LENGTH];
  for (size_t i = 0; i < sizeof pattern; ++i) pattern[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(CV_Set_File_Preamble(id, pattern), kOk);
  ScratchDir dir;
  const std::string path = dir.file("listing.txt");
  ASSERT_EQ(CV_List_File(id, path.c_str()), kOk);
  const std::string text = read_file(path);
  EXPECT_NE(text.find("File ID: " + std::to_string(id)), std::string::npos) << text;
  EXPECT_NE(text.find("     Filename: listed.dcm"), std::string::npos) << text;
  std::string first_row = "     Prefix: ";
  for (int i = 0; i < 32; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%.2X", i);
    first_row += hex;
  }
  EXPECT_NE(text.find(first_row), std::string::npos) << text;
  EXPECT_NE(text.find("===== End of File ID: " + std::to_string(id) + " ====="), std::string::npos);

  testing::internal::CaptureStdout();
  const int32_t listed = CV_List_File(id, nullptr);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(listed, kOk);
  EXPECT_NE(out.find("     Filename: listed.dcm"), std::string::npos) << out;
  EXPECT_EQ(CV_List_File(987654, nullptr), CV_INVALID_FILE_ID);
}

// Every pool allocation of a creation or conversion may fail: the call then reports
// CV_SYSTEM_ERROR and leaves no object (or the message unchanged in kind) behind.
TEST_F(FileObjectsTest, AllocationFailuresLeaveNothingBehind) {
  const uint64_t objects_before = memory::pool_stats(memory::PoolId::MsgObj).live_objects;
  int failures = 0;
  for (int32_t n = 1; n < 5000; ++n) {
    memory::fail_allocation_after(n);
    int32_t id = 77;
    const int32_t status = CV_Create_File(&id, "ct.dcm", "STANDARD_CT", 0x0001);
    memory::fail_allocation_after(0);
    if (status == kOk) {
      EXPECT_EQ(group_tags(id, 0x0002), kMetaTags);
      EXPECT_EQ(CV_Free_File(&id), kOk);
      break;
    }
    ++failures;
    ASSERT_EQ(status, CV_SYSTEM_ERROR) << n;
    EXPECT_EQ(id, CV_NO_ID);
    EXPECT_EQ(memory::pool_stats(memory::PoolId::MsgObj).live_objects, objects_before) << n;
  }
  EXPECT_GT(failures, 10);

  failures = 0;
  for (int32_t n = 1; n < 100; ++n) {
    const int32_t message = open_empty_message();
    ASSERT_EQ(CV_Set_Value_From_String(message, 0x00100010, "Doe^John"), kOk);
    memory::fail_allocation_after(n);
    const int32_t status = CV_Message_To_File(message, "m.dcm");
    memory::fail_allocation_after(0);
    if (status == kOk) {
      EXPECT_EQ(object(message).kind, data::ObjectKind::kFile);
      free_now(message);
      break;
    }
    ++failures;
    ASSERT_EQ(status, CV_SYSTEM_ERROR) << n;
    EXPECT_EQ(object(message).kind, data::ObjectKind::kMessage);
    EXPECT_EQ(object(message).media_info, nullptr);
    EXPECT_EQ(tags_of(message), std::vector<uint32_t>{0x00100010}) << n;
    free_now(message);
  }
  EXPECT_GT(failures, 5);
}

// The 132 bytes a reader finds first: the preamble is always kept; a prefix other than "DICM"
// is refused, or replaced with FORCE_DICM_IN_PREFIX, and logged as characters or, when any
// byte is not printable, in hex.
TEST_F(FileObjectsTest, PrefixPolicy) {
  struct Row {
    std::string prefix;
    bool force;
    int32_t expected;
    const char* log;  // null: nothing logged
  };
  const std::vector<Row> rows = {
      {"DICM", false, kOk, nullptr},
      {"DICM", true, kOk, nullptr},
      {"ABCD", false, CV_NO_DICM_PREFIX,
       "(CV_Open_File) E: Invalid DICOM file prefix 'ABCD' in 'p.dcm'"},
      {"dicm", false, CV_NO_DICM_PREFIX, "E: Invalid DICOM file prefix 'dicm' in 'p.dcm'"},
      {std::string("\x01\x02"
                   "AZ",
                   4),
       false, CV_NO_DICM_PREFIX, "E: Invalid DICOM file prefix '12415A' in 'p.dcm'"},
      {"ABCD", true, kOk, "T8: Replacing invalid DICOM file prefix 'ABCD' in 'p.dcm' with 'DICM'"},
      {std::string(4, '\0'), true, kOk,
       "T8: Replacing invalid DICOM file prefix '0000' in 'p.dcm' with 'DICM'"},
  };
  const int32_t id = create_empty_file("p.dcm");
  media::FileInfo* info = media::file_info(object(id));
  ASSERT_NE(info, nullptr);
  for (const Row& row : rows) {
    set_bool(FORCE_DICM_IN_PREFIX, row.force);
    std::string header(128, '\0');
    for (size_t i = 0; i < header.size(); ++i) header[i] = static_cast<char>(255 - i);
    header += row.prefix;
    std::memcpy(info->prefix, "----", 4);
    LogCapture log;
    EXPECT_EQ(media::accept_file_header(object(id), reinterpret_cast<const uint8_t*>(header.data()),
                                        "p.dcm", "CV_Open_File")
                  .code(),
              row.expected)
        << row.prefix;
    EXPECT_EQ(std::memcmp(info->preamble, header.data(), 128), 0) << "preamble stored";
    if (row.expected == kOk) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(info->prefix), 4), "DICM");
    }
    if (row.log != nullptr) {
      EXPECT_EQ(log.count(row.log), 1) << row.log;
    } else {
      EXPECT_EQ(log.count("DICOM file prefix"), 0);
    }
  }
  const int32_t message = open_empty_message();
  const std::string header = file_preface();
  EXPECT_EQ(media::accept_file_header(
                object(message), reinterpret_cast<const uint8_t*>(header.data()), nullptr, nullptr)
                .code(),
            CV_INVALID_FILE_ID);
}

}  // namespace
}  // namespace tessel::test
