// Application and association identifier tables.
#include "core/application.hpp"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/id_table.hpp"
#include "core/state.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"
#include "platform/platform.hpp"

namespace tessel::core {
namespace {

constexpr int32_t kFirstAppId = 1000;
constexpr int32_t kLastAppId = 31000;
constexpr int32_t kFirstSessionId = 10000;
constexpr int32_t kSessionIdLimit = 0x7FFFFFF5;

IdTable g_app_table;
IdTable g_session_table;
// Installed with every association, from any thread, and cleared by the global reset.
std::atomic<AssociationTeardown> g_association_teardown{nullptr};

// Index of registered titles, so that the uniqueness check does not walk the whole table.
constexpr uint32_t kTitleBuckets = 1024;
Application* g_title_index[kTitleBuckets];

uint32_t title_bucket(const char* title) {
  uint32_t hash = 2166136261u;
  for (const char* p = title; *p != '\0'; ++p) hash = (hash ^ static_cast<uint8_t>(*p)) * 16777619u;
  return hash % kTitleBuckets;
}

bool title_taken(const char* title) {
  for (Application* app = g_title_index[title_bucket(title)]; app != nullptr;
       app = app->next_by_title) {
    if (std::strcmp(app->title, title) == 0) return true;
  }
  return false;
}

void index_title(Application* app) {
  Application*& head = g_title_index[title_bucket(app->title)];
  app->next_by_title = head;
  head = app;
}

void unindex_title(Application* app) {
  for (Application** link = &g_title_index[title_bucket(app->title)]; *link != nullptr;
       link = &(*link)->next_by_title) {
    if (*link == app) {
      *link = app->next_by_title;
      return;
    }
  }
}

// Next free application identifier, or -1 when every identifier of the range is taken.
int32_t allocate_app_id() {
  int wraps = 0;
  for (;;) {
    if (++g_state.app_counter > kLastAppId) {
      g_state.app_counter = kFirstAppId;
      if (++wraps == 2) return -1;
    }
    if (!g_app_table.contains(g_state.app_counter)) return g_state.app_counter;
  }
}

void free_callback_records(Application& app) {
  if (app.callbacks == nullptr) return;
  while (app.callbacks->nCount > 0) {
    auto* record = static_cast<CallbackRecord*>(CObList_RemoveHead(app.callbacks));
    memory::pool_delete(memory::PoolId::CBObj, record);
  }
  CObList_Destroy(app.callbacks);
  app.callbacks = nullptr;
}

void free_application(Application* app) {
  free_callback_records(*app);
  if (app->associations != nullptr) {
    // Teardown unlinks each association from the list; take them off first so that the list is
    // never walked while it changes.
    while (app->associations->nCount > 0) {
      void* association = CObList_RemoveHead(app->associations);
      const AssociationTeardown teardown = g_association_teardown.load();
      if (teardown != nullptr) teardown(association);
    }
    CObList_Destroy(app->associations);
  }
  if (app->extended_negotiation != nullptr) {
    while (app->extended_negotiation->nCount > 0) {
      CVI_releaseBuffer(CObList_RemoveHead(app->extended_negotiation));
    }
    CObList_Destroy(app->extended_negotiation);
  }
  release_lock(app->callback_lock);
  release_lock(app->association_lock);
  release_lock(app->extended_lock);
  memory::pool_delete(memory::PoolId::AppObj, app);
}

}  // namespace

void reset_tables() {
  g_app_table.clear();
  g_session_table.clear();
  g_association_teardown.store(nullptr);
  for (Application*& head : g_title_index) head = nullptr;
}

Status register_application(const char* title, int32_t* id_out) {
  {
    LockHold hold(S.appObjSemaphore);
    if (title_taken(title)) return Status(CV_ALREADY_REGISTERED);
  }
  Application* app = memory::pool_new<Application>(memory::PoolId::AppObj);
  if (app == nullptr) return Status(CV_SYSTEM_ERROR);
  std::snprintf(app->title, sizeof app->title, "%s", title);
  app->callback_lock = create_lock("appCallbackSemaphore");
  app->association_lock = create_lock("appAssocSemaphore");
  app->extended_lock = create_lock("appExtNegSemaphore");
  if (app->callback_lock == nullptr || app->association_lock == nullptr ||
      app->extended_lock == nullptr) {
    free_application(app);
    return Status(CV_SYSTEM_ERROR);
  }
  {
    LockHold hold(S.appObjSemaphore);
    // A second check under the same hold as the insertion keeps titles unique across threads.
    const bool taken = title_taken(title);
    if (!taken) {
      app->id = allocate_app_id();
      if (app->id >= 0 && g_app_table.insert(app->id, app)) {
        index_title(app);
        *id_out = app->id;
        return Status();
      }
    }
    free_application(app);
    return Status(taken ? CV_ALREADY_REGISTERED : CV_SYSTEM_ERROR);
  }
}

Application* application_by_title(const char* title) {
  for (Application* app = g_title_index[title_bucket(title)]; app != nullptr;
       app = app->next_by_title) {
    if (std::strcmp(app->title, title) == 0) return app;
  }
  return nullptr;
}

Application* lowest_application(const Application* except) {
  Application* lowest = nullptr;
  g_app_table.for_each([&](int32_t, void* object) {
    auto* app = static_cast<Application*>(object);
    if (app != except && (lowest == nullptr || app->id < lowest->id)) lowest = app;
  });
  return lowest;
}

Status release_application(int32_t id) {
  Application* app = nullptr;
  {
    LockHold hold(S.appObjSemaphore);
    app = static_cast<Application*>(g_app_table.find(id));
    if (app == nullptr) return Status(CV_INVALID_APPLICATION_ID);
    unindex_title(app);
    if (!g_app_table.remove(id)) {
      log::write("CVI_releaseAppObj", log::kError,
                 "Internal error, could not find application object to free");
    }
  }
  free_application(app);
  return Status();
}

void release_all_applications() {
  std::vector<int32_t> ids;
  {
    LockHold hold(S.appObjSemaphore);
    g_app_table.for_each([&](int32_t id, void*) { ids.push_back(id); });
  }
  for (int32_t id : ids) (void)release_application(id);
}

int32_t new_session_id(SessionClaimState* object) {
  LockHold hold(S.sesObjSemaphore);
  if (++g_state.session_counter > kLastAppId) g_state.session_counter = kFirstSessionId;
  int32_t candidate = g_state.session_counter;
  while (g_session_table.contains(candidate)) {
    if (++candidate >= kSessionIdLimit) {
      log::write("CVI_newSesObj", log::kError, "Internal error, running out of session object IDs");
      return -1;
    }
  }
  if (!g_session_table.insert(candidate, object)) return -1;
  return candidate;
}

void release_session_id(int32_t id) {
  LockHold hold(S.sesObjSemaphore);
  if (!g_session_table.remove(id)) {
    log::write("CVI_releaseSesObj", log::kError,
               "Internal error, could not find session object to free");
  }
}

void set_association_teardown(AssociationTeardown teardown) {
  g_association_teardown.store(teardown);
}

char* trim_trailing_spaces(char* text) {
  size_t n = std::strlen(text);
  while (n > 0 && text[n - 1] == ' ') text[--n] = '\0';
  return text;
}

}  // namespace tessel::core

tessel::core::Application* CVI_applicationPtr(int32_t id) {
  using namespace tessel::core;
  LockHold hold(S.appObjSemaphore);
  return static_cast<Application*>(g_app_table.find(id));
}

tessel::core::SessionClaimState* CVI_sessionPtr(int32_t id, int32_t claim, uint64_t thread_mark,
                                                int32_t* busy) {
  using namespace tessel::core;
  LockHold hold(S.sesObjSemaphore);
  auto* session = static_cast<SessionClaimState*>(g_session_table.find(id));
  if (session == nullptr || claim == 0) return session;
  int32_t expected = 0;
  if (!session->in_use.compare_exchange_strong(expected, 1)) {
    if (busy != nullptr) *busy = 1;
    if (thread_mark != 0) session->waiting_thread_mark.store(thread_mark);
    return nullptr;
  }
  session->holder_thread.store(tessel::platform::current_thread_id());
  return session;
}

void CVI_releaseSessionClaim(tessel::core::SessionClaimState* session) {
  if (session == nullptr) return;
  session->holder_thread.store(0);
  session->in_use.store(0);
}
