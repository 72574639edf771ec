// Attribute values kept in temporary files.
//
// Each attribute with file storage has three files named after the thread that first stored the
// value, the tag, the file index and the object identifier, so that no two objects or threads
// ever share a file. Pieces are appended as a 4-byte native-order length followed by the bytes;
// the piece records remember where each prefix starts. Files are only opened for the span of
// one operation and are removed when the values are released.
#include "data/large_values.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "data/file_record.hpp"
#include "data/objects.hpp"
#include "data/vr.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"
#include "platform/platform.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

using memory::PoolId;

constexpr int64_t kDefaultStoreFileLimit = 0x7FFFFFFF;
constexpr const char* kPutFunction = "CVI_PutToFile";
constexpr const char* kGetFunction = "CVI_GetFromFile";
constexpr const char* kNameFunction = "CVI_GetFileObj";

std::atomic<int64_t> g_store_file_limit{kDefaultStoreFileLimit};

// Builds the three names of a record. False (logged) when a name does not fit its buffer.
bool name_files(FileRecord& record, const MsgObj& object, uint32_t tag) {
  const std::string& configured = Cfg->str(TEMP_FILE_DIRECTORY);
  const char* directory = configured.c_str();
  if (configured.empty() || configured.size() >= static_cast<size_t>(kTempFileNameSize)) {
    directory = "./";
  }
  const size_t dir_length = std::strlen(directory);
  const char last = directory[dir_length - 1];
  const char* separator = (last == '/' || last == '\\') ? "" : "/";
  const auto thread = static_cast<unsigned long>(platform::current_thread_id());
  for (int32_t index = 0; index < kTempFileCount; ++index) {
    char* name = record.names[index];
    const int written =
        std::snprintf(name, kTempFileNameSize, "%s%sTID%lu_%8.8lx%1.1d.%3.3d", directory, separator,
                      thread, static_cast<unsigned long>(tag), index, object.id);
    if (written < 0 || written >= kTempFileNameSize) {
      log::write(kNameFunction, log::kError,
                 "Internal memory overwrite error in creating temporary file name.");
      return false;
    }
    // Configured directories may separate with either slash; the platform takes its own.
    const std::string native = platform::native_path(name);
    std::memcpy(name, native.c_str(), native.size() + 1);
  }
  return true;
}

void reset_read_cursor(FileRecord& record) {
  record.read_piece = nullptr;
  record.read_number = 0;
}

void free_pieces(FileRecord& record) {
  for (FileValueObj* piece = record.first_piece; piece != nullptr;) {
    FileValueObj* next = piece->next;
    memory::pool_delete(PoolId::FileValueObj, piece);
    piece = next;
  }
  record.first_piece = record.last_piece = nullptr;
  record.piece_count = 0;
  reset_read_cursor(record);
}

void remove_files(FileRecord& record) {
  if (!record.files_created) return;
  // A file that was never written to does not exist; its removal failing is expected.
  for (const char* name : record.names) std::remove(name);
  record.files_created = false;
  record.store_full = false;
}

void append_piece(FileRecord& record, FileValueObj* piece) {
  piece->next = nullptr;
  if (record.last_piece != nullptr) {
    record.last_piece->next = piece;
  } else {
    record.first_piece = piece;
  }
  record.last_piece = piece;
  ++record.piece_count;
}

// Unlinks the record from its object's list, deletes its files and frees it. The attribute
// keeps its counts; its storage kind goes back to memory.
void drop_record(MsgObj& object, TagObj& attribute, FileRecord* record) {
  {
    core::LockHold hold(object.lock);
    for (FileRecord** link = &object.file_records; *link != nullptr; link = &(*link)->next) {
      if (*link == record) {
        *link = record->next;
        break;
      }
    }
  }
  remove_files(*record);
  free_pieces(*record);
  memory::pool_delete(PoolId::FileObj, record);
  attribute.file_record = nullptr;
  attribute.storage = kStoredInMemory;
}

void log_open_failure(const char* name, int error) {
  log::write(kPutFunction, log::kError, "Could not open temporary file (%s): %s", name,
             std::strerror(error));
}

// Writes pieces into the files of one record for the span of one operation: opens, positions,
// switches from file 1 to file 2 before file 1 would reach its limit, and logs every fault.
class PieceWriter {
 public:
  // `mode` is "a+b" to append or "w+b" to create the files anew.
  PieceWriter(FileRecord& record, const char* mode) : record_(record), mode_(mode) {}
  ~PieceWriter() {
    if (file_ != nullptr) std::fclose(file_);
  }
  PieceWriter(const PieceWriter&) = delete;
  PieceWriter& operator=(const PieceWriter&) = delete;

