#include "codec/transfer_syntax.hpp"

#include <strings.h>

#include <cstring>

#include "config/config_record.hpp"

#include "tessel/tessel.h"

namespace tessel::codec {
namespace {

struct SyntaxInfo {
  const char* name;
  const char* display;
  int32_t uid_parameter;
  bool explicit_vr;
  bool big_endian;
  bool encapsulated;
};

// Indexed by code - 100. Codes 129 and 130 take their properties from the configuration.
constexpr SyntaxInfo kSyntaxes[] = {
    {"IMPLICIT_LITTLE_ENDIAN", "Implicit Little Endian", IMPLICIT_LITTLE_ENDIAN_SYNTAX, false,
     false, false},
    {"EXPLICIT_LITTLE_ENDIAN", "Explicit Little Endian", EXPLICIT_LITTLE_ENDIAN_SYNTAX, true, false,
     false},
    {"EXPLICIT_BIG_ENDIAN", "Explicit Big Endian", EXPLICIT_BIG_ENDIAN_SYNTAX, true, true, false},
    {"IMPLICIT_BIG_ENDIAN", "Implicit Big Endian", IMPLICIT_BIG_ENDIAN_SYNTAX, false, true, false},
    {"DEFLATED_EXPLICIT_LITTLE_ENDIAN", "Deflated Explicit Little Endian",
     DEFLATED_EXPLICIT_LITTLE_ENDIAN_SYNTAX, true, false, false},
    {"RLE", "RLE", RLE_SYNTAX, true, false, true},
    {"JPEG_BASELINE", "JPEG Baseline", JPEG_BASELINE_SYNTAX, true, false, true},
    {"JPEG_EXTENDED_2_4", "JPEG Extended 2 4", JPEG_EXTENDED_2_4_SYNTAX, true, false, true},
    {"JPEG_EXTENDED_3_5", "JPEG Extended 3 5", JPEG_EXTENDED_3_5_SYNTAX, true, false, true},
    {"JPEG_SPEC_NON_HIER_6_8", "JPEG Spec Non Hier 6 8", JPEG_SPEC_NON_HIER_6_8_SYNTAX, true, false,
     true},
    {"JPEG_SPEC_NON_HIER_7_9", "JPEG Spec Non Hier 7 9", JPEG_SPEC_NON_HIER_7_9_SYNTAX, true, false,
     true},
    {"JPEG_FULL_PROG_NON_HIER_10_12", "JPEG Full Progression Non Hier 10 12",
     JPEG_FULL_PROG_NON_HIER_10_12_SYNTAX, true, false, true},
    {"JPEG_FULL_PROG_NON_HIER_11_13", "JPEG Full Progression Non Hier 11 13",
     JPEG_FULL_PROG_NON_HIER_11_13_SYNTAX, true, false, true},
    {"JPEG_LOSSLESS_NON_HIER_14", "JPEG Lossless Non Hier 14", JPEG_LOSSLESS_NON_HIER_14_SYNTAX,
     true, false, true},
    {"JPEG_LOSSLESS_NON_HIER_15", "JPEG Lossless Non Hier 15", JPEG_LOSSLESS_NON_HIER_15_SYNTAX,
     true, false, true},
    {"JPEG_EXTENDED_HIER_16_18", "JPEG Extended Hier 16 18", JPEG_EXTENDED_HIER_16_18_SYNTAX, true,
     false, true},
    {"JPEG_EXTENDED_HIER_17_19", "JPEG Extended Hier 17 19", JPEG_EXTENDED_HIER_17_19_SYNTAX, true,
     false, true},
    {"JPEG_SPEC_HIER_20_22", "JPEG Spec Hier 20 22", JPEG_SPEC_HIER_20_22_SYNTAX, true, false,
     true},
    {"JPEG_SPEC_HIER_21_23", "JPEG Spec Hier 21 23", JPEG_SPEC_HIER_21_23_SYNTAX, true, false,
     true},
    {"JPEG_FULL_PROG_HIER_24_26", "JPEG Full Progression Hier 24 26",
     JPEG_FULL_PROG_HIER_24_26_SYNTAX, true, false, true},
    {"JPEG_FULL_PROG_HIER_25_27", "JPEG Full Progression Hier 25 27",
     JPEG_FULL_PROG_HIER_25_27_SYNTAX, true, false, true},
    {"JPEG_LOSSLESS_HIER_28", "JPEG Lossless Hier 28", JPEG_LOSSLESS_HIER_28_SYNTAX, true, false,
     true},
    {"JPEG_LOSSLESS_HIER_29", "JPEG Lossless Hier 29", JPEG_LOSSLESS_HIER_29_SYNTAX, true, false,
     true},
    {"JPEG_LOSSLESS_HIER_14", "JPEG Lossless Hier 14", JPEG_LOSSLESS_HIER_14_SYNTAX, true, false,
     true},
    {"JPEG_2000_LOSSLESS_ONLY", "JPEG 2000 Lossless Only", JPEG_2000_LOSSLESS_ONLY_SYNTAX, true,
     false, true},
    {"JPEG_2000", "JPEG 2000", JPEG_2000_SYNTAX, true, false, true},
    {"JPEG_LS_LOSSLESS", "JPEG-LS Lossless", JPEG_LS_LOSSLESS_SYNTAX, true, false, true},
    {"JPEG_LS_LOSSY", "JPEG-LS Lossy (Near-Lossless)", JPEG_LS_LOSSY_SYNTAX, true, false, true},
    {"MPEG2_MPML", "MPEG2 Main Profile @ Main Level", MPEG2_MPML_SYNTAX, true, false, true},
    {"PRIVATE_SYNTAX_1", "User Defined Private Syntax 1", PRIVATE_SYNTAX_1_SYNTAX, true, false,
     false},
    {"PRIVATE_SYNTAX_2", "User Defined Private Syntax 2", PRIVATE_SYNTAX_2_SYNTAX, true, false,
     false},
    {"JPEG_2000_MC_LOSSLESS_ONLY", "JPEG 2000 Part 2 Multi-compoent Lossless Only",
     JPEG_2000_MC_LOSSLESS_ONLY_SYNTAX, true, false, true},
    {"JPEG_2000_MC", "JPEG 2000 Part 2 Multi-compoent", JPEG_2000_MC_SYNTAX, true, false, true},
    {"MPEG2_MPHL", "MPEG2 Main Profile @ High Level", MPEG2_MPHL_SYNTAX, true, false, true},
    {"MPEG4_AVC_H264_HP_LEVEL_4_1", "MPEG-4 AVC/H.264 High Profile / Level 4.1",
     MPEG4_AVC_H264_HP_LEVEL_4_1_SYNTAX, true, false, true},
    {"MPEG4_AVC_H264_BDC_HP_LEVEL_4_1", "MPEG-4 AVC/H.264 BD-compatible High Profile / Level 4.1",
     MPEG4_AVC_H264_BDC_HP_LEVEL_4_1_SYNTAX, true, false, true},
    {"JPIP_REFERENCED", "JPIP Referenced", JPIP_REFERENCED_SYNTAX, true, false, true},
    {"JPIP_REFERENCED_DEFLATE", "JPIP Referenced Deflate", JPIP_REFERENCED_DEFLATE_SYNTAX, true,
     false, true},
};
static_assert(sizeof kSyntaxes / sizeof kSyntaxes[0] == kLastSyntax - kFirstSyntax + 1);

// The order in which UIDs and names are compared: 103 before 101, and the appended JPEG 2000
// Part 2 codes beside the other JPEG 2000 codes.
constexpr int32_t kComparisonOrder[] = {
    100, 103, 101, 102, 104, 105, 106, 107, 108, 109, 110, 111, 112, 113, 114, 115, 116, 117, 118,
    119, 120, 121, 122, 123, 124, 125, 131, 132, 126, 127, 128, 133, 134, 135, 136, 137, 129, 130};
static_assert(sizeof kComparisonOrder / sizeof kComparisonOrder[0] == 38);

const SyntaxInfo& info(int32_t code) {
  return kSyntaxes[code - kFirstSyntax];
}

}  // namespace

const char* syntax_symbolic_name(int32_t code) {
  return valid_syntax(code) ? info(code).name : "";
}

int32_t syntax_uid_parameter(int32_t code) {
  return valid_syntax(code) ? info(code).uid_parameter : -1;
}

Status syntax_from_name(const char* name, int32_t* code) {
  for (int32_t candidate : kComparisonOrder) {
    if (strcasecmp(name, info(candidate).name) == 0) {
      *code = candidate;
      return Status();
    }
  }
  *code = 0;
  return Status(CV_INVALID_TRANSFER_SYNTAX);
}

Status syntax_from_uid(const char* uid, int32_t* code) {
  for (int32_t candidate : kComparisonOrder) {
    if (strcasecmp(uid, CVI_GetPtrForSyntax(candidate)) == 0) {
      *code = candidate;
      return Status();
    }
  }
  *code = IMPLICIT_LITTLE_ENDIAN;
  return Status(CV_INVALID_TRANSFER_SYNTAX);
}

}  // namespace tessel::codec

