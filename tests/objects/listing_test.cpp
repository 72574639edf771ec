// The listing: short and long forms, sequences, private attributes, placeholders and limits,
// compared line by line with text written from the formats (trailing blanks aside).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "data/objects.hpp"
#include "tests/objects/objects_support.hpp"
#include "tests/support/log_capture.hpp"

#include "tessel/tessel.h"

namespace tessel::test {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// The name column of the long form: 50 characters.
std::string named(const std::string& name) {
  return name + std::string(50 - name.size(), ' ');
}

class ListingTest : public ObjectsTest {
 protected:
  std::vector<std::string> list(int32_t id, int32_t expected = CV_NORMAL_COMPLETION) {
    const std::string path = dir_.file("listing.txt");
    EXPECT_EQ(CV_List_Message(id, path.c_str()), expected);
    return lines_of(read_file(path));
  }

  ScratchDir dir_;
};

TEST_F(ListingTest, ShortAndLongFormsSequencesAndPrivateNames) {
  int32_t id = open_empty_message();
  int32_t item = open_empty_item();
  add_as(id, 0x00080002, CV_VR_UN);
  put_bytes(id, 0x00080002, std::string("AB\x01", 3));
  add_as(id, 0x00080003, CV_VR_AT);
  put_numbers<uint32_t>(id, 0x00080003, {0x7FE00010});
  put_texts(id, 0x00080008, {"ORIGINAL", "PRIMARY"});
  put_texts(id, 0x00080060, {"CT"});
  put_texts(id, 0x00081030, {"A study description that is long"});
  put_texts(item, 0x00081150, {"1.2.3"});
  put_item(id, 0x00081140, item);
  put_texts(id, 0x00082111, {std::string(250, 'x')});
  put_texts(id, 0x00090010, {"GEMS_IDEN_01"});
  put_texts(id, 0x00091001, {"full"});
  put_texts(id, 0x00100010, {"DOE^JOHN"});
  put_numbers<uint16_t>(id, 0x00280010, {512});
  put_texts(id, 0x00290010, {"ACME"});
  put_texts(id, 0x00291001, {"secret"});
  put_texts(id, 0x00311001, {"x"});
  put_texts(id, 0x00330010, {"BAD\\CODE"});
  put_texts(id, 0x00331001, {"y"});
  put_bytes(id, 0x7FE00010, std::string(6, '\0'));

  LogCapture log;
  const std::vector<std::string> expected = {
      "Message ID: 100",
      "     Service Supported: (Unknown Service)",
      "     Command Supported: (null)",
      "Message Attributes:",
      "0008,0002 UN |AB\\x01|          (  3) Non-standard attribute",
      "0008,0003 AT |7fe0,0010|       (  4) Non-standard attribute",
      "0008,0008 " + named("Image Type") + " VR: CS  VM: 2 (1-n)",
      "             1 |ORIGINAL|",
      "             2 |PRIMARY|",
      "0008,0060 CS |CT|              (  2) Modality",
      "0008,1030 LO |A study description that is long| ( 32) Study Description",
      "0008,1140 " + named("Referenced Image Sequence") + " VR: SQ  VM: 1 (1-n)",
      "    <Sequence: Item 1 of Message 100 (0008,1140)>",
      "    Item ID: 101",
      "    Item Attributes:",
      "    0008,1150 UI |1.2.3|           (  5) Referenced SOP Class UID",
      "    ===== End of Item ID: 101 =====",
      "Message ID: 100 (continued)",
      "0008,2111 ST |" + std::string(200, 'x') +
          "| <Too big. Can't print> (250) Derivation Description",
      "0009,0010 LO |GEMS_IDEN_01|    ( 12) Private creator code",
      "0009,1001 LO |full|            (  4) Full fidelity",
      "0010,0010 PN |DOE^JOHN|        (  8) Patient's Name",
      "0028,0010 US |512|             (  2) Rows",
      "0029,0010 LO |ACME|            (  4) Private creator code",
      "0029,1001 LO |secret|          (  6) -- private --",
      "0031,1001 LO |x|               (  1) ILLEGAL Private Attribute - No Creator Code",
      "0033,0010 LO |BAD\\CODE|        (  8) Private creator code",
      "0033,1001 LO |y|               (  1) BAD Private Creator Code",
      "7FE0,0010 " + named("Pixel Data") + " VR: OW  VM: 1 (1-n)",
      "          (0000006) <OB, OW, OF data>",
      "===== End of Message ID: 100 =====",
  };
  EXPECT_EQ(list(id), expected);
  EXPECT_EQ(log.count("(CV_List_Message) E: Invalid Private Creator Code : BAD\\CODE"), 1);
  EXPECT_EQ(log.count("(CV_List_Message) E: No valid private creator code exists for private "
                      "attribute: (0031,1001)"),
            1);
}

TEST_F(ListingTest, LimitsAndPlaceholders) {
  int32_t id = -1;
  ASSERT_EQ(CV_Open_Message(&id, "NO_SUCH_SERVICE", 0x0001), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Delete_Range(id, 0, 0xFFFF), CV_NORMAL_COMPLETION);
  int32_t outer = open_empty_item();
  int32_t inner = open_empty_item();
  add_as(id, 0x00080002, CV_VR_UN);
  put_bytes(id, 0x00080002, "ABC");
  put_texts(id, 0x00080008, {"ORIGINAL", "PRIMARY"});
  put_item(outer, 0x00082112, inner);
  put_item(id, 0x00081140, outer);
  put_texts(id, 0x00081030, {std::string(1500, 'd')});
  put_texts(id, 0x00100020, {""});
  put_texts(id, 0x00100030, {"20000101"});
  put_texts(id, 0x00100040, {"F"});
  put_texts(id, 0x00290010, {"ACME"});
  put_texts(id, 0x00291001, {"secret"});
  // Values kept by a callback or in a file are not read for the listing.
  data::TagObj* by_callback = attribute(id, 0x00100030);
  data::TagObj* in_file = attribute(id, 0x00100040);
  by_callback->storage = data::kStoredByCallback;
  in_file->storage = data::kStoredInFile;

  Cfg->ints[LIST_VALUE_LIMIT] = 1;
  Cfg->ints[LIST_SQ_DEPTH_LIMIT] = 1;
  Cfg->bools[LIST_UN_ATTRIBUTES] = 0;
  Cfg->bools[EXPORT_PRIVATE_ATTRIBUTES_TO_NETWORK] = 0;
  const std::vector<std::string> expected = {
      "Message ID: 100",
      "     Service Supported: NO_SUCH_SERVICE (Unknown Service)",
      "     Command Supported: C_STORE_RQ",
      "Message Attributes:",
      "0008,0002 " + named("Non-standard attribute") + " VR: UN  VM: 1 (1-n)",
      "          (0000003) <UN data>",
      "0008,0008 CS |ORIGINAL|        ( 15) Image Type",
      "0008,1030 LO |<Value too large>| (1500) Study Description",
      "0008,1140 " + named("Referenced Image Sequence") + " VR: SQ  VM: 1 (1-n)",
      "    <Sequence: Item 1 of Message 100 (0008,1140)>",
      "    Item ID: 101",
      "    Item Attributes:",
      "    0008,2112 " + named("Source Image Sequence") + " VR: SQ  VM: 1 (1-n)",
      "        <Sequence: Item 1 of Item 101 (0008,2112)>",
      "    ===== End of Item ID: 101 =====",
      "Message ID: 100 (continued)",
      "0010,0020 LO |<null>|          (  0) Patient ID",
      "0010,0030 " + named("Patient's Birth Date") + " VR: DA  VM: 1 (1-n)",
      "          (0000008) <Callback routine>",
      "0010,0040 " + named("Patient's Sex") + " VR: CS  VM: 1 (1-n)",
      "          (0000001) <Stored in file>",
      "===== End of Message ID: 100 =====",
  };
  EXPECT_EQ(list(id), expected);
  by_callback->storage = data::kStoredInMemory;
  in_file->storage = data::kStoredInMemory;
  EXPECT_EQ(CV_Free_Message(&id), CV_NORMAL_COMPLETION);
}

TEST_F(ListingTest, EmptyObjectsItemsInvalidIdentifiersAndTheLog) {
  int32_t id = open_empty_message();
  EXPECT_EQ(list(id), (std::vector<std::string>{
                          "Message ID: 100", "     Service Supported: (Unknown Service)",
                          "     Command Supported: (null)", "Message has no attributes.",
                          "===== End of Message ID: 100 ====="}));
  int32_t item = open_empty_item();
  put_numbers<int16_t>(item, 0x0072007E, {-5, 7});
  const std::string path = dir_.file("item.txt");
  ASSERT_EQ(CV_List_Item(item, path.c_str()), CV_NORMAL_COMPLETION);
  const std::vector<std::string> lines = lines_of(read_file(path));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "Item ID: 101");
  EXPECT_EQ(lines[1], "Item Attributes:");
  EXPECT_EQ(lines[3], "             1 |-5|");
  EXPECT_EQ(lines[4], "             2 |7|");

  EXPECT_EQ(list(555, CV_INVALID_MESSAGE_ID),
            std::vector<std::string>{"Invalid message/item ID: 555"});
  EXPECT_EQ(CV_List_Item(555, path.c_str()), CV_INVALID_ITEM_ID);
  EXPECT_EQ(lines_of(read_file(path)), std::vector<std::string>{"Invalid message/item ID: 555"});
  EXPECT_EQ(CV_List_Message(id, "/nonexistent/dir/listing.txt"), CV_SYSTEM_ERROR);

  LogCapture log;
  ASSERT_EQ(CV_List_Message(id, nullptr), CV_NORMAL_COMPLETION);
  EXPECT_EQ(log.count(") Message ID: 100"), 1);
  EXPECT_EQ(log.count(") ===== End of Message ID: 100 ====="), 1);
  EXPECT_EQ(log.count(") Message has no attributes."), 1);
}

}  // namespace
}  // namespace tessel::test
