// The Part 10 header of File and DICOMDIR objects: its lifetime in MsgObj::media_info, the hooks
// through which the object layer frees, copies and lists it, and the prefix policy applied when
// a file is read.
#include "media/file_info.hpp"

#include <cstring>
#include <mutex>
#include <new>

#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "data/objects.hpp"
#include "log/log.hpp"
#include "media/file_header.hpp"
#include "media/files.hpp"

#include "tessel/tessel.h"

namespace tessel::media {
namespace {

constexpr uint8_t kDicmPrefix[kPrefixLength] = {'D', 'I', 'C', 'M'};

bool printable(uint8_t byte) {
  return byte >= 0x20 && byte < 0x7F;
}

void release_media_info(data::MsgObj& object) {
  if (object.kind == data::ObjectKind::kDicomdir) {
    if (data::object_hooks().release_directory_info != nullptr) {
      data::object_hooks().release_directory_info(object);
    }
  }
  delete static_cast<FileInfo*>(object.media_info);
  object.media_info = nullptr;
}

Status duplicate_media_info(const data::MsgObj& source, data::MsgObj& target) {
  const FileInfo* from = file_info(source);
  if (from == nullptr) return Status();
  FileInfo* copy = new_file_info(from->file_name.c_str());
  if (copy == nullptr) return Status(CV_SYSTEM_ERROR);
  std::memcpy(copy->preamble, from->preamble, kPreambleLength);
  std::memcpy(copy->prefix, from->prefix, kPrefixLength);
  delete static_cast<FileInfo*>(target.media_info);
  target.media_info = copy;
  return Status();
}

bool file_listing_info(const data::MsgObj& object, const char** file_name,
                       const uint8_t** preamble) {
  const FileInfo* info = file_info(object);
  if (info == nullptr) return false;
  *file_name = info->file_name.c_str();
  *preamble = info->preamble;
  return true;
}

void install_hooks_once() {
  data::ObjectHooks& hooks = data::object_hooks();
  hooks.release_media_info = release_media_info;
  hooks.duplicate_media_info = duplicate_media_info;
  hooks.file_listing_info = file_listing_info;
}

std::once_flag g_hooks_installed;

}  // namespace

FileInfo* file_info(data::MsgObj& object) {
  if (!is_file_object(object)) return nullptr;
  return static_cast<FileInfo*>(object.media_info);
}

const FileInfo* file_info(const data::MsgObj& object) {
  if (!is_file_object(object)) return nullptr;
  return static_cast<const FileInfo*>(object.media_info);
}

bool is_file_object(const data::MsgObj& object) {
  return object.kind == data::ObjectKind::kFile || object.kind == data::ObjectKind::kDicomdir;
}

void install_file_hooks() {
  // The hooks only matter once a file header exists, and every header is made after this call.
  std::call_once(g_hooks_installed, install_hooks_once);
}

FileInfo* new_file_info(const char* file_name) noexcept {
  auto* info = new (std::nothrow) FileInfo{};
  if (info == nullptr) return nullptr;
  std::memcpy(info->prefix, kDicmPrefix, kPrefixLength);
  try {
    info->file_name = file_name != nullptr ? file_name : "";
  } catch (const std::bad_alloc&) {
    delete info;
    return nullptr;
  }
  return info;
}

Status attach_file_info(data::MsgObj& object, const char* file_name, const char* function) {
  install_file_hooks();
  FileInfo* info = new_file_info(file_name);
  if (info == nullptr) {
    log::write(function, log::kError, "Out Of Memory");
    return Status(CV_SYSTEM_ERROR);
  }
  core::LockHold hold(object.lock);
  delete static_cast<FileInfo*>(object.media_info);
  object.media_info = info;
  return Status();
}

void detach_file_info(data::MsgObj& object) {
  core::LockHold hold(object.lock);
  if (object.media_info != nullptr) release_media_info(object);
}

void reset_file_header(FileInfo& info) {
  std::memset(info.preamble, 0, kPreambleLength);
  std::memcpy(info.prefix, kDicmPrefix, kPrefixLength);
}

Status accept_file_header(data::MsgObj& object, const uint8_t* header, const char* file_name,
                          const char* function) {
  FileInfo* info = file_info(object);
  if (info == nullptr) return Status(CV_INVALID_FILE_ID);
  std::memcpy(info->preamble, header, kPreambleLength);
  const uint8_t* prefix = header + kPreambleLength;
  if (std::memcmp(prefix, kDicmPrefix, kPrefixLength) == 0) {
    std::memcpy(info->prefix, prefix, kPrefixLength);
    return Status();
  }
  const bool force = Cfg->b(FORCE_DICM_IN_PREFIX);
  const bool as_text =
      printable(prefix[0]) && printable(prefix[1]) && printable(prefix[2]) && printable(prefix[3]);
  const char* name = file_name != nullptr ? file_name : "";
  const int32_t level = force ? log::kT8 : log::kError;
  if (force && as_text) {
    log::write(function, level,
               "Replacing invalid DICOM file prefix '%c%c%c%c' in '%s' with 'DICM'", prefix[0],
               prefix[1], prefix[2], prefix[3], name);
  } else if (force) {
    log::write(function, level,
               "Replacing invalid DICOM file prefix '%X%X%X%X' in '%s' with 'DICM'", prefix[0],
               prefix[1], prefix[2], prefix[3], name);
  } else if (as_text) {
    log::write(function, level, "Invalid DICOM file prefix '%c%c%c%c' in '%s'", prefix[0],
               prefix[1], prefix[2], prefix[3], name);
  } else {
    log::write(function, level, "Invalid DICOM file prefix '%X%X%X%X' in '%s'", prefix[0],
               prefix[1], prefix[2], prefix[3], name);
  }
  if (!force) return Status(CV_NO_DICM_PREFIX);
  std::memcpy(info->prefix, kDicmPrefix, kPrefixLength);
  return Status();
}

}  // namespace tessel::media