int32_t CVI_GetSyntaxParmsForEnum(int32_t syntax, int32_t* explicit_vr, int32_t* byte_order,
                                  int32_t* encapsulated) {
  using namespace tessel::codec;
  if (!valid_syntax(syntax)) {
    *explicit_vr = 0;
    *byte_order = kLittleEndian;
    *encapsulated = 0;
    return CV_INVALID_TRANSFER_SYNTAX;
  }
  const SyntaxInfo& entry = info(syntax);
  if (syntax == PRIVATE_SYNTAX_1 || syntax == PRIVATE_SYNTAX_2) {
    const bool first = syntax == PRIVATE_SYNTAX_1;
    *explicit_vr = Cfg->b(first ? PRIVATE_SYNTAX_1_EXPLICIT_VR : PRIVATE_SYNTAX_2_EXPLICIT_VR);
    *byte_order = Cfg->b(first ? PRIVATE_SYNTAX_1_LITTLE_ENDIAN : PRIVATE_SYNTAX_2_LITTLE_ENDIAN)
                      ? kLittleEndian
                      : kBigEndian;
    *encapsulated = Cfg->b(first ? PRIVATE_SYNTAX_1_ENCAPSULATED : PRIVATE_SYNTAX_2_ENCAPSULATED);
    return CV_NORMAL_COMPLETION;
  }
  *explicit_vr = entry.explicit_vr;
  *byte_order = entry.big_endian ? kBigEndian : kLittleEndian;
  *encapsulated = entry.encapsulated;
  return CV_NORMAL_COMPLETION;
}

const char* CVI_GetPtrForSyntax(int32_t syntax) {
  using namespace tessel::codec;
  if (!valid_syntax(syntax) || Cfg == nullptr) return "";
  return Cfg->str(info(syntax).uid_parameter).c_str();
}

const char* CVI_GetNameForSyntax(int32_t syntax) {
  using namespace tessel::codec;
  return valid_syntax(syntax) ? info(syntax).display : "";
}
