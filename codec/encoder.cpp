// The element walk of the encoder. Every encode makes two walks over the same elements: the
// first measures what will be written (sequence, item and group lengths, callback lengths) and
// records the lengths in walk order; the second writes, taking each length from that record.
// So every length is computed once, however deep the sequences nest, and nothing is allocated
// per element.
#include "codec/encoder.hpp"

#include <atomic>
#include <bit>
#include <cctype>
#include <cstring>
#include <utility>
#include <vector>

#include "codec/encoder_context.hpp"
#include "codec/transfer_syntax.hpp"
#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "data/objects.hpp"
#include "data/private_blocks.hpp"
#include "data/value_callbacks.hpp"
#include "data/value_store.hpp"
#include "data/vr.hpp"
#include "log/log.hpp"
#include "memory/oblist.hpp"

#include "tessel/tessel.h"

namespace tessel::codec {
namespace {

using data::ItemRef;
using data::MsgObj;
using data::TagObj;
using data::ValueObj;

constexpr uint32_t kUndefined = data::kUndefinedLength;
constexpr uint32_t kPixelData = 0x7FE00010;
constexpr uint32_t kFirstDeflatedGroup = 0x0004;
constexpr uint32_t kMetaGroup = 0x0002;
constexpr int32_t kMetaSyntax = 101;  // group 0002 of files: explicit VR little endian
constexpr uint32_t kShortLengthLimit = 0xFFFF;
constexpr uint16_t kItemGroup = 0xFFFE;
constexpr uint16_t kItemElement = 0xE000;
constexpr uint16_t kItemDelimiterElement = 0xE00D;
constexpr uint16_t kSequenceDelimiterElement = 0xE0DD;
constexpr uint32_t kCallbackBlockLimit = 0x7FFFFFFF;
// Encapsulated pixel data is stored as items in little endian whatever the syntax; a value that
// lacks its closing delimiter gets this one.
constexpr uint8_t kStoredSequenceDelimiter[8] = {0xFE, 0xFF, 0xDD, 0xE0, 0, 0, 0, 0};
constexpr size_t kNoSlot = static_cast<size_t>(-1);
constexpr uint8_t kZero = 0;
constexpr bool kHostBigEndian = std::endian::native == std::endian::big;

std::atomic<PendingStreamReader> g_pending_reader{nullptr};

struct Syntax {
  int32_t code;
  bool explicit_vr;
  bool big_endian;
  bool encapsulated;
};

Syntax syntax_of(int32_t code) {
  int32_t explicit_vr = 0;
  int32_t byte_order = kLittleEndian;
  int32_t encapsulated = 0;
  (void)CVI_GetSyntaxParmsForEnum(code, &explicit_vr, &byte_order, &encapsulated);
  return Syntax{code, explicit_vr != 0, byte_order == kBigEndian, encapsulated != 0};
}

// Encoded size of an element or a run of elements; `undefined` when some part of it has
// undefined length.
struct Size {
  uint64_t bytes = 0;
  bool undefined = false;
  void add(const Size& other) {
    bytes += other.bytes;
    undefined = undefined || other.undefined;
  }
};

uint32_t as_length(const Size& size) {
  return size.undefined || size.bytes >= kUndefined ? kUndefined
                                                    : static_cast<uint32_t>(size.bytes);
}

// Explicit VR: these VRs take two reserved bytes and a 32-bit length.
bool long_form(int32_t vr) {
  return vr == CV_VR_OB || vr == CV_VR_OW || vr == CV_VR_OL || vr == CV_VR_OF || vr == CV_VR_SQ ||
         vr == CV_VR_UT || vr == CV_VR_UN;
}

uint32_t header_size(const Syntax& syntax, int32_t vr) {
  return syntax.explicit_vr && long_form(vr) ? 12 : 8;
}

uint64_t even(uint64_t n) {
  return n + (n & 1U);
}

bool is_group_length(uint32_t tag) {
  return (tag & 0xFFFFU) == 0;
}

bool is_directory_offset_tag(uint32_t tag) {
  return tag == 0x00041200 || tag == 0x00041202 || tag == 0x00041400 || tag == 0x00041420 ||
         tag == 0x00041504;
}

MsgObj* item_of(const ValueObj* node) {
  if (node->bytes == nullptr) return nullptr;
  ItemRef ref;
  std::memcpy(&ref, node->bytes, sizeof ref);
  return ref.item;
}

// Text value length before padding: the values joined by backslashes.
uint64_t text_length(const TagObj& attribute) {
  if (attribute.storage == data::kStoredInFile) {
    const int32_t pieces = data::stored_piece_count(attribute);
    return uint64_t{attribute.length} + (pieces > 1 ? static_cast<uint64_t>(pieces - 1) : 0U);
  }
  uint64_t total = 0;
  uint64_t values = 0;
  for (const ValueObj* node = attribute.head; node != nullptr; node = node->next) {
    total += node->length;
    ++values;
  }
  return values > 0 ? total + values - 1 : 0;
}

// The last eight bytes written of a value, to see whether encapsulated data ends with its
// sequence delimiter.
class Tail {
 public:
  void update(const uint8_t* bytes, uint32_t length) {
    if (length >= 8) {
      std::memcpy(bytes_, bytes + length - 8, 8);
      size_ = 8;
      return;
    }
    const uint32_t keep = size_ + length > 8 ? 8 - length : size_;
    std::memmove(bytes_, bytes_ + (size_ - keep), keep);
    std::memcpy(bytes_ + keep, bytes, length);
    size_ = keep + length;
  }
  bool ends_with_delimiter() const {
    return size_ == 8 && std::memcmp(bytes_, kStoredSequenceDelimiter, 8) == 0;
  }

