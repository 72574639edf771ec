// Data dictionary: load at initialisation and tag lookups, against DCMTK's dictionary in the
// same run. DCMTK loads its dictionary files (dicom.dic and private.dic) as Debian installs
// them; Tessel loads its binary dictionary (standard and private entries).
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_util.hpp"
#include "data/dictionary.hpp"
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdict.h>

#include "tessel/tessel.h"

namespace {

std::vector<uint32_t> standard_tags() {
  std::vector<uint32_t> tags;
  std::ifstream in(TESSEL_BENCH_SOURCE_DIR "/data/dictionary.tsv");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line.compare(0, 3, "tag") == 0) continue;
    tags.push_back(static_cast<uint32_t>(std::stoul(line.substr(0, 8), nullptr, 16)));
  }
  return tags;
}

}  // namespace

int main() {
  using tessel::bench::best_ms;
  const std::vector<uint32_t> tags = standard_tags();
  std::printf("Dictionary: %zu standard tags in the lookup loop\n\n", tags.size());
  tessel::bench::print_header("dcmtk ms");

  // Whole initialisation (configuration, profiles, dictionary) and the dictionary load alone.
  CV_Set_TesselINI(TESSEL_BENCH_ETC_DIR "/tessel.ini");
  const double init_ms = best_ms(20, [] {
    CV_Set_TesselINI(TESSEL_BENCH_ETC_DIR "/tessel.ini");
    CV_Library_Initialization(nullptr, nullptr, nullptr);
    CV_Library_Release();
  });
  CV_Set_TesselINI(TESSEL_BENCH_ETC_DIR "/tessel.ini");
  if (CV_Library_Initialization(nullptr, nullptr, nullptr) != CV_NORMAL_COMPLETION) {
    std::fprintf(stderr, "initialisation failed\n");
    return 1;
  }
  const double load_ms = best_ms(20, [] { (void)tessel::data::load_dictionary_file(); });
  const double dcmtk_load_ms = best_ms(20, [] { DcmDataDictionary dictionary(OFFalse, OFTrue); });
  tessel::bench::print_row("dictionary load", load_ms, dcmtk_load_ms);
  tessel::bench::print_row("library initialisation (vs dictionary load)", init_ms, dcmtk_load_ms);

  DcmDataDictionary dcmtk(OFFalse, OFTrue);
  volatile int32_t sink = 0;
  const double lookup_ms = best_ms(20, [&] {
    for (uint32_t tag : tags) {
      int32_t vr = 0;
      uint16_t low = 0;
      uint16_t high = 0;
      CVI_Get_Dictionary_Info(tag, nullptr, &vr, &low, &high, nullptr, 0);
      sink = sink + vr;
    }
  });
  const double dcmtk_lookup_ms = best_ms(20, [&] {
    for (uint32_t tag : tags) {
      const DcmDictEntry* entry = dcmtk.findEntry(
          DcmTagKey(static_cast<Uint16>(tag >> 16), static_cast<Uint16>(tag)), nullptr);
      sink = sink + (entry != nullptr ? 1 : 0);
    }
  });
  tessel::bench::print_row("lookup of every standard tag", lookup_ms, dcmtk_lookup_ms);
  std::printf("\nper lookup: tessel %.1f ns, dcmtk %.1f ns\n", lookup_ms * 1e6 / tags.size(),
              dcmtk_lookup_ms * 1e6 / tags.size());
  CV_Library_Release();
  return 0;
}
