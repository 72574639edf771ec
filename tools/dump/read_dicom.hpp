// Reading a DICOM file from disk into a File object, shared by tessel-dump and tessel-conv. Only
// the public C interface is used.
#ifndef TESSEL_TOOLS_DUMP_READ_DICOM_HPP_
#define TESSEL_TOOLS_DUMP_READ_DICOM_HPP_

#include <cstdint>
#include <string>

namespace tessel_tools {

// How the file was laid out on disk.
enum class FileLayout {
  kPart10,      // preamble, "DICM", meta group, data set
  kNoPreamble,  // meta group and data set without preamble and prefix
  kBareDataSet  // a data set alone (no meta group), implicit or explicit VR little endian
};

struct ReadOutcome {
  int32_t status = 0;  // CV_NORMAL_COMPLETION or the status of the failed step
  FileLayout layout = FileLayout::kPart10;
  int32_t bare_syntax = 0;  // the syntax a bare data set was read in
  std::string detail;       // the operating system's reason when the file could not be read
};

// Reads `path` into a new File object (*file_id, -1 when none is left; free it with
// CV_Free_File even after a failure, since it keeps what was read). A Part 10 file is read with
// CV_Open_File. A file that CV_Open_File cannot read and that has no "DICM" prefix is read
// another way: when it starts with a group 0002 element, as a Part 10 file whose preamble and
// prefix are missing; otherwise as a bare data set through CV_Stream_To_Message, in explicit VR
// little endian when its first element carries a VR and in implicit VR little endian when not.
// The outcome is then that of the second reading.
ReadOutcome read_dicom_file(int32_t app_id, const std::string& path, int32_t* file_id);

// The text of a failed read for the one-line error report: the library's status text, with the
// operating system's reason in parentheses when there is one.
std::string describe_failure(const ReadOutcome& outcome);

}  // namespace tessel_tools

#endif  // TESSEL_TOOLS_DUMP_READ_DICOM_HPP_
