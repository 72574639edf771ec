#include "tests/files/files_support.hpp"

#include <algorithm>
#include <cstring>

#include "data/objects.hpp"
#include "memory/pool.hpp"

namespace tessel::test {
namespace {

uint64_t live_object_memory() {
  using memory::PoolId;
  uint64_t live = 0;
  for (size_t i = 0; i < memory::kPoolCount; ++i) {
    const auto pool = static_cast<PoolId>(i);
    if (pool <= PoolId::bPixel || pool == PoolId::TagObj || pool == PoolId::MsgObj ||
        pool == PoolId::CBObj || pool == PoolId::FileObj || pool == PoolId::FileValueObj) {
      live += memory::pool_stats(pool).live_objects;
    }
  }
  return live + memory::direct_stats().count;
}

bool long_form(const std::string& vr) {
  return vr == "OB" || vr == "OW" || vr == "OF" || vr == "OL" || vr == "SQ" || vr == "UT" ||
         vr == "UN";
}

class Reader {
 public:
  Reader(const std::string& bytes, size_t position) : bytes_(bytes), position_(position) {}
  bool at_end() const { return position_ >= bytes_.size(); }
  size_t position() const { return position_; }
  bool has(size_t n) const { return bytes_.size() - position_ >= n; }
  uint16_t u16(bool little) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes_.data() + position_);
    position_ += 2;
    return little ? static_cast<uint16_t>(p[0] | p[1] << 8)
                  : static_cast<uint16_t>(p[1] | p[0] << 8);
  }
  uint32_t u32(bool little) {
    const uint32_t a = u16(little);
    const uint32_t b = u16(little);
    return little ? (a | b << 16) : (a << 16 | b);
  }
  std::string take(size_t n) {
    std::string out = bytes_.substr(position_, n);
    position_ += n;
    return out;
  }
  void skip(size_t n) { position_ += n; }

 private:
  const std::string& bytes_;
  size_t position_;
};

// Reads one element header and its value; false (with a failure) when it does not fit.
bool read_element(Reader& in, const Encoding& encoding, ParsedElement* out);

// Steps over the items of an undefined-length value up to its sequence delimiter.
bool skip_undefined(Reader& in, const Encoding& encoding) {
  while (in.has(8)) {
    const uint32_t tag = static_cast<uint32_t>(in.u16(encoding.little_endian)) << 16 |
                         in.u16(encoding.little_endian);
    const uint32_t length = in.u32(encoding.little_endian);
    if (tag == 0xFFFEE0DD) return true;
    if (tag != 0xFFFEE000) {
      ADD_FAILURE() << "item tag expected, found " << std::hex << tag;
      return false;
    }
    if (length != 0xFFFFFFFF) {
      if (!in.has(length)) return false;
      in.skip(length);
      continue;
    }
    // An undefined-length item: its elements up to the item delimiter.
    for (;;) {
      if (!in.has(8)) return false;
      Reader peek(in);
      const uint32_t inner = static_cast<uint32_t>(peek.u16(encoding.little_endian)) << 16 |
                             peek.u16(encoding.little_endian);
      if (inner == 0xFFFEE00D) {
        in.skip(8);
        break;
      }
      ParsedElement ignored{};
      if (!read_element(in, encoding, &ignored)) return false;
    }
  }
  return false;
}

bool read_element(Reader& in, const Encoding& encoding, ParsedElement* out) {
  const bool little = encoding.little_endian;
  if (!in.has(8)) {
    ADD_FAILURE() << "element header cut at " << in.position();
    return false;
  }
  out->offset = in.position();
  out->tag = static_cast<uint32_t>(in.u16(little)) << 16 | in.u16(little);
  out->vr.clear();
  out->value.clear();
  if (encoding.explicit_vr && (out->tag >> 16) != 0xFFFE) {
    out->vr = in.take(2);
    if (long_form(out->vr)) {
      in.skip(2);
      if (!in.has(4)) return false;
      out->length = in.u32(little);
    } else {
      out->length = in.u16(little);
    }
  } else {
    out->length = in.u32(little);
  }
  if (out->length == 0xFFFFFFFF) return skip_undefined(in, encoding);
  if (!in.has(out->length)) {
    ADD_FAILURE() << "value of " << std::hex << out->tag << " cut";
    return false;
  }
  if (out->vr == "SQ") {
    in.skip(out->length);
  } else {
    out->value = in.take(out->length);
  }
  return true;
}

}  // namespace

