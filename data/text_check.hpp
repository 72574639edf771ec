// The per-VR checks of a text value: allowed characters (multi-byte characters and escape
// sequences recognised under the object's character set), length limits and form.
#ifndef TESSEL_DATA_TEXT_CHECK_HPP_
#define TESSEL_DATA_TEXT_CHECK_HPP_

#include <cstdint>
#include <string_view>

#include "core/status.hpp"

namespace tessel::data {

// Checks one stored text value of a text VR (AE to UI; other VRs pass). Leading and trailing
// spaces are set aside (not for UI, and leading spaces are refused in TM). Returns
// CV_NORMAL_COMPLETION; CV_INVALID_CHARS_IN_VALUE for a character the VR does not allow or a
// refused escape sequence / broken multi-byte character; CV_INVALID_VALUE_FOR_VR for a length or
// form the VR does not allow. An empty value (no bytes) passes for every VR; a value of spaces
// only passes for CS, DS, IS, LO, SH, LT, ST, UT and PN and is refused as empty for AE, AS, DA
// and DT. Over-long values and refused empty ones are logged at warning level under `function`
// with `tag`; character-set refusals are logged by the scanner.
//
// Limits in characters (LO 64, LT 10240, PN 192, SH 16, ST 1024) are byte limits multiplied by
// the character set's bytes per character, escape-sequence bytes not counted; the ASCII-only
// VRs count bytes.
Status check_text_value(int32_t vr, uint32_t tag, std::string_view text, uint32_t charset_flags,
                        const char* function);

}  // namespace tessel::data

#endif  // TESSEL_DATA_TEXT_CHECK_HPP_