 private:
  uint8_t bytes_[8] = {};
  uint32_t size_ = 0;
};

// Where the elements of one object are written: the top level or the inside of an item.
struct Level {
  bool top;
  Syntax syntax;      // of the elements (top level of a file: group 0002 takes the meta syntax)
  bool encapsulated;  // whether pixel data at this level is encapsulated
};

// What the measuring walk learned about an element before sizing it.
struct Prepared {
  bool has_value = false;
  uint32_t callback_length = 0;
};

class Walker {
 public:
  Walker(const EncodeRequest& request, uint32_t start_tag, uint32_t end_tag)
      : request_(request),
        start_(start_tag),
        end_(end_tag),
        function_(request.function != nullptr ? request.function : "CV_Message_To_Stream"),
        meta_(syntax_of(kMetaSyntax)),
        data_set_(syntax_of(request.syntax)) {
    un_text_ = CVI_VRcodeToASCII(CV_VR_UN);
    if (Cfg != nullptr) {
      export_un_media_ = Cfg->b(EXPORT_UN_VR_TO_MEDIA);
      export_un_network_ = Cfg->b(EXPORT_UN_VR_TO_NETWORK);
      export_private_media_ = Cfg->b(EXPORT_PRIVATE_ATTRIBUTES_TO_MEDIA);
      export_private_network_ = Cfg->b(EXPORT_PRIVATE_ATTRIBUTES_TO_NETWORK);
      group_lengths_network_ = Cfg->b(EXPORT_GROUP_LENGTHS_TO_NETWORK);
      group_lengths_media_ = Cfg->b(EXPORT_GROUP_LENGTHS_TO_MEDIA);
    }
  }

  Level top_level() const { return Level{true, data_set_, data_set_.encapsulated}; }

  // Measures what would be written; with `record`, keeps the lengths the writing walk needs.
  Status measure(MsgObj& object, bool record, Size* size) {
    if (record) plan_.reserve(64);
    return measure_object(object, top_level(), record, size);
  }

  Status write(MsgObj& object, EncodeContext& context) {
    context_ = &context;
    meta_pending_ = request_.file_header;
    if (request_.file_header) TS_RETURN_IF_ERROR(write_file_header(object));
    if (context.deflating() && start_ >= (kFirstDeflatedGroup << 16)) {
      TS_RETURN_IF_ERROR(context.begin_deflated_part());
    }
    TS_RETURN_IF_ERROR(write_object(object, top_level()));
    if (next_ != plan_.size()) return plan_mismatch();
    return Status();
  }

  // Releases the value callbacks this encode bound (after a failure).
  void release_bindings() {
    for (auto& [object, attribute] : bound_) {
      core::LockHold hold(object->lock);
      data::unbind_value_callback(*attribute);
    }
    bound_.clear();
  }

 private:
  // ---- Filters -------------------------------------------------------------------------------

  bool included(const Level& level, uint32_t tag) const {
    if (!level.top || request_.inclusion_list == nullptr) return true;
    for (const uint32_t* entry = request_.inclusion_list; *entry != 0; ++entry) {
      if ((*entry & 0xFFFFU) == 0 ? (*entry >> 16) == (tag >> 16) : *entry == tag) return true;
    }
    return false;
  }

  bool un_kept(const TagObj& attribute) const {
    if (attribute.vr != CV_VR_UN) return true;
    switch (request_.mode) {
      case ExportMode::kMedia:
        return export_un_media_;
      case ExportMode::kNetwork:
        return export_un_network_;
      case ExportMode::kStream:
        break;
    }
    return true;
  }

  bool exported(const TagObj& attribute) const {
    if (!un_kept(attribute)) return false;
    if (!core::is_private_group(attribute.tag >> 16)) return true;
    switch (request_.mode) {
      case ExportMode::kMedia:
        return export_private_media_;
      case ExportMode::kNetwork:
        return export_private_network_;
      case ExportMode::kStream:
        break;
    }
    return true;
  }