  Status open(int32_t index) {
    file_ = std::fopen(record_.names[index], mode_);
    if (file_ == nullptr) {
      log_open_failure(record_.names[index], errno);
      return Status(CV_TEMP_FILE_ERROR);
    }
    index_ = index;
    record_.files_created = true;
    // Appending streams report position 0 until the first write, so ask the end explicitly.
    const int seek = std::fseek(file_, 0, SEEK_END);
    position_ = seek == 0 ? std::ftell(file_) : -1;
    if (position_ < 0) {
      const int error = errno;
      log::write(kPutFunction, log::kError,
                 "Could not determine position in logfile. File probably too big");
      log::write(kPutFunction, log::kError, "ftell returned error: %d", error);
      return Status(CV_TEMP_FILE_ERROR);
    }
    return Status();
  }

  // Writes one piece and returns its new record (not yet linked).
  Status write(const uint8_t* bytes, uint32_t length, FileValueObj** out) {
    *out = nullptr;
    const int64_t piece_size = int64_t{4} + length;
    if (index_ == kStoreFile &&
        position_ + piece_size >= g_store_file_limit.load(std::memory_order_relaxed)) {
      const bool closed = std::fclose(file_) == 0;
      file_ = nullptr;
      if (!closed) return write_failure(errno);
      record_.store_full = true;
      TS_RETURN_IF_ERROR(open(kOverflowFile));
    }
    if (std::fwrite(&length, 1, 4, file_) != 4) return write_failure(errno);
    if (length > 0 && std::fwrite(bytes, 1, length, file_) != length) {
      return write_failure(errno);
    }
    auto* piece = memory::pool_new<FileValueObj>(PoolId::FileValueObj);
    if (piece == nullptr) return Status(CV_SYSTEM_ERROR);
    piece->length = length;
    piece->offset = position_;
    piece->file = index_;
    position_ += piece_size;
    *out = piece;
    return Status();
  }

  // Closes the file; buffered bytes that cannot be written show up here.
  Status close() {
    if (file_ == nullptr) return Status();
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return closed ? Status() : write_failure(errno);
  }

 private:
  static Status write_failure(int error) {
    log::write(kPutFunction, log::kError, "Error writing to temporary file: %s",
               std::strerror(error));
    return Status(CV_TEMP_FILE_ERROR);
  }

  FileRecord& record_;
  const char* mode_;
  std::FILE* file_ = nullptr;
  int32_t index_ = kStoreFile;
  int64_t position_ = 0;
};

// The piece of a number (from 1), walking on from the last piece read when that is not past it.
FileValueObj* find_piece(FileRecord& record, int32_t number) {
  FileValueObj* piece = record.first_piece;
  int32_t at = 1;
  if (record.read_piece != nullptr && record.read_number <= number) {
    piece = record.read_piece;
    at = record.read_number;
  }
  for (; piece != nullptr && at < number; ++at) piece = piece->next;
  return piece;
}

void log_read_open_failure(const MsgObj& object, const TagObj& attribute, const char* name,
                           int error) {
  log::write(kGetFunction, log::kError, "Could not open file for reading: %s", name);
  log::write(kGetFunction, log::kError, "Errno: (%d)%s", error, std::strerror(error));
  log::write(kGetFunction, log::kError, "messageID = %d, Msg service = %s", object.id,
             object.name != nullptr ? object.name : "");
  switch (object.kind) {
    case ObjectKind::kMessage:
      log::write(kGetFunction, log::kError, "Object is a message, command = %d", object.command);
      break;
    case ObjectKind::kFile:
      log::write(kGetFunction, log::kError, "Object is a file, command= %d", object.command);
      break;
    case ObjectKind::kDicomdir:
      log::write(kGetFunction, log::kError, "Object is a dicomdir");
      break;
    case ObjectKind::kItem:
    case ObjectKind::kSr:
      log::write(kGetFunction, log::kError, "Object is an item");
      break;
  }
  log::write(kGetFunction, log::kError, "Tag = %lx, length = %ld, valcount = %d",
             static_cast<unsigned long>(attribute.tag), static_cast<long>(attribute.length),
             attribute.value_count);
}

class ReadFile {
 public:
  explicit ReadFile(std::FILE* file) : file_(file) {}
  ~ReadFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  ReadFile(const ReadFile&) = delete;
  ReadFile& operator=(const ReadFile&) = delete;
  std::FILE* get() const { return file_; }

 private:
  std::FILE* file_;
};

}  // namespace

