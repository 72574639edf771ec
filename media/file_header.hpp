// The 132 bytes at the start of a Part 10 file (128-byte preamble, 4-byte prefix) as the
// decoder hands them to the file layer, which owns the prefix policy.
#ifndef TESSEL_MEDIA_FILE_HEADER_HPP_
#define TESSEL_MEDIA_FILE_HEADER_HPP_

#include <cstddef>
#include <cstdint>

#include "core/status.hpp"
#include "data/object.hpp"

namespace tessel::media {

inline constexpr size_t kFileHeaderLength = 132;

// Stores the preamble of `header` (kFileHeaderLength bytes) in the object's file header and
// checks the prefix. A prefix other than "DICM" logs "Invalid DICOM file prefix ..." (ERROR,
// under `function`) and gives CV_NO_DICM_PREFIX, or, with FORCE_DICM_IN_PREFIX, logs
// "Replacing invalid DICOM file prefix ..." at T8 and stores "DICM". CV_INVALID_FILE_ID when the
// object carries no file header. `file_name` names the file in the log lines (may be null).
Status accept_file_header(data::MsgObj& object, const uint8_t* header, const char* file_name,
                          const char* function);

}  // namespace tessel::media

#endif  // TESSEL_MEDIA_FILE_HEADER_HPP_
