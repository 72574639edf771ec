#include "data/vr.hpp"

#include <cstring>

#include "config/config_record.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {
constexpr const char* kVrTexts[kVrCount] = {
    "AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT", "PN", "SH", "ST", "TM", "UT",
    "UI", "SS", "US", "AT", "SL", "UL", "FL", "FD", "UN", "OB", "OW", "OL", "OF", "SQ"};
}  // namespace

const char* vr_text(int32_t vr) {
  return vr >= 0 && vr < kVrCount ? kVrTexts[vr] : nullptr;
}

int32_t vr_from_text(const char* text) {
  if (text == nullptr) return -1;
  for (int32_t vr = 0; vr < kVrCount; ++vr) {
    if (text[0] == kVrTexts[vr][0] && text[1] == kVrTexts[vr][1]) return vr;
  }
  return -1;
}

}  // namespace tessel::data

bool CVI_ValidVRCode(int32_t vr) {
  return vr >= 0 && vr < tessel::data::kVrCount;
}

const char* CVI_VRcodeToASCII(int32_t vr) {
  if (vr != CV_VR_UN && CVI_ValidVRCode(vr)) return tessel::data::vr_text(vr);
  if (Cfg != nullptr && Cfg->str(UNKNOWN_VR_CODE) == "OB") return "OB";
  return "UN";
}
