// Writing Part 10 files: the meta values the library supplies, the trailing padding, the length
// of the file, and the encode in media mode through the application's sink.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "codec/encoder.hpp"
#include "codec/transfer_syntax.hpp"
#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "data/objects.hpp"
#include "data/value_callbacks.hpp"
#include "data/value_store.hpp"
#include "data/values.hpp"
#include "log/log.hpp"
#include "media/files.hpp"

#include "tessel/tessel.h"

namespace tessel::media {
namespace {

using data::MsgObj;
using data::TagObj;

constexpr const char* kMediaAttributes = "CVI_SetMediaAttributes";
constexpr uint32_t kMetaFirst = 0x00020000;
constexpr uint32_t kMetaLast = 0x0002FFFF;
constexpr uint32_t kDataSetFirst = 0x00030000;
constexpr uint32_t kLastTag = 0xFFFFFFFF;
constexpr uint32_t kPrefaceLength = 132;  // preamble and prefix
constexpr uint32_t kMaxUidLength = 64;

// Zeros handed out by the padding supplier; never written to.
constexpr uint8_t kZeros[4096] = {};

struct ZeroFill {
  uint32_t remaining;
};

int32_t supply_zeros(int32_t, uint32_t, int32_t, void* user_info, int32_t* data_size, void** data,
                     int32_t* is_last) {
  auto* fill = static_cast<ZeroFill*>(user_info);
  const uint32_t size = std::min<uint32_t>(fill->remaining, sizeof kZeros);
  fill->remaining -= size;
  *data_size = static_cast<int32_t>(size);
  // The value layer only copies from the chunk.
  *data = const_cast<uint8_t*>(kZeros);
  *is_last = fill->remaining == 0 ? 1 : 0;
  return CV_NORMAL_COMPLETION;
}

// Gives the padding attribute a value of `length` zero bytes.
Status set_padding(MsgObj& file, uint32_t length, const char* function) {
  ZeroFill fill{length};
  const Status set =
      data::set_value_from_function(file, kPaddingTag, &fill, supply_zeros, function);
  if (!set.ok()) {
    log::write(function, log::kError, "Error setting pad attribute (FFFC,FFFC) in file object: %s",
               CV_Error_Message(set.code()));
  }
  return set;
}

// Makes sure the file has an OB padding attribute (a padding attribute of another VR, as a file
// read in implicit VR may hold, is replaced).
Status add_padding(MsgObj& file, const char* function) {
  int32_t vr = -1;
  {
    core::LockHold hold(file.lock);
    const TagObj* record = data::find_attribute(file, kPaddingTag);
    if (record != nullptr) vr = record->vr;
  }
  if (vr == CV_VR_OB) return Status();
  Status added;
  if (vr >= 0) added = data::delete_attribute(file, kPaddingTag);
  if (added.ok()) added = data::add_attribute(file, kPaddingTag, CV_VR_OB, 1, 1, nullptr);
  if (!added.ok()) {
    log::write(function, log::kError, "Error adding pad attribute (FFFC,FFFC) to file object: %s",
               CV_Error_Message(added.code()));
  }
  return added;
}

// The value of (0002,0010) without trailing padding.
Status read_syntax_uid(MsgObj& file, std::string* uid) {
  char text[kMaxUidLength + 1] = {};
  uint32_t length = 0;
  TS_RETURN_IF_ERROR(
      data::get_value(file, kTransferSyntaxUid, CV_TYPE_STRING, false, sizeof text, text, &length));
  length = std::min<uint32_t>(length, kMaxUidLength);
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\0')) --length;
  uid->assign(text, length);
  return Status();
}

enum class MetaState { kAbsent, kEmpty, kPresent };

// Whether a text meta attribute holds a value.
Status text_meta_state(MsgObj& file, uint32_t tag, MetaState* state) {
  char text[2];
  uint32_t length = 0;
  const Status got = data::get_value(file, tag, CV_TYPE_STRING, false, sizeof text, text, &length);
  if (got.ok() || got.is(CV_BUFFER_TOO_SMALL)) {
    *state = MetaState::kPresent;
  } else if (got.is(CV_NO_VALUE_YET) || got.is(CV_NULL_VALUE)) {
    *state = MetaState::kEmpty;
  } else if (got.is(CV_INVALID_TAG)) {
    *state = MetaState::kAbsent;
  } else {
    return got;
  }
  return Status();
}

// Supplies a configured text for an empty meta attribute; an attribute the application deleted
// stays deleted. *read receives the failure to read the attribute, *set the failure to store
// the value (a value stored despite breaking its VR's rules counts as set: it is the
// configuration's).
void fill_text_meta(MsgObj& file, uint32_t tag, const std::string& value, Status* read,
                    Status* set) {
  MetaState state = MetaState::kPresent;
  *read = text_meta_state(file, tag, &state);
  *set = Status();
  if (!read->ok() || state != MetaState::kEmpty) return;
  const Status stored =
      data::set_value(file, tag, CV_TYPE_STRING, value.c_str(), false, kMediaAttributes);
  if (!stored.is(CV_INVALID_VALUE_FOR_VR) && !stored.is(CV_INVALID_CHARS_IN_VALUE)) *set = stored;
}

// The meta values the library supplies when the application left them empty.
Status set_media_attributes(MsgObj& file) {
  bool version_empty = false;
  {
    core::LockHold hold(file.lock);
    const TagObj* version = data::find_attribute(file, kMetaVersion);
    version_empty = version != nullptr && version->storage != data::kStoredByCallback &&
                    (version->value_count == 0 || version->length == 0);
  }
  if (version_empty) {
    static constexpr uint8_t kVersion[2] = {0x00, 0x01};
    const Status set = data::set_value_from_buffer(file, kMetaVersion, kVersion, sizeof kVersion,
                                                   kMediaAttributes);
    if (!set.ok()) {
      log::write(kMediaAttributes, log::kError,
                 "Error setting File meta info version to file object: %s",
                 CV_Error_Message(set.code()));
      return Status(CV_SYSTEM_ERROR);
    }
  }
  Status read;
  Status set;
  fill_text_meta(file, kImplementationClassUid, Cfg->str(IMPLEMENTATION_CLASS_UID), &read, &set);
  if (!read.ok()) {
    log::write(kMediaAttributes, log::kError,
               "Error getting Media Implementation Class UID from file object: %s",
               CV_Error_Message(read.code()));
    return Status(CV_SYSTEM_ERROR);
  }
  if (!set.ok()) {
    log::write(kMediaAttributes, log::kError, "Error Coding Implementation Class UID field: %s",
               CV_Error_Message(set.code()));
    return Status(CV_SYSTEM_ERROR);
  }
  fill_text_meta(file, kImplementationVersionName, Cfg->str(IMPLEMENTATION_VERSION), &read, &set);
  if (!read.ok()) {
    log::write(kMediaAttributes, log::kError,
               "Error getting Media Implementation Version Name from file object: %s",
               CV_Error_Message(read.code()));
    return Status(CV_SYSTEM_ERROR);
  }
  if (!set.ok()) {
    log::write(kMediaAttributes, log::kError, "Error Coding Implementation Version Name field: %s",
               CV_Error_Message(set.code()));
    return Status(CV_SYSTEM_ERROR);
  }
  return Status();
}

bool undefined_length_sequences(const MsgObj& file) {
  return Cfg->b(file.kind == data::ObjectKind::kDicomdir ? EXPORT_UNDEFINED_LENGTH_SQ_IN_DICOMDIR
                                                         : EXPORT_UNDEFINED_LENGTH_SQ);
}

// The OB, OW, OL and OF attributes of an object and of the items below it that are not bound to
// a value callback: those a binding made by this write would change.
void collect_unbound(MsgObj& object, std::vector<std::pair<MsgObj*, TagObj*>>& out, int depth) {
  // Items nested deeper than any real data set are left alone rather than risk the stack.
  if (depth > 64) return;
  std::vector<MsgObj*> items;
  {
    core::LockHold hold(object.lock);
    for (TagObj* record = object.first; record != nullptr; record = record->next) {
      if (data::is_bulk_vr(record->vr) && record->storage != data::kStoredByCallback) {
        out.emplace_back(&object, record);
      } else if (record->vr == CV_VR_SQ && record->storage == data::kStoredInMemory) {
        for (const data::ValueObj* node = record->head; node != nullptr; node = node->next) {
          const auto* ref = reinterpret_cast<const data::ItemRef*>(node->bytes);
          if (ref != nullptr && ref->item != nullptr) items.push_back(ref->item);
        }
      }
    }
  }
  for (MsgObj* item : items) collect_unbound(*item, out, depth + 1);
}

// Releases the bindings a failed write made.
void release_new_bindings(const std::vector<std::pair<MsgObj*, TagObj*>>& unbound) {
  for (const auto& [object, record] : unbound) {
    core::LockHold hold(object->lock);
    if (record->storage == data::kStoredByCallback) data::unbind_value_callback(*record);
  }
}

// The Part 10 length; `application` binds its callbacks as the values are measured.
Status measure_file(MsgObj& file, const core::Application* application, uint32_t* length,
                    const char* function) {
  *length = 0;
  std::string uid;
  if (!read_syntax_uid(file, &uid).ok()) return Status(CV_INVALID_TRANSFER_SYNTAX);
  int32_t syntax = 0;
  if (!codec::syntax_from_uid(uid.c_str(), &syntax).ok()) {
    log::write(function, log::kError, "Invalid transfer syntax UID encountered in file object: %s",
               uid.c_str());
    return Status(CV_INVALID_TRANSFER_SYNTAX);
  }
  codec::EncodeRequest request;
  request.mode = codec::ExportMode::kMedia;
  request.undefined_length_sequences = undefined_length_sequences(file);
  request.application = application;
  request.function = function;
  request.syntax = EXPLICIT_LITTLE_ENDIAN;
  uint32_t meta_length = 0;
  Status measured = codec::stream_length(file, kMetaFirst, kMetaLast, request, &meta_length);
  uint32_t data_set_length = 0;
  if (measured.ok()) {
    request.syntax = syntax;
    measured = codec::stream_length(file, kDataSetFirst, kLastTag, request, &data_set_length);
  }
  if (!measured.ok()) {
    log::write(function, log::kError, "Internal call to CV_Get_Stream_Length failed: %s",
               CV_Error_Message(measured.code()));
    return measured;
  }
  if (meta_length == data::kUndefinedLength || data_set_length == data::kUndefinedLength) {
    *length = data::kUndefinedLength;
    return Status();
  }
  const uint64_t total = uint64_t{kPrefaceLength} + meta_length + data_set_length;
  *length = total >= data::kUndefinedLength ? data::kUndefinedLength : static_cast<uint32_t>(total);
  return Status();
}

// The write once the file header is known: padding, meta values, the final padding length and
// the encode.
Status write_contents(MsgObj& file, const WriteRequest& request, const std::string& file_name) {
  const char* function = request.function;
  const int32_t pad = request.pad_length;
  if (pad > 0) {
    TS_RETURN_IF_ERROR(add_padding(file, function));
    TS_RETURN_IF_ERROR(set_padding(file, 2, function));
  }

  std::string uid;
  const Status read = read_syntax_uid(file, &uid);
  if (!read.ok()) {
    log::write(function, log::kError, "Unable to get transfer syntax UID in file object:  %s",
               CV_Error_Message(read.code()));
    return read;
  }
  int32_t syntax = 0;
  if (!codec::syntax_from_uid(uid.c_str(), &syntax).ok()) {
    log::write(function, log::kError, "Unknown transfer syntax UID in file object:  %s",
               uid.c_str());
    return Status(CV_INVALID_TRANSFER_SYNTAX);
  }
  TS_RETURN_IF_ERROR(set_media_attributes(file));

  if (pad > 0) {
    // The length counts the provisional 2-byte value; the final value makes the whole file a
    // multiple of the pad length and is never shorter than 2 bytes. A file of undefined length
    // keeps the provisional value.
    uint32_t length = 0;
    TS_RETURN_IF_ERROR(measure_file(file, request.application, &length, function));
    if (length != data::kUndefinedLength) {
      const uint32_t unit = static_cast<uint32_t>(pad);
      const uint32_t rest = (length - 2) % unit;
      TS_RETURN_IF_ERROR(set_padding(file, rest == 0 ? unit : unit - rest, function));
    }
  }

  codec::EncodeRequest encode;
  encode.mode = codec::ExportMode::kMedia;
  encode.syntax = syntax;
  encode.file_header = true;
  encode.undefined_length_sequences = undefined_length_sequences(file);
  encode.application = request.application;
  encode.function = function;
  encode.file_sink = request.sink;
  encode.file_name = file_name.c_str();
  encode.user_info = request.user_info;
  return codec::encode(file, 0, kLastTag, encode);
}

}  // namespace

Status file_length(MsgObj& file, uint32_t* length, const char* function) {
  return measure_file(file, nullptr, length, function);
}

Status write_file(MsgObj& file, const WriteRequest& request) {
  const int32_t pad = request.pad_length;
  if (pad < 0 || pad % 2 != 0 || pad > Cfg->i(WORK_BUFFER_SIZE)) {
    return Status(CV_INVALID_PAD_SIZE);
  }
  std::string file_name;
  {
    core::LockHold hold(file.lock);
    const FileInfo* info = file_info(file);
    if (info == nullptr) return Status(CV_INVALID_FILE_ID);
    file_name = info->file_name;
  }
  // The application's callbacks are bound as the values are measured and written; knowing what
  // was unbound before lets a failed write release exactly the bindings it made.
  std::vector<std::pair<MsgObj*, TagObj*>> unbound;
  if (request.application != nullptr) collect_unbound(file, unbound, 0);
  const Status written = write_contents(file, request, file_name);
  if (!written.ok()) release_new_bindings(unbound);
  return written;
}

}  // namespace tessel::media
