// Exported application and value-callback registration functions.
#include <cstring>

#include "core/api_guard.hpp"
#include "core/application.hpp"
#include "core/callback_binding.hpp"
#include "core/state.hpp"
#include "memory/pool.hpp"

#include "tessel/tessel.h"

using tessel::Status;
namespace core = tessel::core;
namespace memory = tessel::memory;

namespace tessel::core {
namespace {

// The library's own echo application is registered on the first registration after start.
// Registrations racing with it wait on the application lock, so it keeps the first identifier.
void register_echo_application() {
  if (!g_state.echo_registration_pending.load(std::memory_order_acquire)) return;
  LockHold hold(S.appObjSemaphore);
  if (!g_state.echo_registration_pending.load(std::memory_order_relaxed)) return;
  int32_t id = -1;
  if (register_application("TESSEL_ECHO", &id).ok()) g_state.echo_app_id.store(id);
  g_state.echo_registration_pending.store(false, std::memory_order_release);
}

bool matches(const CallbackRecord& record, uint32_t tag) {
  return !record.is_private && record.tag == tag;
}

bool matches(const CallbackRecord& record, const char* creator, uint16_t group, uint8_t element) {
  if (!record.is_private || record.group != group || record.element != element) return false;
  char trimmed[kMaxCreatorLength + 1];
  std::snprintf(trimmed, sizeof trimmed, "%s", creator);
  trim_trailing_spaces(trimmed);
  return std::strcmp(record.creator, trimmed) == 0;
}

template <typename Match>
CallbackRecord* find_record(Application& app, Match&& match) {
  if (app.callbacks == nullptr) return nullptr;
  for (POSITION pos = app.callbacks->pNodeHead; pos != nullptr;) {
    auto* record = static_cast<CallbackRecord*>(CObList_GetNext(&pos));
    if (match(*record)) return record;
  }
  return nullptr;
}

// Replaces the matching record's function, or appends a new record filled by `fill`.
template <typename Match, typename Fill>
Status upsert_record(Application& app, Match&& match, Fill&& fill) {
  LockHold hold(app.callback_lock);
  if (CallbackRecord* record = find_record(app, match)) {
    fill(*record);
    return Status();
  }
  if (app.callbacks == nullptr) {
    app.callbacks = CObList_Create();
    if (app.callbacks == nullptr) return Status(CV_SYSTEM_ERROR);
  }
  auto* record = memory::pool_new<CallbackRecord>(memory::PoolId::CBObj);
  if (record == nullptr) return Status(CV_SYSTEM_ERROR);
  fill(*record);
  if (CObList_AddTail(app.callbacks, record) == nullptr) {
    memory::pool_delete(memory::PoolId::CBObj, record);
    return Status(CV_SYSTEM_ERROR);
  }
  return Status();
}

template <typename Match>
Status remove_record(Application& app, Match&& match) {
  LockHold hold(app.callback_lock);
  if (app.callbacks == nullptr) return Status(CV_INVALID_TAG);
  for (POSITION pos = app.callbacks->pNodeHead; pos != nullptr; pos = pos->pNext) {
    auto* record = static_cast<CallbackRecord*>(pos->data);
    if (match(*record)) {
      CObList_RemoveAt(app.callbacks, pos);
      memory::pool_delete(memory::PoolId::CBObj, record);
      return Status();
    }
  }
  return Status(CV_INVALID_TAG);
}

}  // namespace
}  // namespace tessel::core

extern "C" CV_API int32_t CV_Register_Application(int32_t* app_id, const char* title) {
  return tessel::api::call("CV_Register_Application", [&]() -> Status {
    core::register_echo_application();
    if (app_id == nullptr || title == nullptr) return Status(CV_NULL_POINTER_PARM);
    *app_id = -1;
    const size_t length = std::strlen(title);
    if (length == 0 || length > core::kMaxTitleLength) return Status(CV_INVALID_TITLE_LENGTH);
    return core::register_application(title, app_id);
  });
}

