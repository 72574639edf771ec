// The data dictionary: content against the committed standard extract, lookups, keyword
// derivation and the loader's handling of bad files.
#include "data/dictionary.hpp"

#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "core/state.hpp"
#include "data/dictionary_format.hpp"
#include "data/vr.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace {

namespace format = tessel::data::dictionary_format;
using tessel::test::ConfigSet;
using tessel::test::LibraryScope;

std::vector<std::vector<std::string>> read_tsv(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::vector<std::string>> rows;
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (header) {
      header = false;
      continue;
    }
    std::vector<std::string> fields;
    std::istringstream split(line);
    std::string field;
    while (std::getline(split, field, '\t')) fields.push_back(field);
    if (!line.empty() && line.back() == '\t') fields.emplace_back();
    rows.push_back(fields);
  }
  return rows;
}

const std::string kDataDir = std::string(TESSEL_TEST_SOURCE_DIR) + "/data/";

class DictionaryTest : public ::testing::Test {
 protected:
  LibraryScope library_{tessel::test::shipped_ini()};
  void SetUp() override { ASSERT_EQ(library_.status(), CV_NORMAL_COMPLETION); }
};

TEST_F(DictionaryTest, EveryStandardTagResolvesAsTheExtractSays) {
  const auto rows = read_tsv(kDataDir + "dictionary.tsv");
  ASSERT_GT(rows.size(), 6000u);
  int checked = 0;
  for (const auto& row : rows) {
    const uint32_t tag = static_cast<uint32_t>(std::stoul(row[0], nullptr, 16));
    char name[128];
    int32_t vr = -1;
    uint16_t low = 0;
    uint16_t high = 0;
    ASSERT_EQ(CV_Get_Tags_Dict_Info(tag, name, sizeof name, &vr, &low, &high),
              tag == 0 ? CV_NULL_POINTER_PARM : CV_NORMAL_COMPLETION)
        << row[0];
    if (tag == 0) continue;
    EXPECT_STREQ(CVI_VRcodeToASCII(vr), row[1].c_str()) << row[0];
    EXPECT_EQ(low, std::stoi(row[2])) << row[0];
    EXPECT_EQ(high, std::stoi(row[3])) << row[0];
    EXPECT_EQ(std::string(name), row[5]) << row[0];
    ++checked;
  }
  EXPECT_EQ(checked + 1, static_cast<int>(rows.size()));
}

TEST_F(DictionaryTest, KeywordRuleAgreesWithTheStandardExceptForItsIrregularNames) {
  std::set<std::string> expected_exceptions;
  for (const auto& row : read_tsv(kDataDir + "keyword_exceptions.tsv")) {
    expected_exceptions.insert(row[0]);
  }
  ASSERT_EQ(expected_exceptions.size(), 49u);
  std::set<std::string> found_exceptions;
  int agreeing = 0;
  for (const auto& row : read_tsv(kDataDir + "dictionary.tsv")) {
    if (row[4].empty()) continue;
    const uint32_t tag = static_cast<uint32_t>(std::stoul(row[0], nullptr, 16));
    char keyword[128];
    ASSERT_EQ(CV_Get_Tag_Keyword(tag, keyword, sizeof keyword), CV_NORMAL_COMPLETION) << row[0];
    if (row[4] == keyword) {
      ++agreeing;
    } else {
      found_exceptions.insert(row[0]);
    }
  }
  EXPECT_EQ(found_exceptions, expected_exceptions);
  EXPECT_GT(agreeing, 5200);
  // The rule's one hard-coded name, whatever the dictionary calls it.
  EXPECT_EQ(tessel::data::derive_keyword(0x00000800, "anything"), "CommandDataSetType");
}

