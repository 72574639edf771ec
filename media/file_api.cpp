// Exported file functions.
#include <cstdio>
#include <cstring>

#include "core/api_guard.hpp"
#include "core/application.hpp"
#include "core/named_lock.hpp"
#include "data/listing.hpp"
#include "data/objects.hpp"
#include "media/files.hpp"

#include "tessel/tessel.h"
#include "tessel/tessel_file.h"

using tessel::Status;
using tessel::data::MsgObj;

namespace {

Status write_shell(int32_t app_id, bool with_application, int32_t file_id, int32_t pad_length,
                   void* user_info, CV_FILE_SINK sink, const char* function) {
  if (sink == nullptr) return Status(CV_NULL_POINTER_PARM);
  const tessel::core::Application* app = nullptr;
  if (with_application) {
    app = CVI_applicationPtr(app_id);
    if (app == nullptr) return Status(CV_INVALID_APPLICATION_ID);
  }
  MsgObj* file = tessel::media::find_file(file_id);
  if (file == nullptr) return Status(CV_INVALID_FILE_ID);
  tessel::media::WriteRequest request;
  request.application = app;
  request.pad_length = pad_length;
  request.user_info = user_info;
  request.sink = sink;
  request.function = function;
  return tessel::media::write_file(*file, request);
}

// The checks and request every open variant shares; `offset` is null except for the Upto
// variant, whose caller has checked it.
Status open_shell(int32_t app_id, int32_t file_id, void* user_info, CV_FILE_SOURCE source,
                  tessel::media::ReadRequest request, uint32_t* offset) {
  if (source == nullptr) return Status(CV_NULL_POINTER_PARM);
  const tessel::core::Application* app = CVI_applicationPtr(app_id);
  if (app == nullptr) return Status(CV_INVALID_APPLICATION_ID);
  MsgObj* file = tessel::media::find_file(file_id);
  if (file == nullptr) return Status(CV_INVALID_FILE_ID);
  request.application = app;
  request.user_info = user_info;
  request.source = source;
  uint32_t stop_offset = 0;
  TS_RETURN_IF_ERROR(tessel::media::read_file(*file, request, &stop_offset));
  if (offset != nullptr) *offset = stop_offset;
  return Status();
}

}  // namespace

extern "C" CV_API int32_t CV_Create_File(int32_t* file_id, const char* file_name,
                                         const char* service, int32_t command) {
  return tessel::api::call("CV_Create_File", [&]() -> Status {
    if (file_id == nullptr || file_name == nullptr || service == nullptr) {
      return Status(CV_NULL_POINTER_PARM);
    }
    *file_id = CV_NO_ID;
    MsgObj* file = nullptr;
    TS_RETURN_IF_ERROR(tessel::media::create_file(file_name, service, command, &file));
    *file_id = file->id;
    return Status();
  });
}

extern "C" CV_API int32_t CV_Create_Empty_File(int32_t* file_id, const char* file_name) {
  return tessel::api::call("CV_Create_Empty_File", [&]() -> Status {
    if (file_id == nullptr || file_name == nullptr) return Status(CV_NULL_POINTER_PARM);
    *file_id = CV_NO_ID;
    MsgObj* file = nullptr;
    TS_RETURN_IF_ERROR(tessel::media::create_empty_file(file_name, &file));
    *file_id = file->id;
    return Status();
  });
}

