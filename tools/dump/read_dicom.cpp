#include "tools/dump/read_dicom.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "tessel/tessel.h"
#include "tessel/tessel_file_io.h"

namespace tessel_tools {
namespace {

constexpr uint32_t kHeaderLength = 132;  // preamble and prefix

// A disk file handed to the library, optionally behind a made-up preamble and "DICM" prefix.
struct Feed {
  CV_FILE_IO io{};
  bool add_header = false;
  bool header_sent = false;
  unsigned char header[kHeaderLength] = {};
};

int32_t CV_CALL feed_file(const char* file_name, void* user_info, uint32_t* data_size, void** data,
                          int32_t is_first, int32_t* is_last) {
  Feed* feed = static_cast<Feed*>(user_info);
  if (feed->add_header && !feed->header_sent) {
    feed->header_sent = true;
    *data_size = kHeaderLength;
    *data = feed->header;
    *is_last = 0;
    return CV_NORMAL_COMPLETION;
  }
  return CV_File_IO_Read(file_name, &feed->io, data_size, data, is_first, is_last);
}

int32_t CV_CALL feed_stream(int32_t /*msg_id*/, void* user_info, int32_t is_first,
                            uint32_t* data_size, void** data, int32_t* is_last) {
  Feed* feed = static_cast<Feed*>(user_info);
  return CV_File_IO_Read(nullptr, &feed->io, data_size, data, is_first, is_last);
}

// Whether two bytes spell a VR of the standard (the explicit-VR test for a bare data set).
bool is_vr_text(unsigned char first, unsigned char second) {
  static const char* const kVrs[] = {"AE", "AS", "AT", "CS", "DA", "DS", "DT", "FD", "FL",
                                     "IS", "LO", "LT", "OB", "OD", "OF", "OL", "OV", "OW",
                                     "PN", "SH", "SL", "SQ", "SS", "ST", "SV", "TM", "UC",
                                     "UI", "UL", "UN", "UR", "US", "UT", "UV"};
  for (const char* vr : kVrs) {
    if (vr[0] == first && vr[1] == second) return true;
  }
  return false;
}

// The first bytes of the file; fewer when the file is shorter.
size_t read_start(const std::string& path, unsigned char* bytes, size_t count) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return 0;
  const size_t got = std::fread(bytes, 1, count, file);
  std::fclose(file);
  return got;
}

// One read attempt over a fresh CV_FILE_IO: returns the library's status, or
// CV_CALLBACK_CANNOT_COMPLY with outcome->detail set when the file cannot be opened.
int32_t open_part10(int32_t app_id, const std::string& path, int32_t file_id, bool add_header,
                    ReadOutcome* outcome) {
  Feed feed;
  feed.add_header = add_header;
  std::memcpy(feed.header + 128, "DICM", 4);
  if (CV_File_IO_Open_Read(&feed.io, path.c_str(), 0) != CV_NORMAL_COMPLETION) {
    outcome->detail = std::strerror(feed.io.error);
    return CV_CALLBACK_CANNOT_COMPLY;
  }
  const int32_t status = CV_Open_File(app_id, file_id, &feed, feed_file);
  if (feed.io.error != 0) outcome->detail = std::strerror(feed.io.error);
  CV_File_IO_Close(&feed.io);
  return status;
}

}  // namespace

ReadOutcome read_dicom_file(int32_t app_id, const std::string& path, int32_t* file_id) {
  ReadOutcome outcome;
  *file_id = CV_NO_ID;
  outcome.status = CV_Create_Empty_File(file_id, path.c_str());
  if (outcome.status != CV_NORMAL_COMPLETION) return outcome;
  outcome.status = open_part10(app_id, path, *file_id, false, &outcome);
  if (outcome.status == CV_NORMAL_COMPLETION || !outcome.detail.empty()) return outcome;

  // Only a file without the prefix is read another way (a short one has none either).
  unsigned char start[kHeaderLength] = {};
  const size_t got = read_start(path, start, sizeof start);
  if (got < 8 || (got == kHeaderLength && std::memcmp(start + 128, "DICM", 4) == 0)) {
    return outcome;
  }
  CV_Free_File(file_id);
  if (start[0] == 0x02 && start[1] == 0x00) {
    outcome.layout = FileLayout::kNoPreamble;
    outcome.status = CV_Create_Empty_File(file_id, path.c_str());
    if (outcome.status == CV_NORMAL_COMPLETION) {
      outcome.status = open_part10(app_id, path, *file_id, true, &outcome);
    }
    return outcome;
  }

  outcome.layout = FileLayout::kBareDataSet;
  outcome.bare_syntax =
      is_vr_text(start[4], start[5]) ? EXPLICIT_LITTLE_ENDIAN : IMPLICIT_LITTLE_ENDIAN;
  int32_t msg_id = CV_NO_ID;
  outcome.status = CV_Open_Empty_Message(&msg_id);
  if (outcome.status != CV_NORMAL_COMPLETION) return outcome;
  Feed feed;
  if (CV_File_IO_Open_Read(&feed.io, path.c_str(), 0) != CV_NORMAL_COMPLETION) {
    outcome.detail = std::strerror(feed.io.error);
    outcome.status = CV_CALLBACK_CANNOT_COMPLY;
  } else {
    uint32_t error_tag = 0;
    outcome.status = CV_Stream_To_Message(msg_id, 0, 0xFFFFFFFFu, outcome.bare_syntax, &error_tag,
                                          &feed, feed_stream);
    if (feed.io.error != 0) outcome.detail = std::strerror(feed.io.error);
    CV_File_IO_Close(&feed.io);
  }
  const int32_t converted = CV_Message_To_File(msg_id, path.c_str());
  if (converted != CV_NORMAL_COMPLETION) {
    CV_Free_Message(&msg_id);
    if (outcome.status == CV_NORMAL_COMPLETION) outcome.status = converted;
  }
  *file_id = msg_id;
  return outcome;
}

std::string describe_failure(const ReadOutcome& outcome) {
  std::string text = CV_Error_Message(outcome.status);
  if (!outcome.detail.empty()) text += " (" + outcome.detail + ")";
  return text;
}

}  // namespace tessel_tools
