// Part 10 files: loading whole files into memory and writing them back, against DCMTK and GDCM
// in the same run. Three workloads are written once by DCMTK into a scratch directory, in
// explicit VR little endian: a 512x512 16-bit CT slice, a 400-frame 512x512 16-bit image of
// 210 MB, and a structured report of about 24,000 elements. Loads are best of N repeated loads
// (the files sit in the page cache after the first); writes go back to the scratch directory in
// the same transfer syntax. The large image also gives the plain write() bandwidth of that
// directory and the peak memory of a load, measured in child processes.
#include <fcntl.h>
#include <gdcmReader.h>
#include <gdcmWriter.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_util.hpp"
#include "bench/dcmtk_images.hpp"
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "tessel/tessel.h"
#include "tessel/tessel_file_io.h"

namespace {

using namespace tessel::bench;

using Clock = std::chrono::steady_clock;

constexpr uint32_t kFrames = 400;
constexpr uint32_t kSrContainers = 400;  // each with 4 children: 2,000 content items
constexpr int32_t kLargeDataSize = 65536;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---- Workloads, written by DCMTK ----------------------------------------------------------------

bool write_image(const std::string& path, uint32_t frames) {
  DcmFileFormat file;
  DcmDataset& ds = *file.getDataset();
  put_ct_header(ds, frames);
  return add_pixels(ds, frames) && save(file, path);
}

DcmItem* content_item(const char* relationship, const char* type, const char* code,
                      const char* meaning, uint32_t n) {
  auto* item = new DcmItem();
  put(*item, DCM_RelationshipType, relationship);
  put(*item, DCM_ValueType, type);
  item->insertSequenceItem(DCM_ConceptNameCodeSequence, code_item(code, "DCM", meaning));
  put(*item, DCM_ObservationDateTime, "20240611101500");
  put(*item, DCM_ObservationUID, ("1.2.826.0.1.3680043.8.498.77." + std::to_string(n)).c_str());
  return item;
}

// A comprehensive SR: a root container with 400 containers, each holding a TEXT, a CODE and two
// NUM content items (2,000 content items in all, each with its concept name code item).
bool write_report(const std::string& path) {
  DcmFileFormat file;
  DcmDataset& ds = *file.getDataset();
  put(ds, DCM_SpecificCharacterSet, "ISO_IR 100");
  put(ds, DCM_SOPClassUID, UID_ComprehensiveSRStorage);
  put(ds, DCM_SOPInstanceUID, "1.2.826.0.1.3680043.8.498.55501.1");
  put(ds, DCM_StudyDate, "20240611");
  put(ds, DCM_ContentDate, "20240611");
  put(ds, DCM_StudyTime, "101010");
  put(ds, DCM_ContentTime, "120000");
  put(ds, DCM_AccessionNumber, "A20240611-0042");
  put(ds, DCM_Modality, "SR");
  put(ds, DCM_Manufacturer, "Example Medical Systems");
  put(ds, DCM_ReferringPhysicianName, "Smith^John^^Dr.");
  put(ds, DCM_StudyDescription, "CT CHEST ABDOMEN PELVIS W CONTRAST");
  put(ds, DCM_SeriesDescription, "MEASUREMENT REPORT");
  put(ds, DCM_PatientName, "Doe^Jane^Q");
  put(ds, DCM_PatientID, "PID-000123456");
  put(ds, DCM_PatientBirthDate, "19610203");
  put(ds, DCM_PatientSex, "F");
  put(ds, DCM_StudyInstanceUID, "1.2.826.0.1.3680043.8.498.10192837465");
  put(ds, DCM_SeriesInstanceUID, "1.2.826.0.1.3680043.8.498.55501");
  put(ds, DCM_StudyID, "42");
  put(ds, DCM_SeriesNumber, "99");
  put(ds, DCM_InstanceNumber, "1");
  put(ds, DCM_ValueType, "CONTAINER");
  ds.insertSequenceItem(DCM_ConceptNameCodeSequence,
                        code_item("126000", "DCM", "Imaging Measurement Report"));
  put(ds, DCM_ContinuityOfContent, "SEPARATE");
  auto* template_item = new DcmItem();
  put(*template_item, DCM_MappingResource, "DCMR");
  put(*template_item, DCM_TemplateIdentifier, "1500");
  ds.insertSequenceItem(DCM_ContentTemplateSequence, template_item);
  put(ds, DCM_CompletionFlag, "COMPLETE");
  put(ds, DCM_VerificationFlag, "UNVERIFIED");
  uint32_t n = 0;
  for (uint32_t c = 0; c < kSrContainers; ++c) {
    DcmItem* container = content_item("CONTAINS", "CONTAINER", "125007", "Measurement Group", n++);
    put(*container, DCM_ContinuityOfContent, "SEPARATE");
    DcmItem* text = content_item("CONTAINS", "TEXT", "121071", "Finding", n++);
    put(*text, DCM_TextValue, "Soft tissue nodule in the right lower lobe, unchanged.");
    container->insertSequenceItem(DCM_ContentSequence, text);
    DcmItem* code = content_item("HAS CONCEPT MOD", "CODE", "G-C0E3", "Finding Site", n++);
    code->insertSequenceItem(DCM_ConceptCodeSequence, code_item("39607008", "SCT", "Lung"));
    container->insertSequenceItem(DCM_ContentSequence, code);
    for (const char* meaning : {"Long Axis", "Short Axis"}) {
      DcmItem* num = content_item("CONTAINS", "NUM", "G-A185", meaning, n++);
      auto* measured = new DcmItem();
      put(*measured, DCM_NumericValue, std::to_string(4.25 + c * 0.01).substr(0, 6).c_str());
      measured->insertSequenceItem(DCM_MeasurementUnitsCodeSequence,
                                   code_item("mm", "UCUM", "millimeter"));
      num->insertSequenceItem(DCM_MeasuredValueSequence, measured);
      container->insertSequenceItem(DCM_ContentSequence, num);
    }
    ds.insertSequenceItem(DCM_ContentSequence, container);
  }
  return save(file, path);
}

// Elements and sequence items below `item`, recursively (items themselves not counted as
// elements).
void count_elements(DcmItem& item, uint64_t* elements, uint64_t* items) {
  for (unsigned long i = 0; i < item.card(); ++i) {
    DcmElement* element = item.getElement(i);
    ++*elements;
    if (element->ident() == EVR_SQ) {
      auto* sequence = static_cast<DcmSequenceOfItems*>(element);
      for (unsigned long k = 0; k < sequence->card(); ++k) {
        ++*items;
        count_elements(*sequence->getItem(k), elements, items);
      }
    }
  }
}

// ---- The three libraries --------------------------------------------------------------------

int32_t g_app = -1;

bool tessel_load(const std::string& path, int32_t* id) {
  if (CV_Create_Empty_File(id, path.c_str()) != CV_NORMAL_COMPLETION) return false;
  CV_FILE_IO io;
  if (CV_File_IO_Open_Read(&io, path.c_str(), 0) != CV_NORMAL_COMPLETION) return false;
  const int32_t status = CV_Open_File(g_app, *id, &io, CV_File_IO_Read);
  CV_File_IO_Close(&io);
  if (status != CV_NORMAL_COMPLETION) {
    std::fprintf(stderr, "Tessel cannot read %s: %s\n", path.c_str(), CV_Error_Message(status));
  }
  return status == CV_NORMAL_COMPLETION;
}

bool tessel_write(int32_t id, const std::string& path) {
  CV_FILE_IO io;
  if (CV_File_IO_Open_Write(&io, path.c_str()) != CV_NORMAL_COMPLETION) return false;
  int32_t status = CV_Write_File(id, 0, &io, CV_File_IO_Write);
  if (CV_File_IO_Close(&io) != CV_NORMAL_COMPLETION && status == CV_NORMAL_COMPLETION) {
    status = CV_CALLBACK_CANNOT_COMPLY;
  }
  if (status != CV_NORMAL_COMPLETION) {
    std::fprintf(stderr, "Tessel cannot write %s: %s\n", path.c_str(), CV_Error_Message(status));
  }
  return status == CV_NORMAL_COMPLETION;
}

bool dcmtk_load(const std::string& path, DcmFileFormat& file) {
  OFCondition loaded = file.loadFile(path.c_str());
  if (loaded.good()) loaded = file.loadAllDataIntoMemory();
  if (loaded.bad()) std::fprintf(stderr, "DCMTK cannot read %s: %s\n", path.c_str(), loaded.text());
  return loaded.good();
}

bool gdcm_load(const std::string& path, gdcm::Reader& reader) {
  reader.SetFileName(path.c_str());
  const bool read = reader.Read();
  if (!read) std::fprintf(stderr, "GDCM cannot read %s\n", path.c_str());
  return read;
}

bool gdcm_write(gdcm::Reader& reader, const std::string& path) {
  gdcm::Writer writer;
  writer.SetFile(reader.GetFile());
  writer.SetFileName(path.c_str());
  const bool written = writer.Write();
  if (!written) std::fprintf(stderr, "GDCM cannot write %s\n", path.c_str());
  return written;
}

// A file Tessel wrote must hold the data set it read: compared by DCMTK, group lengths aside
// (the shipped configuration writes them, the input has none).
bool same_data_set(const std::string& original, const std::string& written) {
  DcmFileFormat a;
  DcmFileFormat b;
  if (!dcmtk_load(original, a) || !dcmtk_load(written, b)) return false;
  a.getDataset()->computeGroupLengthAndPadding(EGL_withoutGL);
  b.getDataset()->computeGroupLengthAndPadding(EGL_withoutGL);
  return a.getDataset()->compare(*b.getDataset()) == 0;
}

// ---- Measurements -------------------------------------------------------------------------------

struct Times {
  double tessel = 1e300;
  double dcmtk = 1e300;
  double gdcm = 1e300;
  double floor = 0;  // the same bytes moved with plain read() or write()
};

// Best load time of each library; the object is freed outside the timed part.
bool time_loads(const std::string& path, int rounds, Times* t) {
  for (int round = 0; round < rounds; ++round) {
    int32_t id = -1;
    auto start = Clock::now();
    if (!tessel_load(path, &id)) return false;
    t->tessel = std::min(t->tessel, ms_since(start));
    CV_Free_File(&id);

    auto dcmtk = std::make_unique<DcmFileFormat>();
    start = Clock::now();
    if (!dcmtk_load(path, *dcmtk)) return false;
    t->dcmtk = std::min(t->dcmtk, ms_since(start));
    dcmtk.reset();

    auto reader = std::make_unique<gdcm::Reader>();
    start = Clock::now();
    if (!gdcm_load(path, *reader)) return false;
    t->gdcm = std::min(t->gdcm, ms_since(start));
  }
  return true;
}

// Before each timed write the target is removed and dirty pages are flushed, so that every write
// starts from the same state: no truncation of an earlier copy, no write-back of the last one.
void prepare_write(const std::string& out) {
  std::filesystem::remove(out);
  ::sync();
}

// Best write time of each library, each from its own load of `path`, into `out`.
bool time_writes(const std::string& path, const std::string& out, int rounds, Times* t,
                 uint64_t* tessel_bytes, bool* tessel_same) {
  int32_t id = -1;
  if (!tessel_load(path, &id)) return false;
  bool ok = true;
  for (int round = 0; ok && round < rounds; ++round) {
    prepare_write(out);
    const auto start = Clock::now();
    ok = tessel_write(id, out);
    t->tessel = std::min(t->tessel, ms_since(start));
  }
  CV_Free_File(&id);
  if (!ok) return false;
  *tessel_bytes = file_size(out);
  *tessel_same = same_data_set(path, out);

  {
    DcmFileFormat file;
    if (!dcmtk_load(path, file)) return false;
    for (int round = 0; round < rounds; ++round) {
      prepare_write(out);
      const auto start = Clock::now();
      if (!save(file, out)) return false;
      t->dcmtk = std::min(t->dcmtk, ms_since(start));
    }
  }
  gdcm::Reader reader;
  if (!gdcm_load(path, reader)) return false;
  for (int round = 0; round < rounds; ++round) {
    prepare_write(out);
    const auto start = Clock::now();
    if (!gdcm_write(reader, out)) return false;
    t->gdcm = std::min(t->gdcm, ms_since(start));
  }
  std::filesystem::remove(out);
  return true;
}

// Best time to read the file at `path` with read() in 1 MB chunks into a buffer allocated (and
// touched) once: the least any load of it can take.
double plain_read_ms(const std::string& path, int rounds) {
  std::vector<uint8_t> target(static_cast<size_t>(file_size(path)) + 1);
  double best = 1e300;
  for (int round = 0; round < rounds; ++round) {
    const auto start = Clock::now();
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    size_t done = 0;
    ssize_t got = 0;
    while ((got = ::read(fd, target.data() + done,
                         std::min<size_t>(size_t{1} << 20, target.size() - done))) > 0) {
      done += static_cast<size_t>(got);
    }
    ::close(fd);
    best = std::min(best, ms_since(start));
  }
  return best;
}

// Best time to write `bytes` bytes with write() in 1 MB chunks to a new file `path`: from one
// 1 MB buffer written again and again (its bytes stay in the processor's cache), or from a
// buffer holding all the bytes (read from memory, as any writer of a loaded file must).
double plain_write_ms(const std::string& path, uint64_t bytes, int rounds, bool whole_buffer) {
  constexpr size_t kChunk = size_t{1} << 20;
  std::vector<uint8_t> source(whole_buffer ? static_cast<size_t>(bytes) : kChunk);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 7);
  double best = 1e300;
  for (int round = 0; round < rounds; ++round) {
    prepare_write(path);
    const auto start = Clock::now();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return -1;
    for (uint64_t done = 0; done < bytes;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, bytes - done));
      const uint8_t* from = whole_buffer ? source.data() + done : source.data();
      const ssize_t w = ::write(fd, from, n);
      if (w <= 0) {
        ::close(fd);
        return -1;
      }
      done += static_cast<uint64_t>(w);
    }
    ::close(fd);
    best = std::min(best, ms_since(start));
  }
  std::filesystem::remove(path);
  return best;
}

