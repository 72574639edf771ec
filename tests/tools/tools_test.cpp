// tessel-dump and tessel-conv run as separate processes on files this test writes with the
// library: argument handling and exit statuses, the JSON Model of a small data set, the three
// file layouts the dump reads, and the refusal to convert an encapsulated source. Conversion
// between the native syntaxes is checked on real files by the interop test.
#include <fcntl.h>
#include <spawn.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_env.hpp"
#include <sys/wait.h>

#include "tessel/tessel.h"
#include "tessel/tessel_file_io.h"

extern char** environ;

namespace tessel::test {
namespace {

constexpr int32_t kOk = CV_NORMAL_COMPLETION;

struct ToolRun {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs a tool in `dir` with the shipped configuration's directory as its --ini.
ToolRun run(const ScratchDir& dir, const char* program, const std::vector<std::string>& args) {
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string out_path = dir.file("stdout");
  const std::string err_path = dir.file("stderr");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = 0;
  ToolRun result;
  if (posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ) == 0) {
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  }
  posix_spawn_file_actions_destroy(&actions);
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

ToolRun dump(const ScratchDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), {"--ini", shipped_ini()});
  return run(dir, TESSEL_DUMP_PROGRAM, args);
}
ToolRun conv(const ScratchDir& dir, const std::string& syntax, const std::string& in,
             const std::string& out) {
  return run(dir, TESSEL_CONV_PROGRAM, {"--ini", shipped_ini(), "--syntax", syntax, in, out});
}

int32_t CV_CALL to_string_sink(int32_t, void* user_info, uint32_t size, void* data, int32_t,
                               int32_t) {
  static_cast<std::string*>(user_info)->append(static_cast<char*>(data), size);
  return kOk;
}

// Implicit VR cannot carry the VR of a private element the dictionary does not know: the JSON of
// a built file once it went through implicit VR.
std::string private_as_un(std::string json) {
  const std::string lo = "\"00291001\":{\"vr\":\"LO\",\"Value\":[\"private\"]}";
  const size_t at = json.find(lo);
  if (at != std::string::npos) {
    json.replace(at, lo.size(), "\"00291001\":{\"vr\":\"UN\",\"InlineBinary\":\"cHJpdmF0ZSA=\"}");
  }
  return json;
}

class ToolsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(library_.status(), kOk); }

  // A file of every kind of value the JSON Model distinguishes, in `syntax_uid`.
  int32_t build(const char* syntax_uid) {
    int32_t id = CV_NO_ID;
    EXPECT_EQ(CV_Create_Empty_File(&id, "built.dcm"), kOk);
    const struct {
      uint32_t tag;
      const char* text;
    } texts[] = {
        {0x00020002, "1.2.840.10008.5.1.4.1.1.7"},
        {0x00020003, "1.2.3.4"},
        {0x00020010, syntax_uid},
        {0x00080005, "ISO_IR 100"},
        {0x00100010, "M\xFCller^Hans=\xC4=Phon"},
        {0x00180050, " 2.50"},
        {0x00200013, "42 "},
    };
    for (const auto& row : texts) EXPECT_EQ(CV_Set_Value_From_String(id, row.tag, row.text), kOk);
    EXPECT_EQ(CV_Set_Value_From_String(id, 0x00080008, "ORIGINAL"), kOk);  // an empty value inside
    EXPECT_EQ(CV_Set_Next_Value_To_NULL(id, 0x00080008), kOk);
    EXPECT_EQ(CV_Set_Next_Value_From_String(id, 0x00080008, "AXIAL"), kOk);
    EXPECT_EQ(CV_Set_Value_To_NULL(id, 0x00080020), kOk);           // one empty value
    EXPECT_EQ(CV_Set_Value_From_Float(id, 0x00181320, 0.1f), kOk);  // FL
    EXPECT_EQ(CV_Set_Value_From_Double(id, 0x00081163, 1.5), kOk);  // FD, two values
    EXPECT_EQ(CV_Set_Next_Value_From_Double(id, 0x00081163, -2e-10), kOk);
    EXPECT_EQ(CV_Set_Value_From_ShortInt(id, 0x00189219, -7), kOk);           // SS
    EXPECT_EQ(CV_Set_Value_From_Int(id, 0x00186020, -70000), kOk);            // SL
    EXPECT_EQ(CV_Set_Value_From_UShortInt(id, 0x00280010, 512), kOk);         // US
    EXPECT_EQ(CV_Set_Value_From_ULongInt(id, 0x00280009, 0x00181063u), kOk);  // AT
    const unsigned char bulk[] = {0x00, 0x01, 0x02, 0xFF, 0xFE, 0x80};
    EXPECT_EQ(CV_Set_Value_From_Buffer(id, 0x7FE00010, bulk, sizeof bulk), kOk);
    EXPECT_EQ(CV_Add_Private_Block(id, "TESSEL TOOLS", 0x0029), kOk);
    EXPECT_EQ(CV_Add_Private_Attribute(id, "TESSEL TOOLS", 0x0029, 0x01, CV_VR_LO), kOk);
    EXPECT_EQ(CV_Set_pValue_From_String(id, "TESSEL TOOLS", 0x0029, 0x01, "private"), kOk);
    for (const char* uid : {"1.2.3.5", "1.2.3.6"}) {
      int32_t item = CV_NO_ID;
      EXPECT_EQ(CV_Open_Empty_Item(&item), kOk);
      EXPECT_EQ(CV_Set_Value_From_String(item, 0x00081155, uid), kOk);
      EXPECT_EQ(CV_Set_Next_Value_From_Int(id, 0x00081140, item), kOk);
    }
    return id;
  }

  std::string write_built(const char* syntax_uid, const std::string& name, bool pixels = true) {
    int32_t id = build(syntax_uid);
    if (!pixels) {
      EXPECT_EQ(CV_Delete_Attribute(id, 0x7FE00010), kOk);
    }
    CV_FILE_IO io;
    const std::string path = dir_.file(name);
    EXPECT_EQ(CV_File_IO_Open_Write(&io, path.c_str()), kOk);
    EXPECT_EQ(CV_Write_File(id, 0, &io, CV_File_IO_Write), kOk);
    EXPECT_EQ(CV_File_IO_Close(&io), kOk);
    EXPECT_EQ(CV_Free_File(&id), kOk);
    return path;
  }

  // The data set of a built file alone, as a stream in `syntax`.
  std::string bare_data_set(int32_t syntax) {
    int32_t id = build("1.2.840.10008.1.2.1");
    EXPECT_EQ(CV_File_To_Message(id), kOk);
    std::string bytes;
    EXPECT_EQ(CV_Message_To_Stream(id, 0x00030000, 0xFFFFFFFF, syntax, &bytes, to_string_sink),
              kOk);
    EXPECT_EQ(CV_Free_Message(&id), kOk);
    return bytes;
  }

  LibraryScope library_{shipped_ini()};
  ScratchDir dir_;
};