  bool group_length_written(uint32_t group) const {
    if (group == 0x0000 || group == kMetaGroup) return true;
    if (request_.omit_group_lengths) return false;
    return request_.mode == ExportMode::kMedia ? group_lengths_media_ : group_lengths_network_;
  }

  const Syntax& syntax_for(const Level& level, uint32_t group) const {
    if (level.top && request_.file_header && group <= kMetaGroup) return meta_;
    return level.syntax;
  }

  // ---- Measuring walk --------------------------------------------------------------------------

  size_t reserve_slot(bool record) {
    if (!record) return kNoSlot;
    plan_.push_back(0);
    return plan_.size() - 1;
  }

  Status measure_object(MsgObj& object, const Level& level, bool record, Size* total) {
    PendingStreamBytes pending{nullptr, 0, 0};
    if (!level.top) TS_RETURN_IF_ERROR(pending_bytes(object, &pending));
    size_t group_slot = kNoSlot;
    uint32_t group_of_slot = 0;
    Size group_sum;
    for (TagObj* attribute = object.first; attribute != nullptr; attribute = attribute->next) {
      const uint32_t tag = attribute->tag;
      const uint32_t group = tag >> 16;
      if (group_slot != kNoSlot && group != group_of_slot) {
        plan_[group_slot] = as_length(group_sum);
        group_slot = kNoSlot;
      }
      if (level.top && tag < start_) continue;
      const bool in_range = !level.top || tag <= end_;
      if (!in_range && group_slot == kNoSlot) break;
      const bool written = in_range && included(level, tag) && exported(*attribute);
      const bool counted = group_slot != kNoSlot && un_kept(*attribute) && !is_group_length(tag);
      if (!written && !counted) continue;
      if (is_group_length(tag)) {
        if (!written || !group_length_written(group)) continue;
        total->bytes += 12;
        if (record) {
          group_slot = reserve_slot(true);
          group_of_slot = group;
          group_sum = Size{};
        }
        continue;
      }
      Prepared prepared;
      TS_RETURN_IF_ERROR(prepare(object, *attribute, level, written && record, &prepared));
      if (!prepared.has_value) continue;
      Size size;
      TS_RETURN_IF_ERROR(measure_element(object, *attribute, level, syntax_for(level, group),
                                         written && record, prepared, &size));
      if (written) total->add(size);
      if (counted) group_sum.add(size);
    }
    if (group_slot != kNoSlot) plan_[group_slot] = as_length(group_sum);
    total->bytes += pending.length;
    return Status();
  }

  // Binds the application's callbacks, asks callback values for their length and tells whether
  // the element has a value to write.
  Status prepare(MsgObj& object, TagObj& attribute, const Level& level, bool record,
                 Prepared* prepared) {
    if (request_.application != nullptr && data::is_bulk_vr(attribute.vr) &&
        attribute.callback == nullptr && attribute.storage == data::kStoredInMemory &&
        attribute.value_count == 0) {
      TS_RETURN_IF_ERROR(bind_from_application(object, attribute));
    }
    if (attribute.storage != data::kStoredByCallback) {
      prepared->has_value = attribute.value_count > 0;
      return Status();
    }
    if (attribute.callback == nullptr) return Status();
    uint32_t length = attribute.length;
    if (attribute.value_count == 0) {
      TS_RETURN_IF_ERROR(data::callback_value_length(object.id, attribute, &length));
    }
    if (length == kUndefined && !level.encapsulated) {
      log::write(function_, log::kError, "Callback returned undefined length for pixel data");
      return Status(CV_CALLBACK_CANNOT_COMPLY);
    }
    if (length != kUndefined && length % 2 != 0) {
      log::write(function_, log::kError, "Callback returned odd-numbered value length");
      return Status(CV_CALLBACK_CANNOT_COMPLY);
    }
    prepared->has_value = true;
    prepared->callback_length = length;
    if (record) plan_.push_back(length);
    return Status();
  }

  Status bind_from_application(MsgObj& object, TagObj& attribute) {
    const core::Application& app = *request_.application;
    core::LockHold app_hold(app.callback_lock);
    if (app.callbacks == nullptr) return Status();
    for (const CNode* node = app.callbacks->pNodeHead; node != nullptr; node = node->pNext) {
      const auto* record = static_cast<const core::CallbackRecord*>(node->data);
      bool match = !record->is_private && record->tag == attribute.tag;
      if (record->is_private && record->group == (attribute.tag >> 16)) {
        uint32_t tag = 0;
        const Status found = data::find_private_attribute(
            object, data::creator_code(record->creator), record->group, record->element, &tag);
        match = found.is(CV_PRIVATE_BLOCK_FOUND) && tag == attribute.tag;
      }
      if (!match) continue;
      core::LockHold object_hold(object.lock);
      TS_RETURN_IF_ERROR(data::bind_value_callback(attribute, *record));
      bound_.emplace_back(&object, &attribute);
      return Status();
    }
    return Status();
  }

