// Writing files: the meta values the library supplies, the transfer syntax the data set needs,
// padding, the length of a file, the sink protocol, and the application's value callbacks.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "data/objects.hpp"
#include "memory/pool.hpp"
#include "tests/files/files_support.hpp"
#include "tests/support/log_capture.hpp"

namespace tessel::test {
namespace {

using FileWriteTest = FilesTest;

uint32_t le32(const std::string& bytes) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4 && i < bytes.size(); ++i) {
    v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
  }
  return v;
}

std::string written(int32_t id, int32_t pad = 0, int32_t expected = kOk) {
  MemorySink sink;
  EXPECT_EQ(CV_Write_File(id, pad, &sink, MemorySink::write), expected);
  return sink.bytes;
}

// Without any meta value set by the application the file still carries a complete meta group:
// version 00 01, the configured implementation class and version, and a correct group length.
// Values the application did set are kept.
TEST_F(FileWriteTest, LibrarySuppliesEmptyMetaValues) {
  struct Row {
    bool application_values;
    std::string version;
    std::string class_uid;
    std::string version_name;
  };
  const std::vector<Row> rows = {
      {false, std::string("\0\1", 2), Cfg->str(IMPLEMENTATION_CLASS_UID),
       Cfg->str(IMPLEMENTATION_VERSION)},
      {true, std::string("\7\7", 2), "1.2.3.44", "MY_VERSION"},
  };
  for (const Row& row : rows) {
    const int32_t id = create_filled_file(EXPLICIT_LITTLE_ENDIAN);
    if (row.application_values) {
      ASSERT_EQ(CV_Set_Value_From_Buffer(id, 0x00020001, row.version.data(), 2), kOk);
      ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020012, row.class_uid.c_str()), kOk);
      ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020013, row.version_name.c_str()), kOk);
    }
    const std::string bytes = written(id);
    ASSERT_GE(bytes.size(), 132u);
    EXPECT_EQ(bytes.substr(0, 132), file_preface());
    const std::vector<ParsedElement> elements = parse_file(bytes, kExplicitLittle);
    const ParsedElement* length = find_element(elements, 0x00020000);
    const ParsedElement* version = find_element(elements, 0x00020001);
    const ParsedElement* class_uid = find_element(elements, 0x00020012);
    const ParsedElement* version_name = find_element(elements, 0x00020013);
    ASSERT_TRUE(length && version && class_uid && version_name);
    EXPECT_EQ(length->vr, "UL");
    EXPECT_EQ(version->vr, "OB");
    EXPECT_EQ(version->value, row.version);
    EXPECT_EQ(class_uid->value, padded(row.class_uid, '\0'));
    EXPECT_EQ(version_name->value, padded(row.version_name, ' '));
    // The group length counts every byte from the element after it to the end of group 0002.
    const ParsedElement& last_meta =
        *std::find_if(elements.rbegin(), elements.rend(),
                      [](const ParsedElement& e) { return (e.tag >> 16) == 2; });
    const size_t meta_end =
        last_meta.offset + 8 + (last_meta.vr == "OB" ? 4 : 0) + last_meta.length;
    EXPECT_EQ(le32(length->value), meta_end - (length->offset + 12));
    // Empty type 3 elements are not written; the data set follows in tag order.
    EXPECT_EQ(find_element(elements, 0x00020016), nullptr);
    EXPECT_EQ(find_element(elements, 0x00020100), nullptr);
    ASSERT_NE(find_element(elements, 0x00100010), nullptr);
    EXPECT_EQ(find_element(elements, 0x00100010)->value, "Doe^Jane");
    EXPECT_EQ(find_element(elements, kPaddingTag), nullptr);
    // The object keeps the values it was written with.
    char text[80] = {};
    ASSERT_EQ(CV_Get_Value_To_String(id, 0x00020012, sizeof text, text), kOk);
    EXPECT_EQ(std::string(text), row.class_uid);
  }
}

