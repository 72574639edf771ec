#include "tests/decoder/decoder_support.hpp"

#include <zlib.h>

#include <cstring>
#include <memory>
#include <sstream>

#include "config/config_record.hpp"
#include "data/objects.hpp"
#include "data/value_store.hpp"
#include "data/vr.hpp"
#include "tests/support/test_env.hpp"

namespace tessel::test {
namespace {

bool long_form(const std::string& vr) {
  static const char* const kLong[] = {"OB", "OW", "OL", "OF", "SQ", "UT", "UN",
                                      "UC", "UR", "OD", "OV", "SV", "UV"};
  for (const char* v : kLong) {
    if (vr == v) return true;
  }
  return false;
}

// One library initialisation for the whole program.
class LibraryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    scope_ = std::make_unique<LibraryScope>(shipped_ini());
    ASSERT_EQ(scope_->status(), CV_NORMAL_COMPLETION);
    codec::install_decoder_hooks();
  }
  void TearDown() override { scope_.reset(); }

 private:
  std::unique_ptr<LibraryScope> scope_;
};

[[maybe_unused]] ::testing::Environment* const kLibraryEnvironment =
    ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

void dump_into(std::ostringstream& out, int32_t id, int depth) {
  data::MsgObj& object = object_of(id);
  for (data::TagObj* a = object.first; a != nullptr; a = a->next) {
    out << std::string(static_cast<size_t>(depth) * 2, ' ') << std::hex << a->tag << std::dec << ' '
        << data::vr_text(a->vr) << " n=" << a->value_count << " len=" << a->length
        << " s=" << a->storage << ':';
    if (a->vr == CV_VR_SQ) {
      out << '\n';
      for (int32_t item : items_of(id, a->tag)) {
        out << std::string(static_cast<size_t>(depth) * 2, ' ') << "item\n";
        dump_into(out, item, depth + 1);
      }
      continue;
    }
    // Text values are one node each; binary and opaque values are compared as their bytes,
    // whatever pieces they were stored in.
    const bool per_node = data::is_text_vr(a->vr);
    out << '[';
    for (data::ValueObj* node = a->head; node != nullptr; node = node->next) {
      for (uint32_t i = 0; i < node->length; ++i) {
        out << static_cast<char>("0123456789abcdef"[node->bytes[i] >> 4])
            << static_cast<char>("0123456789abcdef"[node->bytes[i] & 15]);
      }
      if (per_node && node->next != nullptr) out << "][";
    }
    out << "]\n";
  }
}

}  // namespace

StreamBuilder StreamBuilder::of(int32_t syntax) {
  switch (syntax) {
    case IMPLICIT_LITTLE_ENDIAN:
      return StreamBuilder(false, false);
    case EXPLICIT_BIG_ENDIAN:
      return StreamBuilder(true, true);
    case IMPLICIT_BIG_ENDIAN:
      return StreamBuilder(false, true);
    default:
      return StreamBuilder(true, false);
  }
}

StreamBuilder& StreamBuilder::u16(uint16_t value) {
  const char b[2] = {static_cast<char>(big_endian_ ? value >> 8 : value & 0xFF),
                     static_cast<char>(big_endian_ ? value & 0xFF : value >> 8)};
  bytes_.append(b, 2);
  return *this;
}

StreamBuilder& StreamBuilder::u32(uint32_t value) {
  if (big_endian_) {
    u16(static_cast<uint16_t>(value >> 16));
    return u16(static_cast<uint16_t>(value));
  }
  u16(static_cast<uint16_t>(value));
  return u16(static_cast<uint16_t>(value >> 16));
}

StreamBuilder& StreamBuilder::raw(const std::string& bytes) {
  bytes_ += bytes;
  return *this;
}

StreamBuilder& StreamBuilder::tag(uint32_t tag) {
  u16(static_cast<uint16_t>(tag >> 16));
  return u16(static_cast<uint16_t>(tag));
}

StreamBuilder& StreamBuilder::header(uint32_t t, const char* vr, uint32_t length) {
  tag(t);
  if (!explicit_vr_ || (t >> 16) == 0xFFFE) return u32(length);
  bytes_.append(vr, 2);
  if (long_form(vr)) {
    u16(0);
    return u32(length);
  }
  return u16(static_cast<uint16_t>(length));
}

StreamBuilder& StreamBuilder::element(uint32_t t, const char* vr, const std::string& value) {
  header(t, vr, static_cast<uint32_t>(value.size()));
  return raw(value);
}

StreamBuilder& StreamBuilder::text(uint32_t t, const char* vr, const std::string& value) {
  std::string padded = value;
  if (padded.size() % 2 != 0) padded.push_back(std::strcmp(vr, "UI") == 0 ? '\0' : ' ');
  return element(t, vr, padded);
}

StreamBuilder& StreamBuilder::us(uint32_t t, std::initializer_list<uint16_t> values) {
  header(t, "US", static_cast<uint32_t>(values.size() * 2));
  for (uint16_t v : values) u16(v);
  return *this;
}

StreamBuilder& StreamBuilder::ul(uint32_t t, std::initializer_list<uint32_t> values) {
  header(t, "UL", static_cast<uint32_t>(values.size() * 4));
  for (uint32_t v : values) u32(v);
  return *this;
}

StreamBuilder& StreamBuilder::ow(uint32_t t, std::initializer_list<uint16_t> words) {
  header(t, "OW", static_cast<uint32_t>(words.size() * 2));
  for (uint16_t w : words) u16(w);
  return *this;
}

