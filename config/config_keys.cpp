#include "config/config_keys.hpp"

#include "config/ini_reader.hpp"

#include "tessel/tessel_config.h"

namespace tessel::config {
namespace {

constexpr uint8_t kOff = CV_LOG_DEST_OFF;

#define TS_PROFILE(name, n) \
  { name, KeyKind::kProfile, n, kCorvane3, "", 0 }
#define TS_STR(key, section, text) \
  { #key, KeyKind::kString, key, section, text, 0 }
#define TS_PATH(key, section, text) \
  { #key, KeyKind::kPath, key, section, text, 0 }
#define TS_CHAR(key, section, text) \
  { #key, KeyKind::kChar, key, section, text, 0 }
#define TS_INT(key, section, number) \
  { #key, KeyKind::kInt, key, section, nullptr, number }
#define TS_LONG(key, section, number) \
  { #key, KeyKind::kLong, key, section, nullptr, number }
#define TS_BOOL(key, section, number) \
  { #key, KeyKind::kBool, key, section, nullptr, number }
#define TS_DEST(key) \
  { #key, KeyKind::kDestination, key, kCorvane3, nullptr, kOff }

// Syntax keys default to empty: a syntax without a UID is not offered or accepted.
constexpr KeyInfo kKeys[] = {
    // [Corvane3] of the initialisation file.
    TS_PROFILE("CORVANE_3_PROFILE", 0),
    TS_PROFILE("CORVANE_3_SERVICES", 1),
    TS_PROFILE("CORVANE_3_APPLICATIONS", 2),
    TS_PATH(LOG_FILE, kCorvane3, "./tessel.log"),
    TS_INT(LOG_FILE_SIZE, kCorvane3, 1000),
    TS_INT(LOG_MEMORY_SIZE, kCorvane3, 1024),
    TS_BOOL(LOG_FILE_BACKUP, kCorvane3, 0),
    TS_BOOL(BLANK_FILL_LOG_FILE, kCorvane3, 1),
    TS_INT(LOG_FILE_LINE_LENGTH, kCorvane3, 78),
    TS_INT(NUM_HISTORICAL_LOG_FILES, kCorvane3, 1),
    TS_DEST(ERROR_MESSAGE),
    TS_DEST(WARNING_MESSAGE),
    TS_DEST(INFO_MESSAGE),
    TS_DEST(T1_MESSAGE),
    TS_DEST(T2_MESSAGE),
    TS_DEST(T3_MESSAGE),
    TS_DEST(T4_MESSAGE),
    TS_DEST(T5_MESSAGE),
    TS_DEST(T6_MESSAGE),
    TS_DEST(T7_MESSAGE),
    TS_DEST(T8_MESSAGE),
    TS_DEST(T9_MESSAGE),

    // [ASSOC_PARMS]
    TS_STR(IMPLEMENTATION_CLASS_UID, kAssocParms, ""),
    TS_STR(IMPLEMENTATION_VERSION, kAssocParms, ""),
    TS_STR(LOCAL_APPL_CONTEXT_NAME, kAssocParms, "1.2.840.10008.3.1.1.1"),
    TS_STR(IMPLICIT_LITTLE_ENDIAN_SYNTAX, kAssocParms, "1.2.840.10008.1.2"),
    TS_STR(IMPLICIT_BIG_ENDIAN_SYNTAX, kAssocParms, ""),
    TS_STR(EXPLICIT_LITTLE_ENDIAN_SYNTAX, kAssocParms, ""),
    TS_STR(EXPLICIT_BIG_ENDIAN_SYNTAX, kAssocParms, ""),
    TS_STR(DEFLATED_EXPLICIT_LITTLE_ENDIAN_SYNTAX, kAssocParms, ""),
    TS_STR(RLE_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_BASELINE_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_EXTENDED_2_4_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_EXTENDED_3_5_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_SPEC_NON_HIER_6_8_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_SPEC_NON_HIER_7_9_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_FULL_PROG_NON_HIER_10_12_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_FULL_PROG_NON_HIER_11_13_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_LOSSLESS_NON_HIER_14_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_LOSSLESS_NON_HIER_15_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_EXTENDED_HIER_16_18_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_EXTENDED_HIER_17_19_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_SPEC_HIER_20_22_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_SPEC_HIER_21_23_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_FULL_PROG_HIER_24_26_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_FULL_PROG_HIER_25_27_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_LOSSLESS_HIER_28_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_LOSSLESS_HIER_29_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_LOSSLESS_HIER_14_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_2000_LOSSLESS_ONLY_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_2000_SYNTAX, kAssocParms, ""),
    TS_STR(PRIVATE_SYNTAX_1_SYNTAX, kAssocParms, ""),
    TS_STR(PRIVATE_SYNTAX_2_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_LS_LOSSLESS_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_LS_LOSSY_SYNTAX, kAssocParms, ""),
    TS_STR(MPEG2_MPML_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_2000_MC_LOSSLESS_ONLY_SYNTAX, kAssocParms, ""),
    TS_STR(JPEG_2000_MC_SYNTAX, kAssocParms, ""),
    TS_STR(MPEG2_MPHL_SYNTAX, kAssocParms, ""),
    TS_STR(MPEG4_AVC_H264_HP_LEVEL_4_1_SYNTAX, kAssocParms, ""),
    TS_STR(MPEG4_AVC_H264_BDC_HP_LEVEL_4_1_SYNTAX, kAssocParms, ""),
    TS_STR(JPIP_REFERENCED_SYNTAX, kAssocParms, ""),
    TS_STR(JPIP_REFERENCED_DEFLATE_SYNTAX, kAssocParms, ""),
    TS_BOOL(PRIVATE_SYNTAX_1_LITTLE_ENDIAN, kAssocParms, 1),
    TS_BOOL(PRIVATE_SYNTAX_1_EXPLICIT_VR, kAssocParms, 1),
    TS_BOOL(PRIVATE_SYNTAX_1_ENCAPSULATED, kAssocParms, 0),
    TS_BOOL(PRIVATE_SYNTAX_2_LITTLE_ENDIAN, kAssocParms, 1),
    TS_BOOL(PRIVATE_SYNTAX_2_EXPLICIT_VR, kAssocParms, 1),
    TS_BOOL(PRIVATE_SYNTAX_2_ENCAPSULATED, kAssocParms, 0),
    TS_BOOL(ACCEPT_ANY_CONTEXT_NAME, kAssocParms, 0),
    TS_BOOL(ACCEPT_ANY_APPLICATION_TITLE, kAssocParms, 0),
    TS_BOOL(ACCEPT_ANY_PROTOCOL_VERSION, kAssocParms, 0),
    TS_BOOL(ACCEPT_DIFFERENT_IC_UID, kAssocParms, 1),
    TS_BOOL(ACCEPT_DIFFERENT_VERSION, kAssocParms, 1),
    TS_BOOL(AUTO_ECHO_SUPPORT, kAssocParms, 1),
    TS_BOOL(HARD_CLOSE_TCP_IP_CONNECTION, kAssocParms, 1),
    TS_BOOL(ACCEPT_ANY_PRESENTATION_CONTEXT, kAssocParms, 0),
    TS_BOOL(ACCEPT_ANY_HOSTNAME, kAssocParms, 0),
    TS_BOOL(ACCEPT_MULTIPLE_PRES_CONTEXTS, kAssocParms, 1),
    TS_BOOL(ACCEPT_STORAGE_SERVICE_CONTEXTS, kAssocParms, 0),
    TS_BOOL(ACCEPT_RELATED_GENERAL_SERVICES, kAssocParms, 0),
    {"ALLOW_DUPLICATE_CREATOR_CODES", KeyKind::kFileBool, -1, kAssocParms, nullptr, 0},
    TS_LONG(PDU_MAXIMUM_LENGTH, kAssocParms, 64234),

    // [DIMSE_PARMS]
    TS_STR(INITIATOR_NAME, kDimseParms, ""),
    TS_STR(RECEIVER_NAME, kDimseParms, ""),
    TS_BOOL(SEND_SOP_CLASS_UID, kDimseParms, 1),
    TS_BOOL(SEND_SOP_INSTANCE_UID, kDimseParms, 1),
    TS_BOOL(SEND_LENGTH_TO_END, kDimseParms, 0),
    TS_BOOL(SEND_RECOGNITION_CODE, kDimseParms, 0),
    TS_BOOL(SEND_MSG_ID_RESPONSE, kDimseParms, 0),
    TS_BOOL(SEND_ECHO_PRIORITY, kDimseParms, 0),
    TS_BOOL(SEND_RESPONSE_PRIORITY, kDimseParms, 0),

    // [DUL_PARMS]
    TS_INT(ARTIM_TIMEOUT, kDulParms, 30),
    TS_INT(ASSOC_REPLY_TIMEOUT, kDulParms, 15),
    TS_INT(RELEASE_TIMEOUT, kDulParms, 15),
    TS_INT(WRITE_TIMEOUT, kDulParms, 15),
    TS_INT(CONNECT_TIMEOUT, kDulParms, 15),
    TS_INT(INACTIVITY_TIMEOUT, kDulParms, 15),
    TS_BOOL(INSURE_EVEN_UID_LENGTH, kDulParms | kMessageParms, 0),

    // [MESSAGE_PARMS]
    TS_PATH(DICTIONARY_FILE, kMessageParms, "./corvan3.dct"),
    TS_PATH(MSG_INFO_FILE, kMessageParms, "./corvan3.msg"),
    TS_PATH(TEMP_FILE_DIRECTORY, kMessageParms, "./"),
    TS_PATH(PEGASUS_OPCODE_PATH, kMessageParms, ""),
    TS_CHAR(LARGE_DATA_STORE, kMessageParms, "M"),
    TS_CHAR(DICTIONARY_ACCESS, kMessageParms, "M"),
    TS_CHAR(NULL_TYPE3_VALIDATION, kMessageParms, "E"),
    TS_STR(COMPRESSION_RGB_TRANSFORM_FORMAT, kMessageParms, "YBR_FULL_422"),
    TS_STR(UNKNOWN_VR_CODE, kMessageParms, "UN"),
    TS_INT(LARGE_DATA_SIZE, kMessageParms, 200),
    TS_INT(OBOW_BUFFER_SIZE, kMessageParms, 28672),
    TS_INT(FLATE_GROW_OUTPUT_BUF_SIZE, kMessageParms, 1024),
    TS_INT(DEFLATE_COMPRESSION_LEVEL, kMessageParms, -1),
    TS_INT(IGNORE_JPEG_BAD_SUFFIX, kMessageParms, -1),
    TS_INT(COMPRESSION_LUM_FACTOR, kMessageParms, 32),
    TS_INT(COMPRESSION_CHROM_FACTOR, kMessageParms, 32),
    TS_INT(COMPRESSION_J2K_LOSSY_RATIO, kMessageParms, 10),
    TS_INT(COMPRESSION_J2K_LOSSY_QUALITY, kMessageParms, 1),
    TS_INT(WORK_BUFFER_SIZE, kMessageParms, 28672),
    TS_INT(DESIRED_LAST_PDU_SIZE, kMessageParms, 8),
    TS_INT(LIST_VALUE_LIMIT, kMessageParms, 0),
    TS_INT(LIST_SQ_DEPTH_LIMIT, kMessageParms, 0),
    TS_LONG(CALLBACK_MIN_DATA_SIZE, kMessageParms, 1),
    TS_STR(DECODER_TAG_FILTER, kMessageParms, ""),
    TS_BOOL(DUPLICATE_ENCAPSULATED_ICON, kMessageParms, 0),
    TS_BOOL(MSG_FILE_ITEM_OBJ_TRACE, kMessageParms, 0),
    TS_BOOL(COMPRESSION_J2K_LOSSY_USE_QUALITY, kMessageParms, 1),
    TS_BOOL(ELIMINATE_ITEM_REFERENCES, kMessageParms, 0),
    TS_BOOL(ALLOW_OUT_OF_ORDER_TAGS, kMessageParms, 0),
    TS_BOOL(EMPTY_PRIVATE_CREATOR_CODES, kMessageParms, 1),
    TS_BOOL(FORCE_OPEN_EMPTY_ITEM, kMessageParms, 0),
    TS_BOOL(FORCE_JAVA_BIG_ENDIAN, kMessageParms, 1),
    TS_BOOL(ALLOW_INVALID_PRIVATE_CREATOR_CODES, kMessageParms, 0),
    TS_BOOL(ALLOW_INVALID_PRIVATE_ATTRIBUTES, kMessageParms, 0),
    TS_BOOL(EXPORT_UN_VR_TO_NETWORK, kMessageParms, 1),
    TS_BOOL(EXPORT_PRIVATE_ATTRIBUTES_TO_NETWORK, kMessageParms, 1),
    TS_BOOL(REMOVE_PADDING_CHARS, kMessageParms, 0),
    TS_BOOL(REMOVE_SINGLE_TRAILING_SPACE, kMessageParms, 1),
    TS_BOOL(RETURN_COMMA_IN_DS_FL_FD_STRINGS, kMessageParms, 0),
    TS_BOOL(ALLOW_COMMA_IN_DS_FL_FD_STRINGS, kMessageParms, 0),
    TS_BOOL(DEFLATE_ALLOW_FLUSH, kMessageParms, 1),
    TS_BOOL(REMOVE_SQ, kMessageParms, 0),
    TS_BOOL(COMPRESSION_ALLOW_FRAGS, kMessageParms, 1),
    TS_BOOL(COMPRESSION_WHEN_J2K_USE_LOSSY, kMessageParms, 0),
    TS_BOOL(EXPORT_UNDEFINED_LENGTH_SQ, kMessageParms, 0),
    TS_BOOL(EXPORT_GROUP_LENGTHS_TO_NETWORK, kMessageParms, 1),
    TS_BOOL(CREATE_OFFSET_TABLE, kMessageParms, 1),
    TS_BOOL(UPDATE_GROUP_0028_ON_DUPLICATE, kMessageParms, 0),
    TS_BOOL(USE_FREE_DATA_CALLBACK, kMessageParms, 0),
    TS_BOOL(LIST_UN_ATTRIBUTES, kMessageParms, 1),

    // [TRANSPORT_PARMS]
    TS_INT(TCPIP_LISTEN_PORT, kTransportParms, 104),
    TS_INT(MAX_PENDING_CONNECTIONS, kTransportParms, 5),
    TS_INT(TCPIP_SEND_BUFFER_SIZE, kTransportParms, 131400),
    TS_INT(TCPIP_RECEIVE_BUFFER_SIZE, kTransportParms, 131400),
    TS_BOOL(TCPIP_DISABLE_NAGLE, kTransportParms, 0),
    TS_BOOL(COMBINE_DATA_WITH_HEADER, kTransportParms, 0),
    TS_STR(IP_TYPE, kTransportParms, "AVAILABLE"),
    TS_BOOL(NETWORK_CAPTURE, kTransportParms, 0),
    TS_PATH(CAPTURE_FILE, kTransportParms, "./corvane.cap"),
    TS_LONG(CAPTURE_FILE_SIZE, kTransportParms, -1),
    TS_INT(NUMBER_OF_CAP_FILES, kTransportParms, 1),
    TS_BOOL(REWRITE_CAPTURE_FILES, kTransportParms, 1),

    // [MEDIA_PARMS]
    TS_BOOL(FORCE_DICM_IN_PREFIX, kMediaParms, 0),
    TS_BOOL(KORAX_OPEN_FILE, kMediaParms, 0),
    TS_BOOL(EXPORT_UN_VR_TO_MEDIA, kMediaParms, 1),
    TS_BOOL(EXPORT_PRIVATE_ATTRIBUTES_TO_MEDIA, kMediaParms, 1),
    TS_BOOL(EXPORT_UNDEFINED_LENGTH_SQ_IN_DICOMDIR, kMediaParms, 1),
    TS_BOOL(EXPORT_GROUP_LENGTHS_TO_MEDIA, kMediaParms, 1),
    TS_BOOL(DICOMDIR_STREAM_STORAGE, kMediaParms, 0),
};

#undef TS_PROFILE
#undef TS_STR
#undef TS_PATH
#undef TS_CHAR
#undef TS_INT
#undef TS_LONG
#undef TS_BOOL
#undef TS_DEST

constexpr SectionInfo kSections[] = {
    {kAssocParms, "ASSOC_PARMS"},
    {kDimseParms, "DIMSE_PARMS"},
    {kDulParms, "DUL_PARMS"},
    {kMessageParms, "MESSAGE_PARMS"},
    {kTransportParms, "TRANSPORT_PARMS"},
    {kMediaParms, "MEDIA_PARMS"},
};

const KeyInfo* find_by_parm(KeyKind kind, int32_t parm) {
  for (const KeyInfo& key : kKeys) {
    if (key.parm != parm) continue;
    if (key.kind == kind) return &key;
    // Strings, paths and character-coded keys share one parameter range.
    const bool string_range =
        kind == KeyKind::kString && (key.kind == KeyKind::kPath || key.kind == KeyKind::kChar);
    if (string_range) return &key;
  }
  return nullptr;
}

}  // namespace

std::span<const SectionInfo> profile_sections() {
  return kSections;
}
std::span<const KeyInfo> all_keys() {
  return kKeys;
}

const KeyInfo* find_key(std::string_view name, SectionBit section) {
  for (const KeyInfo& key : kKeys) {
    if ((key.sections & section) != 0 && names_equal(name, key.name)) return &key;
  }
  return nullptr;
}

bool is_string_parm(int32_t parm) {
  return find_by_parm(KeyKind::kString, parm) != nullptr;
}
bool is_int_parm(int32_t parm) {
  return parm >= 0 && parm <= LIST_SQ_DEPTH_LIMIT;
}
bool is_long_parm(int32_t parm) {
  return parm >= 0 && parm <= CAPTURE_FILE_SIZE;
}
bool is_bool_parm(int32_t parm) {
  return parm >= 0 && parm <= LIST_UN_ATTRIBUTES;
}

const char* string_parm_name(int32_t parm) {
  const KeyInfo* key = find_by_parm(KeyKind::kString, parm);
  return key != nullptr ? key->name : "";
}

}  // namespace tessel::config
