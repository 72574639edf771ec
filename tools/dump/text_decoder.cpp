#include "tools/dump/text_decoder.hpp"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace tessel_tools {
namespace {

constexpr const char* kDefault = "ISO-8859-1";
constexpr char kEsc = '\x1b';

struct TermEncoding {
  const char* term;
  const char* encoding;
};

// Defined terms of (0008,0005) and the iconv encodings that read them. JIS X 0201 is read as
// CP932, which, unlike SHIFT_JIS in iconv, keeps 0x5C and 0x7E as ASCII.
constexpr TermEncoding kTerms[] = {
    {"", kDefault},
    {"ISO_IR 6", kDefault},
    {"ISO 2022 IR 6", kDefault},
    {"ISO_IR 13", "CP932"},
    {"ISO 2022 IR 13", "CP932"},
    {"ISO_IR 100", "ISO-8859-1"},
    {"ISO 2022 IR 100", "ISO-8859-1"},
    {"ISO_IR 101", "ISO-8859-2"},
    {"ISO 2022 IR 101", "ISO-8859-2"},
    {"ISO_IR 109", "ISO-8859-3"},
    {"ISO 2022 IR 109", "ISO-8859-3"},
    {"ISO_IR 110", "ISO-8859-4"},
    {"ISO 2022 IR 110", "ISO-8859-4"},
    {"ISO_IR 126", "ISO-8859-7"},
    {"ISO 2022 IR 126", "ISO-8859-7"},
    {"ISO_IR 127", "ISO-8859-6"},
    {"ISO 2022 IR 127", "ISO-8859-6"},
    {"ISO_IR 138", "ISO-8859-8"},
    {"ISO 2022 IR 138", "ISO-8859-8"},
    {"ISO_IR 144", "ISO-8859-5"},
    {"ISO 2022 IR 144", "ISO-8859-5"},
    {"ISO_IR 148", "ISO-8859-9"},
    {"ISO 2022 IR 148", "ISO-8859-9"},
    {"ISO_IR 166", "TIS-620"},
    {"ISO 2022 IR 166", "TIS-620"},
    {"ISO_IR 203", "ISO-8859-15"},
    {"ISO 2022 IR 203", "ISO-8859-15"},
    {"ISO 2022 IR 87", "ISO-2022-JP"},
    {"ISO 2022 IR 159", "ISO-2022-JP-2"},
    {"ISO 2022 IR 149", "EUC-KR"},
    {"ISO 2022 IR 58", "GB2312"},
    {"ISO_IR 192", "UTF-8"},
    {"GB18030", "GB18030"},
    {"GBK", "GBK"},
};

struct EscapeEncoding {
  const char* sequence;  // after ESC
  const char* encoding;
  bool keep_sequence;  // the iconv encoding reads the escape sequence itself
};

constexpr EscapeEncoding kEscapes[] = {
    {"(B", kDefault, false},     {"-A", "ISO-8859-1", false}, {"-B", "ISO-8859-2", false},
    {"-C", "ISO-8859-3", false}, {"-D", "ISO-8859-4", false}, {"-F", "ISO-8859-7", false},
    {"-G", "ISO-8859-6", false}, {"-H", "ISO-8859-8", false}, {"-L", "ISO-8859-5", false},
    {"-M", "ISO-8859-9", false}, {"-T", "TIS-620", false},    {")I", "CP932", false},
    {"(J", "CP932", false},      {"$B", "ISO-2022-JP", true}, {"$(D", "ISO-2022-JP-2", true},
    {"$)C", "EUC-KR", false},    {"$)A", "GB2312", false},
};

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

void append_replacement(std::string* out) {
  out->append("\xEF\xBF\xBD");
}

// Converts with iconv; each byte that cannot be read becomes U+FFFD.
std::string convert(const char* encoding, const char* data, size_t size) {
  std::string out;
  iconv_t cd = iconv_open("UTF-8", encoding);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    for (size_t i = 0; i < size; ++i) {
      const unsigned char byte = static_cast<unsigned char>(data[i]);
      if (byte < 0x80) {
        out.push_back(static_cast<char>(byte));
      } else {
        out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
        out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
      }
    }
    return out;
  }
  char* in = const_cast<char*>(data);
  size_t in_left = size;
  char buffer[1024];
  while (in_left > 0) {
    char* at = buffer;
    size_t out_left = sizeof buffer;
    const size_t done = iconv(cd, &in, &in_left, &at, &out_left);
    out.append(buffer, static_cast<size_t>(at - buffer));
    if (done != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    append_replacement(&out);  // EILSEQ or EINVAL: skip one byte
    ++in;
    --in_left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  char* at = buffer;
  size_t out_left = sizeof buffer;
  iconv(cd, nullptr, nullptr, &at, &out_left);
  out.append(buffer, static_cast<size_t>(at - buffer));
  iconv_close(cd);
  return out;
}

bool plain_ascii(const std::string& bytes) {
  for (const char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == kEsc) return false;
  }
  return true;
}

}  // namespace

TextDecoder::TextDecoder(const std::vector<std::string>& terms) {
  for (const std::string& raw : terms) {
    const std::string term = trimmed(raw);
    const char* encoding = kDefault;
    for (const TermEncoding& entry : kTerms) {
      if (term == entry.term) encoding = entry.encoding;
    }
    encodings_.emplace_back(encoding);
  }
  if (encodings_.empty()) encodings_.emplace_back(kDefault);
}

std::string TextDecoder::decode_default(const std::string& bytes) {
  if (plain_ascii(bytes)) return bytes;
  return convert(kDefault, bytes.data(), bytes.size());
}

std::string TextDecoder::decode(const std::string& bytes, const char* delimiters) const {
  if (plain_ascii(bytes)) return bytes;
  const std::string& first = encodings_.front();
  if (bytes.find(kEsc) == std::string::npos) {
    return convert(first.c_str(), bytes.data(), bytes.size());
  }

  std::string out;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t end = bytes.find(kEsc, at + 1);
    if (end == std::string::npos) end = bytes.size();
    const std::string part = bytes.substr(at, end - at);
    at = end;
    if (part[0] != kEsc) {
      out += convert(first.c_str(), part.data(), part.size());
      continue;
    }
    const EscapeEncoding* match = nullptr;
    for (const EscapeEncoding& entry : kEscapes) {
      const size_t n = std::strlen(entry.sequence);
      if (part.size() > n && part.compare(1, n, entry.sequence) == 0) match = &entry;
    }
    bool declared = false;
    if (match != nullptr) {
      // A return to ASCII is always understood; other sets only when (0008,0005) names them.
      declared = std::strcmp(match->sequence, "(B") == 0;
      for (const std::string& encoding : encodings_) {
        declared = declared || encoding == match->encoding;
      }
    }
    if (!declared) {
      out += convert(first.c_str(), part.data(), part.size());
      continue;
    }
    if (match->keep_sequence) {
      out += convert(match->encoding, part.data(), part.size());
      continue;
    }
    const std::string body = part.substr(1 + std::strlen(match->sequence));
    const size_t delimiter = body.find_first_of(delimiters);
    if (delimiter == std::string::npos) {
      out += convert(match->encoding, body.data(), body.size());
    } else {
      out += convert(match->encoding, body.data(), delimiter);
      out += convert(first.c_str(), body.data() + delimiter, body.size() - delimiter);
    }
  }
  return out;
}

}  // namespace tessel_tools