TEST_F(DictionaryTest, LookupRules) {
  char name[128];
  int32_t vr = -1;
  uint16_t low = 0;
  uint16_t high = 0;
  // Repeating groups resolve through 5000/6000.
  ASSERT_EQ(CV_Get_Tags_Dict_Info(0x60FF3000, name, sizeof name, &vr, &low, &high),
            CV_NORMAL_COMPLETION);
  EXPECT_STREQ(name, "Overlay Data");
  ASSERT_EQ(CV_Get_Tag_Info(0x60003000, name, sizeof name), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(name, "Overlay Data");
  ASSERT_EQ(CV_Get_Tag_Info(0x50200010, name, sizeof name), CV_NORMAL_COMPLETION);
  // Private group length needs no entry; 18 bytes hold its name.
  ASSERT_EQ(CV_Get_Tags_Dict_Info(0x00290000, name, 18, &vr, &low, &high), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(name, "Group 0029 Length");
  EXPECT_EQ(vr, CV_VR_UL);
  EXPECT_EQ(CV_Get_Tags_Dict_Info(0x00290000, name, 17, &vr, &low, &high), CV_BUFFER_TOO_SMALL);
  // A cut name is still stored.
  EXPECT_EQ(CV_Get_Tag_Info(0x00100010, name, 5), CV_BUFFER_TOO_SMALL);
  EXPECT_STREQ(name, "Pati");
  std::memset(name, 'x', sizeof name);
  EXPECT_EQ(CV_Get_Tag_Info(0x00100010, name, 0), CV_NORMAL_COMPLETION);
  EXPECT_EQ(name[0], 'x');
  EXPECT_EQ(CV_Get_Tag_Info(0x00100010, name, -1), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(CV_Get_Tag_Info(0x00100010, nullptr, 10), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_Tag_Info(0x00101234, name, sizeof name), CV_INVALID_TAG);
  EXPECT_EQ(CV_Get_Tags_Dict_Info(0x00100010, name, 0, &vr, &low, &high), CV_BUFFER_TOO_SMALL);
  // Keyword buffers: the keyword and its NUL must fit, else nothing is written.
  char keyword[12];
  std::memset(keyword, 'x', sizeof keyword);
  EXPECT_EQ(CV_Get_Tag_Keyword(0x00100010, keyword, 11), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(keyword[0], 'x');
  EXPECT_EQ(CV_Get_Tag_Keyword(0x00100010, keyword, 12), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(keyword, "PatientName");
  EXPECT_EQ(CV_Get_Tag_Keyword(0x00100010, keyword, 0), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(CV_Get_Tag_Keyword(0x00100010, nullptr, 12), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_Tag_Keyword(0x00101234, keyword, sizeof keyword), CV_INVALID_TAG);
  EXPECT_EQ(CV_Get_Tag_Keyword(0x00291010, keyword, sizeof keyword), CV_INVALID_TAG);
}

TEST_F(DictionaryTest, PrivateLookupsUseTheCreatorAndIgnoreTheBlock) {
  // GEMS_IDEN_01 (0009,xx01) Full fidelity is a long-standing GE private element.
  char name[128];
  ASSERT_EQ(CVI_Get_Dictionary_Info(0x00091001, "GEMS_IDEN_01", nullptr, nullptr, nullptr, name,
                                    sizeof name),
            CV_NORMAL_COMPLETION);
  const std::string expected = name;
  EXPECT_EQ(CVI_Get_Dictionary_Info(0x00092001, "GEMS_IDEN_01   ", nullptr, nullptr, nullptr, name,
                                    sizeof name),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(expected, name);
  EXPECT_EQ(CV_Get_pTag_Info("GEMS_IDEN_01", 0x0009, 0x01, name, sizeof name),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(expected, name);
  EXPECT_EQ(CVI_Get_Dictionary_Info(0x00091001, "gems_iden_01", nullptr, nullptr, nullptr, name,
                                    sizeof name),
            CV_INVALID_TAG);
  EXPECT_EQ(
      CVI_Get_Dictionary_Info(0x00091001, nullptr, nullptr, nullptr, nullptr, name, sizeof name),
      CV_INVALID_TAG);
}

// ---- Loader faults, with dictionary files written by the test --------------------------------

struct Record {
  uint32_t tag;
  int16_t vr;
  std::string name;
  std::string creator;  // empty: none written
};

std::string build_file(uint32_t marker, const std::vector<Record>& records) {
  std::string out;
  format::append_record(out, marker, 0, 0, 0, "marker", nullptr);
  for (const Record& r : records) {
    format::append_record(out, r.tag, r.vr, 1, 1, r.name, r.creator.empty() ? nullptr : &r.creator);
  }
  return out;
}

// Initialises the library with a dictionary file of the given content and returns the status;
// `log_text` receives the log file's lines.
int32_t initialise_with_dictionary(const std::string& content, std::string& log_text) {
  ConfigSet config;
  tessel::test::write_file(config.dir().file("test.dct"), content);
  config.profile_line("MESSAGE_PARMS", "DICTIONARY_FILE = " + config.dir().file("test.dct"));
  const std::string ini = config.write();
  int32_t status = 0;
  {
    LibraryScope library(ini);
    status = library.status();
  }
  log_text.clear();
  for (const std::string& line : tessel::test::read_log_lines(config.dir().file("tessel.log"))) {
    log_text += line + "\n";
  }
  return status;
}

TEST(DictionaryLoad, FaultsGiveTheirStatusAndLogLine) {
  struct Case {
    const char* what;
    std::string content;
    int32_t status;
    const char* log;
  };
  const std::vector<Case> cases = {
      {"empty file", "", CV_NORMAL_COMPLETION, nullptr},
      {"wrong marker", build_file(0x00080016, {{0x00080018, CV_VR_UI, "SOP", ""}}),
       CV_DICTIONARY_FILE_ERROR,
       "A data dictionary generated by release 2.3.3 or later must be used"},
      {"standard order",
       build_file(format::kTerminatedNameMarker, {{0x00080030, CV_VR_TM, "Study Time", ""},
                                                  {0x00080020, CV_VR_DA, "Study Date", ""}}),
       CV_DICTIONARY_FILE_ERROR, "Dictionary sequence: 00080020 follows 00080030"},
      {"private order within a creator",
       build_file(format::kTerminatedNameMarker,
                  {{0x00290012, CV_VR_LO, "B", "ACME"}, {0x00290011, CV_VR_LO, "A", "ACME"}}),
       CV_DICTIONARY_FILE_ERROR,
       "Private dictionary sequence: 00290011,ACME follows 00290012,ACME"},
      {"private runs restart per creator",
       build_file(format::kTerminatedNameMarker, {{0x00290012, CV_VR_LO, "B", "ACME"},
                                                  {0x00290011, CV_VR_LO, "A", "OTHER"},
                                                  {0x00300010, CV_VR_LO, "Standard", ""}}),
       CV_NORMAL_COMPLETION, nullptr},
      {"truncated VR",
       build_file(format::kTerminatedNameMarker, {}) + std::string("\x00\x08\x00", 3),
       CV_DICTIONARY_FILE_ERROR, "Error reading a tag from the data dictionary file"},
      {"unterminated name",
       build_file(format::kTerminatedNameMarker, {}) +
           std::string("\x00\x08\x00\x20\x00\x02\x01\x01Name", 12),
       CV_DICTIONARY_FILE_ERROR, "Error reading a name from the data dictionary file"},
      {"creator cut short ends the load",
       build_file(format::kTerminatedNameMarker, {{0x00080020, CV_VR_DA, "Study Date", ""}}) +
           std::string("\x00\x29\x00\x10\x00\x07\x01\x01Name\0ACME", 17),
       CV_NORMAL_COMPLETION, nullptr},
  };
  for (const Case& c : cases) {
    std::string log;
    EXPECT_EQ(initialise_with_dictionary(c.content, log), c.status) << c.what << "\n" << log;
    if (c.log != nullptr) {
      EXPECT_NE(log.find(c.log), std::string::npos) << c.what << "\n" << log;
    }
  }
}

TEST(DictionaryLoad, FixedNameFormatAndMissingFile) {
  // Fixed 64-byte names: build the records by hand.
  std::string content;
  auto fixed = [&](uint32_t tag, int16_t vr, const std::string& name) {
    std::string record;
    format::append_record(record, tag, vr, 1, 1, "", nullptr);
    record.pop_back();  // drop the terminator written for the other format
    std::string padded = name;
    padded.resize(format::kFixedNameLength, '\0');
    content += record + padded;
  };
  fixed(format::kFixedNameMarker, 0, "marker");
  fixed(0x00100010, CV_VR_PN, "Patient's Name");
  ConfigSet config;
  tessel::test::write_file(config.dir().file("fixed.dct"), content);
  config.profile_line("MESSAGE_PARMS", "DICTIONARY_FILE = " + config.dir().file("fixed.dct"));
  {
    LibraryScope library(config.write());
    ASSERT_EQ(library.status(), CV_NORMAL_COMPLETION);
    char name[64];
    ASSERT_EQ(CV_Get_Tag_Info(0x00100010, name, sizeof name), CV_NORMAL_COMPLETION);
    EXPECT_STREQ(name, "Patient's Name");
    EXPECT_EQ(CV_Get_Tag_Info(0x00100020, name, sizeof name), CV_INVALID_TAG);
  }
  ConfigSet missing;
  missing.profile_line("MESSAGE_PARMS", "DICTIONARY_FILE = " + missing.dir().file("absent.dct"));
  {
    LibraryScope library(missing.write());
    EXPECT_EQ(library.status(), CV_DICTIONARY_FILE_ERROR);
  }
  EXPECT_TRUE(tessel::test::log_contains(missing.dir().file("tessel.log"), "Can't open "));
}

// Loading another file in the same run: nothing of the former table is found any more, though
// the new table and its index reuse the former's (unzeroed) buffers.
TEST(DictionaryLoad, ReloadLeavesNothingOfTheFormerTable) {
  ConfigSet config;
  const std::string first = config.dir().file("first.dct");
  const std::string second = config.dir().file("second.dct");
  tessel::test::write_file(first, build_file(format::kTerminatedNameMarker,
                                             {{0x00080020, CV_VR_DA, "Study Date", ""},
                                              {0x00100010, CV_VR_PN, "Patient's Name", ""}}));
  tessel::test::write_file(second, build_file(format::kTerminatedNameMarker,
                                              {{0x00080030, CV_VR_TM, "Study Time", ""}}));
  config.profile_line("MESSAGE_PARMS", "DICTIONARY_FILE = " + first);
  LibraryScope library(config.write());
  ASSERT_EQ(library.status(), CV_NORMAL_COMPLETION);
  char name[64];
  ASSERT_EQ(CV_Get_Tag_Info(0x00100010, name, sizeof name), CV_NORMAL_COMPLETION);
  for (int round = 0; round < 3; ++round) {
    Cfg->strings[DICTIONARY_FILE] = round % 2 == 0 ? second : first;
    ASSERT_TRUE(tessel::data::load_dictionary_file().ok());
    const bool second_loaded = round % 2 == 0;
    EXPECT_EQ(CV_Get_Tag_Info(0x00100010, name, sizeof name),
              second_loaded ? CV_INVALID_TAG : CV_NORMAL_COMPLETION)
        << round;
    EXPECT_EQ(CV_Get_Tag_Info(0x00080030, name, sizeof name),
              second_loaded ? CV_NORMAL_COMPLETION : CV_INVALID_TAG)
        << round;
  }
}

// A prebuilt table, as a generated dictionary function hands it over: two entries, the first
// read earlier under the same tag (further down its chain), so hidden by the second.
const tessel::data::DictEntry kEarlierName = {nullptr, 0x00100010,     CV_VR_LO, 1,
                                              1,       "Earlier Name", nullptr};
const tessel::data::DictEntry kPatientName = {&kEarlierName,    0x00100010, CV_VR_PN, 1, 1,
                                              "Patient's Name", nullptr};
const tessel::data::DictEntry kPrivate = {nullptr, 0x00290010,      CV_VR_LO, 1,
                                          1,       "Private Thing", "ACME"};
tessel::data::DictionaryTable g_table;
CV_DICTIONARY_RECORD g_record;

CV_DICTIONARY_RECORD* prebuilt_dictionary() {
  g_table = tessel::data::DictionaryTable{};
  g_table.chains[0x00100010 % 850] = &kPatientName;
  g_table.chains[0x00290010 % 850] = &kPrivate;
  g_record.table = &g_table;
  return &g_record;
}

TEST(DictionaryLoad, PrebuiltTableReplacesTheFile) {
  g_record.version = "Some Other Toolkit";
  CV_Set_TesselINI(tessel::test::shipped_ini().c_str());
  EXPECT_EQ(CV_Library_Initialization(nullptr, prebuilt_dictionary, nullptr),
            CV_INVALID_GENERATOR_VERSION);
  CV_Library_Release();
  g_record.version = tessel::core::identification_text();
  CV_Set_TesselINI(tessel::test::shipped_ini().c_str());
  ASSERT_EQ(CV_Library_Initialization(nullptr, prebuilt_dictionary, nullptr), CV_NORMAL_COMPLETION);
  char name[64];
  EXPECT_EQ(CV_Get_Tag_Info(0x00100010, name, sizeof name), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(name, "Patient's Name");
  EXPECT_EQ(CV_Get_pTag_Info("ACME", 0x0029, 0x10, name, sizeof name), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_Tag_Info(0x00100020, name, sizeof name), CV_INVALID_TAG);
  char access[16];
  EXPECT_EQ(CV_Get_String_Config_Value(DICTIONARY_ACCESS, sizeof access, access),
            CV_NORMAL_COMPLETION);
  EXPECT_STREQ(access, "Memory");
  EXPECT_EQ(CV_Library_Release(), CV_NORMAL_COMPLETION);
}

}  // namespace