  Status measure_element(MsgObj& object, TagObj& attribute, const Level& level,
                         const Syntax& syntax, bool record, const Prepared& prepared, Size* size) {
    const bool encapsulated_pixels = attribute.tag == kPixelData && level.encapsulated;
    const int32_t vr = encapsulated_pixels ? CV_VR_OB : attribute.vr;
    size->bytes = header_size(syntax, vr);
    if (encapsulated_pixels || undefined_in_store(attribute)) {
      size->undefined = true;
      return Status();
    }
    if (attribute.storage == data::kStoredByCallback) {
      if (prepared.callback_length == kUndefined) {
        size->undefined = true;
      } else {
        size->bytes += prepared.callback_length;
      }
      return Status();
    }
    if (vr == CV_VR_SQ) {
      Size value;
      TS_RETURN_IF_ERROR(measure_sequence(object, attribute, syntax, record, &value));
      size->add(value);
      return Status();
    }
    size->bytes += value_length(attribute, vr);
    return Status();
  }

  Status measure_sequence(MsgObj& /*object*/, TagObj& attribute, const Syntax& syntax, bool record,
                          Size* size) {
    const size_t slot = reserve_slot(record);
    uint64_t items = 0;  // item headers and contents
    uint64_t count = 0;
    bool content_undefined = false;
    bool force_undefined = false;
    for (ValueObj* node = attribute.head; node != nullptr; node = node->next) {
      MsgObj* item = item_of(node);
      if (item == nullptr) continue;
      const size_t item_slot = reserve_slot(record);
      const Level inside{false, syntax, syntax_of(item->transfer_syntax).encapsulated};
      Size content;
      TS_RETURN_IF_ERROR(measure_object(*item, inside, record, &content));
      const uint32_t item_length = as_length(content);
      if (record) plan_[item_slot] = item_length;
      force_undefined = force_undefined || item_length == kUndefined;
      content_undefined = content_undefined || content.undefined;
      items += 8 + content.bytes;
      ++count;
    }
    // Items holding undefined-length data, and sequences too long for a 32-bit length, take
    // the undefined-length form with delimiters.
    const bool undefined_form =
        request_.undefined_length_sequences || force_undefined || items >= kUndefined;
    size->bytes = undefined_form ? items + 8 * count + 8 : items;
    size->undefined = content_undefined;
    if (record) plan_[slot] = undefined_form ? kUndefined : static_cast<uint32_t>(items);
    return Status();
  }

  // An opaque value kept with undefined length (items stored as they were read).
  static bool undefined_in_store(const TagObj& attribute) {
    return attribute.storage != data::kStoredByCallback && data::is_opaque_vr(attribute.vr) &&
           attribute.length == kUndefined;
  }

  // An odd OB value is padded with a NUL; so are OW, OL and OF values read odd from a broken
  // stream. UN keeps its bytes exactly as they came, odd or not.
  static bool pads_to_even(int32_t vr) {
    return vr == CV_VR_OB || vr == CV_VR_OW || vr == CV_VR_OL || vr == CV_VR_OF;
  }

  // Value length of an element kept in memory or in a temporary file.
  static uint64_t value_length(const TagObj& attribute, int32_t vr) {
    if (data::is_text_vr(vr)) return even(text_length(attribute));
    if (pads_to_even(vr)) return even(attribute.length);
    return attribute.length;
  }

  // The undecoded rest of an item: its bytes when a reader can give them, else decoded now.
  Status pending_bytes(MsgObj& object, PendingStreamBytes* pending) {
    if (object.pending_stream == nullptr) return Status();
    const PendingStreamReader reader = g_pending_reader.load(std::memory_order_acquire);
    if (reader == nullptr) return data::complete_pending_stream(object, 0, true);
    if (!reader(object, pending)) {
      log::write(function_, log::kError, "Internal error, saved stream data of item %d unreadable",
                 static_cast<int>(object.id));
      return Status(CV_SYSTEM_ERROR);
    }
    if (pending->syntax != request_.syntax) {
      log::write(function_, log::kError,
                 "Transfer syntax of saved stream data does not match transfer syntax of object "
                 "being streamed.");
      return Status(CV_INVALID_TRANSFER_SYNTAX);
    }
    return Status();
  }

  // ---- Writing walk
  // ------------------------------------------------------------------------------

  Status plan_mismatch() const {
    log::write(function_, log::kError, "Internal error, element lengths changed during the encode");
    return Status(CV_SYSTEM_ERROR);
  }

  bool next_length(uint32_t* length) {
    if (next_ >= plan_.size()) return false;
    *length = plan_[next_++];
    return true;
  }

