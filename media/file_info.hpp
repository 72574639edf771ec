// The Part 10 header a file object carries besides its attributes: the 128-byte preamble, the
// 4-byte prefix and the file name handed to the application's callbacks.
#ifndef TESSEL_MEDIA_FILE_INFO_HPP_
#define TESSEL_MEDIA_FILE_INFO_HPP_

#include <cstdint>
#include <string>

#include "data/object.hpp"

namespace tessel::media {

inline constexpr size_t kPreambleLength = 128;
inline constexpr size_t kPrefixLength = 4;

struct FileInfo {
  uint8_t preamble[kPreambleLength];  // zero-filled on creation
  uint8_t prefix[kPrefixLength];      // "DICM" on creation
  std::string file_name;
};

// The header of a File or DICOMDIR object (kept in MsgObj::media_info), or null.
FileInfo* file_info(data::MsgObj& object);
const FileInfo* file_info(const data::MsgObj& object);

}  // namespace tessel::media

#endif  // TESSEL_MEDIA_FILE_INFO_HPP_
