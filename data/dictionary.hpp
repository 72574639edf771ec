// The data dictionary: VR, VM bounds and name of every known tag, and of private attributes
// per creator code. Built once at initialisation and only read afterwards, so lookups take no
// lock.
#ifndef TESSEL_DATA_DICTIONARY_HPP_
#define TESSEL_DATA_DICTIONARY_HPP_

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/status.hpp"

namespace tessel::data {

inline constexpr int32_t kDictionaryChains = 850;
inline constexpr size_t kMaxNameLength = 99;
inline constexpr size_t kMaxCreatorLength = 512;

// One dictionary entry. Private entries carry their creator code and a tag whose block byte is
// 0x00 (gggg,00ee); standard entries have a null creator.
struct DictEntry {
  const DictEntry* next;  // next entry of the same chain
  uint32_t tag;
  int32_t vr;
  uint16_t vm_low;
  uint16_t vm_high;  // 255 = n
  const char* name;
  const char* creator;
};

// The 850 chains; chain index = tag modulo 850. A prebuilt table handed over by a generated
// dictionary function has this layout.
struct DictionaryTable {
  const DictEntry* chains[kDictionaryChains];
};

// Loads DICTIONARY_FILE. CV_MISSING_CONFIG_PARM when no file is configured,
// CV_DICTIONARY_FILE_ERROR for any file or format fault (logged), CV_SYSTEM_ERROR without memory.
Status load_dictionary_file();
// Uses a prebuilt table as it is (not copied; it must outlive the library's use).
void install_prebuilt_dictionary(const DictionaryTable* table);
void release_dictionary();
// Whether a dictionary (file or prebuilt) is in place.
bool dictionary_configured();

// Lookup result of find_entry: a standard or private entry, or the synthetic private group
// length.
const DictEntry* find_entry(uint32_t tag, const char* creator);

// Derives the keyword of a dictionary name by the library's rule (tag 0x00000800 is special).
std::string derive_keyword(uint32_t tag, const char* name);

}  // namespace tessel::data

// The lookup all others use. `creator` may be null or empty (used for private tags only). The
// name buffer may be null. Returns CV_NORMAL_COMPLETION, CV_BUFFER_TOO_SMALL (name cut, still
// stored), CV_INVALID_TAG (no entry) or CV_MISSING_CONFIG_PARM (no dictionary).
int32_t CVI_Get_Dictionary_Info(uint32_t tag, const char* creator, int32_t* vr, uint16_t* vm_low,
                                uint16_t* vm_high, char* name, int32_t name_length);

#endif  // TESSEL_DATA_DICTIONARY_HPP_
