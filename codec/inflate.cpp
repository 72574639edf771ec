#include "codec/inflate.hpp"

#include <cstring>

#include "config/config_record.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"

#include "tessel/tessel.h"

namespace tessel::codec {
namespace {

constexpr const char* kFunction = "CVI_inflate";
constexpr int kWindowBits = -15;  // raw inflate: no zlib header or trailer
constexpr uint32_t kSmallestBuffer = 4096;
constexpr uint32_t kLargestFirstBuffer = 1U << 20;
// Growth steps taken over the life of a stage. The buffer is kept from one input to the next,
// so the steps are spent on the first chunks; later output is handed out a buffer at a time,
// which keeps memory bounded however well the data compress.
constexpr int32_t kMaxGrowthSteps = 64;

const char* zlib_message(const z_stream& stream) {
  return stream.msg != nullptr ? stream.msg : "";
}

uint32_t growth_step() {
  const int32_t step = Cfg != nullptr ? Cfg->i(FLATE_GROW_OUTPUT_BUF_SIZE) : 0;
  return step >= 2 ? static_cast<uint32_t>(step) : 1024U;
}

}  // namespace

InflateStage::~InflateStage() {
  if (started_) {
    inflateEnd(&stream_);
    log::write(kFunction, log::kInfo, "Inflate resources released");
  }
  CVI_releaseBuffer(buffer_);
}

void InflateStage::set_input(const uint8_t* input, uint32_t length, bool last_chunk) {
  // zlib does not write through next_in; its interface is not const-correct.
  stream_.next_in = const_cast<Bytef*>(input);
  stream_.avail_in = length;
  last_chunk_ = last_chunk;
}

Status InflateStage::start(uint32_t first_input) {
  uint32_t size = first_input < kSmallestBuffer ? kSmallestBuffer : first_input;
  if (size > kLargestFirstBuffer) size = kLargestFirstBuffer;
  buffer_ = static_cast<uint8_t*>(CVI_newBuffer(size));
  if (buffer_ == nullptr) return Status(CV_SYSTEM_ERROR);
  capacity_ = size;
  // The input pointers set before the start survive the reset of zlib's fields.
  Bytef* next_in = stream_.next_in;
  const uInt avail_in = stream_.avail_in;
  stream_ = z_stream{};
  const int rc = inflateInit2(&stream_, kWindowBits);
  if (rc != Z_OK) {
    log::write(kFunction, log::kError, "Unexpected error with inflateInit2: (%d)%s: %s", rc,
               zError(rc), zlib_message(stream_));
    return Status(CV_ZLIB_ERROR);
  }
  stream_.next_in = next_in;
  stream_.avail_in = avail_in;
  started_ = true;
  log::write(kFunction, log::kInfo, "Inflate resources allocated");
  return Status();
}

Status InflateStage::grow(uint32_t produced) {
  const uint32_t grown = capacity_ + growth_step();
  auto* bigger = static_cast<uint8_t*>(CVI_newBuffer(grown));
  if (bigger == nullptr) return Status(CV_SYSTEM_ERROR);
  std::memcpy(bigger, buffer_, produced);
  CVI_releaseBuffer(buffer_);
  log::write(kFunction, log::kInfo, "Output Buffer reallocated (%d bytes grows to %d): inflate",
             static_cast<int>(capacity_), static_cast<int>(grown));
  buffer_ = bigger;
  capacity_ = grown;
  ++growth_steps_;
  stream_.next_out = buffer_ + produced;
  stream_.avail_out = grown - produced;
  return Status();
}

Status InflateStage::last_flags_mismatch() {
  log::write(kFunction, log::kError, "Unexpected error: Last flags don't match (CVI_inflate)");
  return Status(CV_ZLIB_ERROR);
}

Status InflateStage::inflate(const uint8_t** output, uint32_t* output_length, bool* stream_end) {
  *output = nullptr;
  *output_length = 0;
  *stream_end = ended_;
  if (ended_) return Status();
  if (!started_) TS_RETURN_IF_ERROR(start(stream_.avail_in));
  stream_.next_out = buffer_;
  stream_.avail_out = capacity_;
  for (;;) {
    const int rc = ::inflate(&stream_, Z_NO_FLUSH);
    if (rc == Z_STREAM_END) {
      ended_ = true;
      output_pending_ = false;
      break;
    }
    // Z_BUF_ERROR only says that no progress was possible: the input is used up or the output
    // buffer is full, both handled below.
    const bool no_progress = rc == Z_BUF_ERROR && (stream_.avail_in == 0 || stream_.avail_out == 0);
    if (rc != Z_OK && !no_progress) {
      log::write(kFunction, log::kError,
                 first_call_ ? "Unexpected error with inflate: (%d)%s: %s"
                             : "Unexpected error with subsequent inflate: (%d)%s: %s",
                 rc, zError(rc), zlib_message(stream_));
      return Status(CV_ZLIB_ERROR);
    }
    first_call_ = false;
    if (stream_.avail_out != 0) {
      output_pending_ = false;
      break;
    }
    const uint32_t produced = capacity_;
    if (growth_steps_ >= kMaxGrowthSteps) {
      output_pending_ = true;
      break;
    }
    TS_RETURN_IF_ERROR(grow(produced));
  }
  *stream_end = ended_;
  const uint32_t produced = capacity_ - stream_.avail_out;
  if (produced > 0) {
    *output = buffer_;
    *output_length = produced;
    return Status(CV_DECOMPRESSED_DATA_AVAILABLE);
  }
  if (!ended_ && last_chunk_ && input_used_up()) return last_flags_mismatch();
  return Status();
}

Status InflateStage::end() {
  if (!started_) return Status();
  started_ = false;
  const int rc = inflateEnd(&stream_);
  if (rc != Z_OK) {
    log::write(kFunction, log::kError, "Unexpected error (%d)%s: inflateEnd", rc, zError(rc));
    return Status(CV_ZLIB_ERROR);
  }
  log::write(kFunction, log::kInfo, "Inflate resources released");
  return Status();
}

}  // namespace tessel::codec
