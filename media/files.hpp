// The file layer: File and DICOMDIR objects, their Part 10 header and meta group, and reading
// and writing them through the encoder and decoder with the application's callbacks.
#ifndef TESSEL_MEDIA_FILES_HPP_
#define TESSEL_MEDIA_FILES_HPP_

#include <cstdint>

#include "codec/decoder.hpp"
#include "codec/encoder.hpp"
#include "core/application.hpp"
#include "core/status.hpp"
#include "data/object.hpp"
#include "media/file_info.hpp"

namespace tessel::media {

inline constexpr uint32_t kMetaGroupLength = 0x00020000;
inline constexpr uint32_t kMetaVersion = 0x00020001;
inline constexpr uint32_t kTransferSyntaxUid = 0x00020010;
inline constexpr uint32_t kImplementationClassUid = 0x00020012;
inline constexpr uint32_t kImplementationVersionName = 0x00020013;
inline constexpr uint32_t kPaddingTag = 0xFFFCFFFC;

// ---- Objects (file_objects.cpp) --------------------------------------------------------------

// Whether an object is a File or a DICOMDIR.
bool is_file_object(const data::MsgObj& object);
// The live File or DICOMDIR of an identifier, or null.
data::MsgObj* find_file(int32_t id);

// Installs the object layer's hooks that free, copy and list file headers (once per process).
void install_file_hooks();

// ---- File headers (file_info.cpp) ------------------------------------------------------------

// A header with a zero preamble, "DICM" and a copy of `file_name` (null: empty); null without
// memory.
FileInfo* new_file_info(const char* file_name) noexcept;
// Gives the object a fresh header (replacing any it has). CV_SYSTEM_ERROR ("Out Of Memory" under
// `function`) without memory.
Status attach_file_info(data::MsgObj& object, const char* file_name, const char* function);
// Releases the object's header and, for a DICOMDIR, its directory structures.
void detach_file_info(data::MsgObj& object);
// Zero preamble and "DICM".
void reset_file_header(FileInfo& info);

// Creates a File or DICOMDIR for a service and command with its header, meta elements and the
// data set attributes of its template (see CV_Create_File). Nothing is left behind on failure.
Status create_file(const char* file_name, const char* service, int32_t command, data::MsgObj** out);
// A File named "MOUSE" with its header and meta elements.
Status create_empty_file(const char* file_name, data::MsgObj** out);
// Message -> File and back (CV_Message_To_File, CV_File_To_Message).
Status message_to_file(data::MsgObj& message, const char* file_name);
Status file_to_message(data::MsgObj& file);
// CV_Empty_File's work on a File or DICOMDIR.
Status empty_file(data::MsgObj& file);

// Replaces the file name; CV_SYSTEM_ERROR ("Out Of Memory" under `function`) without memory.
Status reset_file_name(data::MsgObj& file, const char* file_name, const char* function);
// Copies the name with its NUL; CV_BUFFER_TOO_SMALL when it does not fit.
Status copy_file_name(const data::MsgObj& file, char* buffer, int32_t buffer_size);

// ---- Writing (file_write.cpp) ------------------------------------------------------------------

// The Part 10 length of the file as CV_Get_File_Length defines it; kUndefinedLength when an
// attribute has undefined length. Failures are logged under `function`.
Status file_length(data::MsgObj& file, uint32_t* length, const char* function);

struct WriteRequest {
  const core::Application* application = nullptr;  // its value callbacks are bound first
  int32_t pad_length = 0;
  void* user_info = nullptr;
  codec::FileSink sink = nullptr;
  const char* function = nullptr;  // names the log lines
};
// Writes the whole object through the sink (CV_Write_File and its variant).
Status write_file(data::MsgObj& file, const WriteRequest& request);

// ---- Reading (file_read.cpp) -------------------------------------------------------------------

struct ReadRequest {
  const core::Application* application = nullptr;
  bool announce_offsets = false;  // CV_Open_File_Bypass_OBOW
  uint32_t stop_tag = 0xFFFFFFFF;
  void* user_info = nullptr;
  codec::FileSource source = nullptr;
  const char* function = nullptr;
};
// Reads a Part 10 file into the object; *stop_offset (may be null) receives the byte offset in
// the file of the attribute where reading stopped.
Status read_file(data::MsgObj& file, const ReadRequest& request, uint32_t* stop_offset);

}  // namespace tessel::media

#endif  // TESSEL_MEDIA_FILES_HPP_
