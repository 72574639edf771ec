// The decoder's parser: one per decode call. It walks the element headers of the stream level by
// level (the top-level object, then each item of each sequence), finds or creates the attributes
// and stores their values, applying the repair rules and logging every repair.
#ifndef TESSEL_CODEC_DECODER_PARSER_HPP_
#define TESSEL_CODEC_DECODER_PARSER_HPP_

#include <cstdint>
#include <string>
#include <vector>

#include "codec/decoder.hpp"
#include "codec/decoder_source.hpp"
#include "config/config_record.hpp"
#include "core/status.hpp"
#include "data/dictionary.hpp"
#include "data/object.hpp"

namespace tessel::codec::detail {

inline constexpr uint32_t kItemTag = 0xFFFEE000;
inline constexpr uint32_t kItemDelimiterTag = 0xFFFEE00D;
inline constexpr uint32_t kSequenceDelimiterTag = 0xFFFEE0DD;
inline constexpr uint32_t kPixelDataTag = 0x7FE00010;
inline constexpr uint32_t kNumberOfFramesTag = 0x00280008;
inline constexpr uint32_t kMetaGroupLengthTag = 0x00020000;
inline constexpr uint32_t kTransferSyntaxUidTag = 0x00020010;
inline constexpr uint32_t kNoVr = 0xFFFFFFFF;

// Encoding properties of the syntax in force.
struct Syntax {
  int32_t code = 0;
  bool explicit_vr = false;
  bool big_endian = false;
  bool encapsulated = false;
};
Syntax syntax_properties(int32_t code);

inline uint16_t read16(const uint8_t* at, bool big_endian) {
  return big_endian ? static_cast<uint16_t>(at[0] << 8 | at[1])
                    : static_cast<uint16_t>(at[0] | at[1] << 8);
}
inline uint32_t read32(const uint8_t* at, bool big_endian) {
  return big_endian ? uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3]
                    : uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 |
                          uint32_t{at[3]} << 24;
}

// The VR code of two VR characters, or -1 for characters that name none of the 28 VRs.
int32_t vr_of_chars(uint8_t first, uint8_t second);

// One element header as the stream gives it.
struct ElementHeader {
  uint32_t tag = 0;
  int32_t stream_vr = -1;  // -1 in implicit VR and for items and delimiters
  uint32_t length = 0;
  uint64_t offset = 0;  // of the header's first byte
};

// One level of the parse: the object being filled and where its bytes end.
struct Level {
  data::MsgObj* object = nullptr;
  const Level* parent = nullptr;
  Syntax syntax;
  bool top = false;        // the object the caller named
  bool undefined = false;  // an item that ends with its delimitation item
  bool defined = false;    // an item that ends after `end`
  uint64_t end = 0;
  int32_t depth = 0;
  uint32_t previous_tag = 0;
};

// Where the elements of a private block of the stream go in the object.
struct CreatorEntry {
  const data::MsgObj* object;
  uint16_t group;
  uint8_t stream_block;
  uint8_t object_block;
  std::string code;
};

class Parser {
 public:
  Parser(StreamReader& reader, const DecodeRequest& request);

  // Decodes the whole stream into `object` (the top level).
  Status decode(data::MsgObj& object, DecodeResult* result);
  // Decodes `length` bytes of items in implicit VR little endian (or explicit where an item's
  // first element carries a VR) as the values of an SQ attribute of `object`.
  Status decode_items(data::MsgObj& object, data::TagObj& attribute, uint32_t length);

 private:
  // decoder.cpp: the parse walk.
  Status run_top(Level& top);
  Status read_file_header(data::MsgObj& object);
  Status parse_level(Level& level);
  Status end_of_level(const Level& level);
  Status before_element(Level& level);
  Status switch_to_data_set(Level& level);
  Status read_header(const Syntax& syntax, ElementHeader* header, bool* clean_end);
  Status decode_element(Level& level, const ElementHeader& header);
  Status read_sequence(Level& level, data::TagObj& attribute, uint32_t length, bool maybe_implicit);
  Status item_syntax(const Syntax& outer, bool maybe_implicit, uint32_t item_length,
                     Syntax* syntax);
  Status skip_value(const Syntax& syntax, const ElementHeader& header);
  Status skip_undefined(const Syntax& syntax, bool maybe_implicit);
  Status check_bounds(const Level& level, uint32_t length);
  bool filtered(uint32_t tag) const;
  Status unexpected_end();
  void note_meta_element(const Level& level, const ElementHeader& header);

  // decoder_private.cpp: private creators and the creator map.
  Status decode_creator(Level& level, const ElementHeader& header);
  const CreatorEntry* find_creator(const Level& level, uint16_t group, uint8_t block) const;
  void remember_creator(const data::MsgObj& object, uint16_t group, uint8_t stream_block,
                        uint8_t object_block, const std::string& code);

  // decoder_values.cpp: storing values.
  Status store_value(Level& level, data::TagObj& attribute, const ElementHeader& header,
                     bool maybe_implicit);
  Status store_text(Level& level, data::TagObj& attribute, uint32_t length);
  Status store_binary(Level& level, data::TagObj& attribute, uint32_t length);
  Status store_opaque(Level& level, data::TagObj& attribute, const ElementHeader& header);
  Status store_in_memory(Level& level, data::TagObj& attribute, uint32_t length, uint32_t swap);
  Status store_in_file(Level& level, data::TagObj& attribute, uint32_t length, uint32_t swap);
  Status store_by_callback(Level& level, data::TagObj& attribute, const ElementHeader& header,
                           uint32_t swap);
  Status store_fragments(Level& level, data::TagObj& attribute);
  Status fragments_to_callback(Level& level, data::TagObj& attribute);
  Status bind_callback(data::MsgObj& object, data::TagObj& attribute);
  uint32_t swap_unit(const Level& level, int32_t vr) const;
  const uint8_t* swapped(const uint8_t* bytes, uint32_t length, uint32_t unit);
  uint32_t node_capacity(uint32_t wanted) const;
  uint32_t frame_piece(data::MsgObj& object, uint32_t length) const;

  StreamReader& reader_;
  const DecodeRequest& request_;
  const char* function_;

  // Configuration taken when the decode starts.
  bool allow_out_of_order_ = false;
  bool allow_invalid_private_ = false;
  bool allow_duplicate_creators_ = false;
  bool remove_trailing_space_ = false;
  bool force_dicm_ = false;
  uint32_t callback_min_size_ = 1;
  uint32_t gather_size_ = 28672;
  const std::vector<config::TagFilterEntry>* filter_ = nullptr;

  // Where the parse stands, for the result.
  uint32_t current_tag_ = 0;
  uint64_t element_offset_ = 0;
  bool stopped_ = false;
  uint64_t stop_offset_ = 0;
  // An undefined-length item ended with the sequence's delimiter: the sequence ends with it.
  bool sequence_closed_ = false;

  // Files: the meta group, then the data set syntax; deflated data sets start inflating at the
  // first element above group 0003.
  bool meta_first_ = false;
  bool meta_pending_ = false;
  bool meta_end_known_ = false;
  uint64_t meta_end_ = 0;
  bool deflate_pending_ = false;

  std::vector<CreatorEntry> creators_;
  std::vector<uint8_t> scratch_;  // byte-swapped pieces
  struct SkipFrame {
    bool in_item;
    bool maybe_implicit;
    Syntax syntax;
  };
  std::vector<SkipFrame> skip_stack_;
};

}  // namespace tessel::codec::detail

#endif  // TESSEL_CODEC_DECODER_PARSER_HPP_