  Status write_file_header(const MsgObj& object) {
    static constexpr uint8_t kZeroPreamble[media::kPreambleLength] = {};
    static constexpr uint8_t kDicm[media::kPrefixLength] = {'D', 'I', 'C', 'M'};
    const media::FileInfo* info =
        request_.header_info != nullptr ? request_.header_info : media::file_info(object);
    const uint8_t* preamble = info != nullptr ? info->preamble : kZeroPreamble;
    const uint8_t* prefix = info != nullptr ? info->prefix : kDicm;
    if (std::memcmp(prefix, kDicm, media::kPrefixLength) != 0) {
      const char* name = request_.file_name != nullptr ? request_.file_name : "";
      if (info != nullptr && !info->file_name.empty()) name = info->file_name.c_str();
      bool printable = true;
      for (size_t i = 0; i < media::kPrefixLength; ++i) {
        printable = printable && std::isprint(prefix[i]) != 0;
      }
      if (printable) {
        log::write(function_, log::kT8,
                   "Warning:  Writing invalid DICOM file prefix '%c%c%c%c' in '%s'", prefix[0],
                   prefix[1], prefix[2], prefix[3], name);
      } else {
        log::write(function_, log::kT8,
                   "Warning:  Writing invalid DICOM file prefix '%X%X%X%X' in '%s'", prefix[0],
                   prefix[1], prefix[2], prefix[3], name);
      }
    }
    TS_RETURN_IF_ERROR(context_->put(preamble, media::kPreambleLength));
    return context_->put(prefix, media::kPrefixLength);
  }

  Status write_object(MsgObj& object, const Level& level) {
    for (TagObj* attribute = object.first; attribute != nullptr; attribute = attribute->next) {
      const uint32_t tag = attribute->tag;
      const uint32_t group = tag >> 16;
      if (level.top) {
        if (tag < start_) continue;
        if (tag > end_) break;
        if (!included(level, tag)) continue;
        if (context_->deflating() && !context_->deflated_part_started() &&
            group >= kFirstDeflatedGroup) {
          TS_RETURN_IF_ERROR(context_->begin_deflated_part());
        }
      }
      if (!exported(*attribute)) continue;
      if (level.top && meta_pending_ && group > kMetaGroup) meta_pending_ = false;
      const Syntax& syntax = level.top && meta_pending_ ? meta_ : level.syntax;
      if (is_group_length(tag)) {
        if (!group_length_written(group)) continue;
        TS_RETURN_IF_ERROR(write_group_length(object, *attribute, syntax));
        continue;
      }
      const bool has_value = attribute->storage == data::kStoredByCallback
                                 ? attribute->callback != nullptr
                                 : attribute->value_count > 0;
      if (!has_value) continue;
      TS_RETURN_IF_ERROR(write_element(object, *attribute, level, syntax));
    }
    if (!level.top && object.pending_stream != nullptr) {
      PendingStreamBytes pending{nullptr, 0, 0};
      TS_RETURN_IF_ERROR(pending_bytes(object, &pending));
      TS_RETURN_IF_ERROR(context_->put(pending.bytes, pending.length));
    }
    return Status();
  }

  // The recomputed group length is stored into the element before it is written.
  Status write_group_length(MsgObj& object, TagObj& attribute, const Syntax& syntax) {
    uint32_t value = 0;
    if (!next_length(&value)) return plan_mismatch();
    if (attribute.vr == CV_VR_UL) {
      core::LockHold hold(object.lock);
      ValueObj* head = attribute.head;
      if (attribute.storage == data::kStoredInMemory && head != nullptr && head->next == nullptr &&
          head->length == 4 && attribute.value_count == 1) {
        std::memcpy(head->bytes, &value, 4);
      } else {
        TS_RETURN_IF_ERROR(data::store_single_value(object, attribute, &value, 4));
      }
    }
    TS_RETURN_IF_ERROR(write_header(attribute.tag, CV_VR_UL, 4, syntax));
    TS_RETURN_IF_ERROR(context_->ensure(4));
    context_->append_u32(value, syntax.big_endian);
    return Status();
  }

  Status write_header(uint32_t tag, int32_t vr, uint32_t length, const Syntax& syntax) {
    TS_RETURN_IF_ERROR(context_->ensure(12));
    const bool big = syntax.big_endian;
    if (syntax.explicit_vr && !long_form(vr) && length > kShortLengthLimit) {
      log::write(function_, log::kError,
                 "Tag 0x%8.8lX has a value length that exceeds the space available to an "
                 "EXPLICIT value length",
                 static_cast<unsigned long>(tag));
      return Status(CV_CALLBACK_CANNOT_COMPLY);
    }
    context_->append_u16(static_cast<uint16_t>(tag >> 16), big);
    context_->append_u16(static_cast<uint16_t>(tag), big);
    if (!syntax.explicit_vr) {
      context_->append_u32(length, big);
      return Status();
    }
    const char* text = vr == CV_VR_UN ? un_text_ : data::vr_text(vr);
    context_->append(text, 2);
    if (long_form(vr)) {
      context_->append_u16(0, big);
      context_->append_u32(length, big);
    } else {
      context_->append_u16(static_cast<uint16_t>(length), big);
    }
    return Status();
  }

