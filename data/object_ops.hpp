// Operations behind the exported message and item functions: opening, walking, service and
// command, VR changes. Duplicate, empty and free are declared in objects.hpp, where other
// layers find them.
#ifndef TESSEL_DATA_OBJECT_OPS_HPP_
#define TESSEL_DATA_OBJECT_OPS_HPP_

#include <cstdint>

#include "core/status.hpp"
#include "data/object.hpp"

namespace tessel::data {

// Name of objects opened empty.
inline constexpr const char* kEmptyObjectName = "MOUSE";

// Whether `command` is one of the DIMSE command field values a message may carry.
bool valid_command(int32_t command);

// Opens a Message for a service and command: the command group attributes, then the template
// of the pair. A pair the services profile does not have (unknown service, command the service
// lacks) logs "WARNING: No Service %s, Command %s in info file." at trace 7 (not for "MOUSE")
// and leaves the message with its command attributes only. CV_INVALID_COMMAND for a command
// that is not valid; CV_MESSAGE_INFO_FILE_ERROR or CV_SYSTEM_ERROR when the template cannot be
// read or applied (nothing is left behind).
Status open_message(const char* service, int32_t command, MsgObj** out);
// Opens an Item with the template of its item name, unless FORCE_OPEN_EMPTY_ITEM is set. An
// unknown item name logs "WARNING: No Item %s in info file." at trace 7 (not for "MOUSE").
Status open_item(const char* item_name, MsgObj** out);

// Adds the command group attributes a new message carries, each with VM 1 to 1 and no value.
Status add_command_attributes(MsgObj& message);

// Replaces the service name, service number and command of a Message, File or DICOMDIR
// (CV_INVALID_MESSAGE_ID for other kinds, CV_INVALID_COMMAND for an invalid command). A name
// beginning "DICOMDIR" turns a File into a DICOMDIR with (0004,1200) and (0004,1202) set to 0 and
// (0004,1220) holding one NULL value; any other name turns a DICOMDIR back into a File.
Status set_service_command(MsgObj& object, const char* service, int32_t command);

// The iteration walk. With `restart` the cursor goes to the first attribute. CV_MESSAGE_EMPTY
// without attributes, CV_NO_MORE_ATTRIBUTES at the end; otherwise the attribute under the cursor
// (its count is 1 for UN, OB, OW, OL and OF) and the cursor moves past it. Outputs may be null.
Status next_attribute(MsgObj& object, bool restart, uint32_t* tag, int32_t* vr, int32_t* count);
// Places the iteration cursor on `tag` and returns it as next_attribute does. CV_INVALID_TAG
// when absent.
Status attribute_info(MsgObj& object, uint32_t tag, int32_t* vr, int32_t* count);

// CV_Duplicate_Message's work: the copy of duplicate_object in `syntax` (0: the source's).
// Between an encapsulated and a native syntax the destination's compressor
// (CV_NO_COMPRESSION_FUNCTION) or the source's decompressor (CV_NO_DECOMPRESSION_FUNCTION; the
// argument or the one stored on the source) is required; the pair is stored on the copy, and
// pixel data is converted through the codec layer's hook (CV_FUNCTION_UNAVAILABLE without it).
Status duplicate_message(MsgObj& source, int32_t syntax, void* compressor, void* decompressor,
                         MsgObj** out);

// Changes the VR of an attribute where the rules allow it (see vr_change.cpp). CV_INVALID_TAG,
// CV_VR_ALREADY_VALID for a change that is not allowed, CV_CANNOT_CHANGE_VR_TO_SQ for bytes
// that cannot become items, CV_SYSTEM_ERROR, or the refusal of decoding a UN value again.
Status change_vr(MsgObj& object, uint32_t tag, int32_t vr);

}  // namespace tessel::data

#endif  // TESSEL_DATA_OBJECT_OPS_HPP_
