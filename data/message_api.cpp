// Exported message and item functions.
#include "codec/transfer_syntax.hpp"
#include "core/api_guard.hpp"
#include "data/dictionary.hpp"
#include "data/listing.hpp"
#include "data/object_ops.hpp"
#include "data/objects.hpp"
#include "data/vr.hpp"
#include "log/log.hpp"

#include "tessel/tessel.h"

using tessel::Status;
using tessel::data::MsgObj;
using tessel::data::ObjectKind;

namespace {

// The object of an identifier, whatever its kind.
MsgObj* object_of(int32_t id) {
  return tessel::data::find_object(id);
}

bool is_item_kind(const MsgObj& object) {
  return object.kind == ObjectKind::kItem;
}

Status open_empty(ObjectKind kind, int32_t* id) {
  MsgObj* object = nullptr;
  TS_RETURN_IF_ERROR(tessel::data::create_object(kind, tessel::data::kEmptyObjectName, &object));
  *id = object->id;
  return Status();
}

Status walk(int32_t msg_id, bool restart, uint32_t* tag, int32_t* vr, int32_t* count) {
  MsgObj* object = object_of(msg_id);
  if (object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
  TS_RETURN_IF_ERROR(tessel::data::complete_pending_stream(*object, 0, true));
  return tessel::data::next_attribute(*object, restart, tag, vr, count);
}

Status free_by_kind(int32_t* id, int32_t stale_status, const char* function) {
  if (id == nullptr) return Status(CV_NULL_POINTER_PARM);
  MsgObj* object = object_of(*id);
  if (object == nullptr) return Status(stale_status);
  if (tessel::data::free_object(*object, function)) *id = CV_NO_ID;
  return Status();
}

}  // namespace

extern "C" CV_API int32_t CV_Open_Message(int32_t* msg_id, const char* service, int32_t command) {
  return tessel::api::call("CV_Open_Message", [&]() -> Status {
    if (msg_id == nullptr || service == nullptr) return Status(CV_NULL_POINTER_PARM);
    *msg_id = CV_NO_ID;
    MsgObj* message = nullptr;
    TS_RETURN_IF_ERROR(tessel::data::open_message(service, command, &message));
    *msg_id = message->id;
    return Status();
  });
}

extern "C" CV_API int32_t CV_Open_Empty_Message(int32_t* msg_id) {
  return tessel::api::call("CV_Open_Empty_Message", [&]() -> Status {
    if (msg_id == nullptr) return Status(CV_NULL_POINTER_PARM);
    return open_empty(ObjectKind::kMessage, msg_id);
  });
}

extern "C" CV_API int32_t CV_Open_Item(int32_t* item_id, const char* item_name) {
  return tessel::api::call("CV_Open_Item", [&]() -> Status {
    if (item_id == nullptr || item_name == nullptr) return Status(CV_NULL_POINTER_PARM);
    *item_id = CV_NO_ID;
    MsgObj* item = nullptr;
    TS_RETURN_IF_ERROR(tessel::data::open_item(item_name, &item));
    *item_id = item->id;
    return Status();
  });
}

extern "C" CV_API int32_t CV_Open_Empty_Item(int32_t* item_id) {
  return tessel::api::call("CV_Open_Empty_Item", [&]() -> Status {
    if (item_id == nullptr) return Status(CV_NULL_POINTER_PARM);
    return open_empty(ObjectKind::kItem, item_id);
  });
}

extern "C" CV_API int32_t CV_Add_Standard_Attribute(int32_t msg_id, uint32_t tag) {
  return tessel::api::call("CV_Add_Standard_Attribute", [&]() -> Status {
    MsgObj* object = object_of(msg_id);
    if (object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
    int32_t vr = 0;
    if (CVI_Get_Dictionary_Info(tag, "", &vr, nullptr, nullptr, nullptr, 0) !=
        CV_NORMAL_COMPLETION) {
      return Status(CV_INVALID_TAG);
    }
    TS_RETURN_IF_ERROR(tessel::data::complete_pending_stream(*object, tag, false));
    return tessel::data::add_attribute(*object, tag, vr, 1, 255, nullptr);
  });
}

extern "C" CV_API int32_t CV_Add_Nonstandard_Attribute(int32_t msg_id, uint32_t tag, int32_t vr) {
  return tessel::api::call("CV_Add_Nonstandard_Attribute", [&]() -> Status {
    MsgObj* object = object_of(msg_id);
    if (object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
    if (!CVI_ValidVRCode(vr)) return Status(CV_INVALID_VR_CODE);
    if (CVI_Get_Dictionary_Info(tag, "", nullptr, nullptr, nullptr, nullptr, 0) ==
        CV_NORMAL_COMPLETION) {
      return Status(CV_INVALID_TAG);
    }
    TS_RETURN_IF_ERROR(tessel::data::complete_pending_stream(*object, tag, false));
    return tessel::data::add_attribute(*object, tag, vr, 1, 255, nullptr);
  });
}

extern "C" CV_API int32_t CV_Delete_Attribute(int32_t msg_id, uint32_t tag) {
  return tessel::api::call("CV_Delete_Attribute", [&]() -> Status {
    MsgObj* object = object_of(msg_id);
    if (object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
    TS_RETURN_IF_ERROR(tessel::data::complete_pending_stream(*object, tag, false));
    return tessel::data::delete_attribute(*object, tag);
  });
}

extern "C" CV_API int32_t CV_Delete_Range(int32_t msg_id, uint32_t first_tag, uint32_t last_tag) {
  return tessel::api::call("CV_Delete_Range", [&]() -> Status {
    MsgObj* object = object_of(msg_id);
    if (object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
    TS_RETURN_IF_ERROR(tessel::data::complete_pending_stream(*object, 0, true));
    tessel::data::delete_range(*object, first_tag, last_tag);
    return Status();
  });
}

extern "C" CV_API int32_t CV_Set_Value_Representation(int32_t msg_id, uint32_t tag, int32_t vr) {
  return tessel::api::call("CV_Set_Value_Representation", [&]() -> Status {
    MsgObj* object = object_of(msg_id);
    if (object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
    if (!CVI_ValidVRCode(vr)) return Status(CV_INVALID_VR_CODE);
    TS_RETURN_IF_ERROR(tessel::data::complete_pending_stream(*object, tag, false));
    return tessel::data::change_vr(*object, tag, vr);
  });
}

extern "C" CV_API int32_t CV_Get_First_Attribute(int32_t msg_id, uint32_t* tag, int32_t* vr,
                                                 int32_t* count) {
  return tessel::api::call("CV_Get_First_Attribute",
                           [&]() -> Status { return walk(msg_id, true, tag, vr, count); });
}

extern "C" CV_API int32_t CV_Get_Next_Attribute(int32_t msg_id, uint32_t* tag, int32_t* vr,
                                                int32_t* count) {
  return tessel::api::call("CV_Get_Next_Attribute",
                           [&]() -> Status { return walk(msg_id, false, tag, vr, count); });
}

extern "C" CV_API int32_t CV_Get_Attribute_Info(int32_t msg_id, uint32_t tag, int32_t* vr,
                                                int32_t* count) {
  return tessel::api::call("CV_Get_Attribute_Info", [&]() -> Status {
    if (vr == nullptr || count == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* object = object_of(msg_id);
    if (object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
    TS_RETURN_IF_ERROR(tessel::data::complete_pending_stream(*object, tag, false));
    return tessel::data::attribute_info(*object, tag, vr, count);
  });
}

extern "C" CV_API int32_t CV_Get_Message_Service(int32_t msg_id, const char** service,
                                                 int32_t* command) {
  return tessel::api::call("CV_Get_Message_Service", [&]() -> Status {
    if (service == nullptr || command == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* object = object_of(msg_id);
    if (object == nullptr || object->kind == ObjectKind::kItem || object->kind == ObjectKind::kSr) {
      return Status(CV_INVALID_MESSAGE_ID);
    }
    *service = object->name;
    *command = object->command;
    return Status();
  });
}

extern "C" CV_API int32_t CV_Set_Service_Command(int32_t msg_id, const char* service,
                                                 int32_t command) {
  return tessel::api::call("CV_Set_Service_Command", [&]() -> Status {
    if (service == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* object = object_of(msg_id);
    if (object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
    return tessel::data::set_service_command(*object, service, command);
  });
}

extern "C" CV_API int32_t CV_Duplicate_Message(int32_t source_id, int32_t* dest_id, int32_t syntax,
                                               CV_COMPRESSION_CALLBACK compressor,
                                               CV_COMPRESSION_CALLBACK decompressor) {
  return tessel::api::call("CV_Duplicate_Message", [&]() -> Status {
    if (dest_id == nullptr) return Status(CV_NULL_POINTER_PARM);
    *dest_id = CV_NO_ID;
    MsgObj* source = object_of(source_id);
    if (source == nullptr) return Status(CV_INVALID_MESSAGE_ID);
    if (syntax != 0 && !tessel::codec::valid_syntax(syntax)) {
      tessel::log::write("CV_Duplicate_Message", tessel::log::kInfo, "Invalid transfer syntax: %d",
                         syntax);
      syntax = 0;
    }
    MsgObj* copy = nullptr;
    TS_RETURN_IF_ERROR(
        tessel::data::duplicate_message(*source, syntax, reinterpret_cast<void*>(compressor),
                                        reinterpret_cast<void*>(decompressor), &copy));
    *dest_id = copy->id;
    return Status();
  });
}

extern "C" CV_API int32_t CV_Empty_Message(int32_t msg_id) {
  return tessel::api::call("CV_Empty_Message", [&]() -> Status {
    MsgObj* object = object_of(msg_id);
    if (object == nullptr || object->kind != ObjectKind::kMessage) {
      return Status(CV_INVALID_MESSAGE_ID);
    }
    TS_RETURN_IF_ERROR(tessel::data::complete_pending_stream(*object, 0, true));
    tessel::data::empty_object(*object);
    return Status();
  });
}

extern "C" CV_API int32_t CV_Empty_Item(int32_t item_id) {
  return tessel::api::call("CV_Empty_Item", [&]() -> Status {
    MsgObj* object = object_of(item_id);
    if (object == nullptr || !is_item_kind(*object)) return Status(CV_INVALID_ITEM_ID);
    TS_RETURN_IF_ERROR(tessel::data::complete_pending_stream(*object, 0, true));
    tessel::data::empty_object(*object);
    return Status();
  });
}

extern "C" CV_API int32_t CV_Free_Message(int32_t* msg_id) {
  return tessel::api::call("CV_Free_Message", [&]() -> Status {
    return free_by_kind(msg_id, CV_INVALID_MESSAGE_ID, "CV_Free_Message");
  });
}

extern "C" CV_API int32_t CV_Free_Item(int32_t* item_id) {
  return tessel::api::call("CV_Free_Item", [&]() -> Status {
    return free_by_kind(item_id, CV_INVALID_ITEM_ID, "CV_Free_Item");
  });
}

extern "C" CV_API int32_t CV_List_Message(int32_t msg_id, const char* file_name) {
  return tessel::api::call("CV_List_Message", [&]() -> Status {
    MsgObj* object = object_of(msg_id);
    if (object != nullptr) {
      TS_RETURN_IF_ERROR(tessel::data::complete_pending_stream(*object, 0, true));
    }
    return tessel::data::list_to_file(msg_id, file_name, CV_INVALID_MESSAGE_ID, "CV_List_Message");
  });
}

extern "C" CV_API int32_t CV_List_Item(int32_t item_id, const char* file_name) {
  return tessel::api::call("CV_List_Item", [&]() -> Status {
    MsgObj* object = object_of(item_id);
    if (object != nullptr) {
      TS_RETURN_IF_ERROR(tessel::data::complete_pending_stream(*object, 0, true));
    }
    return tessel::data::list_to_file(item_id, file_name, CV_INVALID_ITEM_ID, "CV_List_Item");
  });
}