extern "C" CV_API int32_t CV_Message_To_File(int32_t msg_id, const char* file_name) {
  return tessel::api::call("CV_Message_To_File", [&]() -> Status {
    if (file_name == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* message = tessel::data::find_object(msg_id);
    if (message == nullptr || message->kind != tessel::data::ObjectKind::kMessage) {
      return Status(CV_INVALID_MESSAGE_ID);
    }
    return tessel::media::message_to_file(*message, file_name);
  });
}

extern "C" CV_API int32_t CV_File_To_Message(int32_t file_id) {
  return tessel::api::call("CV_File_To_Message", [&]() -> Status {
    MsgObj* file = tessel::media::find_file(file_id);
    if (file == nullptr) return Status(CV_INVALID_FILE_ID);
    return tessel::media::file_to_message(*file);
  });
}

extern "C" CV_API int32_t CV_Reset_Filename(int32_t file_id, const char* file_name) {
  return tessel::api::call("CV_Reset_Filename", [&]() -> Status {
    if (file_name == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* file = tessel::media::find_file(file_id);
    if (file == nullptr) return Status(CV_INVALID_FILE_ID);
    return tessel::media::reset_file_name(*file, file_name, "CV_Reset_Filename");
  });
}

extern "C" CV_API int32_t CV_Get_Filename(int32_t file_id, char* buffer, int32_t buffer_size) {
  return tessel::api::call("CV_Get_Filename", [&]() -> Status {
    if (buffer == nullptr) return Status(CV_NULL_POINTER_PARM);
    const MsgObj* file = tessel::media::find_file(file_id);
    if (file == nullptr) return Status(CV_INVALID_FILE_ID);
    return tessel::media::copy_file_name(*file, buffer, buffer_size);
  });
}

extern "C" CV_API int32_t CV_Get_File_Preamble(int32_t file_id, void* buffer) {
  return tessel::api::call("CV_Get_File_Preamble", [&]() -> Status {
    if (buffer == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* file = tessel::media::find_file(file_id);
    if (file == nullptr) return Status(CV_INVALID_FILE_ID);
    tessel::core::LockHold hold(file->lock);
    const tessel::media::FileInfo* info = tessel::media::file_info(*file);
    if (info == nullptr) return Status(CV_INVALID_FILE_ID);
    std::memcpy(buffer, info->preamble, tessel::media::kPreambleLength);
    return Status();
  });
}

extern "C" CV_API int32_t CV_Set_File_Preamble(int32_t file_id, const void* buffer) {
  return tessel::api::call("CV_Set_File_Preamble", [&]() -> Status {
    if (buffer == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* file = tessel::media::find_file(file_id);
    if (file == nullptr) return Status(CV_INVALID_FILE_ID);
    tessel::core::LockHold hold(file->lock);
    tessel::media::FileInfo* info = tessel::media::file_info(*file);
    if (info == nullptr) return Status(CV_INVALID_FILE_ID);
    std::memcpy(info->preamble, buffer, tessel::media::kPreambleLength);
    return Status();
  });
}

extern "C" CV_API int32_t CV_Get_File_Length(int32_t file_id, uint32_t* length) {
  return tessel::api::call("CV_Get_File_Length", [&]() -> Status {
    if (length == nullptr) return Status(CV_NULL_POINTER_PARM);
    *length = 0;
    MsgObj* file = tessel::media::find_file(file_id);
    if (file == nullptr) return Status(CV_INVALID_FILE_ID);
    uint32_t computed = 0;
    TS_RETURN_IF_ERROR(tessel::media::file_length(*file, &computed, "CV_Get_File_Length"));
    *length = computed;
    return Status();
  });
}

extern "C" CV_API int32_t CV_Write_File(int32_t file_id, int32_t pad_length, void* user_info,
                                        CV_FILE_SINK sink) {
  return tessel::api::call("CV_Write_File", [&]() -> Status {
    return write_shell(0, false, file_id, pad_length, user_info, sink, "CV_Write_File");
  });
}

extern "C" CV_API int32_t CV_Write_File_By_Callback(int32_t app_id, int32_t file_id,
                                                    int32_t pad_length, void* user_info,
                                                    CV_FILE_SINK sink) {
  return tessel::api::call("CV_Write_File_By_Callback", [&]() -> Status {
    return write_shell(app_id, true, file_id, pad_length, user_info, sink,
                       "CV_Write_File_By_Callback");
  });
}

extern "C" CV_API int32_t CV_Open_File(int32_t app_id, int32_t file_id, void* user_info,
                                       CV_FILE_SOURCE source) {
  return tessel::api::call("CV_Open_File", [&]() -> Status {
    tessel::media::ReadRequest request;
    request.function = "CV_Open_File";
    return open_shell(app_id, file_id, user_info, source, request, nullptr);
  });
}

extern "C" CV_API int32_t CV_Open_File_Bypass_OBOW(int32_t app_id, int32_t file_id, void* user_info,
                                                   CV_FILE_SOURCE source) {
  return tessel::api::call("CV_Open_File_Bypass_OBOW", [&]() -> Status {
    tessel::media::ReadRequest request;
    request.announce_offsets = true;
    request.function = "CV_Open_File_Bypass_OBOW";
    return open_shell(app_id, file_id, user_info, source, request, nullptr);
  });
}

extern "C" CV_API int32_t CV_Open_File_Upto_Tag(int32_t app_id, int32_t file_id, void* user_info,
                                                uint32_t stop_tag, uint32_t* offset,
                                                CV_FILE_SOURCE source) {
  return tessel::api::call("CV_Open_File_Upto_Tag", [&]() -> Status {
    if (offset == nullptr) return Status(CV_NULL_POINTER_PARM);
    tessel::media::ReadRequest request;
    request.stop_tag = stop_tag;
    request.function = "CV_Open_File_Upto_Tag";
    return open_shell(app_id, file_id, user_info, source, request, offset);
  });
}

extern "C" CV_API int32_t CV_Empty_File(int32_t file_id) {
  return tessel::api::call("CV_Empty_File", [&]() -> Status {
    MsgObj* object = tessel::data::find_object(file_id);
    if (object == nullptr) return Status(CV_INVALID_FILE_ID);
    if (!tessel::media::is_file_object(*object)) return Status(CV_INVALID_MESSAGE_ID);
    return tessel::media::empty_file(*object);
  });
}

extern "C" CV_API int32_t CV_Free_File(int32_t* file_id) {
  return tessel::api::call("CV_Free_File", [&]() -> Status {
    if (file_id == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* file = tessel::media::find_file(*file_id);
    if (file == nullptr) return Status(CV_INVALID_FILE_ID);
    tessel::data::free_object(*file, "CV_Free_File");
    *file_id = CV_NO_ID;
    return Status();
  });
}

extern "C" CV_API int32_t CV_List_File(int32_t file_id, const char* file_name) {
  return tessel::api::call("CV_List_File", [&]() -> Status {
    MsgObj* object = tessel::data::find_object(file_id);
    if (object != nullptr) {
      if (!tessel::media::is_file_object(*object)) return Status(CV_INVALID_FILE_ID);
      TS_RETURN_IF_ERROR(tessel::data::complete_pending_stream(*object, 0, true));
    }
    if (file_name != nullptr) {
      return tessel::data::list_to_file(file_id, file_name, CV_INVALID_FILE_ID, "CV_List_File");
    }
    const Status listed =
        tessel::data::write_listing(file_id, stdout, CV_INVALID_FILE_ID, "CV_List_File");
    std::fflush(stdout);
    return listed;
  });
}