// Resident set of this process right now, in kilobytes.
long resident_kb() {
  long pages_total = 0;
  long pages_resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return -1;
  const int got = std::fscanf(statm, "%ld %ld", &pages_total, &pages_resident);
  std::fclose(statm);
  return got == 2 ? pages_resident * (::sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// Where a child process records its resident set once the library is initialised (a page
// shared with the parent).
long* g_after_init_kb = nullptr;

bool init_tessel() {
  CV_Set_TesselINI(TESSEL_BENCH_ETC_DIR "/tessel.ini");
  if (CV_Library_Initialization(nullptr, nullptr, nullptr) != CV_NORMAL_COMPLETION) return false;
  if (g_after_init_kb != nullptr) *g_after_init_kb = resident_kb();
  return CV_Register_Application(&g_app, "FILE_BENCH") == CV_NORMAL_COMPLETION;
}

struct ChildMemory {
  long peak_kb = -1;        // the child's maximum resident set
  long after_init_kb = -1;  // its resident set once the library was initialised
  // What the work after initialisation added at its peak, in bytes.
  double added() const {
    return peak_kb < 0 || after_init_kb < 0 ? -1.0 : (peak_kb - after_init_kb) * 1024.0;
  }
};

// Runs `body` in a child process. The peak is the ru_maxrss that wait4 reports for that child
// (the figure getrusage(RUSAGE_CHILDREN) accumulates, but for this child alone).
ChildMemory run_child(const std::function<bool()>& body) {
  ChildMemory memory;
  std::fflush(nullptr);
  *g_after_init_kb = -1;
  const pid_t pid = ::fork();
  if (pid < 0) return memory;
  if (pid == 0) ::_exit(body() ? 0 : 1);
  int status = 0;
  struct rusage usage {};
  if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return memory;
  }
  memory.peak_kb = usage.ru_maxrss;
  memory.after_init_kb = *g_after_init_kb;
  return memory;
}

struct Peaks {
  ChildMemory baseline;
  ChildMemory tessel;
  ChildMemory tessel_temp_files;
  ChildMemory dcmtk;
  ChildMemory gdcm;
};

// Each child starts from the same parent state and initialises the library first; what a load
// adds is its peak over the resident set right after initialisation (initialisation has a
// transient peak of its own, which the baseline child shows).
Peaks measure_peaks(const std::string& path, const std::string& scratch) {
  Peaks p;
  p.baseline = run_child([] {
    const bool ok = init_tessel();
    CV_Library_Release();
    return ok;
  });
  p.tessel = run_child([&] {
    if (!init_tessel()) return false;
    int32_t id = -1;
    const bool ok = tessel_load(path, &id);
    CV_Free_File(&id);
    CV_Library_Release();
    return ok;
  });
  p.tessel_temp_files = run_child([&] {
    if (!init_tessel()) return false;
    if (CV_Set_String_Config_Value(LARGE_DATA_STORE, "FILE") != CV_NORMAL_COMPLETION ||
        CV_Set_Int_Config_Value(LARGE_DATA_SIZE, kLargeDataSize) != CV_NORMAL_COMPLETION ||
        CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, scratch.c_str()) != CV_NORMAL_COMPLETION) {
      return false;
    }
    int32_t id = -1;
    const bool ok = tessel_load(path, &id);
    CV_Free_File(&id);
    CV_Library_Release();
    return ok;
  });
  p.dcmtk = run_child([&] {
    if (!init_tessel()) return false;
    DcmFileFormat file;
    const bool ok = dcmtk_load(path, file);
    CV_Library_Release();
    return ok;
  });
  p.gdcm = run_child([&] {
    if (!init_tessel()) return false;
    gdcm::Reader reader;
    const bool ok = gdcm_load(path, reader);
    CV_Library_Release();
    return ok;
  });
  return p;
}

