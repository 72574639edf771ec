// Data model: build a message of 20,000 attributes (mixed text and binary VRs, 2,000 sequence
// items of 9 attributes each plus 2,000 top-level attributes), read every value back, free it;
// against DCMTK's DcmDataset in the same run. Memory per attribute is the heap growth while the
// message exists (malloc statistics), divided by the number of attributes.
#include <malloc.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_util.hpp"
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>

#include "tessel/tessel.h"

namespace {

constexpr int kItems = 2000;
constexpr uint32_t kSequenceTag = 0x0040A730;  // Content Sequence

struct TopLevel {
  uint32_t tag;
  std::string vr;
};

// 1,999 standard tags of plain text and 16/32-bit binary VRs, single valued, from the dictionary
// source (not in the groups used by the items).
std::vector<TopLevel> top_level_tags() {
  std::vector<TopLevel> tags;
  std::ifstream in(TESSEL_BENCH_SOURCE_DIR "/data/dictionary.tsv");
  std::string line;
  const std::string wanted = " LO SH CS DS IS PN DA TM UI US UL SS SL ";
  while (std::getline(in, line) && tags.size() < kItems - 1) {
    if (line.empty() || line[0] == '#' || line.compare(0, 3, "tag") == 0) continue;
    const uint32_t tag = static_cast<uint32_t>(std::stoul(line.substr(0, 8), nullptr, 16));
    const std::string vr = line.substr(9, 2);
    const uint32_t group = tag >> 16;
    if (group < 0x0008 || group >= 0x5000 || (tag & 0xFFFF) == 0 || tag == kSequenceTag) continue;
    if (line.find("\tY", 12) != std::string::npos && line.find("\tN") == std::string::npos) {
      continue;  // retired
    }
    if (wanted.find(" " + vr + " ") == std::string::npos) continue;
    tags.push_back({tag, vr});
  }
  return tags;
}

bool is_binary(const std::string& vr) {
  return vr == "US" || vr == "UL" || vr == "SS" || vr == "SL";
}

const char* text_for(const std::string& vr) {
  if (vr == "DA") return "20261205";
  if (vr == "TM") return "101010.5";
  if (vr == "UI") return "1.2.826.0.1.3680043.8.498.1";
  if (vr == "DS") return "12.5";
  if (vr == "IS") return "42";
  if (vr == "CS") return "ORIGINAL";
  if (vr == "PN") return "Doe^Jane";
  return "Some text value";
}

// ---- Tessel ------------------------------------------------------------------------------------

struct TesselRun {
  int32_t message = -1;
  std::vector<int32_t> items;
};

void tessel_build(const std::vector<TopLevel>& tags, TesselRun& run) {
  CV_Open_Empty_Message(&run.message);
  for (const TopLevel& t : tags) {
    if (is_binary(t.vr)) {
      CV_Set_Value_From_Int(run.message, t.tag, 512);
    } else {
      CV_Set_Value_From_String(run.message, t.tag, text_for(t.vr));
    }
  }
  run.items.resize(kItems);
  for (int i = 0; i < kItems; ++i) {
    int32_t item = -1;
    CV_Open_Empty_Item(&item);
    CV_Set_Value_From_String(item, 0x00080100, "121071");                    // Code Value SH
    CV_Set_Value_From_String(item, 0x00080102, "DCM");                       // Coding Scheme SH
    CV_Set_Value_From_String(item, 0x00080104, "Finding");                   // Code Meaning LO
    CV_Set_Value_From_String(item, 0x0040A010, "CONTAINS");                  // Relationship CS
    CV_Set_Value_From_String(item, 0x0040A040, "NUM");                       // Value Type CS
    CV_Set_Value_From_String(item, 0x0040A30A, "3.25");                      // Numeric Value DS
    CV_Set_Value_From_UShortInt(item, 0x00280010, 512);                      // Rows US
    CV_Set_Value_From_UShortInt(item, 0x00280011, 512);                      // Columns US
    CV_Set_Value_From_ULongInt(item, 0x00186016, static_cast<uint32_t>(i));  // UL
    CV_Set_Next_Value_From_Int(run.message, kSequenceTag, item);
    run.items[static_cast<size_t>(i)] = item;
  }
}

long tessel_read(const std::vector<TopLevel>& tags, const TesselRun& run) {
  long sum = 0;
  char text[128];
  for (const TopLevel& t : tags) {
    if (is_binary(t.vr)) {
      int32_t v = 0;
      CV_Get_Value_To_Int(run.message, t.tag, &v);
      sum += v;
    } else {
      CV_Get_Value_To_String(run.message, t.tag, sizeof text, text);
      sum += text[0];
    }
  }
  int32_t item = -1;
  int32_t status = CV_Get_Value_To_Int(run.message, kSequenceTag, &item);
  while (status == CV_NORMAL_COMPLETION) {
    for (uint32_t tag :
         {0x00080100u, 0x00080102u, 0x00080104u, 0x0040A010u, 0x0040A040u, 0x0040A30Au}) {
      CV_Get_Value_To_String(item, tag, sizeof text, text);
      sum += text[0];
    }
    uint16_t rows = 0;
    uint16_t columns = 0;
    uint32_t number = 0;
    CV_Get_Value_To_UShortInt(item, 0x00280010, &rows);
    CV_Get_Value_To_UShortInt(item, 0x00280011, &columns);
    CV_Get_Value_To_ULongInt(item, 0x00186016, &number);
    sum += rows + columns + number;
    status = CV_Get_Next_Value_To_Int(run.message, kSequenceTag, &item);
  }
  return sum;
}

void tessel_free(TesselRun& run) {
  CV_Free_Message(&run.message);
  for (int32_t& item : run.items) CV_Free_Item(&item);
}

// ---- DCMTK -------------------------------------------------------------------------------------

DcmDataset* dcmtk_build(const std::vector<TopLevel>& tags) {
  auto* dataset = new DcmDataset();
  for (const TopLevel& t : tags) {
    // The VR is given, for the tags newer than DCMTK's dictionary.
    const DcmTag tag(static_cast<Uint16>(t.tag >> 16), static_cast<Uint16>(t.tag),
                     DcmVR(t.vr.c_str()));
    if (t.vr == "US") {
      dataset->putAndInsertUint16(tag, 512);
    } else if (t.vr == "SS") {
      dataset->putAndInsertSint16(tag, 512);
    } else if (t.vr == "UL") {
      dataset->putAndInsertUint32(tag, 512);
    } else if (t.vr == "SL") {
      dataset->putAndInsertSint32(tag, 512);
    } else {
      dataset->putAndInsertString(tag, text_for(t.vr));
    }
  }
  for (int i = 0; i < kItems; ++i) {
    auto* item = new DcmItem();
    item->putAndInsertString(DCM_CodeValue, "121071");
    item->putAndInsertString(DCM_CodingSchemeDesignator, "DCM");
    item->putAndInsertString(DCM_CodeMeaning, "Finding");
    item->putAndInsertString(DCM_RelationshipType, "CONTAINS");
    item->putAndInsertString(DCM_ValueType, "NUM");
    item->putAndInsertString(DCM_NumericValue, "3.25");
    item->putAndInsertUint16(DCM_Rows, 512);
    item->putAndInsertUint16(DCM_Columns, 512);
    item->putAndInsertUint32(DcmTag(0x0018, 0x6016), static_cast<Uint32>(i));
    dataset->insertSequenceItem(DCM_ContentSequence, item);
  }
  return dataset;
}

long dcmtk_read(const std::vector<TopLevel>& tags, DcmDataset& dataset) {
  long sum = 0;
  for (const TopLevel& t : tags) {
    const DcmTagKey key(static_cast<Uint16>(t.tag >> 16), static_cast<Uint16>(t.tag));
    if (t.vr == "US") {
      Uint16 v = 0;
      dataset.findAndGetUint16(key, v);
      sum += v;
    } else if (t.vr == "SS") {
      Sint16 v = 0;
      dataset.findAndGetSint16(key, v);
      sum += v;
    } else if (t.vr == "UL") {
      Uint32 v = 0;
      dataset.findAndGetUint32(key, v);
      sum += static_cast<long>(v);
    } else if (t.vr == "SL") {
      Sint32 v = 0;
      dataset.findAndGetSint32(key, v);
      sum += v;
    } else {
      OFString text;
      dataset.findAndGetOFString(key, text);
      sum += text.empty() ? 0 : text[0];
    }
  }
  DcmSequenceOfItems* sequence = nullptr;
  dataset.findAndGetSequence(DCM_ContentSequence, sequence);
  for (unsigned long i = 0; sequence != nullptr && i < sequence->card(); ++i) {
    DcmItem* item = sequence->getItem(i);
    for (const DcmTagKey& key : {DCM_CodeValue, DCM_CodingSchemeDesignator, DCM_CodeMeaning,
                                 DCM_RelationshipType, DCM_ValueType, DCM_NumericValue}) {
      OFString text;
      item->findAndGetOFString(key, text);
      sum += text.empty() ? 0 : text[0];
    }
    Uint16 rows = 0;
    Uint16 columns = 0;
    Uint32 number = 0;
    item->findAndGetUint16(DCM_Rows, rows);
    item->findAndGetUint16(DCM_Columns, columns);
    item->findAndGetUint32(DcmTagKey(0x0018, 0x6016), number);
    sum += rows + columns + number;
  }
  return sum;
}

size_t heap_in_use() {
  return mallinfo2().uordblks;
}

}  // namespace

