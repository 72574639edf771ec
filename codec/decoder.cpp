// The parse walk of the data set decoder: element headers level by level, the meta group of
// files, the switch to the data set syntax, deflated data sets, sequences and skipped values.
#include "codec/decoder.hpp"

#include <array>
#include <cctype>
#include <cstring>
#include <mutex>

#include "codec/decoder_parser.hpp"
#include "codec/transfer_syntax.hpp"
#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "data/msg_info.hpp"
#include "data/object_ops.hpp"
#include "data/objects.hpp"
#include "data/private_blocks.hpp"
#include "data/value_callbacks.hpp"
#include "data/value_store.hpp"
#include "data/values.hpp"
#include "data/vr.hpp"
#include "log/log.hpp"
#include "media/file_info.hpp"

#include "tessel/tessel.h"

namespace tessel::codec {
namespace detail {
namespace {

constexpr const char* kDefaultFunction = "CV_Stream_To_Message";
constexpr uint32_t kPreambleAndPrefix = 132;
// (0002,0000) sits after the preamble and prefix and takes 12 bytes itself.
constexpr uint64_t kMetaLengthBase = 144;
constexpr uint32_t kLargestSkip = 0x7FFFFFFF;
constexpr uint32_t kFirstDataSetGroup = 0x0003;

// VR codes by their two characters, built once at compile time.
constexpr std::array<int8_t, 26 * 26> make_vr_table() {
  std::array<int8_t, 26 * 26> table{};
  for (auto& entry : table) entry = -1;
  constexpr const char* kTexts[data::kVrCount] = {
      "AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT", "PN", "SH", "ST", "TM", "UT",
      "UI", "SS", "US", "AT", "SL", "UL", "FL", "FD", "UN", "OB", "OW", "OL", "OF", "SQ"};
  for (int32_t vr = 0; vr < data::kVrCount; ++vr) {
    table[static_cast<size_t>((kTexts[vr][0] - 'A') * 26 + (kTexts[vr][1] - 'A'))] =
        static_cast<int8_t>(vr);
  }
  return table;
}
constexpr std::array<int8_t, 26 * 26> kVrTable = make_vr_table();

// VRs written with two reserved bytes and a 32-bit length in explicit VR.
bool has_long_length(int32_t vr) {
  return vr == CV_VR_UN || vr == CV_VR_OB || vr == CV_VR_OW || vr == CV_VR_OL || vr == CV_VR_OF ||
         vr == CV_VR_SQ || vr == CV_VR_UT;
}

unsigned group_of(uint32_t tag) {
  return static_cast<unsigned>(tag >> 16);
}
unsigned element_of(uint32_t tag) {
  return static_cast<unsigned>(tag & 0xFFFF);
}

// The name items of a sequence are opened with: the first item name its template allows.
const char* item_name_for(const data::MsgObj& parent, const data::TagObj& attribute) {
  if (parent.kind == data::ObjectKind::kDicomdir) return data::kEmptyObjectName;
  const data::TemplateAttribute* info = attribute.template_info;
  if (info == nullptr || info->valid_values.empty() || info->valid_values.front().bytes.empty()) {
    return data::kEmptyObjectName;
  }
  return info->valid_values.front().bytes.c_str();
}

uint32_t clamp_offset(uint64_t offset) {
  return offset > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(offset);
}

bool printable(const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (std::isprint(bytes[i]) == 0) return false;
  }
  return true;
}

}  // namespace

Syntax syntax_properties(int32_t code) {
  int32_t explicit_vr = 0;
  int32_t byte_order = 0;
  int32_t encapsulated = 0;
  CVI_GetSyntaxParmsForEnum(code, &explicit_vr, &byte_order, &encapsulated);
  Syntax syntax;
  syntax.code = code;
  syntax.explicit_vr = explicit_vr != 0;
  syntax.big_endian = byte_order == kBigEndian;
  syntax.encapsulated = encapsulated != 0;
  return syntax;
}

int32_t vr_of_chars(uint8_t first, uint8_t second) {
  if (first < 'A' || first > 'Z' || second < 'A' || second > 'Z') return -1;
  return kVrTable[static_cast<size_t>((first - 'A') * 26 + (second - 'A'))];
}

Parser::Parser(StreamReader& reader, const DecodeRequest& request)
    : reader_(reader),
      request_(request),
      function_(request.function != nullptr ? request.function : kDefaultFunction) {
  if (Cfg != nullptr) {
    allow_out_of_order_ = Cfg->b(ALLOW_OUT_OF_ORDER_TAGS);
    allow_invalid_private_ = Cfg->b(ALLOW_INVALID_PRIVATE_ATTRIBUTES);
    allow_duplicate_creators_ = Cfg->allow_duplicate_creator_codes;
    remove_trailing_space_ = Cfg->b(REMOVE_SINGLE_TRAILING_SPACE);
    force_dicm_ = Cfg->b(FORCE_DICM_IN_PREFIX);
    const uint32_t minimum = Cfg->l(CALLBACK_MIN_DATA_SIZE);
    callback_min_size_ = minimum > 0 ? minimum : 1;
    const int32_t work = Cfg->i(WORK_BUFFER_SIZE);
    if (work > 0) gather_size_ = static_cast<uint32_t>(work);
    if (!Cfg->tag_filter.empty()) filter_ = &Cfg->tag_filter;
  }
}

namespace {

// Elements whose VR is US or SS by the Pixel Representation (0028,0103) of their data set: the
// pixel-value elements. The dictionary gives them US; read without VRs they are made SS when the
// pixels are signed. (LUT descriptors stay US: their first and third values are unsigned.)
constexpr uint32_t kPixelValueTags[] = {0x00189810, 0x00221452, 0x00280071, 0x00280104, 0x00280105,
                                        0x00280106, 0x00280107, 0x00280108, 0x00280109, 0x00280110,
                                        0x00280111, 0x00280120, 0x00280121, 0x00409211, 0x00409216,
                                        0x00603004, 0x00603006};
constexpr uint32_t kPixelRepresentation = 0x00280103;

bool is_pixel_value_tag(uint32_t tag) {
  for (uint32_t t : kPixelValueTags) {
    if (t == tag) return true;
  }
  return false;
}

// Walks an object and its items; `signed_pixels` is inherited from the enclosing data set when
// an item has no Pixel Representation of its own. Items nest at most kMaxSequenceDepth deep.
void resolve_pixel_value_vrs(data::MsgObj& object, bool signed_pixels) {
  core::LockHold hold(object.lock);
  if (const data::TagObj* rep = data::find_attribute(object, kPixelRepresentation);
      rep != nullptr && rep->head != nullptr && rep->head->length >= 2 && rep->vr == CV_VR_US) {
    uint16_t value = 0;
    std::memcpy(&value, rep->head->bytes, sizeof value);
    signed_pixels = value == 1;
  }
  const bool implicit = !syntax_properties(object.transfer_syntax).explicit_vr;
  for (data::TagObj* attribute = object.first; attribute != nullptr; attribute = attribute->next) {
    if (attribute->vr == CV_VR_SQ) {
      for (data::ValueObj* node = attribute->head; node != nullptr; node = node->next) {
        if (node->bytes == nullptr || node->length == 0) continue;
        const auto* ref = reinterpret_cast<const data::ItemRef*>(node->bytes);
        if (ref->item != nullptr) resolve_pixel_value_vrs(*ref->item, signed_pixels);
      }
    } else if (implicit && signed_pixels && attribute->vr == CV_VR_US &&
               attribute->storage == data::kStoredInMemory && is_pixel_value_tag(attribute->tag)) {
      attribute->vr = CV_VR_SS;
    }
  }
}

}  // namespace

Status Parser::decode(data::MsgObj& object, DecodeResult* result) {
  Level top;
  top.object = &object;
  top.top = true;
  Status status = run_top(top);
  const Status finished = reader_.finish();
  if (status.ok() && !finished.ok()) status = finished;
  if (status.ok()) resolve_pixel_value_vrs(object, false);
  if (status.ok()) {
    result->error_tag = 0;
    result->stop_offset = clamp_offset(stopped_ ? stop_offset_ : reader_.position());
  } else {
    result->error_tag = current_tag_;
    result->stop_offset = clamp_offset(element_offset_);
  }
  return status;
}

Status Parser::run_top(Level& top) {
  data::MsgObj& object = *top.object;
  if (request_.file_header) {
    TS_RETURN_IF_ERROR(read_file_header(object));
    // Group 0002 is explicit VR little endian unless its first element says otherwise.
    top.syntax = syntax_properties(EXPLICIT_LITTLE_ENDIAN);
    meta_first_ = true;
    meta_pending_ = true;
  } else {
    top.syntax = syntax_properties(request_.syntax);
    object.transfer_syntax = request_.syntax;
    if (request_.syntax == kDeflatedSyntax) {
      // A stream that starts at the data set is deflated from its first byte; otherwise the
      // elements below group 0004 come first, uncompressed.
      if (request_.start_tag < 0x00080000) {
        deflate_pending_ = true;
      } else {
        TS_RETURN_IF_ERROR(reader_.start_inflate());
      }
    }
  }
  return parse_level(top);
}

Status Parser::read_file_header(data::MsgObj& object) {
  const uint8_t* bytes = nullptr;
  Status status = reader_.read(kPreambleAndPrefix, &bytes);
  if (status.is(CV_END_OF_DATA)) status = Status(CV_UNEXPECTED_END_OF_STREAM);
  if (status.ok()) {
    auto* info = static_cast<media::FileInfo*>(object.media_info);
    const uint8_t* prefix = bytes + media::kPreambleLength;
    uint8_t stored[media::kPrefixLength];
    std::memcpy(stored, prefix, sizeof stored);
    if (std::memcmp(prefix, "DICM", media::kPrefixLength) != 0) {
      const char* name = request_.file_name != nullptr ? request_.file_name : "";
      const bool chars = printable(prefix, media::kPrefixLength);
      if (!force_dicm_) {
        if (chars) {
          log::write(function_, log::kError, "Invalid DICOM file prefix '%c%c%c%c' in '%s'",
                     prefix[0], prefix[1], prefix[2], prefix[3], name);
        } else {
          log::write(function_, log::kError, "Invalid DICOM file prefix '%X%X%X%X' in '%s'",
                     prefix[0], prefix[1], prefix[2], prefix[3], name);
        }
        status = Status(CV_NO_DICM_PREFIX);
      } else {
        if (chars) {
          log::write(function_, log::kT8,
                     "Replacing invalid DICOM file prefix '%c%c%c%c' in '%s' with 'DICM'",
                     prefix[0], prefix[1], prefix[2], prefix[3], name);
        } else {
          log::write(function_, log::kT8,
                     "Replacing invalid DICOM file prefix '%X%X%X%X' in '%s' with 'DICM'",
                     prefix[0], prefix[1], prefix[2], prefix[3], name);
        }
        std::memcpy(stored, "DICM", sizeof stored);
      }
    }
    if (status.ok() && info != nullptr) {
      core::LockHold hold(object.lock);
      std::memcpy(info->preamble, bytes, media::kPreambleLength);
      std::memcpy(info->prefix, stored, media::kPrefixLength);
    }
  }
  if (!status.ok()) {
    log::write(function_, log::kError, "Failure in reading the file preamble and prefix: %s",
               CV_Error_Message(status.code()));
  }
  return status;
}

Status Parser::unexpected_end() {
  log::write(function_, log::kError, "Stream data ended inside attribute (%4.4x,%4.4x)",
             group_of(current_tag_), element_of(current_tag_));
  return Status(CV_UNEXPECTED_END_OF_STREAM);
}

Status Parser::end_of_level(const Level& level) {
  if (level.top) return Status();
  current_tag_ = kItemTag;
  log::write(function_, log::kError,
             level.undefined ? "Missing Item Delimiter in input stream"
                             : "Not all item data in input stream");
  return Status(CV_INVALID_VALUE_FOR_VR);
}

Status Parser::check_bounds(const Level& level, uint32_t length) {
  if (!level.defined) return Status();
  const uint64_t at = reader_.position();
  if (at <= level.end && (length == data::kUndefinedLength || length <= level.end - at)) {
    return Status();
  }
  log::write(
      function_, log::kError,
      "Length of (%4.4x,%4.4x) (%lu) runs past the end of its item by %lu bytes",
      group_of(current_tag_), element_of(current_tag_), static_cast<unsigned long>(length),
      static_cast<unsigned long>(at + (length == data::kUndefinedLength ? 0 : length) - level.end));
  return Status(CV_INVALID_VALUE_FOR_VR);
}

Status Parser::read_header(const Syntax& syntax, ElementHeader* header, bool* clean_end) {
  *clean_end = false;
  header->offset = reader_.position();
  const uint8_t* b = nullptr;
  uint32_t available = 0;
  const Status peeked = reader_.peek(8, &b, &available);
  if (!peeked.ok()) {
    *clean_end = peeked.is(CV_END_OF_DATA) && available == 0;
    return peeked;
  }
  const bool be = syntax.big_endian;
  const uint32_t group = read16(b, be);
  header->tag = group << 16 | read16(b + 2, be);
  header->stream_vr = -1;
  if (group == 0xFFFE || !syntax.explicit_vr) {
    header->length = read32(b + 4, be);
    reader_.consume(8);
    return Status();
  }
  const uint8_t c0 = b[4];
  const uint8_t c1 = b[5];
  if ((c0 == '?' && c1 == '?') || (c0 == 'U' && c1 == 'K')) {
    header->stream_vr = CV_VR_UN;
    header->length = read16(b + 6, be);
    reader_.consume(8);
    return Status();
  }
  const int32_t known = vr_of_chars(c0, c1);
  const int32_t vr = known >= 0 ? known : CV_VR_UN;
  header->stream_vr = vr;
  if (!has_long_length(vr)) {
    header->length = read16(b + 6, be);
    reader_.consume(8);
    return Status();
  }
  if (b[6] != 0 || b[7] != 0) {
    log::write(function_, log::kWarning,
               "Tag (%04x,%04x) of VR %c%c reserved bytes incorrect.  Assuming encoded as 2 "
               "byte length",
               group, element_of(header->tag), c0, c1);
    header->length = read16(b + 6, be);
    reader_.consume(8);
    return Status();
  }
  TS_RETURN_IF_ERROR(reader_.peek(12, &b, nullptr));
  header->length = read32(b + 8, be);
  reader_.consume(12);
  return Status();
}

bool Parser::filtered(uint32_t tag) const {
  if (filter_ == nullptr) return false;
  const uint32_t group = tag >> 16;
  for (const config::TagFilterEntry& entry : *filter_) {
    switch (entry.kind) {
      case config::FilterKind::kPrivate:
        if (data::is_private_group(group)) return true;
        break;
      case config::FilterKind::kGroup:
      case config::FilterKind::kGroupRange:
        if (group >= entry.first && group <= entry.last) return true;
        break;
      case config::FilterKind::kTag:
      case config::FilterKind::kTagRange:
        if (tag >= entry.first && tag <= entry.last) return true;
        break;
    }
  }
  return false;
}

Status Parser::before_element(Level& level) {
  const uint8_t* b = nullptr;
  uint32_t available = 0;
  if (meta_first_) {
    meta_first_ = false;
    const Status peeked = reader_.peek(6, &b, &available);
    if (peeked.is(CV_END_OF_DATA)) return available == 0 ? peeked : Status();
    TS_RETURN_IF_ERROR(peeked);
    if (vr_of_chars(b[4], b[5]) < 0) level.syntax = syntax_properties(IMPLICIT_LITTLE_ENDIAN);
  }
  if (meta_pending_) {
    const Status peeked = reader_.peek(2, &b, &available);
    if (peeked.is(CV_END_OF_DATA)) return available == 0 ? peeked : Status();
    TS_RETURN_IF_ERROR(peeked);
    const bool past_end = meta_end_known_ && reader_.position() >= meta_end_;
    if (past_end || read16(b, level.syntax.big_endian) != 0x0002) {
      TS_RETURN_IF_ERROR(switch_to_data_set(level));
    }
  }
  if (deflate_pending_) {
    const Status peeked = reader_.peek(2, &b, &available);
    if (peeked.is(CV_END_OF_DATA)) return available == 0 ? peeked : Status();
    TS_RETURN_IF_ERROR(peeked);
    if (read16(b, false) > kFirstDataSetGroup) {
      deflate_pending_ = false;
      TS_RETURN_IF_ERROR(reader_.start_inflate());
    }
  }
  return Status();
}

Status Parser::switch_to_data_set(Level& level) {
  meta_pending_ = false;
  data::MsgObj& object = *level.object;
  char uid[65] = {};
  size_t length = 0;
  {
    core::LockHold hold(object.lock);
    const data::TagObj* attribute = data::find_attribute(object, kTransferSyntaxUidTag);
    if (attribute != nullptr && attribute->storage == data::kStoredInMemory &&
        attribute->head != nullptr) {
      length = attribute->head->length < 64 ? attribute->head->length : 64;
      std::memcpy(uid, attribute->head->bytes, length);
    }
  }
  while (length > 0 && (uid[length - 1] == ' ' || uid[length - 1] == '\0')) uid[--length] = '\0';
  current_tag_ = kTransferSyntaxUidTag;
  if (length == 0) {
    log::write(function_, log::kError, "Unable to get transfer syntax UID from file.");
    return Status(CV_INVALID_TRANSFER_SYNTAX);
  }
  int32_t code = 0;
  if (!syntax_from_uid(uid, &code).ok()) {
    log::write(function_, log::kError, "Invalid Transfer syntax UID found in file: %s", uid);
    return Status(CV_INVALID_TRANSFER_SYNTAX);
  }
  level.syntax = syntax_properties(code);
  object.transfer_syntax = code;
  if (code == kDeflatedSyntax) {
    deflate_pending_ = true;
    reader_.allow_odd_chunks(true);
  }
  return Status();
}

void Parser::note_meta_element(const Level& level, const ElementHeader& header) {
  if (!meta_pending_) return;
  core::LockHold hold(level.object->lock);
  const data::TagObj* attribute = data::find_attribute(*level.object, header.tag);
  if (attribute == nullptr || attribute->storage != data::kStoredInMemory ||
      attribute->head == nullptr) {
    return;
  }
  const data::ValueObj* value = attribute->head;
  if (header.tag == kMetaGroupLengthTag && attribute->vr == CV_VR_UL && value->length >= 4) {
    uint32_t length = 0;
    std::memcpy(&length, value->bytes, sizeof length);
    meta_end_ = kMetaLengthBase + length;
    meta_end_known_ = true;
  } else if (header.tag == kTransferSyntaxUidTag) {
    // The chunks that follow the meta group may already be odd when the data set is deflated;
    // the syntax is known from here on.
    const char* deflated = CVI_GetPtrForSyntax(kDeflatedSyntax);
    const size_t n = std::strlen(deflated);
    if (n > 0 && value->length >= n && std::memcmp(value->bytes, deflated, n) == 0) {
      reader_.allow_odd_chunks(true);
    }
  }
}

Status Parser::parse_level(Level& level) {
  for (;;) {
    if (level.defined && reader_.position() >= level.end) {
      if (reader_.position() == level.end) return Status();
      log::write(function_, log::kError,
                 "Item data runs %lu bytes past the item length after (%4.4x,%4.4x)",
                 static_cast<unsigned long>(reader_.position() - level.end), group_of(current_tag_),
                 element_of(current_tag_));
      return Status(CV_INVALID_VALUE_FOR_VR);
    }
    if (level.top) {
      const Status ready = before_element(level);
      if (ready.is(CV_END_OF_DATA)) return Status();
      TS_RETURN_IF_ERROR(ready);
    }
    ElementHeader header;
    bool clean_end = false;
    const Status read = read_header(level.syntax, &header, &clean_end);
    element_offset_ = header.offset;
    if (!read.ok()) {
      if (read.is(CV_END_OF_DATA)) return clean_end ? end_of_level(level) : unexpected_end();
      return read;
    }
    current_tag_ = header.tag;

    if ((header.tag >> 16) == 0xFFFE) {
      if (header.tag == kItemDelimiterTag && level.undefined) return Status();
      // Some writers close defined-length items with a delimiter as well; it carries nothing.
      if (header.tag == kItemDelimiterTag && level.defined && header.length == 0) continue;
      if (header.tag == kSequenceDelimiterTag && header.length == 0) {
        if (level.undefined) {
          // The item's delimiter is missing: the sequence delimiter closes item and sequence.
          log::write(function_, log::kWarning,
                     "Sequence delimiter found where an item delimiter belongs, closing the "
                     "sequence");
          sequence_closed_ = true;
          return Status();
        }
        // Left behind by writers that close defined-length sequences with a delimiter too.
        log::write(function_, log::kWarning,
                   "Ignoring sequence delimiter (FFFE,E0DD) outside any sequence");
        continue;
      }
      log::write(function_, log::kError, "Unexpected item tag (%.4X,%.4X) among attributes",
                 group_of(header.tag), element_of(header.tag));
      return Status(CV_INVALID_VALUE_FOR_VR);
    }
    if (!allow_out_of_order_ && header.tag < level.previous_tag) {
      log::write(function_, log::kError,
                 "Tags not in ascending order: (%.4x,%.4x) found after (%.4x,%.4x)",
                 group_of(header.tag), element_of(header.tag), group_of(level.previous_tag),
                 element_of(level.previous_tag));
      return Status(CV_OUT_OF_ORDER_TAG);
    }
    level.previous_tag = header.tag;
    if (level.top && header.tag > request_.stop_tag) {
      stopped_ = true;
      stop_offset_ = header.offset;
      return Status();
    }
    TS_RETURN_IF_ERROR(check_bounds(level, header.length));

    Status done;
    if ((level.top && header.tag < request_.start_tag) || filtered(header.tag)) {
      done = skip_value(level.syntax, header);
    } else {
      done = decode_element(level, header);
    }
    if (done.is(CV_END_OF_DATA)) return unexpected_end();
    TS_RETURN_IF_ERROR(done);
    if (level.top) note_meta_element(level, header);
  }
}

Status Parser::decode_element(Level& level, const ElementHeader& header) {
  data::MsgObj& object = *level.object;
  uint32_t tag = header.tag;
  const uint16_t group = static_cast<uint16_t>(tag >> 16);
  const char* creator = nullptr;
  if (data::is_private_group(group)) {
    const uint32_t element = tag & 0xFFFF;
    if (element >= data::kFirstCreatorElement && element <= data::kLastCreatorElement) {
      return decode_creator(level, header);
    }
    if (element >= 0x1000) {
      const CreatorEntry* entry = find_creator(level, group, static_cast<uint8_t>(element >> 8));
      if (entry != nullptr) {
        tag = (tag & 0xFFFF00FFu) | uint32_t{entry->object_block} << 8;
        creator = entry->code.c_str();
      } else if (!allow_invalid_private_) {
        log::write(function_, log::kT8, "Private stream tag (%4.4x,%4.4x) ignored: no creator",
                   group_of(tag), element_of(tag));
        return skip_value(level.syntax, header);
      }
    }
  }

  // One dictionary lookup per element: it gives the VR of a new attribute and tells whether a
  // UN element can be converted.
  const data::DictEntry* entry = data::find_entry(tag, creator);
  const int32_t stream_vr = header.stream_vr;
  data::TagObj* attribute = nullptr;
  bool created = false;
  {
    core::LockHold hold(object.lock);
    attribute = data::find_attribute(object, tag);
    if (attribute == nullptr) {
      int32_t vr = stream_vr >= 0 ? stream_vr : CV_VR_UN;
      uint16_t vm_low = 1;
      uint16_t vm_high = 255;
      if (entry != nullptr) {
        vr = entry->vr;
        vm_low = entry->vm_low;
        vm_high = entry->vm_high;
      }
      const Status added = data::add_attribute(object, tag, vr, vm_low, vm_high, &attribute);
      if (!added.ok()) {
        log::write(function_, log::kError, "Error adding stream tag (%4.4x,%4.4x):", group_of(tag),
                   element_of(tag));
        log::write(function_, log::kError, "|   \"%s\"", CV_Error_Message(added.code()));
        attribute = nullptr;
      }
      created = attribute != nullptr;
    }
  }
  if (attribute == nullptr) return skip_value(level.syntax, header);

  int32_t vr = attribute->vr;
  bool maybe_implicit = false;
  bool from_unknown = false;
  const bool undefined = header.length == data::kUndefinedLength;
  const bool stream_unknown = stream_vr == CV_VR_UN || (stream_vr < 0 && vr == CV_VR_UN);
  if (undefined && stream_unknown && tag != kPixelDataTag) {
    log::write(function_, log::kT8,
               "(%4.4x,%4.4x): Undefined length UN attribute in stream, changing VR to SQ",
               group_of(tag), element_of(tag));
    vr = CV_VR_SQ;
    maybe_implicit = true;
  } else if (stream_vr == CV_VR_UN && entry != nullptr && entry->vr != CV_VR_UN) {
    // UN keeps the bytes of an implicit VR little endian encoding: items inside are implicit.
    vr = entry->vr;
    from_unknown = true;
    maybe_implicit = vr == CV_VR_SQ;
  } else if (stream_vr >= 0 && stream_vr != vr) {
    log::write(function_, log::kT8, "(%4.4x,%4.4x): changing VR from %s to %s encoded in stream",
               group_of(tag), element_of(tag), data::vr_text(vr), data::vr_text(stream_vr));
    vr = stream_vr;
  }

  const int32_t width = data::binary_width(vr);
  if (width > 0 && !undefined && header.length % static_cast<uint32_t>(width) != 0) {
    if (from_unknown) {
      log::write(function_, log::kWarning,
                 "Unable to convert tag (%4.4x,%4.4x) from UN to %s, ignoring", group_of(tag),
                 element_of(tag), data::vr_text(vr));
      if (created) {
        const Status deleted = data::delete_attribute(object, tag);
        static_cast<void>(deleted);
      }
      return skip_value(level.syntax, header);
    }
    log::write(function_, log::kError, "Total attribute length (%d) not a multiple of size ",
               static_cast<int32_t>(header.length));
    log::write(function_, log::kError, "for VR (%s): %d, tag '0x%X'", data::vr_text(vr), width,
               static_cast<unsigned>(tag));
    return Status(CV_INVALID_STREAM_LENGTH);
  }

  // A repeated element replaces what the attribute held; a bound callback is told without the
  // object's lock held.
  const bool has_values = attribute->value_count > 0 || attribute->head != nullptr ||
                          attribute->storage == data::kStoredInFile;
  if (has_values && attribute->storage == data::kStoredByCallback) {
    data::release_values(object, *attribute, true, true);
  }
  {
    core::LockHold hold(object.lock);
    if (has_values && attribute->storage != data::kStoredByCallback) {
      data::release_values(object, *attribute, true, true);
    }
    if (vr != attribute->vr) {
      if (attribute->storage == data::kStoredByCallback && !data::is_bulk_vr(vr)) {
        data::unbind_value_callback(*attribute);
      }
      attribute->vr = vr;
    }
  }
  return store_value(level, *attribute, header, maybe_implicit);
}

Status Parser::item_syntax(const Syntax& outer, bool maybe_implicit, uint32_t item_length,
                           Syntax* syntax) {
  *syntax = outer;
  if (!maybe_implicit) return Status();
  if (item_length != data::kUndefinedLength && item_length < 6) {
    *syntax = syntax_properties(IMPLICIT_LITTLE_ENDIAN);
    return Status();
  }
  const uint8_t* b = nullptr;
  uint32_t available = 0;
  const Status peeked = reader_.peek(6, &b, &available);
  if (peeked.is(CV_END_OF_DATA)) return Status();  // the item's own read reports the end
  TS_RETURN_IF_ERROR(peeked);
  // Items of a value converted from UN are implicit VR little endian unless their first element
  // carries a VR.
  if (!outer.explicit_vr || vr_of_chars(b[4], b[5]) < 0) {
    *syntax = syntax_properties(IMPLICIT_LITTLE_ENDIAN);
  }
  return Status();
}

Status Parser::read_sequence(Level& level, data::TagObj& attribute, uint32_t length,
                             bool maybe_implicit) {
  data::MsgObj& object = *level.object;
  const uint32_t sequence_tag = attribute.tag;
  if (level.depth >= kMaxSequenceDepth) {
    log::write(function_, log::kError,
               "Sequence (%4.4x,%4.4x) nested deeper than %d levels in stream",
               group_of(sequence_tag), element_of(sequence_tag), kMaxSequenceDepth);
    return Status(CV_INVALID_VALUE_FOR_VR);
  }
  if (length == 0) {
    core::LockHold hold(object.lock);
    return data::append_null_value(attribute);
  }
  const bool defined = length != data::kUndefinedLength;
  const uint64_t end = reader_.position() + (defined ? length : 0);
  const char* name = item_name_for(object, attribute);
  // The bytes of a value converted from UN come from an implicit VR little endian encoding, so
  // their item tags are little endian whatever the stream's byte order.
  const Syntax item_headers =
      maybe_implicit ? syntax_properties(IMPLICIT_LITTLE_ENDIAN) : level.syntax;
  bool any_item = false;
  for (;;) {
    current_tag_ = sequence_tag;
    if (defined) {
      const uint64_t at = reader_.position();
      if (at >= end) break;
    }
    ElementHeader header;
    bool clean_end = false;
    TS_RETURN_IF_ERROR(read_header(item_headers, &header, &clean_end));
    if (defined && header.tag == kSequenceDelimiterTag && header.length == 0 &&
        reader_.position() == end) {
      // Some writers close a defined-length sequence with a delimiter counted in its length.
      log::write(function_, log::kWarning,
                 "(%4.4x,%4.4x): Sequence delimiter ends a sequence of defined length",
                 group_of(sequence_tag), element_of(sequence_tag));
      if (!any_item) {
        core::LockHold hold(object.lock);
        TS_RETURN_IF_ERROR(data::append_null_value(attribute));
      }
      break;
    }
    if (!defined && header.tag == kSequenceDelimiterTag) {
      if (!any_item) {
        core::LockHold hold(object.lock);
        TS_RETURN_IF_ERROR(data::append_null_value(attribute));
      }
      break;
    }
    if (header.tag != kItemTag) {
      log::write(function_, log::kError,
                 "Item tag (FFFE,E000) expected, (%.4X,%.4X) encountered in stream",
                 group_of(header.tag), element_of(header.tag));
      return Status(CV_INVALID_VALUE_FOR_VR);
    }
    const uint32_t item_length = header.length;
    const bool item_defined = item_length != data::kUndefinedLength;
    if (defined && item_defined && item_length > end - reader_.position()) {
      log::write(function_, log::kError,
                 "Item of %lu bytes runs past the end of sequence (%4.4x,%4.4x)",
                 static_cast<unsigned long>(item_length), group_of(sequence_tag),
                 element_of(sequence_tag));
      return Status(CV_INVALID_VALUE_FOR_VR);
    }
    data::MsgObj* item = nullptr;
    TS_RETURN_IF_ERROR(data::open_item(name, &item));
    Status linked;
    {
      core::LockHold hold(object.lock);
      if (item->charset_flags == 0) item->charset_flags = object.charset_flags;
      linked = data::append_item_node(attribute, *item);
    }
    if (!linked.ok()) {
      data::destroy_object(item);
      return linked;
    }
    any_item = true;
    Level child;
    child.object = item;
    child.parent = &level;
    child.depth = level.depth + 1;
    TS_RETURN_IF_ERROR(item_syntax(level.syntax, maybe_implicit, item_length, &child.syntax));
    item->transfer_syntax = child.syntax.code;
    if (item_length == 0) continue;
    child.undefined = !item_defined;
    child.defined = item_defined;
    child.end = reader_.position() + (item_defined ? item_length : 0);
    TS_RETURN_IF_ERROR(parse_level(child));
    if (sequence_closed_) {
      sequence_closed_ = false;
      if (!defined) break;
    }
    if (defined && reader_.position() > end) {
      log::write(function_, log::kError,
                 "Item data runs past the end of sequence (%4.4x,%4.4x) by %lu bytes",
                 group_of(sequence_tag), element_of(sequence_tag),
                 static_cast<unsigned long>(reader_.position() - end));
      current_tag_ = sequence_tag;
      return Status(CV_INVALID_VALUE_FOR_VR);
    }
  }
  current_tag_ = sequence_tag;
  return Status();
}

Status Parser::skip_value(const Syntax& syntax, const ElementHeader& header) {
  if (header.length == data::kUndefinedLength) {
    return skip_undefined(syntax, header.stream_vr == CV_VR_UN || !syntax.explicit_vr);
  }
  if (header.length > kLargestSkip) {
    log::write(function_, log::kError, "Value of (%4.4x,%4.4x) too large to skip: %lu bytes",
               group_of(header.tag), element_of(header.tag),
               static_cast<unsigned long>(header.length));
    return Status(CV_STREAM_VALUE_TOO_LARGE);
  }
  return reader_.skip(header.length);
}

Status Parser::skip_undefined(const Syntax& syntax, bool maybe_implicit) {
  // Walked without recursion: each open sequence or item is one frame, so the depth is bounded
  // only by the bytes of the stream.
  skip_stack_.clear();
  skip_stack_.push_back(SkipFrame{false, maybe_implicit, syntax});
  while (!skip_stack_.empty()) {
    const SkipFrame frame = skip_stack_.back();
    ElementHeader header;
    bool clean_end = false;
    TS_RETURN_IF_ERROR(read_header(frame.syntax, &header, &clean_end));
    if (!frame.in_item) {
      if (header.tag == kSequenceDelimiterTag) {
        skip_stack_.pop_back();
        continue;
      }
      if (header.tag != kItemTag) {
        log::write(function_, log::kError,
                   "Expecting item tag or sequence delimiter in stream, encountered (%.4X,%.4X)",
                   group_of(header.tag), element_of(header.tag));
        return Status(CV_INVALID_VALUE_FOR_VR);
      }
      if (header.length == data::kUndefinedLength) {
        Syntax inner;
        TS_RETURN_IF_ERROR(item_syntax(frame.syntax, frame.maybe_implicit, header.length, &inner));
        skip_stack_.push_back(SkipFrame{true, frame.maybe_implicit, inner});
        continue;
      }
    } else {
      if (header.tag == kItemDelimiterTag) {
        skip_stack_.pop_back();
        continue;
      }
      if (header.length == data::kUndefinedLength) {
        const bool unknown = header.stream_vr == CV_VR_UN || !frame.syntax.explicit_vr;
        skip_stack_.push_back(SkipFrame{false, unknown, frame.syntax});
        continue;
      }
    }
    TS_RETURN_IF_ERROR(skip_value(frame.syntax, header));
  }
  return Status();
}

Status Parser::decode_items(data::MsgObj& object, data::TagObj& attribute, uint32_t length) {
  Level level;
  level.object = &object;
  level.syntax = syntax_properties(IMPLICIT_LITTLE_ENDIAN);
  level.defined = true;
  level.end = length;
  Status status = read_sequence(level, attribute, length, true);
  if (status.is(CV_END_OF_DATA)) status = unexpected_end();
  return status;
}

}  // namespace detail

