#include "tools/store/pixel_feed.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/common/tool_common.hpp"
#include <sys/stat.h>

#include "tessel/tessel.h"
#include "tessel/tessel_file_io.h"

namespace tessel_tools {
namespace {

constexpr uint32_t kPixelDataTag = 0x7FE00010;
constexpr uint32_t kBeforePixelData = 0x7FE0000F;
// (7FE0,0010) as a little endian element header starts.
constexpr unsigned char kPixelDataHeaderTag[4] = {0xE0, 0x7F, 0x10, 0x00};
constexpr uint32_t kMetaSyntaxTag = 0x00020010;
constexpr uint32_t kUndefinedLength = 0xFFFFFFFF;
// The block handed to the library per call. The library sends the whole PDUs of a block
// straight from it, several to a system call, so a larger block means fewer reads and sends:
// with 1 MB tessel-store took 5-10% less processor time than with 256 KB for a 210 MB image.
constexpr size_t kBlock = 1024 * 1024;

uint32_t little_endian_32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Reads exactly `count` bytes at `offset`.
bool read_at(int fd, uint64_t offset, unsigned char* bytes, size_t count) {
  while (count > 0) {
    const ssize_t got = ::pread(fd, bytes, count, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    offset += static_cast<uint64_t>(got);
    count -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

PixelFeed::~PixelFeed() {
  close();
}

void PixelFeed::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  value_offset_ = 0;
  length_ = 0;
  position_ = 0;
}

bool PixelFeed::open(int32_t app_id, const std::string& path, int32_t* file_id) {
  close();
  *file_id = CV_NO_ID;
  if (CV_Create_Empty_File(file_id, path.c_str()) != CV_NORMAL_COMPLETION) return false;
  CV_FILE_IO io{};
  uint32_t offset = 0;
  bool read = false;
  if (CV_File_IO_Open_Read(&io, path.c_str(), 0) == CV_NORMAL_COMPLETION) {
    read = CV_Open_File_Upto_Tag(app_id, *file_id, &io, kBeforePixelData, &offset,
                                 CV_File_IO_Read) == CV_NORMAL_COMPLETION;
    CV_File_IO_Close(&io);
  }
  std::string syntax_uid = read ? text_value(*file_id, kMetaSyntaxTag) : std::string();
  int32_t syntax = 0;
  const bool little_endian =
      !syntax_uid.empty() &&
      CV_Get_Enum_From_Transfer_Syntax(syntax_uid.data(), &syntax) == CV_NORMAL_COMPLETION &&
      (syntax == IMPLICIT_LITTLE_ENDIAN || syntax == EXPLICIT_LITTLE_ENDIAN);
  if (little_endian && locate(path, offset, syntax == EXPLICIT_LITTLE_ENDIAN) &&
      bind(app_id, *file_id)) {
    return true;
  }
  close();
  CV_Free_File(file_id);
  return false;
}

// Finds the value of the element at `element_offset`: it must be Pixel Data with a defined
// length ending at the end of the file (or the file must end there: nothing left to supply).
bool PixelFeed::locate(const std::string& path, uint32_t element_offset, bool explicit_vr) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd_ < 0 || ::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const uint64_t file_size = static_cast<uint64_t>(info.st_size);
  if (element_offset == file_size) {
    ::close(fd_);
    fd_ = -1;
    return true;  // no Pixel Data: the data set is whole already
  }
  unsigned char header[12] = {};
  const size_t header_size = explicit_vr ? 12 : 8;
  if (element_offset > file_size || !read_at(fd_, element_offset, header, header_size) ||
      std::memcmp(header, kPixelDataHeaderTag, sizeof kPixelDataHeaderTag) != 0) {
    return false;
  }
  uint32_t length = 0;
  if (explicit_vr) {
    const bool bulk_vr = header[4] == 'O' && (header[5] == 'B' || header[5] == 'W');
    if (!bulk_vr || header[6] != 0 || header[7] != 0) return false;
    length = little_endian_32(header + 8);
  } else {
    length = little_endian_32(header + 4);
  }
  if (length == kUndefinedLength || length % 2 != 0 ||
      uint64_t{element_offset} + header_size + length != file_size) {
    return false;
  }
  value_offset_ = uint64_t{element_offset} + header_size;
  length_ = length;
  return true;
}

// Adds Pixel Data to the object and binds the supplying callback to it. The callback is
// registered only while it is bound: a file read whole must keep its pixels in memory.
bool PixelFeed::bind(int32_t app_id, int32_t file_id) {
  if (fd_ < 0) return true;
  if (CV_Add_Standard_Attribute(file_id, kPixelDataTag) != CV_NORMAL_COMPLETION) return false;
  if (CV_Register_Callback_Function(app_id, kPixelDataTag, this, supply) != CV_NORMAL_COMPLETION) {
    return false;
  }
  const bool bound = CV_Set_Message_Callbacks(app_id, file_id) == CV_NORMAL_COMPLETION;
  CV_Release_Callback_Function(app_id, kPixelDataTag);
  if (bound) block_.resize(static_cast<size_t>(std::min<uint64_t>(length_, kBlock)));
  return bound;
}

int32_t CV_CALL PixelFeed::supply(int32_t /*msg_id*/, uint32_t /*tag*/, void* user_info,
                                  int32_t request, uint32_t* data_size, void** data,
                                  int32_t is_first, int32_t* is_last) {
  auto* feed = static_cast<PixelFeed*>(user_info);
  if (feed->fd_ < 0) return CV_CALLBACK_CANNOT_COMPLY;
  if (request == CV_CB_GET_LENGTH) {
    *data_size = static_cast<uint32_t>(feed->length_);
    return CV_NORMAL_COMPLETION;
  }
  if (request != CV_CB_GET_DATA) return CV_NORMAL_COMPLETION;
  if (is_first != 0) feed->position_ = 0;
  const size_t count =
      static_cast<size_t>(std::min<uint64_t>(feed->length_ - feed->position_, feed->block_.size()));
  // A file that shrank since it was opened ends the request instead of sending other bytes.
  if (!read_at(feed->fd_, feed->value_offset_ + feed->position_, feed->block_.data(), count)) {
    return CV_CALLBACK_CANNOT_COMPLY;
  }
  feed->position_ += count;
  *data_size = static_cast<uint32_t>(count);
  *data = feed->block_.data();
  *is_last = feed->position_ == feed->length_ ? 1 : 0;
  return CV_NORMAL_COMPLETION;
}

}  // namespace tessel_tools
