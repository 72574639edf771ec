// Pixel data that stays in its file until it is sent. tessel-store reads a file's data set up to
// Pixel Data and lets the library take the value from the file, a block at a time, while it
// encodes the request: a 2 GB multi-frame image is sent with about a megabyte of memory,
// and its bytes are copied once less on the way. Only the public C interface is used.
#ifndef TESSEL_TOOLS_STORE_PIXEL_FEED_HPP_
#define TESSEL_TOOLS_STORE_PIXEL_FEED_HPP_

#include <cstdint>
#include <string>
#include <vector>

namespace tessel_tools {

class PixelFeed {
 public:
  PixelFeed() = default;
  ~PixelFeed();
  PixelFeed(const PixelFeed&) = delete;
  PixelFeed& operator=(const PixelFeed&) = delete;

  // Reads `path` into a new File object (*file_id) with its Pixel Data left in the file and
  // supplied through a value callback of `app_id`. Returns false, with *file_id -1 and nothing
  // kept open, when the file does not qualify and must be read whole: Pixel Data must be the
  // last element of a Part 10 file in implicit or explicit VR little endian, with a defined
  // length that ends exactly at the end of the file. A file without Pixel Data qualifies (it is
  // read whole by the same call).
  bool open(int32_t app_id, const std::string& path, int32_t* file_id);

  // Forgets the file (after the request went out or failed): closes it.
  void close();

  // Bytes of the value the callback has handed out so far and the value's length.
  uint64_t supplied() const { return position_; }
  uint64_t length() const { return length_; }

 private:
  static int32_t supply(int32_t msg_id, uint32_t tag, void* user_info, int32_t request,
                        uint32_t* data_size, void** data, int32_t is_first, int32_t* is_last);
  bool locate(const std::string& path, uint32_t element_offset, bool explicit_vr);
  bool bind(int32_t app_id, int32_t file_id);

  int fd_ = -1;
  uint64_t value_offset_ = 0;
  uint64_t length_ = 0;
  uint64_t position_ = 0;
  std::vector<unsigned char> block_;
};

}  // namespace tessel_tools

#endif  // TESSEL_TOOLS_STORE_PIXEL_FEED_HPP_