// The data set needs (0002,0010) with a configured UID; without it nothing is written and the
// length is refused as well.
TEST_F(FileWriteTest, TransferSyntaxMustBeKnown) {
  struct Row {
    const char* what;
    const char* uid;  // null: no value; "-": attribute deleted
    int32_t write_status;
    const char* write_log;
    const char* length_log;
  };
  const Row rows[] = {
      {"no value", nullptr, CV_NO_VALUE_YET,
       "(CV_Write_File) E: Unable to get transfer syntax UID in file object:  ", nullptr},
      {"deleted", "-", CV_INVALID_TAG,
       "(CV_Write_File) E: Unable to get transfer syntax UID in file object:  ", nullptr},
      {"unknown", "1.2.3.4", CV_INVALID_TRANSFER_SYNTAX,
       "(CV_Write_File) E: Unknown transfer syntax UID in file object:  1.2.3.4",
       "(CV_Get_File_Length) E: Invalid transfer syntax UID encountered in file object: 1.2.3.4"},
  };
  for (const Row& row : rows) {
    const int32_t id = create_empty_file();
    if (row.uid != nullptr && std::strcmp(row.uid, "-") == 0) {
      ASSERT_EQ(CV_Delete_Attribute(id, 0x00020010), kOk);
    } else if (row.uid != nullptr) {
      ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020010, row.uid), kOk);
    }
    LogCapture log;
    MemorySink sink;
    EXPECT_EQ(CV_Write_File(id, 0, &sink, MemorySink::write), row.write_status) << row.what;
    EXPECT_TRUE(sink.sizes.empty()) << row.what;
    EXPECT_EQ(log.count(row.write_log), 1) << row.what;
    uint32_t length = 99;
    EXPECT_EQ(CV_Get_File_Length(id, &length), CV_INVALID_TRANSFER_SYNTAX) << row.what;
    EXPECT_EQ(length, 0u);
    if (row.length_log != nullptr) {
      EXPECT_EQ(log.count(row.length_log), 1) << row.what;
    }
  }
}

// Padding: the whole file becomes a multiple of the pad length, with 2 to pad-length zero bytes
// in a trailing (FFFC,FFFC) OB element; every residue is met by varying the data set size.
TEST_F(FileWriteTest, PaddingMakesTheFileAMultipleOfThePadLength) {
  for (int32_t syntax : {EXPLICIT_LITTLE_ENDIAN, IMPLICIT_LITTLE_ENDIAN}) {
    for (int32_t pad : {2, 16, 512}) {
      bool saw_shortest = false;
      bool saw_longest = false;
      for (size_t extra = 0; extra < 24; ++extra) {
        const int32_t id = create_filled_file(syntax);
        ASSERT_EQ(CV_Set_Value_From_String(id, 0x00081030, std::string(extra, 'x').c_str()), kOk);
        const std::string bytes = written(id, pad);
        ASSERT_EQ(bytes.size() % static_cast<size_t>(pad), 0u) << pad << " " << extra;
        const Encoding encoding =
            syntax == EXPLICIT_LITTLE_ENDIAN ? kExplicitLittle : kImplicitLittle;
        const std::vector<ParsedElement> elements = parse_file(bytes, encoding);
        ASSERT_FALSE(elements.empty());
        const ParsedElement& last = elements.back();
        ASSERT_EQ(last.tag, kPaddingTag) << pad << " " << extra;
        if (syntax == EXPLICIT_LITTLE_ENDIAN) {
          EXPECT_EQ(last.vr, "OB");
        }
        EXPECT_GE(last.length, 2u);
        EXPECT_LE(last.length, static_cast<uint32_t>(pad));
        EXPECT_EQ(last.value, std::string(last.length, '\0'));
        saw_shortest = saw_shortest || last.length == 2;
        saw_longest = saw_longest || last.length == static_cast<uint32_t>(pad);
        free_now(id);
      }
      if (pad <= 16) {
        EXPECT_TRUE(saw_shortest) << pad;
        EXPECT_TRUE(saw_longest) << pad;
      }
    }
  }
  const int32_t id = create_filled_file(EXPLICIT_LITTLE_ENDIAN);
  const std::string bytes = written(id, 0);
  EXPECT_EQ(find_element(parse_file(bytes, kExplicitLittle), kPaddingTag), nullptr);
  EXPECT_EQ(written(id, 1, CV_INVALID_PAD_SIZE), "");
}