extern "C" CV_API int32_t CV_Release_Application(int32_t* app_id) {
  return tessel::api::call("CV_Release_Application", [&]() -> Status {
    if (app_id == nullptr) return Status(CV_NULL_POINTER_PARM);
    TS_RETURN_IF_ERROR(core::release_application(*app_id));
    if (*app_id == core::g_state.echo_app_id) core::g_state.echo_app_id = -1;
    *app_id = -1;
    return Status();
  });
}

extern "C" CV_API int32_t CV_Register_Callback_Function(int32_t app_id, uint32_t tag,
                                                        void* user_info,
                                                        CV_VALUE_CALLBACK function) {
  return tessel::api::call("CV_Register_Callback_Function", [&]() -> Status {
    if (function == nullptr) return Status(CV_NULL_POINTER_PARM);
    if (core::is_private_group(tag >> 16)) return Status(CV_INVALID_TAG);
    core::Application* app = CVI_applicationPtr(app_id);
    if (app == nullptr) return Status(CV_INVALID_APPLICATION_ID);
    return core::upsert_record(
        *app, [&](const core::CallbackRecord& r) { return core::matches(r, tag); },
        [&](core::CallbackRecord& r) {
          r.tag = tag;
          r.function = function;
          r.user_info = user_info;
        });
  });
}

extern "C" CV_API int32_t CV_Register_pCallback_Function(int32_t app_id, const char* creator,
                                                         uint16_t group, uint8_t element,
                                                         void* user_info,
                                                         CV_PVALUE_CALLBACK function) {
  return tessel::api::call("CV_Register_pCallback_Function", [&]() -> Status {
    if (creator == nullptr || function == nullptr) return Status(CV_NULL_POINTER_PARM);
    if (!core::is_private_group(group)) return Status(CV_PRIVATE_GROUP_NOT_ODD);
    core::Application* app = CVI_applicationPtr(app_id);
    if (app == nullptr) return Status(CV_INVALID_APPLICATION_ID);
    return core::upsert_record(
        *app,
        [&](const core::CallbackRecord& r) { return core::matches(r, creator, group, element); },
        [&](core::CallbackRecord& r) {
          r.is_private = true;
          std::snprintf(r.creator, sizeof r.creator, "%s", creator);
          core::trim_trailing_spaces(r.creator);
          r.group = group;
          r.element = element;
          r.private_function = function;
          r.user_info = user_info;
        });
  });
}

extern "C" CV_API int32_t CV_Release_Callback_Function(int32_t app_id, uint32_t tag) {
  return tessel::api::call("CV_Release_Callback_Function", [&]() -> Status {
    core::Application* app = CVI_applicationPtr(app_id);
    if (app == nullptr) return Status(CV_INVALID_APPLICATION_ID);
    return core::remove_record(
        *app, [&](const core::CallbackRecord& r) { return core::matches(r, tag); });
  });
}

extern "C" CV_API int32_t CV_Release_pCallback_Function(int32_t app_id, const char* creator,
                                                        uint16_t group, uint8_t element) {
  return tessel::api::call("CV_Release_pCallback_Function", [&]() -> Status {
    if (creator == nullptr) return Status(CV_NULL_POINTER_PARM);
    core::Application* app = CVI_applicationPtr(app_id);
    if (app == nullptr) return Status(CV_INVALID_APPLICATION_ID);
    return core::remove_record(*app, [&](const core::CallbackRecord& r) {
      return core::matches(r, creator, group, element);
    });
  });
}

extern "C" CV_API int32_t CV_Set_Message_Callbacks(int32_t app_id, int32_t msg_id) {
  return tessel::api::call("CV_Set_Message_Callbacks", [&]() -> Status {
    core::Application* app = CVI_applicationPtr(app_id);
    if (app == nullptr) return Status(CV_INVALID_APPLICATION_ID);
    return core::bind_callbacks_to_message(*app, msg_id);
  });
}
