// The records behind attribute values kept in temporary files: one FileRecord per attribute with
// file storage, in its object's list, and one FileValueObj per stored piece.
#ifndef TESSEL_DATA_FILE_RECORD_HPP_
#define TESSEL_DATA_FILE_RECORD_HPP_

#include <cstdint>

#include "data/object.hpp"

namespace tessel::data {

// File 0 holds a value stored whole, file 1 the normal store, file 2 the overflow of file 1.
inline constexpr int32_t kWholeValueFile = 0;
inline constexpr int32_t kStoreFile = 1;
inline constexpr int32_t kOverflowFile = 2;
inline constexpr int32_t kTempFileCount = 3;
inline constexpr int32_t kTempFileNameSize = 256;  // names include their NUL

// One stored piece: a 4-byte native-order length prefix at `offset` in file `file`, then the
// bytes.
struct FileValueObj {
  uint32_t length;
  int64_t offset;
  int32_t file;  // kWholeValueFile, kStoreFile or kOverflowFile
  FileValueObj* next;
};

struct FileRecord {
  FileRecord* next;  // the object's list
  uint32_t tag;
  bool files_created;  // some file was opened for writing, so release must remove them
  bool store_full;     // file 1 reached its size limit; pieces go to file 2
  FileValueObj* first_piece;
  FileValueObj* last_piece;
  int32_t piece_count;
  // The piece most recently read and its number, so that reading pieces in order costs one step
  // each. Cleared whenever pieces are removed.
  FileValueObj* read_piece;
  int32_t read_number;
  char names[kTempFileCount][kTempFileNameSize];
};

// Size file 1 may not reach: the next piece goes to file 2 instead. Tests lower it to exercise
// the overflow without writing two gigabytes; 0 restores the default 0x7FFFFFFF.
void set_store_file_limit(int64_t limit);

}  // namespace tessel::data

#endif  // TESSEL_DATA_FILE_RECORD_HPP_