// The length of a file is exactly what a write produces, in every native syntax, with sequences
// and with either sequence length form.
TEST_F(FileWriteTest, FileLengthIsTheNumberOfBytesWritten) {
  for (bool undefined_sequences : {false, true}) {
    set_bool(EXPORT_UNDEFINED_LENGTH_SQ, undefined_sequences);
    for (int32_t syntax : {IMPLICIT_LITTLE_ENDIAN, EXPLICIT_LITTLE_ENDIAN, EXPLICIT_BIG_ENDIAN}) {
      const int32_t id = create_filled_file(syntax);
      // Fills the meta values the library supplies, which the length counts only once set.
      written(id);
      int32_t item = -1;
      ASSERT_EQ(CV_Open_Empty_Item(&item), kOk);
      ASSERT_EQ(CV_Set_Value_From_String(item, 0x00081150, kCtImageStorage), kOk);
      ASSERT_EQ(CV_Set_Value_From_Int(id, 0x00081140, item), kOk);
      ASSERT_EQ(CV_Set_Value_From_Int(id, 0x00280010, 2), kOk);
      uint32_t length = 0;
      ASSERT_EQ(CV_Get_File_Length(id, &length), kOk);
      EXPECT_EQ(length, written(id).size()) << syntax << " " << undefined_sequences;
      free_now(id);
    }
  }
}

// The sink gets even chunks in order, the first flagged first and only the final call flagged
// last, each with the file name; a refusal ends the write with CV_CALLBACK_CANNOT_COMPLY.
TEST_F(FileWriteTest, SinkProtocol) {
  ASSERT_EQ(CV_Set_Int_Config_Value(WORK_BUFFER_SIZE, 1024), kOk);
  const int32_t id = create_filled_file(EXPLICIT_LITTLE_ENDIAN, "chunks.dcm");
  std::string document(5001, 'd');  // odd: OB is padded with one NUL
  ASSERT_EQ(CV_Add_Standard_Attribute(id, 0x00420011), kOk);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, 0x00420011, document.data(),
                                     static_cast<uint32_t>(document.size())),
            kOk);
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(CV_Set_Next_Value_From_String(id, 0x00080008, "DERIVED"), kOk);
  }
  MemorySink sink;
  ASSERT_EQ(CV_Write_File(id, 0, &sink, MemorySink::write), kOk);
  ASSERT_GT(sink.sizes.size(), 2u);
  for (size_t i = 0; i < sink.sizes.size(); ++i) {
    EXPECT_EQ(sink.sizes[i] % 2, 0u) << i;
    EXPECT_EQ(sink.first_flags[i], i == 0 ? 1 : 0) << i;
    EXPECT_EQ(sink.last_flags[i], i + 1 == sink.sizes.size() ? 1 : 0) << i;
    EXPECT_EQ(sink.names[i], "chunks.dcm");
  }
  const std::vector<ParsedElement> elements = parse_file(sink.bytes, kExplicitLittle);
  const ParsedElement* ob = find_element(elements, 0x00420011);
  ASSERT_NE(ob, nullptr);
  EXPECT_EQ(ob->value, document + '\0');
  uint32_t length = 0;
  ASSERT_EQ(CV_Get_File_Length(id, &length), kOk);
  EXPECT_EQ(length, sink.bytes.size());

  for (int refuse : {0, 1, static_cast<int>(sink.sizes.size()) - 1}) {
    MemorySink refusing;
    refusing.refuse_at = refuse;
    EXPECT_EQ(CV_Write_File(id, 0, &refusing, MemorySink::write), CV_CALLBACK_CANNOT_COMPLY)
        << refuse;
    EXPECT_EQ(refusing.sizes.size(), static_cast<size_t>(refuse));
  }
}

