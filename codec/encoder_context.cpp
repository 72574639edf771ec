#include "codec/encoder_context.hpp"

#include <algorithm>
#include <new>

#include "config/config_record.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"

#include "tessel/tessel.h"

namespace tessel::codec {
namespace {

constexpr uint32_t kMinimumWorkBuffer = 16;
constexpr const char* kFlushFunction = "FlushStreamBuffer";

// Copies whole units with their bytes reversed. The source is a stored value and the target the
// work buffer, which never overlap.
void swap_copy(uint8_t* __restrict to, const uint8_t* __restrict from, uint32_t length,
               uint32_t unit) {
  if (unit == 2) {
    for (uint32_t i = 0; i < length; i += 2) {
      uint16_t value;
      std::memcpy(&value, from + i, 2);
      value = __builtin_bswap16(value);
      std::memcpy(to + i, &value, 2);
    }
    return;
  }
  for (uint32_t i = 0; i < length; i += 4) {
    uint32_t value;
    std::memcpy(&value, from + i, 4);
    value = __builtin_bswap32(value);
    std::memcpy(to + i, &value, 4);
  }
}

}  // namespace

EncodeContext::EncodeContext(const EncodeRequest& request)
    : request_(request),
      function_(request.function != nullptr ? request.function : "CV_Message_To_Stream") {
  if (Cfg != nullptr) {
    const int32_t large = Cfg->i(LARGE_DATA_SIZE);
    large_data_size_ = large > 0 ? static_cast<uint32_t>(large) : 0;
  }
  sync_flush_ = request.deflate_sync_flush;
}

EncodeContext::~EncodeContext() {
  CVI_releaseBuffer(buffer_);
}

Status EncodeContext::allocate(size_t size) {
  if (size == 0 && Cfg != nullptr && Cfg->i(WORK_BUFFER_SIZE) > 0) {
    size = static_cast<size_t>(Cfg->i(WORK_BUFFER_SIZE));
  }
  size = std::clamp<size_t>(size, kMinimumWorkBuffer, 0x40000000) & ~size_t{1};
  // One spare byte: a byte borrowed from a direct block always fits.
  buffer_ = static_cast<uint8_t*>(CVI_newBuffer(size + 2));
  if (buffer_ == nullptr) {
    log::write(function_, log::kError, "Out Of Memory");
    return Status(CV_SYSTEM_ERROR);
  }
  capacity_ = static_cast<uint32_t>(size);
  return Status();
}

Status EncodeContext::begin_deflated_part() {
  if (used_ > 0) TS_RETURN_IF_ERROR(to_sink(buffer_, used_, 0, false));
  used_ = 0;
  deflated_part_ = true;
  return Status();
}

Status EncodeContext::put(const void* bytes, size_t length) {
  const auto* from = static_cast<const uint8_t*>(bytes);
  while (length > 0) {
    if (used_ == capacity_) TS_RETURN_IF_ERROR(flush(nullptr, 0, 0, false));
    const size_t n = std::min<size_t>(length, capacity_ - used_);
    std::memcpy(buffer_ + used_, from, n);
    used_ += static_cast<uint32_t>(n);
    from += n;
    length -= n;
  }
  return Status();
}

Status EncodeContext::write_raw(const uint8_t* bytes, uint32_t length, uint32_t swap_unit,
                                uint32_t bytes_to_follow) {
  if (length == 0) return Status();
  if (swap_unit > 1) return write_swapped(bytes, length, swap_unit);
  const bool large = large_data_size_ > 0 && length >= large_data_size_;
  if (large || length > capacity_ - used_) return write_direct(bytes, length, bytes_to_follow);
  append(bytes, length);
  return Status();
}

Status EncodeContext::write_direct(const uint8_t* bytes, uint32_t length,
                                   uint32_t bytes_to_follow) {
  // An odd byte count in the buffer takes the block's first byte, so that the buffer goes out
  // whole and the block itself starts on an even stream position.
  if (used_ % 2 != 0) {
    buffer_[used_++] = *bytes++;
    --length;
    if (length == 0) return Status();
  }
  return flush(bytes, length, bytes_to_follow, false);
}

Status EncodeContext::write_swapped(const uint8_t* bytes, uint32_t length, uint32_t unit) {
  while (length > 0) {
    if (carry_length_ > 0 || length < unit) {
      const uint32_t take = std::min(unit - carry_length_, length);
      std::memcpy(carry_ + carry_length_, bytes, take);
      carry_length_ += take;
      bytes += take;
      length -= take;
      if (carry_length_ < unit) continue;
      TS_RETURN_IF_ERROR(ensure(unit));
      for (uint32_t i = 0; i < unit; ++i) buffer_[used_ + i] = carry_[unit - 1 - i];
      used_ += unit;
      carry_length_ = 0;
      continue;
    }
    TS_RETURN_IF_ERROR(ensure(unit));
    const uint32_t room = (capacity_ - used_) / unit * unit;
    const uint32_t take = std::min(room, length / unit * unit);
    swap_copy(buffer_ + used_, bytes, take, unit);
    used_ += take;
    bytes += take;
    length -= take;
  }
  return Status();
}

Status EncodeContext::end_raw() {
  if (carry_length_ == 0) return Status();
  const uint32_t n = carry_length_;
  carry_length_ = 0;
  return put(carry_, n);
}

Status EncodeContext::flush(const uint8_t* direct, uint32_t direct_length, uint32_t bytes_to_follow,
                            bool is_last) {
  const bool ends_here = is_last && direct == nullptr;
  bool holding = false;
  uint8_t held = 0;
  if (used_ > 0 || is_last) {
    uint32_t out = used_;
    // At the very end an odd byte has no later chunk to travel with: it goes out as it is.
    if (out % 2 != 0 && !ends_here) {
      held = buffer_[--out];
      holding = true;
    }
    const uint32_t follow = direct != nullptr ? direct_length + bytes_to_follow : 0;
    used_ = 0;
    TS_RETURN_IF_ERROR(emit(buffer_, out, follow, ends_here));
  }
  if (direct == nullptr) {
    if (holding) buffer_[used_++] = held;
    return Status();
  }
  if (holding) {
    if (direct_length % 2 == 0) {
      buffer_[used_++] = held;
      log::write(kFlushFunction, log::kError,
                 "Odd length work buffer (%ld) and even length direct buffer (%ld) passed to "
                 "FlushStreamBuffer.",
                 1L, static_cast<long>(direct_length));
      return Status(CV_SYSTEM_ERROR);
    }
    // Join the held byte with the block's first byte; the rest of the block is then even.
    const uint8_t pair[2] = {held, direct[0]};
    TS_RETURN_IF_ERROR(emit(pair, 2, direct_length - 1 + bytes_to_follow, false));
    ++direct;
    --direct_length;
  }
  if (direct_length % 2 != 0) {
    // The block's last byte waits in the buffer for the next chunk.
    buffer_[used_++] = direct[--direct_length];
    ++bytes_to_follow;
  }
  TS_RETURN_IF_ERROR(emit(direct, direct_length, bytes_to_follow, is_last && used_ == 0));
  if (is_last && used_ > 0) {
    const uint32_t out = used_;
    used_ = 0;
    return emit(buffer_, out, 0, true);
  }
  return Status();
}

Status EncodeContext::emit(const uint8_t* data, uint32_t length, uint32_t bytes_to_follow,
                           bool is_last) {
  if (length == 0 && !is_last) return Status();
  if (deflating_ && deflated_part_) {
    // An empty data set leaves no deflate stream at all.
    if (length == 0 && deflate_ == nullptr) return to_sink(data, 0, 0, is_last);
    return emit_deflated(data, length, is_last);
  }
  return to_sink(data, length, bytes_to_follow, is_last);
}

Status EncodeContext::emit_deflated(const uint8_t* data, uint32_t length, bool is_last) {
  if (deflate_ == nullptr) {
    deflate_.reset(new (std::nothrow) DeflateStage(capacity_));
    if (deflate_ == nullptr) return Status(CV_SYSTEM_ERROR);
  }
  // Blocks larger than the work buffer are compressed a work buffer at a time, so that the
  // output buffer never has to grow far beyond it.
  uint32_t offset = 0;
  do {
    const uint32_t slice = std::min(length - offset, capacity_);
    const bool final_slice = offset + slice == length;
    const uint8_t* output = nullptr;
    uint32_t output_length = 0;
    const Status status = deflate_->deflate(data + offset, slice, &output, &output_length,
                                            is_last && final_slice, sync_flush_ && final_slice);
    if (status.is(CV_DECOMPRESSED_DATA_AVAILABLE)) {
      TS_RETURN_IF_ERROR(to_sink(output, output_length, 0, is_last && final_slice));
    } else if (!status.ok()) {
      return status;
    } else if (is_last && final_slice) {
      TS_RETURN_IF_ERROR(to_sink(nullptr, 0, 0, true));
    }
    offset += slice;
  } while (offset < length);
  if (is_last) return deflate_->end();
  return Status();
}

Status EncodeContext::to_sink(const uint8_t* data, uint32_t length, uint32_t bytes_to_follow,
                              bool is_last) {
  // Sinks receive the bytes of the stored value itself; they must not write to them.
  void* bytes = const_cast<uint8_t*>(data);
  const int32_t first = first_chunk_ ? 1 : 0;
  const int32_t last = is_last ? 1 : 0;
  int32_t result = CV_NORMAL_COMPLETION;
  if (request_.message_sink != nullptr) {
    result =
        request_.message_sink(request_.sink_msg_id, request_.user_info, length, bytes, first, last);
  } else if (request_.file_sink != nullptr) {
    result = request_.file_sink(request_.file_name, request_.user_info, length, bytes, first, last);
  } else if (request_.network_sink != nullptr) {
    result = request_.network_sink(request_.user_info, bytes_to_follow, length, bytes, first, last);
  } else {
    log::write(kFlushFunction, log::kError, "Internal error, no sink to receive the stream");
    return Status(CV_SYSTEM_ERROR);
  }
  first_chunk_ = false;
  if (result != CV_NORMAL_COMPLETION) return Status(CV_CALLBACK_CANNOT_COMPLY);
  return Status();
}

Status FlushStreamBuffer(EncodeContext& context, const uint8_t* direct, uint32_t direct_length,
                         uint32_t bytes_to_follow, bool is_last) {
  return context.flush(direct, direct_length, bytes_to_follow, is_last);
}

}  // namespace tessel::codec
