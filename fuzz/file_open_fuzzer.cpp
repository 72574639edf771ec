// Fuzz target: the input is a whole Part 10 file, read with CV_Open_File into an empty file
// object through an in-memory source (in chunks whose size the input's length picks), then
// measured and written again to a sink that discards the bytes, and freed.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.hpp"

#include "tessel/tessel.h"

namespace {

struct Source {
  const uint8_t* data;
  size_t size;
  size_t position;
  size_t chunk;
};

int32_t read_chunk(const char*, void* user_info, uint32_t* data_size, void** data, int32_t,
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

int32_t discard(const char*, void*, uint32_t, void*, int32_t, int32_t) {
  return CV_NORMAL_COMPLETION;
}

int32_t g_app = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel::fuzz::ensure_library();
  CV_Register_Application(&g_app, "FUZZ_FILES");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!tessel::fuzz::ensure_library()) return 0;
  if (g_app < 0) CV_Register_Application(&g_app, "FUZZ_FILES");
  // Whole reads and small even chunks both run: chunk boundaries cut headers and values.
  const size_t chunk = size % 3 == 0 ? 4096 : 2 * (1 + size % 61);
  Source source{data, size, 0, chunk};
  int32_t id = -1;
  if (CV_Create_Empty_File(&id, "fuzz.dcm") != CV_NORMAL_COMPLETION) return 0;
  const int32_t opened = CV_Open_File(g_app, id, &source, read_chunk);
  if (opened == CV_NORMAL_COMPLETION) {
    uint32_t length = 0;
    CV_Get_File_Length(id, &length);
    CV_Write_File(id, 0, nullptr, discard);
  }
  CV_Free_File(&id);
  return 0;
}