// A write that runs out of memory anywhere (padding value, meta values, work buffer) fails with
// CV_SYSTEM_ERROR and leaves a file that a later write turns into the same bytes.
TEST_F(FileWriteTest, AllocationFailuresKeepTheFileWritable) {
  const int32_t reference = create_filled_file(EXPLICIT_LITTLE_ENDIAN);
  const std::string expected = written(reference, 64);
  int failures = 0;
  for (int32_t n = 1; n < 1000; ++n) {
    const int32_t id = create_filled_file(EXPLICIT_LITTLE_ENDIAN);
    MemorySink sink;
    memory::fail_allocation_after(n);
    const int32_t status = CV_Write_File(id, 64, &sink, MemorySink::write);
    memory::fail_allocation_after(0);
    if (status == kOk) {
      EXPECT_EQ(sink.bytes, expected);
      free_now(id);
      break;
    }
    ++failures;
    ASSERT_EQ(status, CV_SYSTEM_ERROR) << n;
    EXPECT_EQ(written(id, 64), expected) << n;
    free_now(id);
  }
  EXPECT_GT(failures, 3);
}

// A DICOMDIR takes its sequence length form from EXPORT_UNDEFINED_LENGTH_SQ_IN_DICOMDIR, a File
// from EXPORT_UNDEFINED_LENGTH_SQ.
TEST_F(FileWriteTest, SequenceLengthFormFollowsTheObjectKind) {
  struct Row {
    const char* service;
    bool file_flag;
    bool dicomdir_flag;
    bool undefined;
  };
  const Row rows[] = {
      {"MOUSE", true, false, true},
      {"MOUSE", false, true, false},
      {"DICOMDIR", true, false, false},
      {"DICOMDIR", false, true, true},
  };
  for (const Row& row : rows) {
    set_bool(EXPORT_UNDEFINED_LENGTH_SQ, row.file_flag);
    set_bool(EXPORT_UNDEFINED_LENGTH_SQ_IN_DICOMDIR, row.dicomdir_flag);
    int32_t id = -1;
    ASSERT_EQ(CV_Create_File(&id, "DICOMDIR", row.service, 0x0001), kOk);
    track(id);
    ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020010, syntax_uid(EXPLICIT_LITTLE_ENDIAN).c_str()),
              kOk);
    int32_t item = -1;
    ASSERT_EQ(CV_Open_Empty_Item(&item), kOk);
    ASSERT_EQ(CV_Add_Standard_Attribute(item, 0x00041430), kOk);
    ASSERT_EQ(CV_Set_Value_From_String(item, 0x00041430, "PATIENT"), kOk);
    if (data::find_attribute(object(id), 0x00041220) == nullptr) {
      ASSERT_EQ(CV_Add_Standard_Attribute(id, 0x00041220), kOk);
    }
    ASSERT_EQ(CV_Set_Value_From_Int(id, 0x00041220, item), kOk);
    const std::vector<ParsedElement> elements = parse_file(written(id), kExplicitLittle);
    const ParsedElement* sequence = find_element(elements, 0x00041220);
    ASSERT_NE(sequence, nullptr) << row.service;
    EXPECT_EQ(sequence->length == 0xFFFFFFFF, row.undefined) << row.service << row.file_flag;
  }
}

// Value callbacks of an application supply bulk data to CV_Write_File_By_Callback; a write that
// fails releases the bindings it made, whether they were made measuring the padding or
// writing.
struct Supplier {
  std::string data;
  bool fail_length = false;
  bool fail_data = false;
  std::vector<int32_t> requests;
};

