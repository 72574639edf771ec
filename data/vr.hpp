// Value representation codes: the one enumeration of VRs used by the whole library.
#ifndef TESSEL_DATA_VR_HPP_
#define TESSEL_DATA_VR_HPP_

#include <cstdint>

#include "tessel/tessel_defs.h"

namespace tessel::data {

inline constexpr int32_t kVrCount = 28;

constexpr bool is_text_vr(int32_t vr) {
  return vr >= CV_VR_AE && vr <= CV_VR_UI;
}
constexpr bool is_binary_vr(int32_t vr) {
  return vr >= CV_VR_SS && vr <= CV_VR_FD;
}
constexpr bool is_opaque_vr(int32_t vr) {
  return vr >= CV_VR_UN && vr <= CV_VR_OF;
}
constexpr bool is_sequence_vr(int32_t vr) {
  return vr == CV_VR_SQ;
}

// Byte width of one value of a fixed-width binary VR; 0 for other VRs.
constexpr int32_t binary_width(int32_t vr) {
  switch (vr) {
    case CV_VR_SS:
    case CV_VR_US:
      return 2;
    case CV_VR_AT:
    case CV_VR_SL:
    case CV_VR_UL:
    case CV_VR_FL:
      return 4;
    case CV_VR_FD:
      return 8;
    default:
      return 0;
  }
}

// The two-letter text of a VR code as the standard writes it ("UN" for 22); null when invalid.
const char* vr_text(int32_t vr);
// The code of a two-letter VR text, or -1.
int32_t vr_from_text(const char* text);

}  // namespace tessel::data

// Whether a VR code is one of the 28.
bool CVI_ValidVRCode(int32_t vr);
// The two-letter text of a code; for UN and any invalid code the text configured by
// UNKNOWN_VR_CODE ("UN" or "OB").
const char* CVI_VRcodeToASCII(int32_t vr);

#endif  // TESSEL_DATA_VR_HPP_