namespace {

Status decode_sequence_hook(data::MsgObj& object, data::TagObj& attribute, const uint8_t* bytes,
                            uint32_t length) {
  detail::StreamReader reader(bytes, length);
  TS_RETURN_IF_ERROR(reader.init());
  DecodeRequest request;
  request.function = "CV_Set_Value_Representation";
  detail::Parser parser(reader, request);
  const Status status = parser.decode_items(object, attribute, length);
  if (!status.ok()) {
    // The caller restores the UN value; the items made so far go with the failed attempt.
    core::LockHold hold(object.lock);
    data::release_values(object, attribute, true, false);
  }
  return status;
}

}  // namespace

void install_decoder_hooks() {
  // Every decode comes through here, from any thread: the hook is written once.
  static std::once_flag installed;
  std::call_once(installed, [] { data::object_hooks().decode_sequence = decode_sequence_hook; });
}

Status decode(data::MsgObj& object, const DecodeRequest& request, DecodeResult* result) {
  install_decoder_hooks();
  DecodeResult ignored;
  if (result == nullptr) result = &ignored;
  *result = DecodeResult{};
  detail::StreamReader reader(request);
  TS_RETURN_IF_ERROR(reader.init());
  bool odd = request.syntax == kDeflatedSyntax && !request.file_header;
  if (request.file_source != nullptr && Cfg != nullptr && Cfg->b(KORAX_OPEN_FILE)) odd = true;
  reader.allow_odd_chunks(odd);
  detail::Parser parser(reader, request);
  return parser.decode(object, result);
}

}  // namespace tessel::codec