StreamBuilder& StreamBuilder::sequence(uint32_t t, uint32_t length, const char* vr) {
  return header(t, vr, length);
}

StreamBuilder& StreamBuilder::item(uint32_t length) {
  tag(0xFFFEE000);
  return u32(length);
}

StreamBuilder& StreamBuilder::item(const StreamBuilder& content) {
  item(static_cast<uint32_t>(content.size()));
  return raw(content.bytes());
}

StreamBuilder& StreamBuilder::item_end() {
  tag(0xFFFEE00D);
  return u32(0);
}

StreamBuilder& StreamBuilder::sequence_end() {
  tag(0xFFFEE0DD);
  return u32(0);
}

StreamBuilder& StreamBuilder::sequence_of(uint32_t t, std::initializer_list<StreamBuilder> items) {
  StreamBuilder content = fresh();
  for (const StreamBuilder& i : items) content.item(i);
  sequence(t, static_cast<uint32_t>(content.size()));
  return raw(content.bytes());
}

std::string deflate_raw(const std::string& bytes) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY),
            Z_OK);
  std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())) + 16, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

int32_t CV_CALL ChunkSource::source(int32_t, void* user_info, int32_t, uint32_t* data_size,
                                    void** data, int32_t* is_last) {
  auto* self = static_cast<ChunkSource*>(user_info);
  const size_t call = self->calls++;
  if (self->fail_at_call >= 0 && call == static_cast<size_t>(self->fail_at_call)) {
    return CV_CALLBACK_CANNOT_COMPLY;
  }
  size_t size = self->bytes.size() - self->position;
  if (!self->sizes.empty()) {
    const size_t wanted = self->sizes[call < self->sizes.size() ? call : self->sizes.size() - 1];
    if (wanted < size) size = wanted;
  }
  *data_size = static_cast<uint32_t>(size);
  *data = self->null_buffer ? nullptr : self->bytes.data() + self->position;
  self->position += size;
  *is_last = self->position == self->bytes.size() ? 1 : 0;
  return CV_NORMAL_COMPLETION;
}

Decoded decode_stream(int32_t msg_id, const std::string& bytes, int32_t syntax,
                      std::vector<uint32_t> sizes, uint32_t start_tag, uint32_t stop_tag) {
  ChunkSource source{bytes, std::move(sizes)};
  Decoded result;
  result.status =
      CV_Stream_To_Message_With_Offset(msg_id, start_tag, stop_tag, syntax, &result.error_tag,
                                       &result.offset, &source, ChunkSource::source);
  return result;
}

Decoded decode_internal(data::MsgObj& object, const std::string& bytes,
                        codec::DecodeRequest request, std::vector<uint32_t> sizes) {
  ChunkSource source{bytes, std::move(sizes)};
  request.message_source = ChunkSource::source;
  request.user_info = &source;
  codec::DecodeResult out;
  Decoded result;
  result.status = codec::decode(object, request, &out).code();
  result.error_tag = out.error_tag;
  result.offset = out.stop_offset;
  return result;
}

int32_t open_message() {
  int32_t id = -1;
  EXPECT_EQ(CV_Open_Empty_Message(&id), CV_NORMAL_COMPLETION);
  return id;
}

data::MsgObj& object_of(int32_t id) {
  data::MsgObj* object = data::find_object(id);
  if (object == nullptr) throw std::runtime_error("no object " + std::to_string(id));
  return *object;
}

data::TagObj* attribute_of(int32_t id, uint32_t tag) {
  return data::find_attribute(object_of(id), tag);
}

int32_t vr_of(int32_t id, uint32_t tag) {
  const data::TagObj* a = attribute_of(id, tag);
  return a == nullptr ? -1 : a->vr;
}

std::vector<std::string> texts_of(int32_t id, uint32_t tag) {
  std::vector<std::string> out;
  const data::TagObj* a = attribute_of(id, tag);
  if (a == nullptr) return out;
  for (const data::ValueObj* node = a->head; node != nullptr; node = node->next) {
    out.emplace_back(reinterpret_cast<const char*>(node->bytes), node->length);
  }
  return out;
}

std::string bytes_of(int32_t id, uint32_t tag) {
  std::string out;
  const data::TagObj* a = attribute_of(id, tag);
  if (a == nullptr) return out;
  for (const data::ValueObj* node = a->head; node != nullptr; node = node->next) {
    out.append(reinterpret_cast<const char*>(node->bytes), node->length);
  }
  return out;
}

std::vector<int32_t> items_of(int32_t id, uint32_t tag) {
  std::vector<int32_t> out;
  const data::TagObj* a = attribute_of(id, tag);
  if (a == nullptr || a->vr != CV_VR_SQ) return out;
  for (const data::ValueObj* node = a->head; node != nullptr; node = node->next) {
    if (node->bytes != nullptr)
      out.push_back(reinterpret_cast<const data::ItemRef*>(node->bytes)->item_id);
  }
  return out;
}

std::string dump_object(int32_t id) {
  std::ostringstream out;
  dump_into(out, id, 0);
  return out.str();
}

BoolSetting::BoolSetting(int32_t parameter, bool value)
    : parameter_(parameter), saved_(Cfg->bools[static_cast<size_t>(parameter)]) {
  Cfg->bools[static_cast<size_t>(parameter)] = value ? 1 : 0;
}

BoolSetting::~BoolSetting() {
  Cfg->bools[static_cast<size_t>(parameter_)] = saved_;
}

}  // namespace tessel::test
