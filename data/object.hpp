// The objects of the data model: messages, items, files and DICOMDIRs share one object type
// (MsgObj) and one identifier space; their attributes (TagObj) hold values (ValueObj).
#ifndef TESSEL_DATA_OBJECT_HPP_
#define TESSEL_DATA_OBJECT_HPP_

#include <cstdint>

#include "core/named_lock.hpp"

#include "tessel/tessel_core.h"

namespace tessel::core {
struct CallbackRecord;
}

namespace tessel::data {

struct TemplateAttribute;  // message templates (msg_info.hpp)
struct FileRecord;         // large values in temporary files (large_values.hpp)
struct PendingStream;      // undecoded rest of a stream (objects.hpp)
struct MsgObj;

enum class ObjectKind : int32_t {
  kMessage = CV_KIND_MESSAGE,
  kItem = CV_KIND_ITEM,
  kDicomdir = CV_KIND_DICOMDIR,
  kFile = CV_KIND_FILE,
  kSr = CV_KIND_SR_ITEM,
};

// Where an attribute's values live.
inline constexpr char kStoredInMemory = 'M';
inline constexpr char kStoredInFile = 'F';
inline constexpr char kStoredByCallback = 'C';

inline constexpr int32_t kMaxValueCount = 0x7FFFFFFF;
inline constexpr uint32_t kUndefinedLength = 0xFFFFFFFF;
inline constexpr uint16_t kNoCommand = 0xFFFF;

// One value, or one stretch of a long value. The bytes normally follow the node in the same
// buffer. Text VRs: one node per value (length 0 = empty value). Fixed-width binary VRs: values
// packed end to end in native byte order, several per node. Opaque VRs: consecutive pieces of
// the one value. SQ: one node per item, `bytes` pointing at an ItemRef, `length` 1 (a NULL SQ
// value: `bytes` null, `length` 0). `capacity` is the room for bytes after the node when it is
// larger than `length` (fixed-width values are appended into it); 0 means exactly `length`.
struct ValueObj {
  uint32_t length;
  uint32_t capacity;
  uint8_t* bytes;
  ValueObj* next;
};

// The value of one SQ node.
struct ItemRef {
  int32_t item_id;
  MsgObj* item;
};

// An attribute record.
struct TagObj {
  uint32_t tag;
  int32_t value_count;
  uint32_t length;  // total value length in bytes; kUndefinedLength for undefined
  // Byte offset of the cursor's value inside the cursor node (fixed-width VRs pack values).
  uint32_t cursor_offset;
  ValueObj* head;
  ValueObj* tail;
  // Value cursor of the get-next functions: index of the next value (from 0) and its node.
  int32_t cursor_index;
  ValueObj* cursor;
  ValueObj* cursor_prev;
  char storage;  // kStoredInMemory, kStoredInFile or kStoredByCallback
  int32_t vr;
  uint16_t vm_low;
  uint16_t vm_high;  // 255 = n
  const TemplateAttribute* template_info;
  const core::CallbackRecord* callback;  // storage 'C' only
  FileRecord* file_record;               // storage 'F' only
  TagObj* next;
  TagObj* prev;
};

// A message, item, file, DICOMDIR or structured-report item.
struct MsgObj {
  int32_t id;
  ObjectKind kind;
  int32_t reference_count;  // sequence values of other objects naming this item
  char* name;               // owned: service or item name; "MOUSE" when opened empty
  int32_t service_number;   // -1 when not a configured service
  uint16_t command;         // kNoCommand when none
  char large_data_store;    // 'M' or 'F', copied from LARGE_DATA_STORE at open
  int32_t large_data_size;  // copied from LARGE_DATA_SIZE at open
  uint32_t charset_flags;   // from (0008,0005)

  TagObj* first;  // attributes in strictly ascending tag order
  TagObj* last;
  int32_t attribute_count;
  TagObj* kept_first;  // records kept for their template information, ascending tags
  TagObj* lookup_cursor;
  TagObj* iteration_cursor;

  bool template_applied;
  int32_t transfer_syntax;  // initially IMPLICIT_LITTLE_ENDIAN
  bool syntax_set;

  void* media_info;               // file or directory information (media layer)
  PendingStream* pending_stream;  // undecoded rest of a stream (DICOMDIR stream storage)
  void* compressor;               // compression callbacks (codec layer)
  void* decompressor;

  core::NamedLock* lock;  // guards the lists and cursors
  void* encapsulated_state;
  uint32_t group_length_flags;  // reset whenever an attribute is added
  FileRecord* file_records;     // temporary files of attributes stored in files
};

}  // namespace tessel::data

#endif  // TESSEL_DATA_OBJECT_HPP_
