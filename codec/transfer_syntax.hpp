// Transfer syntax codes: names, display names, configured UIDs and encoding properties.
// Every encoding decision of the library is taken from these properties.
#ifndef TESSEL_CODEC_TRANSFER_SYNTAX_HPP_
#define TESSEL_CODEC_TRANSFER_SYNTAX_HPP_

#include <cstdint>

#include "core/status.hpp"

namespace tessel::codec {

inline constexpr int32_t kFirstSyntax = 100;
inline constexpr int32_t kLastSyntax = 137;
inline constexpr int32_t kLittleEndian = 100;
inline constexpr int32_t kBigEndian = 101;
inline constexpr int32_t kDeflatedSyntax = 104;

constexpr bool valid_syntax(int32_t code) {
  return code >= kFirstSyntax && code <= kLastSyntax;
}

struct SyntaxParms {
  bool explicit_vr;
  int32_t byte_order;  // kLittleEndian or kBigEndian
  bool encapsulated;
};

// Symbolic name (as in syntax lists) and the string configuration parameter holding the UID.
const char* syntax_symbolic_name(int32_t code);
int32_t syntax_uid_parameter(int32_t code);

// Symbolic name lookup, case-insensitive, in the fixed comparison order. Code 0 and
// CV_INVALID_TRANSFER_SYNTAX when nothing matches.
Status syntax_from_name(const char* name, int32_t* code);
// UID lookup, case-insensitive, in the same order. IMPLICIT_LITTLE_ENDIAN and
// CV_INVALID_TRANSFER_SYNTAX when nothing matches.
Status syntax_from_uid(const char* uid, int32_t* code);

}  // namespace tessel::codec

// Fills the three encoding properties; CV_INVALID_TRANSFER_SYNTAX (with neutral values) for a
// code outside the table.
int32_t CVI_GetSyntaxParmsForEnum(int32_t syntax, int32_t* explicit_vr, int32_t* byte_order,
                                  int32_t* encapsulated);
// The configured UID (not a copy); empty for an unknown code.
const char* CVI_GetPtrForSyntax(int32_t syntax);
// The display name; empty for an unknown code.
const char* CVI_GetNameForSyntax(int32_t syntax);

#endif  // TESSEL_CODEC_TRANSFER_SYNTAX_HPP_
