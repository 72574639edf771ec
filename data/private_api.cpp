// Exported functions of private blocks and private attributes.
#include "core/api_guard.hpp"
#include "core/named_lock.hpp"
#include "data/dictionary.hpp"
#include "data/objects.hpp"
#include "data/private_blocks.hpp"
#include "data/vr.hpp"
#include "log/log.hpp"

#include "tessel/tessel.h"
#include "tessel/tessel_private.h"

using tessel::Status;
using tessel::data::MsgObj;

namespace {

namespace data = tessel::data;
namespace core = tessel::core;
namespace log = tessel::log;

Status find(int32_t msg_id, MsgObj** object) {
  *object = data::find_object(msg_id);
  return *object != nullptr ? Status() : Status(CV_INVALID_MESSAGE_ID);
}

Status add_private_attribute(MsgObj& object, const char* creator, uint16_t group, uint8_t element,
                             int32_t vr) {
  constexpr const char* kFunction = "CV_Add_Private_Attribute";
  core::LockHold hold(object.lock);
  uint32_t tag = 0;
  const Status found =
      data::find_private_element(object, data::creator_code(creator), group, element, &tag);
  if (!found.is(CV_PRIVATE_BLOCK_FOUND) && !found.is(CV_PRIVATE_BLOCK_NOT_FOUND)) return found;
  const bool have_block = found.is(CV_PRIVATE_BLOCK_FOUND);
  if (have_block && data::find_attribute(object, tag) != nullptr) {
    return Status(CV_TAG_ALREADY_EXISTS);
  }

  int32_t dictionary_vr = 0;
  uint16_t vm_low = 0;
  uint16_t vm_high = 0;
  // Private dictionary entries are keyed by (gggg,00ee) under the creator; any block byte works.
  const uint32_t dictionary_tag = (uint32_t{group} << 16) | 0x1000u | element;
  if (CVI_Get_Dictionary_Info(dictionary_tag, creator, &dictionary_vr, &vm_low, &vm_high, nullptr,
                              0) == CV_NORMAL_COMPLETION) {
    if (!have_block) {
      uint32_t creator_tag = 0;
      const Status block = data::add_private_block(object, data::creator_code(creator), group,
                                                   &creator_tag, kFunction);
      if (!block.ok()) {
        log::write(kFunction, log::kError,
                   "Unable to add private block specified in dictionary: %s",
                   CV_Error_Message(block.code()));
        return Status(block.is(CV_TOO_MANY_BLOCKS) ? CV_TOO_MANY_BLOCKS : CV_SYSTEM_ERROR);
      }
      tag = data::private_tag_of(creator_tag, element);
    }
    const Status added = data::add_attribute(object, tag, dictionary_vr, vm_low, vm_high, nullptr);
    if (!added.ok()) {
      log::write(kFunction, log::kError,
                 "Unable to add private attribute specified in dictionary: %s",
                 CV_Error_Message(added.code()));
      return Status(CV_SYSTEM_ERROR);
    }
    return Status();
  }
  if (!CVI_ValidVRCode(vr)) return Status(CV_INVALID_VR_CODE);
  if (!have_block) return Status(CV_PRIVATE_BLOCK_NOT_FOUND);
  return data::add_attribute(object, tag, vr, 1, 255, nullptr);
}

}  // namespace

extern "C" CV_API int32_t CV_Add_Private_Block(int32_t msg_id, const char* creator,
                                               uint16_t group) {
  return tessel::api::call("CV_Add_Private_Block", [&]() -> Status {
    if (creator == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* object = nullptr;
    TS_RETURN_IF_ERROR(find(msg_id, &object));
    uint32_t creator_tag = 0;
    return data::add_private_block(*object, data::creator_code(creator), group, &creator_tag,
                                   "CV_Add_Private_Block");
  });
}

extern "C" CV_API int32_t CV_Add_Private_Attribute(int32_t msg_id, const char* creator,
                                                   uint16_t group, uint8_t element, int32_t vr) {
  return tessel::api::call("CV_Add_Private_Attribute", [&]() -> Status {
    if (creator == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* object = nullptr;
    TS_RETURN_IF_ERROR(find(msg_id, &object));
    return add_private_attribute(*object, creator, group, element, vr);
  });
}

extern "C" CV_API int32_t CV_Delete_Private_Attribute(int32_t msg_id, const char* creator,
                                                      uint16_t group, uint8_t element) {
  return tessel::api::call("CV_Delete_Private_Attribute", [&]() -> Status {
    if (creator == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* object = nullptr;
    TS_RETURN_IF_ERROR(find(msg_id, &object));
    uint32_t tag = 0;
    const Status found =
        data::find_private_element(*object, data::creator_code(creator), group, element, &tag);
    if (!found.is(CV_PRIVATE_BLOCK_FOUND)) return found;
    return Status(CV_Delete_Attribute(msg_id, tag));
  });
}

extern "C" CV_API int32_t CV_Delete_Private_Block(int32_t msg_id, const char* creator,
                                                  uint16_t group) {
  return tessel::api::call("CV_Delete_Private_Block", [&]() -> Status {
    if (creator == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* object = nullptr;
    TS_RETURN_IF_ERROR(find(msg_id, &object));
    uint32_t creator_tag = 0;
    const Status found =
        data::find_private_block(*object, data::creator_code(creator), group, &creator_tag);
    if (!found.is(CV_PRIVATE_BLOCK_FOUND)) return found;
    TS_RETURN_IF_ERROR(Status(CV_Delete_Attribute(msg_id, creator_tag)));
    return Status(CV_Delete_Range(msg_id, data::private_tag_of(creator_tag, 0x00),
                                  data::private_tag_of(creator_tag, 0xFF)));
  });
}

extern "C" CV_API int32_t CV_Get_pAttribute_Info(int32_t msg_id, const char* creator,
                                                 uint16_t group, uint8_t element, int32_t* vr,
                                                 int32_t* count) {
  return tessel::api::call("CV_Get_pAttribute_Info", [&]() -> Status {
    if (creator == nullptr || vr == nullptr || count == nullptr) {
      return Status(CV_NULL_POINTER_PARM);
    }
    MsgObj* object = nullptr;
    TS_RETURN_IF_ERROR(find(msg_id, &object));
    uint32_t tag = 0;
    const Status found =
        data::find_private_element(*object, data::creator_code(creator), group, element, &tag);
    if (found.is(CV_PRIVATE_BLOCK_NOT_FOUND)) return Status(CV_INVALID_PRIVATE_CODE);
    if (!found.is(CV_PRIVATE_BLOCK_FOUND)) return found;
    return Status(CV_Get_Attribute_Info(msg_id, tag, vr, count));
  });
}

extern "C" CV_API int32_t CV_Set_pValue_Representation(int32_t msg_id, const char* creator,
                                                       uint16_t group, uint8_t element,
                                                       int32_t vr) {
  return tessel::api::call("CV_Set_pValue_Representation", [&]() -> Status {
    if (creator == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* object = nullptr;
    TS_RETURN_IF_ERROR(find(msg_id, &object));
    if (!CVI_ValidVRCode(vr)) return Status(CV_INVALID_VR_CODE);
    uint32_t tag = 0;
    const Status found =
        data::find_private_element(*object, data::creator_code(creator), group, element, &tag);
    if (!found.is(CV_PRIVATE_BLOCK_FOUND)) return found;
    return Status(CV_Set_Value_Representation(msg_id, tag, vr));
  });
}
