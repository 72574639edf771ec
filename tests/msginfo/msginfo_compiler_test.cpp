// The build-time template compiler: the bytes it writes for a small source, and its refusals.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/msg_info_format.hpp"
#include "tests/support/test_env.hpp"
#include <sys/wait.h>

namespace {

namespace format = tessel::data::msg_info_format;
using tessel::test::read_file;
using tessel::test::ScratchDir;
using tessel::test::write_file;

// Service 2 is configured only through the meta service 3, which allows no command itself.
constexpr const char* kProfile =
    "[SERVICE_TABLE]\n"
    "NUMBER_OF_SERVICES_SUPPORTED = 2\n"
    "SVC_A = 0001\n"
    "SVC_META = 0003\n"
    "[ITEM_TABLE]\n"
    "NUMBER_OF_ITEMS_SUPPORTED = 1\n"
    "ITEM_X = 0001   # comment\n"
    "[0001]\n"
    "NAME = SVC_A\n"
    "TYPE = BASE\n"
    "COMMAND_1 = C_STORE_RQ\n"
    "command_2 = c_cancel_find_rq\n"
    "[0002]\n"
    "NAME = SVC_B\n"
    "TYPE = BASE\n"
    "COMMAND_1 = N_GET_RQ\n"
    "[0003]\n"
    "NAME = SVC_META\n"
    "TYPE = META\n"
    "SOP_CLASSES_INCLUDED = 1\n"
    "SOP_CLASS_1 = 0002\n";

constexpr const char* kTemplates =
    "# comment\n"
    "TEMPLATE\tSERVICE\tSVC_A\tC_STORE_RQ\n"
    "ATTR\t00080016\t1\tSOPClassUID\n"
    "ATTR\t00080060\t1\tModality\n"
    "ENUM\t1\tCT\n"
    "TERM\t2\tXX \n"
    "DEFAULT\t<null>\n"
    "DEFAULT\tCT\n"
    "ATTR\t00291010\t3\t\n"
    "VR\tLO\n"
    "CREATOR\tXYZ_1\n"
    "\n"
    "TEMPLATE\tSERVICE\tSVC_A\tC_CANCEL_RQ\n"
    "TEMPLATE\tSERVICE\tSVC_B\tN_GET_RQ\n"
    "ATTR\t00081150\t1C\tReferencedSOPClassUID\n"
    "COND\tA00041511_NOT_PRESENT\n"
    "ATTR\t00081199\t3\tReferencedSOPSequence\n"
    "ITEMNAME\tITEM_X\n"
    "TEMPLATE\tITEM\tITEM_X\n"
    "ATTR\t00100010\t2C\tPatientName\n";

std::string rec(uint32_t tag, uint16_t parm, std::string_view data) {
  std::string out;
  format::append_record(out, tag, parm, data);
  return out;
}

struct CompileResult {
  int status;
  std::string errors;
};

class CompilerTest : public ::testing::Test {
 protected:
  CompileResult compile(const std::string& templates, const std::string& profile,
                        bool with_conditions = true) {
    write_file(dir_.file("t.txt"), templates);
    write_file(dir_.file("s.pro"), profile);
    std::string command = std::string(TESSEL_MSGC_PATH) + " " + dir_.file("t.txt") + " " +
                          dir_.file("s.pro") + " " + out_;
    if (with_conditions) {
      command += " " + std::string(TESSEL_TEST_SOURCE_DIR) + "/tools/gen/condition_names.tsv";
    }
    command += " >/dev/null 2>" + dir_.file("err.txt");
    const int raw = std::system(command.c_str());
    return CompileResult{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(dir_.file("err.txt"))};
  }

