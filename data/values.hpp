// The value layer: the set and get workers behind every exported value function, and the
// operations the encoder, decoder and private-attribute layer share with them.
//
// Locking: each operation takes the object's lock once for its lookup and its changes to the
// attribute; no lock is held while an application callback (supplier, consumer, value callback)
// runs. Items placed in sequences are locked after their container, never the reverse.
#ifndef TESSEL_DATA_VALUES_HPP_
#define TESSEL_DATA_VALUES_HPP_

#include <cstdint>

#include "core/status.hpp"
#include "data/object.hpp"

#include "tessel/tessel_values.h"

namespace tessel::data {

// ---- Attributes ---------------------------------------------------------------------------------

// The attribute of `tag`, added when absent by the rules of the set functions: a repeating-group
// tag (50xx, 60xx) copies VR, VM and template of its 5000/6000 form when present; otherwise an
// object with its template applied refuses the tag (CV_INVALID_TAG); otherwise the dictionary VR
// (looked up with `creator` for private tags; may be null) and VM 1 to 255. A failing add logs
// "CVI_newTag failed: %s" under `function` and gives CV_SYSTEM_ERROR. Caller holds the lock.
Status find_or_add_attribute(MsgObj& object, uint32_t tag, const char* creator,
                             const char* function, TagObj** out);

// ---- Set and get workers
// --------------------------------------------------------------------------

// Sets (`next` false) or appends (`next` true) one value of data type `type` (CV_TYPE_STRING to
// CV_TYPE_DOUBLE). `function` names the log lines. Returns the text check's status when the
// value was stored but breaks its VR's rules.
Status set_value(MsgObj& object, uint32_t tag, int32_t type, const void* value, bool next,
                 const char* function, const char* creator = nullptr);
// Replaces the values by one NULL value, or (`next`) appends an empty text value.
Status set_value_to_null(MsgObj& object, uint32_t tag, bool next, const char* function,
                         const char* creator = nullptr);
// Releases every value; SQ items are freed with REMOVE_SQ. CV_INVALID_TAG when absent.
Status set_value_to_empty(MsgObj& object, uint32_t tag);
Status delete_current_value(MsgObj& object, uint32_t tag);

// Reads the first (`next` false) or the next value as data type `type` into `buffer`. For
// CV_TYPE_STRING the text is NUL-terminated and *length is its length (the full value length
// with CV_BUFFER_TOO_SMALL); for numbers *length is the type's size.
Status get_value(MsgObj& object, uint32_t tag, int32_t type, bool next, uint32_t buffer_size,
                 void* buffer, uint32_t* length);
Status value_count(MsgObj& object, uint32_t tag, int32_t* count);
Status value_length(MsgObj& object, uint32_t tag, int32_t value_number, uint32_t* length);

// ---- Raw values
// -----------------------------------------------------------------------------------

Status set_value_from_buffer(MsgObj& object, uint32_t tag, const void* buffer, uint32_t length,
                             const char* function);
Status get_value_to_buffer(MsgObj& object, uint32_t tag, uint32_t buffer_size, void* buffer,
                           uint32_t* length);
Status set_value_from_function(MsgObj& object, uint32_t tag, void* user_info,
                               CV_VALUE_SUPPLIER supplier, const char* function);
Status get_value_to_function(MsgObj& object, uint32_t tag, void* user_info,
                             CV_VALUE_CONSUMER consumer, const char* function);
Status byte_swap_value(MsgObj& object, uint32_t tag, const char* function);

// ---- Encapsulated pixel data --------------------------------------------------------------------

Status set_encapsulated_frame(MsgObj& object, uint32_t tag, void* user_info,
                              CV_VALUE_SUPPLIER supplier, bool next, const char* function);
Status close_encapsulated_value(MsgObj& object, uint32_t tag);
Status get_encapsulated_frame(MsgObj& object, uint32_t tag, void* user_info,
                              CV_VALUE_CONSUMER consumer, bool next, const char* function);

// ---- Stored values for the encoder and decoder ------------------------------------------------

// Appends one value already in stored form (text bytes, native binary numbers, or a piece of an
// opaque value) to an attribute in memory or, by the large-data rules, in its temporary file.
// Text: one value (a value of (0008,0005) updates the character-set flags); fixed-width VRs: any
// whole number of values (0 bytes: a NULL value); opaque VRs: one more piece; SQ:
// CV_INCOMPATIBLE_VR (items are placed by the set worker). Caller holds the lock.
// CV_SYSTEM_ERROR (also for a length that is not a whole number of values), CV_TEMP_FILE_ERROR.
Status append_stored(MsgObj& object, TagObj& attribute, const uint8_t* bytes, uint32_t length);

}  // namespace tessel::data

#endif  // TESSEL_DATA_VALUES_HPP_