  Status write_delimiter(uint16_t element, uint32_t length, const Syntax& syntax) {
    TS_RETURN_IF_ERROR(context_->ensure(8));
    context_->append_u16(kItemGroup, syntax.big_endian);
    context_->append_u16(element, syntax.big_endian);
    context_->append_u32(length, syntax.big_endian);
    return Status();
  }

  Status write_element(MsgObj& object, TagObj& attribute, const Level& level,
                       const Syntax& syntax) {
    const bool encapsulated_pixels = attribute.tag == kPixelData && level.encapsulated;
    const int32_t vr = encapsulated_pixels ? CV_VR_OB : attribute.vr;
    if (!CVI_ValidVRCode(vr)) {
      log::write(function_, log::kError, "CV_Message_To_Stream: (%4.4x,%4.4x): Invalid VR code",
                 static_cast<unsigned>(attribute.tag >> 16),
                 static_cast<unsigned>(attribute.tag & 0xFFFFU));
      return Status(CV_SYSTEM_ERROR);
    }
    const bool by_callback = attribute.storage == data::kStoredByCallback;
    uint32_t callback_length = 0;
    if (by_callback && !next_length(&callback_length)) return plan_mismatch();
    uint32_t length = 0;
    if (encapsulated_pixels || undefined_in_store(attribute)) {
      length = kUndefined;
    } else if (by_callback) {
      length = callback_length;
    } else if (vr == CV_VR_SQ) {
      if (!next_length(&length)) return plan_mismatch();
    } else {
      // Below 4 GiB: an even length of 0xFFFFFFFE at most.
      length = static_cast<uint32_t>(value_length(attribute, vr));
    }
    TS_RETURN_IF_ERROR(write_header(attribute.tag, vr, length, syntax));
    if (by_callback) {
      return write_callback_value(object, attribute, vr, callback_length, length == kUndefined,
                                  syntax);
    }
    if (vr == CV_VR_SQ) return write_sequence(attribute, syntax, length == kUndefined);
    if (data::is_text_vr(vr)) return write_text(object, attribute, vr);
    if (data::is_binary_vr(vr)) return write_binary(attribute, vr, syntax);
    return write_opaque(object, attribute, vr, length == kUndefined, syntax);
  }

  Status write_sequence(TagObj& attribute, const Syntax& syntax, bool undefined) {
    for (ValueObj* node = attribute.head; node != nullptr; node = node->next) {
      MsgObj* item = item_of(node);
      if (item == nullptr) continue;
      uint32_t item_length = 0;
      if (!next_length(&item_length)) return plan_mismatch();
      TS_RETURN_IF_ERROR(
          write_delimiter(kItemElement, undefined ? kUndefined : item_length, syntax));
      const Level inside{false, syntax, syntax_of(item->transfer_syntax).encapsulated};
      TS_RETURN_IF_ERROR(write_object(*item, inside));
      if (undefined) TS_RETURN_IF_ERROR(write_delimiter(kItemDelimiterElement, 0, syntax));
    }
    if (undefined) TS_RETURN_IF_ERROR(write_delimiter(kSequenceDelimiterElement, 0, syntax));
    return Status();
  }

  // Text values one after the other, joined by backslashes, padded to even length: NUL for UI,
  // a space for every other text VR.
  Status write_text(MsgObj& object, TagObj& attribute, int32_t vr) {
    const uint64_t length = text_length(attribute);
    bool first = true;
    const Status written = data::for_each_stored_piece(
        object, attribute, [&](const uint8_t* bytes, uint32_t size, bool, bool) -> Status {
          if (!first) TS_RETURN_IF_ERROR(context_->put("\\", 1));
          first = false;
          return context_->put(bytes, size);
        });
    TS_RETURN_IF_ERROR(written);
    if (length % 2 == 0) return Status();
    const uint8_t pad = vr == CV_VR_UI ? 0x00 : 0x20;
    return context_->put(&pad, 1);
  }

  // Fixed-width values in the syntax's byte order; AT as group then element. The DICOMDIR offset
  // elements carry the byte offsets of the items they name.
  Status write_binary(TagObj& attribute, int32_t vr, const Syntax& syntax) {
    const uint32_t width = static_cast<uint32_t>(data::binary_width(vr));
    const bool offsets = vr == CV_VR_UL && request_.directory_offsets != nullptr &&
                         request_.directory_offset_lookup != nullptr &&
                         is_directory_offset_tag(attribute.tag);
    const bool convert = syntax.big_endian != kHostBigEndian || vr == CV_VR_AT || offsets;
    for (const ValueObj* node = attribute.head; node != nullptr; node = node->next) {
      if (!convert) {
        TS_RETURN_IF_ERROR(context_->put(node->bytes, node->length));
        continue;
      }
      const uint32_t whole = node->length / width * width;
      for (uint32_t at = 0; at < whole; at += width) {
        TS_RETURN_IF_ERROR(context_->ensure(8));
        TS_RETURN_IF_ERROR(
            write_binary_value(node->bytes + at, vr, attribute.tag, offsets, syntax));
      }
      if (whole < node->length) {
        TS_RETURN_IF_ERROR(context_->put(node->bytes + whole, node->length - whole));
      }
    }
    return Status();
  }