  ScratchDir dir_;
  std::string out_ = dir_.file("out.msg");
};

TEST_F(CompilerTest, WritesTheLayoutTheReaderExpects) {
  const CompileResult run = compile(kTemplates, kProfile);
  ASSERT_EQ(run.status, 0) << run.errors;

  format::FileParts parts;
  parts.services = {{{0x0001, 0}, {0x0FFF, 1}}, {{0x0110, 2}}, {}};
  parts.items = {3};
  parts.templates = {
      rec(0x00080016, 9999, "1") + rec(0x00080060, 9999, "1") + rec(0x00080060, 1, "CT") +
          rec(0x00080060, 1002, "XX ") + rec(0x00080060, 9600, "<null>") +
          rec(0x00080060, 9600, "CT") + rec(0x00291010, 9999, "3") + rec(0x00291010, 9500, "LO") +
          rec(0x00291010, 9700, "XYZ_1"),
      "",
      rec(0x00081150, 9999, "1C") + rec(0x00081150, 2000, "A00041511_NOT_PRESENT") +
          rec(0x00081199, 9999, "3") + rec(0x00081199, 1, "ITEM_X"),
      rec(0x00100010, 9999, "2C"),
  };
  const std::string expected = format::build_file(parts);
  const std::string written = read_file(out_);
  EXPECT_EQ(written.size(), expected.size());
  EXPECT_TRUE(written == expected);

  // Fixed positions: signature, then a preamble pointing just past itself.
  ASSERT_GE(written.size(), 28u);
  EXPECT_EQ(written.substr(0, 8), std::string("\xF0\x03\xF0\x03\x00\x00\x00\x00", 8));
  const format::Preamble p =
      format::read_preamble(reinterpret_cast<const unsigned char*>(written.data()) + 8);
  EXPECT_EQ(p.message_index, 28u);
  EXPECT_EQ(p.services, 3);
  EXPECT_EQ(p.items, 1);
  EXPECT_EQ(written.substr(p.template_base, 8), std::string("\xF0\x02\xF0\x02\0\0\0\0", 8));
}

TEST_F(CompilerTest, RefusesBadSourcesWithExitStatusOne) {
  const auto replace = [](std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
  };
  const std::string t = kTemplates;
  const std::string p = kProfile;
  const struct {
    const char* what;
    std::string templates;
    std::string profile;
    const char* message;
  } cases[] = {
      {"unknown service", replace(t, "SERVICE\tSVC_B", "SERVICE\tSVC_C"), p,
       "unknown service SVC_C"},
      {"unknown command", replace(t, "C_CANCEL_RQ", "C_FOO_RQ"), p, "unknown command C_FOO_RQ"},
      {"command in lower case", replace(t, "C_CANCEL_RQ", "c_cancel_rq"), p, "unknown command"},
      {"command not allowed", replace(t, "SVC_B\tN_GET_RQ", "SVC_B\tN_SET_RQ"), p,
       "service SVC_B does not allow N_SET_RQ"},
      {"meta service", t + "TEMPLATE\tSERVICE\tSVC_META\tC_STORE_RQ\n", p, "does not allow"},
      {"second template", t + "TEMPLATE\tSERVICE\tSVC_A\tC_CANCEL_FIND_RQ\n", p,
       "second template for SVC_A"},
      {"unknown item", t + "TEMPLATE\tITEM\tITEM_Y\n", p, "unknown item ITEM_Y"},
      {"second item template", t + "TEMPLATE\tITEM\tITEM_X\n", p, "second template for item"},
      {"unknown item name", replace(t, "ITEMNAME\tITEM_X", "ITEMNAME\tITEM_Z"), p,
       "unknown item ITEM_Z"},
      {"tags not ascending", replace(t, "ATTR\t00080060", "ATTR\t00080005"), p,
       "tag 00080005 does not ascend"},
      {"equal tags", replace(t, "ATTR\t00080060", "ATTR\t00080016"), p, "does not ascend"},
      {"lower-case tag", replace(t, "00080016", "0008001a"), p, "8 upper-case hex digits"},
      {"short tag", replace(t, "00080016", "0008016"), p, "8 upper-case hex digits"},
      {"bad type", replace(t, "00080016\t1\t", "00080016\t4\t"), p, "type must be"},
      {"enumerated value number 0", replace(t, "ENUM\t1\t", "ENUM\t0\t"), p, "value number"},
      {"enumerated value number 1001", replace(t, "ENUM\t1\t", "ENUM\t1001\t"), p, "value number"},
      {"defined term number 1000", replace(t, "TERM\t2\t", "TERM\t1000\t"), p, "value number"},
      {"value number with sign", replace(t, "ENUM\t1\t", "ENUM\t+1\t"), p, "value number"},
      {"empty value", replace(t, "DEFAULT\tCT", "DEFAULT\t"), p, "empty value"},
      {"VR UN", replace(t, "VR\tLO", "VR\tUN"), p, "other than UN"},
      {"unknown VR", replace(t, "VR\tLO", "VR\tXY"), p, "other than UN"},
      {"second VR", replace(t, "VR\tLO\n", "VR\tLO\nVR\tSH\n"), p, "twice"},
      {"unknown condition", replace(t, "A00041511_NOT_PRESENT", "NO_SUCH"), p,
       "unknown condition function NO_SUCH"},
      {"creator on a standard tag", replace(t, "DEFAULT\tCT\n", "DEFAULT\tCT\nCREATOR\tX\n"), p,
       "CREATOR on a standard attribute"},
      {"unknown line kind", t + "FOO\tBAR\n", p, "unknown line kind 'FOO'"},
      {"ATTR before TEMPLATE", "ATTR\t00080016\t1\tX\n" + t, p, "ATTR before the first TEMPLATE"},
      {"value before ATTR",
       replace(t, "TEMPLATE\tITEM\tITEM_X\n", "TEMPLATE\tITEM\tITEM_X\nENUM\t1\tA\n"), p,
       "value line outside an attribute"},
      {"missing keyword field", replace(t, "00080016\t1\tSOPClassUID", "00080016\t1"), p,
       "ATTR needs 3 field(s), found 2"},
      {"extra field", replace(t, "DEFAULT\tCT", "DEFAULT\tCT\tX"), p, "DEFAULT needs 1 field(s)"},
      {"TEMPLATE kind", replace(t, "TEMPLATE\tITEM", "TEMPLATE\tITEMS"), p,
       "TEMPLATE kind must be SERVICE or ITEM"},
      {"allowed command without template",
       replace(t, "TEMPLATE\tSERVICE\tSVC_A\tC_CANCEL_RQ\n", ""), p,
       "no template for SVC_A command 0x0FFF"},
      {"item without template",
       replace(t, "TEMPLATE\tITEM\tITEM_X\nATTR\t00100010\t2C\tPatientName\n", ""), p,
       "no template for item ITEM_X"},
      {"unknown command in the profile", t, replace(p, "N_GET_RQ", "N_GOT_RQ"),
       "unknown command 'N_GOT_RQ'"},
      {"item numbers with a gap", t, replace(p, "ITEM_X = 0001", "ITEM_X = 0002"),
       "item numbers must run from 1"},
      {"service name differs", t, replace(p, "NAME = SVC_A", "NAME = SVC_AA"),
       "[SERVICE_TABLE] names SVC_A"},
      {"service without section", t, p + "[SERVICE_TABLE]\nSVC_Q = 0009\n",
       "no section for service number 9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(out_.c_str());
    const CompileResult run = compile(c.templates, c.profile);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.errors.find(c.message), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find("tessel-msgc: "), std::string::npos);
    EXPECT_TRUE(read_file(out_).empty());
  }

  // Without the condition list any condition name passes.
  EXPECT_EQ(compile(replace(t, "A00041511_NOT_PRESENT", "NO_SUCH"), p, false).status, 0);
}

}  // namespace