int32_t supply(int32_t, uint32_t, void* user, int32_t request, uint32_t* size, void** data, int32_t,
               int32_t* is_last) {
  auto* s = static_cast<Supplier*>(user);
  s->requests.push_back(request);
  if (request == CV_CB_GET_LENGTH) {
    if (s->fail_length) return CV_CALLBACK_CANNOT_COMPLY;
    *size = static_cast<uint32_t>(s->data.size());
    return kOk;
  }
  if (request == CV_CB_GET_DATA) {
    if (s->fail_data) return CV_CALLBACK_CANNOT_COMPLY;
    *size = static_cast<uint32_t>(s->data.size());
    *data = s->data.data();
    *is_last = 1;
    return kOk;
  }
  return kOk;
}

TEST_F(FileWriteTest, WriteByCallbackBindsAndReleases) {
  Supplier supplier;
  supplier.data = "ENCAPSULATED";
  const int32_t app = register_application();
  ASSERT_EQ(CV_Register_Callback_Function(app, 0x00420011, &supplier, supply), kOk);
  struct Row {
    int32_t pad;
    bool fail_length;
    bool fail_data;
    int32_t expected;
  };
  const Row rows[] = {
      {0, false, false, kOk},
      {16, false, false, kOk},
      {0, true, false, CV_CALLBACK_CANNOT_COMPLY},
      {0, false, true, CV_CALLBACK_CANNOT_COMPLY},
      {16, false, true, CV_CALLBACK_CANNOT_COMPLY},
  };
  for (const Row& row : rows) {
    const int32_t id = create_filled_file(EXPLICIT_LITTLE_ENDIAN);
    ASSERT_EQ(CV_Add_Standard_Attribute(id, 0x00420011), kOk);
    supplier.fail_length = row.fail_length;
    supplier.fail_data = row.fail_data;
    MemorySink sink;
    EXPECT_EQ(CV_Write_File_By_Callback(app, id, row.pad, &sink, MemorySink::write), row.expected)
        << row.pad << row.fail_length << row.fail_data;
    const data::TagObj* record = data::find_attribute(object(id), 0x00420011);
    ASSERT_NE(record, nullptr);
    if (row.expected == kOk) {
      EXPECT_EQ(record->storage, data::kStoredByCallback);
      const std::vector<ParsedElement> elements = parse_file(sink.bytes, kExplicitLittle);
      ASSERT_NE(find_element(elements, 0x00420011), nullptr);
      EXPECT_EQ(find_element(elements, 0x00420011)->value, supplier.data);
      if (row.pad > 0) {
        EXPECT_EQ(sink.bytes.size() % static_cast<size_t>(row.pad), 0u);
      }
    } else {
      EXPECT_EQ(record->storage, data::kStoredInMemory) << "binding released";
      EXPECT_EQ(record->callback, nullptr);
    }
    free_now(id);
  }
  // Without the application the attribute has no value and is not written.
  const int32_t id = create_filled_file(EXPLICIT_LITTLE_ENDIAN);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, 0x00420011), kOk);
  EXPECT_EQ(find_element(parse_file(written(id), kExplicitLittle), 0x00420011), nullptr);
}

// A value of undefined length (here a callback's, in an encapsulated syntax) makes the file
// length undefined.
int32_t undefined_length(int32_t, uint32_t, void*, int32_t request, uint32_t* size, void**, int32_t,
                         int32_t*) {
  if (request == CV_CB_GET_LENGTH) *size = 0xFFFFFFFF;
  return kOk;
}

TEST_F(FileWriteTest, UndefinedLengthValueGivesUndefinedFileLength) {
  const int32_t app = register_application();
  ASSERT_EQ(CV_Register_Callback_Function(app, 0x7FE00010, nullptr, undefined_length), kOk);
  const int32_t id = create_filled_file(RLE);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, 0x7FE00010), kOk);
  ASSERT_EQ(CV_Set_Message_Callbacks(app, id), kOk);
  uint32_t length = 0;
  ASSERT_EQ(CV_Get_File_Length(id, &length), kOk);
  EXPECT_EQ(length, 0xFFFFFFFFu);
}

}  // namespace
}  // namespace tessel::test
