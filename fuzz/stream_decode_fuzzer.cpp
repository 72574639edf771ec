// Fuzz target: CV_Stream_To_Message in every native transfer syntax. The first input byte picks
// the syntax and the chunk size, the rest is the stream. A stream that decodes is encoded again
// in the same syntax; that encoding must decode and encode once more to the very same bytes,
// so a mismatch between what the decoder stores and what the encoder writes aborts the run.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.hpp"

#include "tessel/tessel.h"

namespace {

constexpr int32_t kSyntaxes[] = {IMPLICIT_LITTLE_ENDIAN, EXPLICIT_LITTLE_ENDIAN,
                                 EXPLICIT_BIG_ENDIAN, DEFLATED_EXPLICIT_LITTLE_ENDIAN};

struct Source {
  const uint8_t* data;
  size_t size;
  size_t position;
  size_t chunk;
};

int32_t read_chunk(int32_t, void* user_info, int32_t, uint32_t* data_size, void** data,
                   int32_t* is_last) {
  auto* source = static_cast<Source*>(user_info);
  const size_t n = std::min(source->chunk, source->size - source->position);
  *data_size = static_cast<uint32_t>(n);
  // The decoder only reads the chunk.
  *data = const_cast<uint8_t*>(source->data + source->position);
  source->position += n;
  *is_last = source->position == source->size ? 1 : 0;
  return CV_NORMAL_COMPLETION;
}

int32_t collect(int32_t, void* user_info, uint32_t data_size, void* data, int32_t, int32_t) {
  auto* bytes = static_cast<std::vector<uint8_t>*>(user_info);
  const auto* begin = static_cast<const uint8_t*>(data);
  bytes->insert(bytes->end(), begin, begin + data_size);
  return CV_NORMAL_COMPLETION;
}

// Decodes `size` bytes into a new message and encodes it again; false when either step fails.
bool decode_encode(const uint8_t* data, size_t size, size_t chunk, int32_t syntax,
                   std::vector<uint8_t>* out) {
  int32_t id = -1;
  if (CV_Open_Empty_Message(&id) != CV_NORMAL_COMPLETION) return false;
  Source source{data, size, 0, chunk};
  uint32_t error_tag = 0;
  bool ok = CV_Stream_To_Message(id, 0, 0xFFFFFFFFu, syntax, &error_tag, &source, read_chunk) ==
            CV_NORMAL_COMPLETION;
  if (ok) {
    uint32_t length = 0;
    ok = CV_Get_Stream_Length(id, 0, 0xFFFFFFFFu, syntax, &length) == CV_NORMAL_COMPLETION &&
         CV_Message_To_Stream(id, 0, 0xFFFFFFFFu, syntax, out, collect) == CV_NORMAL_COMPLETION;
    // The announced length is exact unless something has undefined length.
    if (ok && syntax != DEFLATED_EXPLICIT_LITTLE_ENDIAN && length != 0xFFFFFFFFu &&
        length != out->size()) {
      std::abort();
    }
  }
  CV_Free_Message(&id);
  return ok;
}

// Removing one trailing space from each text value (REMOVE_SINGLE_TRAILING_SPACE, on by
// default) is lossy by design: a value ending in two spaces loses one per round, so no round
// trip is a fixed point. The round trip is checked with it off; the unit tests cover it on.
bool ready() {
  static const bool ready =
      tessel::fuzz::ensure_library() &&
      CV_Set_Bool_Config_Value(REMOVE_SINGLE_TRAILING_SPACE, 0) == CV_NORMAL_COMPLETION;
  return ready;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel::fuzz::ensure_library();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!ready() || size < 1) return 0;
  const int32_t syntax = kSyntaxes[data[0] & 3];
  // Whole streams and small even chunks both run: chunk boundaries cut headers and values.
  const size_t chunk = (data[0] & 4) != 0 ? 4096 : 2 * (1 + (data[0] >> 3));
  const uint8_t* stream = data + 1;
  size_t length = size - 1;
  if (syntax != DEFLATED_EXPLICIT_LITTLE_ENDIAN) length &= ~size_t{1};

  std::vector<uint8_t> first;
  if (!decode_encode(stream, length, chunk, syntax, &first) || first.empty()) return 0;
  // A UN value read with an odd length is written back as it was, so the stream is odd too and
  // no source could hand it over in even chunks.
  if (first.size() % 2 != 0 && syntax != DEFLATED_EXPLICIT_LITTLE_ENDIAN) return 0;
  std::vector<uint8_t> second;
  const bool again = decode_encode(first.data(), first.size(), 4096, syntax, &second);
  if (syntax == IMPLICIT_LITTLE_ENDIAN) {
    // Without VRs in the stream a repaired VR (an undefined-length value kept as OB, say) reads
    // back under the dictionary's VR, as text that need not survive a further round unchanged,
    // or not at all when its bytes do not fit that VR: what reads back must encode again.
    if (!again) return 0;
    std::vector<uint8_t> third;
    if (!decode_encode(second.data(), second.size(), 4096, syntax, &third)) std::abort();
    return 0;
  }
  if (!again) std::abort();
  if (first != second) std::abort();
  return 0;
}
