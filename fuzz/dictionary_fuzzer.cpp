// Fuzz target: the data dictionary loader on arbitrary file contents, then lookups.
#include <cstdint>
#include <cstdio>
#include <string>

#include "config/config_record.hpp"
#include "data/dictionary.hpp"
#include "fuzz/fuzz_support.hpp"

#include "tessel/tessel.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel::fuzz::ensure_library();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!tessel::fuzz::ensure_library()) return 0;
  const std::string path = tessel::fuzz::scratch_dir() + "/fuzz.dct";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  Cfg->strings[DICTIONARY_FILE] = path;
  if (tessel::data::load_dictionary_file().ok()) {
    char name[128];
    int32_t vr = 0;
    uint16_t low = 0;
    uint16_t high = 0;
    for (uint32_t tag : {0x00100010u, 0x60FF3000u, 0x00290000u, 0x00291010u, 0x7FE00010u}) {
      CVI_Get_Dictionary_Info(tag, "ACME", &vr, &low, &high, name, sizeof name);
      CV_Get_Tag_Keyword(tag, name, sizeof name);
    }
  }
  tessel::data::release_dictionary();
  return 0;
}