void set_store_file_limit(int64_t limit) {
  g_store_file_limit.store(limit > 0 ? limit : kDefaultStoreFileLimit, std::memory_order_relaxed);
}

FileRecord* file_record_for(MsgObj& object, TagObj& attribute) {
  if (attribute.file_record != nullptr) return attribute.file_record;
  core::LockHold hold(object.lock);
  FileRecord* record = object.file_records;
  while (record != nullptr && record->tag != attribute.tag) record = record->next;
  if (record == nullptr) {
    record = memory::pool_new<FileRecord>(PoolId::FileObj);
    if (record == nullptr) return nullptr;
    record->tag = attribute.tag;
    if (!name_files(*record, object, attribute.tag)) {
      memory::pool_delete(PoolId::FileObj, record);
      return nullptr;
    }
    record->next = object.file_records;
    object.file_records = record;
  }
  attribute.file_record = record;
  attribute.storage = kStoredInFile;
  return record;
}

Status store_pieces(MsgObj& object, TagObj& attribute, const uint8_t* bytes, uint32_t length,
                    bool first) {
  if (first) {
    release_values(object, attribute, false, false);
  } else if (attribute.storage == kStoredInMemory && attribute.head != nullptr) {
    // Appending to a value held in memory: its earlier pieces go to the file first.
    TS_RETURN_IF_ERROR(move_to_file(object, attribute));
  }
  FileRecord* record = file_record_for(object, attribute);
  if (record == nullptr) return Status(CV_SYSTEM_ERROR);
  // A text value is one piece however long (readers count the pieces of a text attribute as its
  // values), and an empty text value is an empty piece.
  const bool whole = is_text_vr(attribute.vr);
  const int32_t configured = Cfg->i(OBOW_BUFFER_SIZE);
  const uint32_t largest = whole || configured <= 0 ? length : static_cast<uint32_t>(configured);

  PieceWriter writer(*record, "a+b");
  Status status = writer.open(record->store_full ? kOverflowFile : kStoreFile);
  uint32_t done = 0;
  bool wrote = false;
  while (status.ok() && (done < length || (whole && !wrote))) {
    const uint32_t size = length - done < largest ? length - done : largest;
    FileValueObj* piece = nullptr;
    status = writer.write(bytes + done, size, &piece);
    if (!status.ok()) break;
    append_piece(*record, piece);
    ++attribute.value_count;
    attribute.length += size;
    done += size;
    wrote = true;
  }
  if (status.ok()) status = writer.close();
  // A value that could not be stored completely is not kept at all, nor are earlier pieces.
  if (!status.ok()) release_values(object, attribute, false, false);
  return status;
}

Status store_whole_value(MsgObj& object, TagObj& attribute, const uint8_t* bytes, uint32_t length) {
  FileRecord* record = file_record_for(object, attribute);
  if (record == nullptr) return Status(CV_SYSTEM_ERROR);
  // The earlier content of file 0 is replaced, and so are its piece records.
  FileValueObj* kept_last = nullptr;
  for (FileValueObj** link = &record->first_piece; *link != nullptr;) {
    FileValueObj* piece = *link;
    if (piece->file != kWholeValueFile) {
      kept_last = piece;
      link = &piece->next;
      continue;
    }
    *link = piece->next;
    --record->piece_count;
    --attribute.value_count;
    attribute.length -= piece->length;
    memory::pool_delete(PoolId::FileValueObj, piece);
  }
  record->last_piece = kept_last;
  reset_read_cursor(*record);

  PieceWriter writer(*record, "w+b");
  Status status = writer.open(kWholeValueFile);
  FileValueObj* piece = nullptr;
  if (status.ok()) status = writer.write(bytes, length, &piece);
  if (piece != nullptr) {
    append_piece(*record, piece);
    ++attribute.value_count;
    attribute.length += length;
  }
  if (status.ok()) status = writer.close();
  if (!status.ok()) release_values(object, attribute, false, false);
  return status;
}

