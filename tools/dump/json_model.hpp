// The DICOM JSON Model of a data set (PS3.18 Annex F), built by walking a message, item or file
// through the public C interface.
#ifndef TESSEL_TOOLS_DUMP_JSON_MODEL_HPP_
#define TESSEL_TOOLS_DUMP_JSON_MODEL_HPP_

#include <cstdint>
#include <string>

namespace tessel_tools {

struct JsonFailure {
  int32_t status = 0;  // the status of the call that failed
  uint32_t tag = 0;    // the attribute being written
};

// Appends the JSON object of `object_id` to *out, without white space: every attribute except
// those of group 0002, nested items included. Text is converted to UTF-8 by the Specific
// Character Set (0008,0005) in force; values of OB, OW, OL, OF and UN are "InlineBinary" Base64
// of their little-endian bytes; IS, DS and the binary numeric VRs are JSON numbers (a DS or IS
// text that is no number stays a string); PN values are objects of their component groups;
// attributes without a value, or with one empty value, carry "vr" only, and empty values among
// several are null. Returns false on a failed library call, described in *failure.
bool append_json_data_set(int32_t object_id, std::string* out, JsonFailure* failure);

}  // namespace tessel_tools

#endif  // TESSEL_TOOLS_DUMP_JSON_MODEL_HPP_