void FilesTest::SetUp() {
  library_ = std::make_unique<LibraryScope>(shipped_ini());
  ASSERT_EQ(library_->status(), kOk);
  live_at_start_ = live_object_memory();
}

void FilesTest::TearDown() {
  for (auto it = objects_.rbegin(); it != objects_.rend(); ++it) {
    int32_t id = *it;
    if (data::find_object(id) != nullptr) {
      EXPECT_EQ(CV_Free_Message(&id), kOk);
    }
  }
  for (int32_t app : applications_) {
    int32_t id = app;
    EXPECT_EQ(CV_Release_Application(&id), kOk);
  }
  // Every object, attribute record and value went back to its pool (the file headers are
  // checked by the leak sanitizer).
  EXPECT_EQ(live_object_memory(), live_at_start_);
  library_.reset();
}

int32_t FilesTest::create_empty_file(const std::string& name) {
  int32_t id = -1;
  EXPECT_EQ(CV_Create_Empty_File(&id, name.c_str()), kOk);
  track(id);
  return id;
}

int32_t FilesTest::open_empty_message() {
  int32_t id = -1;
  EXPECT_EQ(CV_Open_Empty_Message(&id), kOk);
  track(id);
  return id;
}

void FilesTest::free_now(int32_t id) {
  objects_.erase(std::remove(objects_.begin(), objects_.end(), id), objects_.end());
  int32_t copy = id;
  EXPECT_EQ(CV_Free_Message(&copy), kOk);
}

int32_t FilesTest::register_application(const char* title) {
  int32_t app = -1;
  EXPECT_EQ(CV_Register_Application(&app, title), kOk);
  applications_.push_back(app);
  live_at_start_ = live_object_memory();
  return app;
}

data::MsgObj& FilesTest::object(int32_t id) {
  data::MsgObj* object = data::find_object(id);
  EXPECT_NE(object, nullptr);
  return *object;
}

void FilesTest::set_bool(int32_t parm, bool on) {
  ASSERT_EQ(CV_Set_Bool_Config_Value(parm, on ? 1 : 0), kOk);
}

int32_t FilesTest::create_filled_file(int32_t syntax, const std::string& name) {
  const int32_t id = create_empty_file(name);
  EXPECT_EQ(CV_Set_Value_From_String(id, 0x00020002, kCtImageStorage), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(id, 0x00020003, "1.2.3.4.5"), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(id, 0x00020010, syntax_uid(syntax).c_str()), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(id, 0x00080016, kCtImageStorage), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(id, 0x00080018, "1.2.3.4.5"), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(id, 0x00100010, "Doe^Jane"), kOk);
  return id;
}

int32_t MemorySink::write(const char* file_name, void* user_info, uint32_t data_size, void* data,
                          int32_t is_first, int32_t is_last) {
  auto* sink = static_cast<MemorySink*>(user_info);
  if (static_cast<int>(sink->sizes.size()) == sink->refuse_at) return CV_CALLBACK_CANNOT_COMPLY;
  sink->bytes.append(static_cast<const char*>(data), data_size);
  sink->sizes.push_back(data_size);
  sink->first_flags.push_back(is_first);
  sink->last_flags.push_back(is_last);
  sink->names.emplace_back(file_name != nullptr ? file_name : "<null>");
  return CV_NORMAL_COMPLETION;
}

