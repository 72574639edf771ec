// Attribute values kept in temporary files when LARGE_DATA_STORE selects file storage.
//
// Each attribute with file storage has one FileRecord, kept in its object's list: three file
// names (file 0 for a value stored whole, file 1 for the normal store, file 2 for the overflow
// of file 1) and the list of pieces. A piece is its length as a 4-byte native-order number
// followed by its bytes, appended to its file.
#ifndef TESSEL_DATA_LARGE_VALUES_HPP_
#define TESSEL_DATA_LARGE_VALUES_HPP_

#include <cstdint>

#include "core/status.hpp"
#include "data/object.hpp"

namespace tessel::data {

// Finds or creates the attribute's file record (the new record names its three files and sets
// the attribute's storage kind to 'F'). Null without memory.
FileRecord* file_record_for(MsgObj& object, TagObj& attribute);

// Appends `length` bytes as pieces of at most OBOW_BUFFER_SIZE bytes (LT and UT in one piece);
// each piece adds one to the value count and its length to the total. `first` releases the
// earlier values; otherwise values still held in memory are moved to the file first. Before a
// piece would take file 1 to 0x7FFFFFFF bytes, file 2 takes over. CV_TEMP_FILE_ERROR on a file
// fault and CV_SYSTEM_ERROR without memory, both leaving the attribute without values.
Status store_pieces(MsgObj& object, TagObj& attribute, const uint8_t* bytes, uint32_t length,
                    bool first);
// Stores a whole value in file 0 as one piece, replacing what file 0 held (its piece record is
// replaced too; pieces in files 1 and 2 stay). Failures as for store_pieces.
Status store_whole_value(MsgObj& object, TagObj& attribute, const uint8_t* bytes, uint32_t length);
// Reads piece `number` (from 1) into a new ValueObj (CVI_newBuffer; the caller releases it).
// CV_NO_MORE_VALUES, CV_NO_VALUE_YET, CV_TEMP_FILE_ERROR, CV_SYSTEM_ERROR.
Status read_piece(MsgObj& object, TagObj& attribute, int32_t number, ValueObj** out);
// Number of pieces stored for the attribute.
int32_t piece_count(const TagObj& attribute);
// Moves an attribute's in-memory nodes to file 1 (created anew), one piece per node; the value
// count becomes the number of pieces. Nothing to do for a value already in a file;
// CV_INCOMPATIBLE_VR for binary, SQ and callback values. On failure the memory values stay.
Status move_to_file(MsgObj& object, TagObj& attribute);
// Deletes the attribute's files, frees its record and sets the storage kind back to 'M'.
void release_file_storage(MsgObj& object, TagObj& attribute);
// Releases every file record of an object (its attributes are being freed).
void release_all_file_storage(MsgObj& object);

}  // namespace tessel::data

#endif  // TESSEL_DATA_LARGE_VALUES_HPP_
