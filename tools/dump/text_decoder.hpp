// Turning the bytes of a text value into UTF-8 according to the Specific Character Set
// (0008,0005) of its data set, with ISO 2022 code extensions.
#ifndef TESSEL_TOOLS_DUMP_TEXT_DECODER_HPP_
#define TESSEL_TOOLS_DUMP_TEXT_DECODER_HPP_

#include <string>
#include <vector>

namespace tessel_tools {

class TextDecoder {
 public:
  // `terms` are the values of (0008,0005) in order; none selects the default repertoire. An
  // unknown term is read as the default repertoire.
  explicit TextDecoder(const std::vector<std::string>& terms = {});

  // UTF-8 text of `bytes`, a value of a VR that the character set applies to. Each part that
  // starts with an escape sequence is read in the set the sequence designates; inside such a
  // part a delimiter from `delimiters` returns to the first set. Bytes that cannot be read become
  // U+FFFD.
  std::string decode(const std::string& bytes, const char* delimiters) const;

  // UTF-8 text of a value in the default repertoire: ASCII, other bytes taken as ISO 8859-1.
  static std::string decode_default(const std::string& bytes);

  // Delimiters that return to the first set: in text values, and inside a person name group.
  static constexpr const char* kTextDelimiters = "\r\n\t\f";
  static constexpr const char* kNameDelimiters = "^";

 private:
  std::vector<std::string> encodings_;  // iconv names, one per term; never empty
};

}  // namespace tessel_tools

#endif  // TESSEL_TOOLS_DUMP_TEXT_DECODER_HPP_