TEST_F(ToolsTest, BadArgumentsGiveTheUsageLineAndStatus2) {
  const struct {
    const char* program;
    std::vector<std::string> args;
  } rows[] = {
      {TESSEL_DUMP_PROGRAM, {}},
      {TESSEL_DUMP_PROGRAM, {"--jsn", "x.dcm"}},
      {TESSEL_DUMP_PROGRAM, {"--ini"}},
      {TESSEL_CONV_PROGRAM, {"a.dcm", "b.dcm"}},
      {TESSEL_CONV_PROGRAM, {"--syntax", "JPEG_BASELINE", "a.dcm", "b.dcm"}},
      {TESSEL_CONV_PROGRAM, {"--syntax", "EXPLICIT_LITTLE_ENDIAN", "a.dcm"}},
      {TESSEL_CONV_PROGRAM, {"--syntax", "EXPLICIT_LITTLE_ENDIAN", "a", "b", "c"}},
  };
  for (const auto& row : rows) {
    const ToolRun result = run(dir_, row.program, row.args);
    const std::string name = std::strrchr(row.program, '/') + 1;
    EXPECT_EQ(result.status, 2) << name << " " << ::testing::PrintToString(row.args);
    EXPECT_EQ(result.err.rfind("usage: " + name + " ", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
}

TEST_F(ToolsTest, EachUnreadableFileGivesOneLineAndStatus1) {
  const std::string good = write_built("1.2.840.10008.1.2.1", "good.dcm");
  const std::string missing = dir_.file("missing.dcm");
  const std::string short_file = dir_.file("short.dcm");
  write_file(short_file, std::string(128, '\0') + std::string("DICM\x02\x00", 6));
  const ToolRun result = dump(dir_, {"--json", missing, good, short_file});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "tessel-dump: " + missing + ": " +
                            CV_Error_Message(CV_CALLBACK_CANNOT_COMPLY) +
                            " (No such file or directory)\ntessel-dump: " + short_file + ": " +
                            CV_Error_Message(CV_UNEXPECTED_END_OF_STREAM) + "\n");
  EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << "the good file's line";

  const ToolRun listing = dump(dir_, {good});
  EXPECT_EQ(listing.status, 0) << listing.err;
  EXPECT_NE(listing.out.find("0010,0010"), std::string::npos);
}

TEST_F(ToolsTest, JsonModelOfEveryKindOfValue) {
  const ToolRun result = dump(dir_, {"--json", write_built("1.2.840.10008.1.2.1", "json.dcm")});
  ASSERT_EQ(result.status, 0) << result.err;
  const char* const expected[] = {
      "{\"00080005\":{\"vr\":\"CS\",\"Value\":[\"ISO_IR 100\"]},",
      "\"00080008\":{\"vr\":\"CS\",\"Value\":[\"ORIGINAL\",null,\"AXIAL\"]}",
      "\"00080020\":{\"vr\":\"DA\"}",
      ("\"00081140\":{\"vr\":\"SQ\",\"Value\":[{\"00081155\":{\"vr\":\"UI\",\"Value\":[\"1.2.3.5\"]"
       "}"
       "},"
       "{\"00081155\":{\"vr\":\"UI\",\"Value\":[\"1.2.3.6\"]}}]}"),
      "\"00081163\":{\"vr\":\"FD\",\"Value\":[1.5,-2e-10]}",
      ("\"00100010\":{\"vr\":\"PN\",\"Value\":[{\"Alphabetic\":\"M\xC3\xBCller^Hans\","
       "\"Ideographic\":\"\xC3\x84\",\"Phonetic\":\"Phon\"}]}"),
      "\"00180050\":{\"vr\":\"DS\",\"Value\":[2.5]}",
      "\"00181320\":{\"vr\":\"FL\",\"Value\":[0.1]}",
      "\"00186020\":{\"vr\":\"SL\",\"Value\":[-70000]}",
      "\"00189219\":{\"vr\":\"SS\",\"Value\":[-7]}",
      "\"00200013\":{\"vr\":\"IS\",\"Value\":[42]}",
      "\"00280009\":{\"vr\":\"AT\",\"Value\":[\"00181063\"]}",
      "\"00280010\":{\"vr\":\"US\",\"Value\":[512]}",
      "\"00290010\":{\"vr\":\"LO\",\"Value\":[\"TESSEL TOOLS\"]}",
      "\"00291001\":{\"vr\":\"LO\",\"Value\":[\"private\"]}",
      "\"7FE00010\":{\"vr\":\"OW\",\"InlineBinary\":\"AAEC//6A\"}}\n",
  };
  for (const char* fragment : expected) {
    EXPECT_NE(result.out.find(fragment), std::string::npos) << fragment << "\n" << result.out;
  }
  EXPECT_EQ(result.out.find("\"0002"), std::string::npos) << "meta group left out";
}

// Part 10, meta group without preamble, and bare data sets read to the same data set.
TEST_F(ToolsTest, EveryFileLayoutGivesTheSameJson) {
  const std::string part10 = write_built("1.2.840.10008.1.2.1", "part10.dcm");
  const ToolRun reference = dump(dir_, {"--json", part10});
  ASSERT_EQ(reference.status, 0) << reference.err;
  const struct {
    const char* name;
    std::string bytes;
  } rows[] = {
      {"no-preamble.dcm", read_file(part10).substr(132)},
      {"bare-implicit.dcm", bare_data_set(IMPLICIT_LITTLE_ENDIAN)},
      {"bare-explicit.dcm", bare_data_set(EXPLICIT_LITTLE_ENDIAN)},
  };
  for (const auto& row : rows) {
    write_file(dir_.file(row.name), row.bytes);
    const ToolRun result = dump(dir_, {"--json", dir_.file(row.name)});
    EXPECT_EQ(result.status, 0) << row.name << ": " << result.err;
    const bool implicit = std::string(row.name) == "bare-implicit.dcm";
    EXPECT_EQ(result.out, implicit ? private_as_un(reference.out) : reference.out) << row.name;
  }
}

TEST_F(ToolsTest, ConversionRefusesAnEncapsulatedSource) {
  const std::string jpeg = write_built("1.2.840.10008.1.2.4.50", "jpeg.dcm", false);
  const ToolRun result = conv(dir_, "EXPLICIT_LITTLE_ENDIAN", jpeg, dir_.file("out.dcm"));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "tessel-conv: " + jpeg +
                            ": transfer syntax 1.2.840.10008.1.2.4.50 is encapsulated "
                            "(compressed); no codec is available to convert it\n");
  EXPECT_TRUE(read_file(dir_.file("out.dcm")).empty());
}

}  // namespace
}  // namespace tessel::test
