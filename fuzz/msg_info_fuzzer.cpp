// Fuzz target: the message information file reader on arbitrary file contents. A few service
// and item templates are looked up (the shipped services profile numbers them 1 to 3 and 1 to
// 2), then the cache is released.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/config_record.hpp"
#include "data/msg_info.hpp"
#include "fuzz/fuzz_support.hpp"

#include "tessel/tessel.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel::fuzz::ensure_library();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!tessel::fuzz::ensure_library()) return 0;
  const std::string path = tessel::fuzz::scratch_dir() + "/fuzz.msg";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  Cfg->strings[MSG_INFO_FILE] = path;

  struct Lookup {
    const char* name;
    uint16_t command;
  };
  static constexpr Lookup kLookups[] = {
      {"STANDARD_ECHO", 0x0030},
      {"DICOMDIR", 0x0001},
      {"STANDARD_STORAGE_COMMITMENT_PUSH_MODEL", 0x0130},
      {"AbstractPriorCodeSequence", 0},
      {"AbstractPriorCodeSequence_2", 0},
      {"DICOMDIR", 0x0001},  // cached by now when the first read succeeded
  };
  for (const Lookup& lookup : kLookups) {
    const tessel::data::Template* t = nullptr;
    if (!tessel::data::find_template(lookup.name, lookup.command, &t).ok() || t == nullptr) {
      continue;
    }
    // Touch every attribute so that the sanitizers see the whole template.
    size_t bytes = 0;
    for (const tessel::data::TemplateAttribute& a : t->attributes) {
      for (const auto& v : a.valid_values) bytes += v.bytes.size();
      for (const auto& d : a.defaults) bytes += d.bytes.size();
      bytes += a.creator.size() + static_cast<size_t>(a.type == tessel::data::AttributeType::k1);
    }
    if (bytes == static_cast<size_t>(-1)) std::abort();
  }
  tessel::data::release_templates();
  return 0;
}
