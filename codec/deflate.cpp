#include "codec/deflate.hpp"

#include <cstring>

#include "config/config_record.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"

#include "tessel/tessel.h"

namespace tessel::codec {
namespace {

constexpr const char* kFunction = "CVI_deflate";
constexpr int kWindowBits = -15;  // raw deflate: no zlib header or trailer
constexpr int kMemoryLevel = 8;

const char* zlib_message(const z_stream& stream) {
  return stream.msg != nullptr ? stream.msg : "";
}

int32_t compression_level() {
  return Cfg != nullptr ? Cfg->i(DEFLATE_COMPRESSION_LEVEL) : Z_DEFAULT_COMPRESSION;
}

uint32_t growth_step() {
  const int32_t step = Cfg != nullptr ? Cfg->i(FLATE_GROW_OUTPUT_BUF_SIZE) : 0;
  return step >= 2 ? static_cast<uint32_t>(step) : 1024U;
}

}  // namespace

DeflateStage::DeflateStage(uint32_t buffer_size)
    : initial_size_(buffer_size < 64 ? 64 : buffer_size) {}

DeflateStage::~DeflateStage() {
  if (started_) {
    // An encode that failed part way ends here with an unfinished stream, which zlib reports as
    // a data error: the state is released all the same.
    deflateEnd(&stream_);
    log::write(kFunction, log::kInfo, "Deflate resources released");
  }
  CVI_releaseBuffer(buffer_);
}

Status DeflateStage::start() {
  buffer_ = static_cast<uint8_t*>(CVI_newBuffer(size_t{initial_size_} + 2));
  if (buffer_ == nullptr) return Status(CV_SYSTEM_ERROR);
  capacity_ = initial_size_;
  stream_ = z_stream{};
  const int rc = deflateInit2(&stream_, compression_level(), Z_DEFLATED, kWindowBits, kMemoryLevel,
                              Z_DEFAULT_STRATEGY);
  if (rc != Z_OK) {
    log::write(kFunction, log::kError, "Unexpected error with deflateInit2: (%d)%s: %s", rc,
               zError(rc), zlib_message(stream_));
    return Status(CV_ZLIB_ERROR);
  }
  started_ = true;
  log::write(kFunction, log::kInfo, "Deflate resources allocated");
  return Status();
}

Status DeflateStage::grow(uint32_t produced) {
  const uint32_t step = growth_step();
  const uint32_t grown = capacity_ + step;
  auto* bigger = static_cast<uint8_t*>(CVI_newBuffer(size_t{grown} + 2));
  if (bigger == nullptr) return Status(CV_SYSTEM_ERROR);
  std::memcpy(bigger, buffer_, size_t{produced} + 1);
  CVI_releaseBuffer(buffer_);
  log::write(kFunction, log::kInfo, "Output Buffer reallocated (%d bytes grows to %d): deflate",
             static_cast<int>(capacity_), static_cast<int>(grown));
  buffer_ = bigger;
  capacity_ = grown;
  stream_.next_out = buffer_ + 1 + produced;
  stream_.avail_out = grown - produced;
  return Status();
}

Status DeflateStage::deflate(const uint8_t* input, uint32_t length, const uint8_t** output,
                             uint32_t* output_length, bool is_last, bool flush_allowed) {
  *output = nullptr;
  *output_length = 0;
  if (!started_) TS_RETURN_IF_ERROR(start());
  int flush = Z_NO_FLUSH;
  if (is_last) {
    flush = Z_FINISH;
  } else if (flush_allowed && Cfg != nullptr && Cfg->b(DEFLATE_ALLOW_FLUSH)) {
    flush = Z_SYNC_FLUSH;
  }
  if (holding_) buffer_[0] = held_;
  // zlib does not write through next_in; its interface is not const-correct.
  stream_.next_in = const_cast<Bytef*>(input);
  stream_.avail_in = length;
  stream_.next_out = buffer_ + 1;
  stream_.avail_out = capacity_;
  for (;;) {
    const int rc = ::deflate(&stream_, flush);
    const bool progress_error = rc == Z_BUF_ERROR;
    if (rc != Z_OK && rc != Z_STREAM_END && !progress_error) {
      log::write(kFunction, log::kError, "Unexpected error with deflate: (%d)%s: %s", rc,
                 zError(rc), zlib_message(stream_));
      return Status(CV_ZLIB_ERROR);
    }
    const uint32_t produced = static_cast<uint32_t>(stream_.next_out - (buffer_ + 1));
    const bool done = flush == Z_FINISH ? rc == Z_STREAM_END : stream_.avail_out != 0;
    if (done) break;
    if (stream_.avail_out != 0) {
      // Z_BUF_ERROR with room left: zlib could make no progress at all.
      log::write(kFunction, log::kError, "Unexpected error with deflate: (%d)%s: %s", rc,
                 zError(rc), zlib_message(stream_));
      return Status(CV_ZLIB_ERROR);
    }
    TS_RETURN_IF_ERROR(grow(produced));
  }
  const uint32_t produced = static_cast<uint32_t>(stream_.next_out - (buffer_ + 1));
  if (flush != Z_NO_FLUSH && produced == 0) {
    log::write(kFunction, log::kError,
               "There was no data after a Z_FINISH or Z_SYNC_FLUSH call to deflate");
    return Status(CV_ZLIB_ERROR);
  }
  uint8_t* block = holding_ ? buffer_ : buffer_ + 1;
  uint32_t block_length = produced + (holding_ ? 1U : 0U);
  holding_ = false;
  if (block_length % 2 != 0) {
    if (is_last) {
      // The stream ends on an even byte count: one zero byte completes it.
      block[block_length++] = 0;
    } else {
      held_ = block[--block_length];
      holding_ = true;
    }
  }
  if (block_length == 0) return Status();
  handed_out_ += block_length;
  *output = block;
  *output_length = block_length;
  return Status(CV_DECOMPRESSED_DATA_AVAILABLE);
}

Status DeflateStage::end() {
  if (!started_) return Status();
  started_ = false;
  const int rc = deflateEnd(&stream_);
  if (rc != Z_OK) {
    log::write(kFunction, log::kError, "Unexpected error with deflateEnd: (%d)%s", rc, zError(rc));
    return Status(CV_ZLIB_ERROR);
  }
  log::write(kFunction, log::kInfo, "Deflate resources released");
  return Status();
}

}  // namespace tessel::codec
