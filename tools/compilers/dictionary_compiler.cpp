// Build-time compiler: turns the committed dictionary text sources into the binary data
// dictionary file.
//
//   tessel-dictc STANDARD.tsv PRIVATE.tsv OUTPUT
//
// Standard records come first in ascending tag order, then the private records grouped by
// creator, each creator's records ascending: the orders the loader checks, and the layout that
// lets it store each creator code once.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "data/dictionary_format.hpp"

namespace {

namespace format = tessel::data::dictionary_format;

constexpr const char* kVrTexts[28] = {"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT", "PN",
                                      "SH", "ST", "TM", "UT", "UI", "SS", "US", "AT", "SL", "UL",
                                      "FL", "FD", "UN", "OB", "OW", "OL", "OF", "SQ"};

struct Row {
  uint32_t tag;
  std::string creator;  // empty for standard rows
  int16_t vr;
  int vm_low;
  int vm_high;
  std::string name;
};

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  std::cerr << "tessel-dictc: " << where << ": " << what << "\n";
  std::exit(1);
}

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  if (!line.empty() && line.back() == '\t') fields.emplace_back();
  return fields;
}

int16_t vr_code(const std::string& text, const std::string& where) {
  for (int16_t i = 0; i < 28; ++i) {
    if (text == kVrTexts[i]) return i;
  }
  fail(where, "unknown VR '" + text + "'");
}

int vm_value(const std::string& text, const std::string& where) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 0 || value > 255)
    fail(where, "bad VM '" + text + "'");
  return static_cast<int>(value);
}

uint32_t tag_value(const std::string& text, const std::string& where) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 16);
  if (text.size() != 8 || *end != '\0') fail(where, "bad tag '" + text + "'");
  return static_cast<uint32_t>(value);
}

// Reads rows of a TSV whose header line starts with "tag" (standard) or "creator" (private).
void read_rows(const std::string& path, bool is_private, std::vector<Row>& rows) {
  std::ifstream in(path);
  if (!in) fail(path, "cannot open");
  std::string line;
  int number = 0;
  bool header_seen = false;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    if (!header_seen) {
      header_seen = true;
      continue;
    }
    const std::string where = path + ":" + std::to_string(number);
    const std::vector<std::string> f = split_tabs(line);
    Row row;
    if (is_private) {
      if (f.size() < 6) fail(where, "expected 6 columns");
      row.creator = f[0];
      row.tag = tag_value(f[1], where);
      row.vr = vr_code(f[2], where);
      row.vm_low = vm_value(f[3], where);
      row.vm_high = vm_value(f[4], where);
      row.name = f[5];
      if (!format::is_private_group(row.tag >> 16)) fail(where, "tag is not private");
      if (row.creator.empty()) fail(where, "empty creator");
    } else {
      if (f.size() < 6) fail(where, "expected 7 columns");
      row.tag = tag_value(f[0], where);
      row.vr = vr_code(f[1], where);
      row.vm_low = vm_value(f[2], where);
      row.vm_high = vm_value(f[3], where);
      row.name = f[5];
      if (format::is_private_group(row.tag >> 16)) fail(where, "standard tag in a private group");
    }
    rows.push_back(std::move(row));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: tessel-dictc STANDARD.tsv PRIVATE.tsv OUTPUT\n";
    return 2;
  }
  std::vector<Row> rows;
  read_rows(argv[1], false, rows);
  read_rows(argv[2], true, rows);
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    // Standard rows (empty creator) before private rows; private rows by creator, then tag.
    return std::make_tuple(!a.creator.empty(), a.creator, a.tag) <
           std::make_tuple(!b.creator.empty(), b.creator, b.tag);
  });
  for (size_t i = 1; i < rows.size(); ++i) {
    if (rows[i].tag == rows[i - 1].tag && rows[i].creator == rows[i - 1].creator) {
      char tag[16];
      std::snprintf(tag, sizeof tag, "%08X", rows[i].tag);
      fail(argv[1], std::string("duplicate entry ") + tag + " " + rows[i].creator);
    }
  }
  std::string out;
  format::append_record(out, format::kTerminatedNameMarker, 0, 0, 0, "Tessel data dictionary",
                        nullptr);
  for (const Row& row : rows) {
    format::append_record(out, row.tag, row.vr, static_cast<uint8_t>(row.vm_low),
                          static_cast<uint8_t>(row.vm_high), row.name,
                          row.creator.empty() ? nullptr : &row.creator);
  }
  std::ofstream file(argv[3], std::ios::binary | std::ios::trunc);
  file.write(out.data(), static_cast<std::streamsize>(out.size()));
  if (!file) fail(argv[3], "cannot write");
  std::cout << "tessel-dictc: " << rows.size() << " entries, " << out.size() << " bytes\n";
  return 0;
}
