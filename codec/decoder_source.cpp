#include "codec/decoder_source.hpp"

#include <cstring>
#include <new>

#include "data/value_callbacks.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"

#include "tessel/tessel.h"

namespace tessel::codec::detail {
namespace {

constexpr uint32_t kSmallRemainder = 1024;
constexpr uint64_t kLargestDeflateTrailer = 8;

Status end_of_data() {
  return Status(CV_END_OF_DATA);
}

}  // namespace

StreamReader::StreamReader(const DecodeRequest& request)
    : message_source_(request.message_source),
      msg_id_(request.source_msg_id),
      file_source_(request.file_source),
      file_name_(request.file_name),
      user_info_(request.user_info),
      odd_last_allowed_(request.file_header) {}

StreamReader::StreamReader(const uint8_t* bytes, uint32_t length)
    : memory_(bytes), memory_size_(length), odd_allowed_(true) {}

StreamReader::~StreamReader() {
  CVI_releaseBuffer(asm_);
}

Status StreamReader::init() {
  asm_ = static_cast<uint8_t*>(memory::new_unzeroed_buffer(kInitialAssemblySize));
  if (asm_ == nullptr) return Status(CV_SYSTEM_ERROR);
  asm_capacity_ = kInitialAssemblySize;
  return Status();
}

Status StreamReader::fetch_raw(const uint8_t** bytes, uint32_t* size) {
  *bytes = nullptr;
  *size = 0;
  if (raw_last_) return end_of_data();
  if (memory_ != nullptr || (message_source_ == nullptr && file_source_ == nullptr)) {
    raw_last_ = true;
    *bytes = memory_;
    *size = memory_size_;
    return Status();
  }
  for (int32_t empty = 0;; ++empty) {
    uint32_t length = 0;
    void* data = nullptr;
    int32_t last = 0;
    const int32_t is_first = first_call_ ? 1 : 0;
    first_call_ = false;
    const int32_t status =
        message_source_ != nullptr
            ? message_source_(msg_id_, user_info_, is_first, &length, &data, &last)
            : file_source_(file_name_, user_info_, &length, &data, is_first, &last);
    if (status != CV_NORMAL_COMPLETION) return Status(CV_CALLBACK_CANNOT_COMPLY);
    if (length > 0 && data == nullptr) return Status(CV_CALLBACK_INVALID_PARM);
    // A file's last chunk may be odd: a deflated data set has any length, and the file source
    // cannot know the syntax before the meta group is read.
    if (length % 2 != 0 && !odd_allowed_ && !(odd_last_allowed_ && last != 0)) {
      return Status(CV_CALLBACK_UNEVEN_DATA_SIZE);
    }
    if (last != 0) raw_last_ = true;
    if (length == 0 && last == 0) {
      // A source that only ever hands out empty chunks would never end.
      if (empty >= data::kMaxEmptyChunks) return Status(CV_CALLBACK_CANNOT_COMPLY);
      continue;
    }
    *bytes = static_cast<const uint8_t*>(data);
    *size = length;
    return Status();
  }
}

Status StreamReader::fetch_chunk() {
  chunk_ = nullptr;
  chunk_size_ = chunk_pos_ = 0;
  if (!inflating_) {
    for (;;) {
      const uint8_t* bytes = nullptr;
      uint32_t size = 0;
      TS_RETURN_IF_ERROR(fetch_raw(&bytes, &size));
      if (size == 0) continue;  // an empty last chunk: the next call ends the data
      chunk_ = bytes;
      chunk_size_ = size;
      delivered_ += size;
      return Status();
    }
  }
  if (inflate_done_) return end_of_data();
  for (;;) {
    const uint8_t* output = nullptr;
    uint32_t length = 0;
    bool stream_end = false;
    const Status inflated = inflater_->inflate(&output, &length, &stream_end);
    if (inflated.is(CV_DECOMPRESSED_DATA_AVAILABLE)) {
      chunk_ = output;
      chunk_size_ = length;
      delivered_ += length;
      return Status();
    }
    TS_RETURN_IF_ERROR(inflated);
    if (stream_end) return trailing_after_stream_end();
    TS_RETURN_IF_ERROR(next_inflate_input());
  }
}

Status StreamReader::next_inflate_input() {
  if (carry_size_ > 0) {
    const bool last = raw_last_ && raw_rest_size_ == 0;
    inflater_->set_input(carry_.get(), carry_size_, last);
    carry_size_ = 0;
    return Status();
  }
  if (raw_rest_size_ > 0) {
    inflater_->set_input(raw_rest_, raw_rest_size_, raw_last_);
    raw_rest_size_ = 0;
    return Status();
  }
  const uint8_t* bytes = nullptr;
  uint32_t size = 0;
  const Status fetched = fetch_raw(&bytes, &size);
  // The source ended while the compressed stream had not.
  if (fetched.is(CV_END_OF_DATA)) return InflateStage::last_flags_mismatch();
  TS_RETURN_IF_ERROR(fetched);
  inflater_->set_input(bytes, size, raw_last_);
  return Status();
}

Status StreamReader::trailing_after_stream_end() {
  // The compressed stream must end with the source. A few bytes may follow it: the pad byte
  // that keeps the length even, or the 8-byte trailer some writers append.
  inflate_done_ = true;
  uint64_t extra = inflater_->remaining_input() + carry_size_ + raw_rest_size_;
  carry_size_ = raw_rest_size_ = 0;
  while (extra <= kLargestDeflateTrailer && !raw_last_) {
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    TS_RETURN_IF_ERROR(fetch_raw(&bytes, &size));
    extra += size;
  }
  if (extra > kLargestDeflateTrailer) return InflateStage::last_flags_mismatch();
  if (extra > 1) {
    log::write("CVI_inflate", log::kWarning,
               "Ignoring %u bytes after the end of the deflated data set",
               static_cast<unsigned>(extra));
  }
  return end_of_data();
}

Status StreamReader::start_inflate() {
  inflater_ = std::make_unique<InflateStage>();
  // Bytes read ahead are handed to the inflater before the rest of the current chunk; they are
  // moved out of the assembly buffer, which serves the inflated bytes from now on.
  carry_size_ = assembled();
  if (carry_size_ > 0) {
    carry_.reset(new (std::nothrow) uint8_t[carry_size_]);
    if (carry_ == nullptr) return Status(CV_SYSTEM_ERROR);
    std::memcpy(carry_.get(), asm_ + asm_begin_, carry_size_);
  }
  raw_rest_ = chunk_ != nullptr ? chunk_ + chunk_pos_ : nullptr;
  raw_rest_size_ = in_chunk();
  delivered_ -= carry_size_ + raw_rest_size_;
  asm_begin_ = asm_end_ = 0;
  chunk_ = nullptr;
  chunk_size_ = chunk_pos_ = 0;
  inflating_ = true;
  odd_allowed_ = true;
  return next_inflate_input();
}

Status StreamReader::finish() {
  if (inflater_ == nullptr) return Status();
  const Status ended = inflater_->end();
  inflater_.reset();
  return ended;
}

Status StreamReader::reserve(uint32_t size) {
  if (size <= asm_capacity_) return Status();
  // Doubling keeps the copies linear; the callers never ask for more than the bytes that
  // already arrived, so the buffer stays within twice the data actually read.
  uint32_t grown = asm_capacity_ > UINT32_MAX / 2 ? UINT32_MAX : asm_capacity_ * 2;
  if (grown < size) grown = size;
  auto* bigger = static_cast<uint8_t*>(memory::new_unzeroed_buffer(grown));
  if (bigger == nullptr) return Status(CV_SYSTEM_ERROR);
  std::memcpy(bigger, asm_ + asm_begin_, assembled());
  CVI_releaseBuffer(asm_);
  asm_end_ -= asm_begin_;
  asm_begin_ = 0;
  asm_ = bigger;
  asm_capacity_ = grown;
  return Status();
}

Status StreamReader::peek(uint32_t n, const uint8_t** bytes, uint32_t* available) {
  *bytes = nullptr;
  if (available != nullptr) *available = 0;
  if (n == 0) {
    // An empty value is complete even where the stream ends right after its header.
    static const uint8_t kNothing = 0;
    *bytes = &kNothing;
    return Status();
  }
  if (assembled() == 0) {
    if (in_chunk() == 0) {
      const Status fetched = fetch_chunk();
      if (!fetched.ok()) return fetched;
    }
    if (in_chunk() >= n) {
      *bytes = chunk_ + chunk_pos_;
      return Status();
    }
  } else if (assembled() >= n) {
    *bytes = asm_ + asm_begin_;
    return Status();
  }
  // The run spans chunks: gather it in the assembly buffer, growing it only with bytes that
  // have arrived.
  if (asm_begin_ > 0) {
    std::memmove(asm_, asm_ + asm_begin_, assembled());
    asm_end_ -= asm_begin_;
    asm_begin_ = 0;
  }
  while (asm_end_ < n) {
    if (in_chunk() == 0) {
      const Status fetched = fetch_chunk();
      if (fetched.is(CV_END_OF_DATA) && available != nullptr) *available = asm_end_;
      if (!fetched.ok()) return fetched;
    }
    const uint32_t take = in_chunk() < n - asm_end_ ? in_chunk() : n - asm_end_;
    TS_RETURN_IF_ERROR(reserve(asm_end_ + take));
    std::memcpy(asm_ + asm_end_, chunk_ + chunk_pos_, take);
    asm_end_ += take;
    chunk_pos_ += take;
  }
  *bytes = asm_;
  return Status();
}

void StreamReader::consume(uint32_t n) {
  consumed_ += n;
  const uint32_t from_asm = assembled() < n ? assembled() : n;
  asm_begin_ += from_asm;
  if (asm_begin_ == asm_end_) asm_begin_ = asm_end_ = 0;
  chunk_pos_ += n - from_asm;
}

Status StreamReader::read(uint32_t n, const uint8_t** bytes) {
  TS_RETURN_IF_ERROR(peek(n, bytes, nullptr));
  consume(n);
  return Status();
}

Status StreamReader::skip(uint64_t n) {
  while (n > 0) {
    if (assembled() == 0 && in_chunk() == 0) TS_RETURN_IF_ERROR(fetch_chunk());
    const uint32_t ready = assembled() > 0 ? assembled() : in_chunk();
    const uint32_t take = n < ready ? static_cast<uint32_t>(n) : ready;
    consume(take);
    n -= take;
  }
  return Status();
}

Status StreamReader::piece(uint32_t max, uint32_t unit, uint32_t gather, const uint8_t** bytes,
                           uint32_t* length) {
  *bytes = nullptr;
  *length = 0;
  if (unit == 0) unit = 1;
  if (unit > max) unit = max;
  if (assembled() == 0 && in_chunk() == 0) TS_RETURN_IF_ERROR(fetch_chunk());
  uint32_t ready = assembled() > 0 ? assembled() : in_chunk();
  const uint8_t* at = assembled() > 0 ? asm_ + asm_begin_ : chunk_ + chunk_pos_;
  if (assembled() == 0 && ready < kSmallRemainder && ready < max && gather > ready) {
    // Few bytes left in the chunk: gather a larger piece rather than hand out crumbs.
    const uint32_t want = gather < max ? gather : max;
    uint32_t available = 0;
    const Status gathered = peek(want, &at, &available);
    if (gathered.is(CV_END_OF_DATA) && available >= unit) {
      ready = available;
      at = asm_;
    } else {
      TS_RETURN_IF_ERROR(gathered);
      ready = want;
    }
  } else if (ready < unit) {
    TS_RETURN_IF_ERROR(peek(unit, &at, nullptr));
    ready = unit;
  }
  uint32_t take = ready < max ? ready : max;
  if (take > unit) take -= take % unit;
  *bytes = at;
  *length = take;
  consume(take);
  return Status();
}

Status StreamReader::copy(uint8_t* target, uint32_t n, uint32_t* copied) {
  *copied = 0;
  while (*copied < n) {
    if (assembled() == 0 && in_chunk() == 0) TS_RETURN_IF_ERROR(fetch_chunk());
    const bool from_asm = assembled() > 0;
    const uint32_t ready = from_asm ? assembled() : in_chunk();
    const uint32_t take = n - *copied < ready ? n - *copied : ready;
    std::memcpy(target + *copied, from_asm ? asm_ + asm_begin_ : chunk_ + chunk_pos_, take);
    consume(take);
    *copied += take;
  }
  return Status();
}

}  // namespace tessel::codec::detail