  Status write_binary_value(const uint8_t* bytes, int32_t vr, uint32_t tag, bool offsets,
                            const Syntax& syntax) {
    const bool big = syntax.big_endian;
    switch (vr) {
      case CV_VR_SS:
      case CV_VR_US: {
        uint16_t value = 0;
        std::memcpy(&value, bytes, 2);
        context_->append_u16(value, big);
        return Status();
      }
      case CV_VR_AT: {
        uint32_t value = 0;
        std::memcpy(&value, bytes, 4);
        context_->append_u16(static_cast<uint16_t>(value >> 16), big);
        context_->append_u16(static_cast<uint16_t>(value), big);
        return Status();
      }
      case CV_VR_SL:
      case CV_VR_UL:
      case CV_VR_FL: {
        uint32_t value = 0;
        std::memcpy(&value, bytes, 4);
        if (offsets) value = directory_offset(tag, value);
        context_->append_u32(value, big);
        return Status();
      }
      case CV_VR_FD: {
        uint64_t value = 0;
        std::memcpy(&value, bytes, 8);
        context_->append_u32(static_cast<uint32_t>(big ? value >> 32 : value), big);
        context_->append_u32(static_cast<uint32_t>(big ? value : value >> 32), big);
        return Status();
      }
      default:
        break;
    }
    return Status(CV_SYSTEM_ERROR);
  }

  uint32_t directory_offset(uint32_t /*tag*/, uint32_t item_id) const {
    if (item_id == 0) return 0;
    uint32_t offset = 0;
    if (request_.directory_offset_lookup(*request_.directory_offsets, static_cast<int32_t>(item_id),
                                         &offset)) {
      return offset;
    }
    log::write(function_, log::kError, "Invalid item %ld", static_cast<long>(item_id));
    return item_id;
  }

  static uint32_t swap_unit(int32_t vr, const Syntax& syntax) {
    if (syntax.big_endian == kHostBigEndian) return 1;
    if (vr == CV_VR_OW) return 2;
    if (vr == CV_VR_OL || vr == CV_VR_OF) return 4;
    return 1;
  }

  Status write_opaque(MsgObj& object, TagObj& attribute, int32_t vr, bool undefined,
                      const Syntax& syntax) {
    const uint32_t unit = swap_unit(vr, syntax);
    const bool pad = pads_to_even(vr) && !undefined && attribute.length % 2 != 0;
    // Value bytes still to come after each block, for network sinks; unknown (0) for
    // undefined-length values and deflated streams.
    const bool follow_known = !undefined && !context_->deflating();
    uint32_t remaining = follow_known ? attribute.length + (pad ? 1U : 0U) : 0U;
    Tail tail;
    auto block = [&](const uint8_t* bytes, uint32_t size) -> Status {
      remaining -= size < remaining ? size : remaining;
      if (undefined) tail.update(bytes, size);
      return context_->write_raw(bytes, size, unit, remaining);
    };
    // A null piece ends the value.
    if (attribute.storage == data::kStoredInFile) {
      const int32_t pieces = data::stored_piece_count(attribute);
      for (int32_t n = 1; n <= pieces; ++n) {
        data::StoredBytes piece;
        TS_RETURN_IF_ERROR(data::read_stored_piece(object, attribute, n, &piece));
        if (piece.size() == 0) break;
        TS_RETURN_IF_ERROR(block(piece.data(), piece.size()));
      }
    } else {
      for (const ValueObj* node = attribute.head; node != nullptr; node = node->next) {
        if (node->length == 0) break;
        TS_RETURN_IF_ERROR(block(node->bytes, node->length));
      }
    }
    TS_RETURN_IF_ERROR(context_->end_raw());
    if (pad) return context_->put(&kZero, 1);
    if (undefined && !tail.ends_with_delimiter()) {
      return context_->put(kStoredSequenceDelimiter, sizeof kStoredSequenceDelimiter);
    }
    return Status();
  }

