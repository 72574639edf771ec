// The build-time template compiler: the bytes it writes for a small source, and its refusals.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "data/msg_info_format.hpp"
#include "tests/support/test_env.hpp"
#include <sys/wait.h>

namespace {

namespace format = tessel::data::msg_info_format;
using tessel::test::read_file;
using tessel::test::write_file;

// Service 2 is configured only through the meta service 3, which allows no command itself.
constexpr char kProfile[] =
    "[SERVICE_TABLE]\nNUMBER_OF_SERVICES_SUPPORTED = 2\nSVC_A = 0001\nSVC_META = 0003\n"
    "[ITEM_TABLE]\nNUMBER_OF_ITEMS_SUPPORTED = 1\nITEM_X = 0001   # comment\n"
    "[0001]\nNAME = SVC_A\nTYPE = BASE\nCOMMAND_1 = C_STORE_RQ\ncommand_2 = c_cancel_find_rq\n"
    "[0002]\nNAME = SVC_B\nTYPE = BASE\nCOMMAND_1 = N_GET_RQ\n"
    "[0003]\nNAME = SVC_META\nTYPE = META\nSOP_CLASSES_INCLUDED = 1\nSOP_CLASS_1 = 0002\n";

constexpr char kTemplates[] =
    "# comment\n"
    "TEMPLATE\tSERVICE\tSVC_A\tC_STORE_RQ\n"
    "ATTR\t00080016\t1\tSOPClassUID\n"
    "ATTR\t00080060\t1\tModality\nENUM\t1\tCT\nTERM\t2\tXX \nDEFAULT\t<null>\nDEFAULT\tCT\n"
    "ATTR\t00291010\t3\t\nVR\tLO\nCREATOR\tXYZ_1\n"
    "\n"
    "TEMPLATE\tSERVICE\tSVC_A\tC_CANCEL_RQ\n"
    "TEMPLATE\tSERVICE\tSVC_B\tN_GET_RQ\n"
    "ATTR\t00081150\t1C\tReferencedSOPClassUID\nCOND\tA00041511_NOT_PRESENT\n"
    "ATTR\t00081199\t3\tReferencedSOPSequence\nITEMNAME\tITEM_X\n"
    "TEMPLATE\tITEM\tITEM_X\n"
    "ATTR\t00100010\t2C\tPatientName\n";

// `text` with its first `from` replaced by `to`.
std::string edit(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string rec(uint32_t tag, uint16_t parm, std::string_view data) {
  std::string out;
  format::append_record(out, tag, parm, data);
  return out;
}

class CompilerTest : public ::testing::Test {
 protected:
  // Runs the compiler; its exit status and what it wrote on standard error.
  std::pair<int, std::string> compile(const std::string& templates, const std::string& profile,
                                      bool with_conditions = true) {
    write_file(dir_.file("t.txt"), templates);
    write_file(dir_.file("s.pro"), profile);
    std::string command = std::string(TESSEL_MSGC_PATH) + " " + dir_.file("t.txt") + " " +
                          dir_.file("s.pro") + " " + out_;
    if (with_conditions) command += " " TESSEL_TEST_SOURCE_DIR "/tools/gen/condition_names.tsv";
    const int raw = std::system((command + " >/dev/null 2>" + dir_.file("err.txt")).c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(dir_.file("err.txt"))};
  }

  tessel::test::ScratchDir dir_;
  std::string out_ = dir_.file("out.msg");
};

TEST_F(CompilerTest, WritesTheLayoutTheReaderExpects) {
  const auto [status, errors] = compile(kTemplates, kProfile);
  ASSERT_EQ(status, 0) << errors;
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
  const std::string written = read_file(out_);
  EXPECT_TRUE(written == format::build_file(parts));
  // Fixed positions: signature, then a preamble pointing just past itself.
  ASSERT_GE(written.size(), 28u);
  EXPECT_EQ(written.substr(0, 8), std::string("\xF0\x03\xF0\x03\0\0\0\0", 8));
  const format::Preamble p =
      format::read_preamble(reinterpret_cast<const unsigned char*>(written.data()) + 8);
  EXPECT_EQ(p.message_index, 28u);
  EXPECT_EQ(p.services, 3);
  EXPECT_EQ(p.items, 1);
  EXPECT_EQ(written.substr(p.template_base, 8), std::string("\xF0\x02\xF0\x02\0\0\0\0", 8));
}

TEST_F(CompilerTest, RefusesBadSourcesWithExitStatusOne) {
  const std::string t = kTemplates;
  const struct {
    std::string templates;
    const char* message;
    std::string profile = kProfile;
  } cases[] = {
      {edit(t, "SERVICE\tSVC_B", "SERVICE\tSVC_C"), "unknown service SVC_C"},
      {edit(t, "C_CANCEL_RQ", "C_FOO_RQ"), "unknown command C_FOO_RQ"},
      {edit(t, "C_CANCEL_RQ", "c_cancel_rq"), "unknown command"},
      {edit(t, "SVC_B\tN_GET_RQ", "SVC_B\tN_SET_RQ"), "service SVC_B does not allow N_SET_RQ"},
      {t + "TEMPLATE\tSERVICE\tSVC_A\tC_CANCEL_FIND_RQ\n", "second template for SVC_A"},
      {t + "TEMPLATE\tITEM\tITEM_Y\n", "unknown item ITEM_Y"},
      {t + "TEMPLATE\tITEM\tITEM_X\n", "second template for item"},
      {edit(t, "ITEMNAME\tITEM_X", "ITEMNAME\tITEM_Z"), "unknown item ITEM_Z"},
      {edit(t, "ATTR\t00080060", "ATTR\t00080005"), "tag 00080005 does not ascend"},
      {edit(t, "00080016", "0008001a"), "8 upper-case hex digits"},
      {edit(t, "00080016", "0008016"), "8 upper-case hex digits"},
      {edit(t, "00080016\t1\t", "00080016\t4\t"), "type must be"},
      {edit(t, "TERM\t2\t", "TERM\t1000\t"), "value number"},
      {edit(t, "ENUM\t1\t", "ENUM\t+1\t"), "value number"},
      {edit(t, "DEFAULT\tCT", "DEFAULT\t"), "empty value"},
      {edit(t, "VR\tLO", "VR\tUN"), "other than UN"},
      {edit(t, "VR\tLO", "VR\tXY"), "other than UN"},
      {edit(t, "VR\tLO\n", "VR\tLO\nVR\tSH\n"), "twice"},
      {edit(t, "A00041511_NOT_PRESENT", "NO_SUCH"), "unknown condition function NO_SUCH"},
      {edit(t, "DEFAULT\tCT\n", "DEFAULT\tCT\nCREATOR\tX\n"), "CREATOR on a standard attribute"},
      {t + "FOO\tBAR\n", "unknown line kind 'FOO'"},
      {"ATTR\t00080016\t1\tX\n" + t, "ATTR before the first TEMPLATE"},
      {edit(t, "ITEM\tITEM_X\n", "ITEM\tITEM_X\nENUM\t1\tA\n"), "value line outside an attribute"},
      {edit(t, "00080016\t1\tSOPClassUID", "00080016\t1"), "ATTR needs 3 field(s), found 2"},
      {edit(t, "TEMPLATE\tITEM", "TEMPLATE\tITEMS"), "TEMPLATE kind must be SERVICE or ITEM"},
      {edit(t, "TEMPLATE\tSERVICE\tSVC_A\tC_CANCEL_RQ\n", ""),
       "no template for SVC_A command 0x0FFF"},
      {edit(t, "TEMPLATE\tITEM\tITEM_X\nATTR\t00100010\t2C\tPatientName\n", ""),
       "no template for item ITEM_X"},
      {t, "unknown command 'N_GOT_RQ'", edit(kProfile, "N_GET_RQ", "N_GOT_RQ")},
      {t, "item numbers must run from 1", edit(kProfile, "ITEM_X = 0001", "ITEM_X = 0002")},
      {t, "[SERVICE_TABLE] names SVC_A", edit(kProfile, "NAME = SVC_A", "NAME = SVC_AA")},
      {t, "no section for service number 9",
       std::string(kProfile) + "[SERVICE_TABLE]\nSVC_Q = 0009\n"},
  };
  for (const auto& c : cases) {
    std::remove(out_.c_str());
    const auto [status, errors] = compile(c.templates, c.profile);
    EXPECT_EQ(status, 1) << c.message;
    EXPECT_NE(errors.find(std::string("tessel-msgc: ")), std::string::npos);
    EXPECT_NE(errors.find(c.message), std::string::npos) << errors;
    EXPECT_TRUE(read_file(out_).empty()) << c.message;
  }
  // Without the condition list any condition name passes.
  EXPECT_EQ(compile(edit(t, "A00041511_NOT_PRESENT", "NO_SUCH"), kProfile, false).first, 0);
}

}  // namespace