int main() {
  CV_Set_TesselINI(TESSEL_BENCH_ETC_DIR "/tessel.ini");
  if (CV_Library_Initialization(nullptr, nullptr, nullptr) != CV_NORMAL_COMPLETION) return 1;
  const std::vector<TopLevel> tags = top_level_tags();
  const size_t attributes = tags.size() + 1 + kItems * 9;
  std::printf("Data model: %zu attributes (%zu top-level, %d items of 9)\n\n", attributes,
              tags.size() + 1, kItems);

  // Warm up both, so that pools and allocator caches exist before the measured rounds, and check
  // that both hold the same values.
  {
    TesselRun run;
    tessel_build(tags, run);
    DcmDataset* dataset = dcmtk_build(tags);
    const long tessel_sum = tessel_read(tags, run);
    const long dcmtk_sum = dcmtk_read(tags, *dataset);
    if (tessel_sum != dcmtk_sum) {
      std::fprintf(stderr, "the two data sets differ: %ld vs %ld\n", tessel_sum, dcmtk_sum);
      for (const TopLevel& t : tags) {
        const std::vector<TopLevel> one{t};
        TesselRun probe;
        probe.message = run.message;
        const long a = tessel_read(one, probe);
        const long b = dcmtk_read(one, *dataset);
        if (a != b)
          std::fprintf(stderr, "  %08X %s: tessel %ld dcmtk %ld\n", t.tag, t.vr.c_str(), a, b);
      }
      return 1;
    }
    tessel_free(run);
    delete dataset;
  }
  volatile long sink = 0;
  tessel::bench::print_header("dcmtk ms");
  double t_build = 0, t_read = 0, t_free = 0, d_build = 0, d_read = 0, d_free = 0;
  const int rounds = 7;
  t_build = t_read = t_free = d_build = d_read = d_free = 1e300;
  size_t tessel_bytes = 0;
  size_t dcmtk_bytes = 0;
  for (int round = 0; round < rounds; ++round) {
    TesselRun run;
    const size_t before = heap_in_use();
    t_build = std::min(t_build, tessel::bench::best_ms(1, [&] { tessel_build(tags, run); }));
    tessel_bytes = heap_in_use() - before;
    t_read =
        std::min(t_read, tessel::bench::best_ms(1, [&] { sink = sink + tessel_read(tags, run); }));
    t_free = std::min(t_free, tessel::bench::best_ms(1, [&] { tessel_free(run); }));
    // Reclaim pool memory between rounds so that the next round's growth is measured again.
    CV_Cleanup_Memory(0);

    DcmDataset* dataset = nullptr;
    const size_t dbefore = heap_in_use();
    d_build = std::min(d_build, tessel::bench::best_ms(1, [&] { dataset = dcmtk_build(tags); }));
    dcmtk_bytes = heap_in_use() - dbefore;
    d_read = std::min(d_read,
                      tessel::bench::best_ms(1, [&] { sink = sink + dcmtk_read(tags, *dataset); }));
    d_free = std::min(d_free, tessel::bench::best_ms(1, [&] { delete dataset; }));
  }
  tessel::bench::print_row("build", t_build, d_build);
  tessel::bench::print_row("read every value", t_read, d_read);
  tessel::bench::print_row("free", t_free, d_free);
  tessel::bench::print_row("build + read + free", t_build + t_read + t_free,
                           d_build + d_read + d_free);
  std::printf("\nthroughput ratio (tessel / dcmtk, higher is better): %.2f\n",
              (d_build + d_read + d_free) / (t_build + t_read + t_free));
  std::printf("heap per attribute: tessel %.1f bytes, dcmtk %.1f bytes (ratio %.2f)\n",
              static_cast<double>(tessel_bytes) / attributes,
              static_cast<double>(dcmtk_bytes) / attributes,
              static_cast<double>(tessel_bytes) / static_cast<double>(dcmtk_bytes));
  CV_Library_Release();
  return 0;
}