  // The value read from its callback block by block (CV_CB_GET_DATA until the last flag).
  Status write_callback_value(MsgObj& object, TagObj& attribute, int32_t vr, uint32_t length,
                              bool undefined, const Syntax& syntax) {
    const core::CallbackRecord* record = attribute.callback;
    const uint32_t unit = swap_unit(vr, syntax);
    const bool defined = length != kUndefined;
    uint64_t supplied = 0;
    int32_t first_call = 1;
    int32_t empty_blocks = 0;
    Tail tail;
    for (;;) {
      uint32_t size = 0;
      void* data = nullptr;
      int32_t last = 0;
      const int32_t status = data::invoke_value_callback(
          *record, object.id, attribute.tag, CV_CB_GET_DATA, &size, &data, first_call, &last);
      first_call = 0;
      if (status != CV_NORMAL_COMPLETION) {
        log::write(function_, log::kError, "Registered Callback returned %s",
                   CV_Error_Message(status));
        return Status(CV_CALLBACK_CANNOT_COMPLY);
      }
      if (size > kCallbackBlockLimit) {
        log::write(function_, log::kError, "Callback returned length > %d",
                   static_cast<int>(kCallbackBlockLimit));
        return Status(CV_CALLBACK_CANNOT_COMPLY);
      }
      if (size > 0 && data == nullptr) {
        log::write(function_, log::kError, "Registered Callback returned %s",
                   CV_Error_Message(CV_CALLBACK_INVALID_PARM));
        return Status(CV_CALLBACK_CANNOT_COMPLY);
      }
      if (size == 0 && last == 0) {
        if (++empty_blocks > data::kMaxEmptyChunks) return Status(CV_CALLBACK_CANNOT_COMPLY);
        continue;
      }
      empty_blocks = 0;
      supplied += size;
      if (defined && supplied > length) break;
      const auto* bytes = static_cast<const uint8_t*>(data);
      if (undefined) tail.update(bytes, size);
      const uint32_t follow =
          defined && !context_->deflating() ? length - static_cast<uint32_t>(supplied) : 0;
      TS_RETURN_IF_ERROR(context_->write_raw(bytes, size, unit, follow));
      if (last != 0) break;
    }
    if (defined && supplied != length) {
      log::write(function_, log::kError,
                 "Registered Callback supplied %llu bytes for tag 0x%8.8lX of length %lu",
                 static_cast<unsigned long long>(supplied),
                 static_cast<unsigned long>(attribute.tag), static_cast<unsigned long>(length));
      return Status(CV_CALLBACK_CANNOT_COMPLY);
    }
    TS_RETURN_IF_ERROR(context_->end_raw());
    if (undefined && !tail.ends_with_delimiter()) {
      return context_->put(kStoredSequenceDelimiter, sizeof kStoredSequenceDelimiter);
    }
    return Status();
  }

  const EncodeRequest& request_;
  uint32_t start_;
  uint32_t end_;
  const char* function_;
  Syntax meta_;
  Syntax data_set_;
  const char* un_text_ = "UN";
  bool export_un_media_ = true;
  bool export_un_network_ = true;
  bool export_private_media_ = true;
  bool export_private_network_ = true;
  bool group_lengths_network_ = true;
  bool group_lengths_media_ = true;
  // Lengths in the order the writing walk needs them: group lengths, callback lengths, and for
  // every sequence its value length (kUndefined for the delimited form) and its items' lengths.
  std::vector<uint32_t> plan_;
  size_t next_ = 0;
  std::vector<std::pair<MsgObj*, TagObj*>> bound_;
  EncodeContext* context_ = nullptr;
  bool meta_pending_ = false;
};

}  // namespace

void set_pending_stream_reader(PendingStreamReader reader) {
  g_pending_reader.store(reader, std::memory_order_release);
}

Status encode(MsgObj& object, uint32_t start_tag, uint32_t end_tag, const EncodeRequest& request) {
  EncodeContext context(request);
  TS_RETURN_IF_ERROR(context.allocate(request.work_buffer_size));
  TS_RETURN_IF_ERROR(data::complete_pending_stream(object, 0, true));
  if (object.first == nullptr) return Status(CV_MESSAGE_EMPTY);
  context.set_deflating(request.syntax == kDeflatedSyntax);
  Walker walker(request, start_tag, end_tag);
  Size size;
  Status status = walker.measure(object, true, &size);
  if (status.ok()) status = walker.write(object, context);
  if (status.ok()) status = FlushStreamBuffer(context, nullptr, 0, 0, true);
  if (!status.ok()) walker.release_bindings();
  return status;
}

Status stream_length(MsgObj& object, uint32_t start_tag, uint32_t end_tag,
                     const EncodeRequest& request, uint32_t* length) {
  TS_RETURN_IF_ERROR(data::complete_pending_stream(object, 0, true));
  if (object.first == nullptr) return Status(CV_MESSAGE_EMPTY);
  Walker walker(request, start_tag, end_tag);
  Size size;
  const Status status = walker.measure(object, false, &size);
  if (!status.ok()) {
    walker.release_bindings();
    return status;
  }
  *length = as_length(size);
  return Status();
}

}  // namespace tessel::codec