Status read_piece(MsgObj& object, TagObj& attribute, int32_t number, ValueObj** out) {
  *out = nullptr;
  FileRecord* record = attribute.file_record;
  if (record == nullptr || number < 1 || number > record->piece_count) {
    return Status(CV_NO_MORE_VALUES);
  }
  FileValueObj* piece = find_piece(*record, number);
  if (piece == nullptr || piece->file < 0 || piece->file >= kTempFileCount ||
      record->names[piece->file][0] == '\0') {
    log::write(kGetFunction, log::kError,
               "Internal error, temporary file to read not set properly!");
    return Status(CV_SYSTEM_ERROR);
  }
  const char* name = record->names[piece->file];
  ReadFile file(std::fopen(name, "rb"));
  if (file.get() == nullptr) {
    log_read_open_failure(object, attribute, name, errno);
    return Status(CV_TEMP_FILE_ERROR);
  }
  if (std::fseek(file.get(), static_cast<long>(piece->offset), SEEK_SET) != 0) {
    log::write(kGetFunction, log::kError, "Could not seek temporary file: %s",
               std::strerror(errno));
    return Status(CV_TEMP_FILE_ERROR);
  }
  uint32_t length = 0;
  const size_t got = std::fread(&length, 1, 4, file.get());
  if (got == 0 && std::feof(file.get()) != 0) return Status(CV_NO_VALUE_YET);
  // A prefix that disagrees with the record means the file was changed behind our back.
  if (got != 4 || length != piece->length) return Status(CV_TEMP_FILE_ERROR);
  auto* node = static_cast<ValueObj*>(CVI_newBuffer(sizeof(ValueObj) + length));
  if (node == nullptr) return Status(CV_SYSTEM_ERROR);
  node->length = length;
  node->capacity = 0;
  node->bytes = reinterpret_cast<uint8_t*>(node + 1);
  node->next = nullptr;
  if (length > 0 && std::fread(node->bytes, 1, length, file.get()) != length) {
    CVI_releaseBuffer(node);
    return Status(CV_TEMP_FILE_ERROR);
  }
  record->read_piece = piece;
  record->read_number = number;
  *out = node;
  return Status();
}

int32_t piece_count(const TagObj& attribute) {
  return attribute.file_record != nullptr ? attribute.file_record->piece_count : 0;
}

Status move_to_file(MsgObj& object, TagObj& attribute) {
  if (attribute.storage == kStoredInFile) return Status();
  // Only text and opaque values are kept in files; packed binary values are not one per node.
  if (attribute.storage != kStoredInMemory ||
      !(is_text_vr(attribute.vr) || is_opaque_vr(attribute.vr))) {
    return Status(CV_INCOMPATIBLE_VR);
  }
  FileRecord* record = file_record_for(object, attribute);
  if (record == nullptr) {
    attribute.storage = kStoredInMemory;
    return Status(CV_SYSTEM_ERROR);
  }
  // A record left over from an earlier store of this tag starts afresh.
  remove_files(*record);
  free_pieces(*record);
  Status status;
  {
    PieceWriter writer(*record, "w+b");
    status = writer.open(kStoreFile);
    for (ValueObj* node = attribute.head; status.ok() && node != nullptr; node = node->next) {
      FileValueObj* piece = nullptr;
      status = writer.write(node->bytes, node->length, &piece);
      if (status.ok()) append_piece(*record, piece);
    }
    if (status.ok()) status = writer.close();
  }
  if (!status.ok()) {
    // The memory values stay as they were.
    drop_record(object, attribute, record);
    return status;
  }
  for (ValueObj* node = attribute.head; node != nullptr;) {
    ValueObj* next = node->next;
    CVI_releaseBuffer(node);
    node = next;
  }
  attribute.head = attribute.tail = nullptr;
  attribute.cursor_index = 0;
  attribute.cursor = attribute.cursor_prev = nullptr;
  attribute.cursor_offset = 0;
  attribute.value_count = record->piece_count;
  return Status();
}

void release_file_storage(MsgObj& object, TagObj& attribute) {
  if (attribute.storage != kStoredInFile) return;
  FileRecord* record = attribute.file_record;
  if (record == nullptr) {
    core::LockHold hold(object.lock);
    record = object.file_records;
    while (record != nullptr && record->tag != attribute.tag) record = record->next;
  }
  if (record != nullptr) drop_record(object, attribute, record);
  attribute.file_record = nullptr;
  attribute.storage = kStoredInMemory;
  // File storage keeps no memory nodes, so the counts described only the pieces.
  if (attribute.head == nullptr) {
    attribute.value_count = 0;
    attribute.length = 0;
    attribute.cursor_index = 0;
    attribute.cursor = attribute.cursor_prev = nullptr;
    attribute.cursor_offset = 0;
  }
}

void release_all_file_storage(MsgObj& object) {
  // The object is being freed: nobody else reaches it, and its lock may not be taken while the
  // identifier table's lock is held.
  for (FileRecord* record = object.file_records; record != nullptr;) {
    FileRecord* next = record->next;
    remove_files(*record);
    free_pieces(*record);
    memory::pool_delete(PoolId::FileObj, record);
    record = next;
  }
  object.file_records = nullptr;
}

}  // namespace tessel::data