// ---- Output -------------------------------------------------------------------------------------

void print_times_header() {
  std::printf("%-28s %10s %10s %10s %10s %7s %7s  %s\n", "workload", "tessel ms", "dcmtk ms",
              "gdcm ms", "r/w() ms", "/dcmtk", "/gdcm", "target");
}

void print_times(const std::string& workload, const Times& t, const char* target, bool met) {
  std::printf("%-28s %10.3f %10.3f %10.3f %10.3f %7.2f %7.2f  %s %s\n", workload.c_str(), t.tessel,
              t.dcmtk, t.gdcm, t.floor, t.tessel / t.dcmtk, t.tessel / t.gdcm, target,
              std::strcmp(target, "bandwidth:") == 0 ? "see below"
              : met                                  ? "met"
                                                     : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  // An optional argument scales the repetitions (for quick runs under a profiler).
  const int scale = argc > 1 ? std::max(1, std::atoi(argv[1])) : 0;
  const int small_rounds = scale > 0 ? scale : 31;
  const int large_rounds = scale > 0 ? scale : 7;

  // The tools and this process keep their log files in the scratch directory.
  const tessel::bench::ScratchDir scratch("tessel_file_bench");
  if (scratch.path().empty()) return 1;
  const std::string dir = scratch.path();
  const std::string ct = dir + "/ct.dcm";
  const std::string multi = dir + "/multiframe.dcm";
  const std::string sr = dir + "/sr.dcm";
  const std::string out = dir + "/out.dcm";

  // A page shared with the child processes, for their resident set after initialisation.
  void* shared =
      ::mmap(nullptr, sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return 1;
  g_after_init_kb = static_cast<long*>(shared);

  // The workloads are written by DCMTK in a child, so that this process never holds the 210 MB
  // image before the memory measurements.
  const ChildMemory generated = run_child(
      [&] { return write_image(ct, 1) && write_image(multi, kFrames) && write_report(sr); });
  if (generated.peak_kb < 0) {
    std::fprintf(stderr, "cannot write the workloads\n");
    return 1;
  }
  const uint64_t ct_size = file_size(ct);
  const uint64_t multi_size = file_size(multi);
  const uint64_t sr_size = file_size(sr);
  uint64_t ct_elements = 0, ct_items = 0, sr_elements = 0, sr_items = 0;
  {
    DcmFileFormat file;
    if (!dcmtk_load(ct, file)) return 1;
    count_elements(*file.getDataset(), &ct_elements, &ct_items);
    DcmFileFormat report;
    if (!dcmtk_load(sr, report)) return 1;
    count_elements(*report.getDataset(), &sr_elements, &sr_items);
  }
  std::printf("Part 10 files, explicit VR little endian, written by DCMTK into %s\n", dir.c_str());
  std::printf("  a) CT slice 512x512x16: %llu bytes, %llu data set elements (%llu in items)\n",
              static_cast<unsigned long long>(ct_size),
              static_cast<unsigned long long>(ct_elements),
              static_cast<unsigned long long>(ct_items));
  std::printf("  b) %u frames 512x512x16: %llu bytes (pixel data %llu)\n", kFrames,
              static_cast<unsigned long long>(multi_size),
              static_cast<unsigned long long>(kFrameBytes * kFrames));
  std::printf(
      "  c) comprehensive SR: %llu bytes, %llu elements, %u content items, %llu sequence items\n",
      static_cast<unsigned long long>(sr_size), static_cast<unsigned long long>(sr_elements),
      kSrContainers * 5, static_cast<unsigned long long>(sr_items));
  std::printf(
      "Tessel: CV_Open_File / CV_Write_File with the CV_File_IO_* callbacks (64 KB chunks);\n"
      "DCMTK: loadFile + loadAllDataIntoMemory / saveFile (explicit-length sequences);\n"
      "GDCM: gdcm::Reader / gdcm::Writer. Best of %d (a, c) and %d (b) rounds; every\n"
      "write starts after removing the target and sync(). r/w(): the file's bytes moved\n"
      "with plain read() into a buffer reused across rounds / write() from a buffer of\n"
      "the whole file, 1 MB chunks: the least a load or write can take.\n\n",
      small_rounds, large_rounds);

  // Peak memory first, while this process is still small.
  const Peaks peaks = measure_peaks(multi, dir);

  if (!init_tessel()) {
    std::fprintf(stderr, "cannot initialise the library\n");
    return 1;
  }
  print_times_header();
  bool ok = true;
  struct Row {
    const char* name;
    const std::string* path;
    int rounds;
  };
  const Row rows[] = {{"a) CT slice", &ct, small_rounds},
                      {"c) SR 24k elements", &sr, small_rounds},
                      {"b) 400 frames 210 MB", &multi, large_rounds}};
  double multi_write_ms = 0;
  for (const Row& row : rows) {
    Times load;
    Times write;
    uint64_t written = 0;
    bool same = false;
    // One untimed load of each library first, so that all three meet a file in the page cache.
    ok = ok && time_loads(*row.path, 1, &load);
    load = Times();
    ok = ok && time_loads(*row.path, row.rounds, &load) &&
         time_writes(*row.path, out, row.rounds, &write, &written, &same);
    if (!ok) break;
    load.floor = plain_read_ms(*row.path, row.rounds);
    write.floor = plain_write_ms(out, file_size(*row.path), row.rounds, true);
    print_times(std::string(row.name) + " load", load, "<= 0.50x dcmtk",
                load.tessel <= 0.5 * load.dcmtk);
    if (row.path == &multi) {
      multi_write_ms = write.tessel;
      print_times(std::string(row.name) + " write", write, "bandwidth:", true);
    } else {
      print_times(std::string(row.name) + " write", write, "<= 0.50x dcmtk",
                  write.tessel <= 0.5 * write.dcmtk);
    }
    if (!same) {
      std::printf("  !! the file Tessel wrote (%llu bytes) does not hold the data set it read\n",
                  static_cast<unsigned long long>(written));
      ok = false;
    }
  }
  if (!ok) {
    std::fprintf(stderr, "a measurement failed\n");
    CV_Library_Release();
    return 1;
  }

  const double hot_ms = plain_write_ms(dir + "/plain.bin", multi_size, large_rounds, false);
  const double whole_ms = plain_write_ms(dir + "/plain.bin", multi_size, large_rounds, true);
  const double mb = static_cast<double>(multi_size) / (1024.0 * 1024.0);
  std::printf("\nwrite bandwidth, b) %.1f MB into %s (best of %d, each after sync):\n", mb,
              dir.c_str(), large_rounds);
  const auto bandwidth_row = [&](const char* who, double ms) {
    std::printf("  %-34s %8.3f ms %7.0f MB/s\n", who, ms, mb / ms * 1000.0);
  };
  bandwidth_row("write(), 1 MB chunks, one buffer", hot_ms);
  bandwidth_row("write(), 1 MB chunks of a 200 MB one", whole_ms);
  bandwidth_row("Tessel CV_Write_File", multi_write_ms);
  for (const auto& [name, ms] :
       {std::pair{"one buffer", hot_ms}, std::pair{"200 MB buffer", whole_ms}}) {
    const double percent = ms / multi_write_ms * 100.0;
    std::printf("  Tessel at %5.1f%% of write() from %-13s target >= 80%% %s\n", percent, name,
                percent >= 80.0 ? "met" : "MISSED");
  }

  const double file_bytes = static_cast<double>(multi_size);
  std::printf(
      "\npeak memory loading b), each in a child process: its max RSS (wait4 rusage) minus\n"
      "its RSS right after library initialisation (baseline child: %.1f MB after\n"
      "initialisation, %.1f MB peak; initialisation has a transient peak of its own):\n",
      peaks.baseline.after_init_kb / 1024.0, peaks.baseline.peak_kb / 1024.0);
  const auto memory_row = [&](const char* who, const ChildMemory& m, const char* target,
                              double limit) {
    const double added = m.added();
    std::printf("  %-34s %8.1f MB  %6.3fx file", who, added / 1048576.0, added / file_bytes);
    if (target != nullptr) {
      std::printf("  target %s %s", target, added >= 0 && added <= limit ? "met" : "MISSED");
    }
    std::printf("\n");
  };
  memory_row("Tessel, values in memory", peaks.tessel, "<= 1.02x file", 1.02 * file_bytes);
  const std::string temp_row = "Tessel, temp files >= " + std::to_string(kLargeDataSize) + " bytes";
  memory_row(temp_row.c_str(), peaks.tessel_temp_files, "<= 32 MB", 32.0 * 1048576.0);
  memory_row("DCMTK", peaks.dcmtk, nullptr, 0);
  memory_row("GDCM", peaks.gdcm, nullptr, 0);
  CV_Release_Application(&g_app);
  CV_Library_Release();
  return 0;
}