int32_t MemorySource::read(const char*, void* user_info, uint32_t* data_size, void** data, int32_t,
                           int32_t* is_last) {
  auto* source = static_cast<MemorySource*>(user_info);
  ++source->calls;
  const size_t n = std::min(source->chunk, source->bytes.size() - source->position);
  *data_size = static_cast<uint32_t>(n);
  *data = source->bytes.data() + source->position;
  source->position += n;
  *is_last = source->position == source->bytes.size() ? 1 : 0;
  return CV_NORMAL_COMPLETION;
}

std::string syntax_uid(int32_t syntax) {
  char uid[65] = {};
  EXPECT_EQ(CV_Get_Transfer_Syntax_From_Enum(syntax, uid, sizeof uid), kOk);
  return uid;
}

std::string u16_bytes(uint16_t value, bool little_endian) {
  std::string out(2, '\0');
  out[little_endian ? 0 : 1] = static_cast<char>(value & 0xFF);
  out[little_endian ? 1 : 0] = static_cast<char>(value >> 8);
  return out;
}

std::string u32_bytes(uint32_t value, bool little_endian) {
  const std::string low = u16_bytes(static_cast<uint16_t>(value & 0xFFFF), little_endian);
  const std::string high = u16_bytes(static_cast<uint16_t>(value >> 16), little_endian);
  return little_endian ? low + high : high + low;
}

std::string element(const Encoding& encoding, uint32_t tag, const char* vr,
                    const std::string& value) {
  const bool little = encoding.little_endian;
  std::string out = u16_bytes(static_cast<uint16_t>(tag >> 16), little) +
                    u16_bytes(static_cast<uint16_t>(tag & 0xFFFF), little);
  const auto length = static_cast<uint32_t>(value.size());
  if (!encoding.explicit_vr) return out + u32_bytes(length, little) + value;
  out += vr;
  if (long_form(vr)) return out + std::string(2, '\0') + u32_bytes(length, little) + value;
  return out + u16_bytes(static_cast<uint16_t>(length), little) + value;
}

std::string file_preface(const std::string& prefix, char fill) {
  return std::string(128, fill) + prefix;
}

std::string padded(const std::string& text, char pad) {
  return text.size() % 2 == 0 ? text : text + pad;
}

std::string meta_group(const std::string& uid) {
  std::string body = element(kExplicitLittle, 0x00020001, "OB", std::string("\0\1", 2)) +
                     element(kExplicitLittle, 0x00020002, "UI", padded(kCtImageStorage, '\0')) +
                     element(kExplicitLittle, 0x00020003, "UI", padded("1.2.3.4.5", '\0')) +
                     element(kExplicitLittle, 0x00020010, "UI", padded(uid, '\0')) +
                     element(kExplicitLittle, 0x00020012, "UI", padded("1.2.3.999", '\0'));
  return element(kExplicitLittle, 0x00020000, "UL", u32_bytes(static_cast<uint32_t>(body.size()))) +
         body;
}

std::vector<ParsedElement> parse_file(const std::string& bytes, const Encoding& data_set) {
  std::vector<ParsedElement> elements;
  if (bytes.size() < 132) {
    ADD_FAILURE() << "no preamble and prefix";
    return elements;
  }
  Reader in(bytes, 132);
  bool meta = true;
  while (!in.at_end()) {
    // Group 0002 is always explicit VR little endian; peek at the group to pick the encoding.
    if (meta && in.has(2)) {
      Reader peek(bytes, in.position());
      if (peek.u16(true) != 0x0002) meta = false;
    }
    ParsedElement parsed{};
    if (!read_element(in, meta ? kExplicitLittle : data_set, &parsed)) break;
    elements.push_back(std::move(parsed));
  }
  return elements;
}

const ParsedElement* find_element(const std::vector<ParsedElement>& elements, uint32_t tag) {
  for (const ParsedElement& parsed : elements) {
    if (parsed.tag == tag) return &parsed;
  }
  return nullptr;
}

}  // namespace tessel::test
