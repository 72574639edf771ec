// The state block, the named-lock block and global reset.
#include "core/state.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/application.hpp"
#include "memory/pool.hpp"
#include "platform/platform.hpp"

CV_API CV_NAMED_LOCKS S;

namespace tessel::core {

LibraryState g_state;

namespace {

// Survives reset; freed by release.
char* g_stored_ini_path;

struct LockSlot {
  CV_LOCK* CV_NAMED_LOCKS::*member;
  const char* name;
};

constexpr LockSlot kNamedLocks[] = {
    {&CV_NAMED_LOCKS::mallocSemaphore, "mallocSemaphore"},
    {&CV_NAMED_LOCKS::dictionSemaphore, "dictionSemaphore"},
    {&CV_NAMED_LOCKS::logSemaphore, "logSemaphore"},
    {&CV_NAMED_LOCKS::sesObjSemaphore, "sesObjSemaphore"},
    {&CV_NAMED_LOCKS::appObjSemaphore, "appObjSemaphore"},
    {&CV_NAMED_LOCKS::msgObjSemaphore, "msgObjSemaphore"},
    {&CV_NAMED_LOCKS::entityObjSemaphore, "entityObjSemaphore"},
    {&CV_NAMED_LOCKS::DirModelInitSemaphore, "DirModelInitSemaphore"},
    {&CV_NAMED_LOCKS::appInfoListSemaphore, "appInfoListSemaphore"},
    {&CV_NAMED_LOCKS::syntaxListHeadSemaphore, "syntaxListHeadSemaphore"},
    {&CV_NAMED_LOCKS::serviceListHeadSemaphore, "serviceListHeadSemaphore"},
    {&CV_NAMED_LOCKS::serviceNameListHeadSemaphore, "serviceNameListHeadSemaphore"},
    {&CV_NAMED_LOCKS::SRRecListSemaphore, "SRRecListSemaphore"},
    {&CV_NAMED_LOCKS::ListenPortListSemaphore, "ListenPortListSemaphore"},
};

void write_lock_listing() {
  std::FILE* out = std::fopen("semaphores", "wb");
  if (out == nullptr) return;
  list_locks(out);
  std::fclose(out);
}

}  // namespace

const char* identification_text() {
  return "Tessel DICOM Toolkit, Version 4.5.0, " __DATE__;
}

const char* build_text() {
#if defined(__clang__)
#  define TESSEL_COMPILER "clang " __clang_version__
#elif defined(__GNUC__)
#  define TESSEL_COMPILER "g++ " __VERSION__
#else
#  define TESSEL_COMPILER "C++"
#endif
  return "Tessel DICOM Toolkit, Version 4.5.0, " __DATE__
         " for Linux on x86-64 using " TESSEL_COMPILER " (1)";
}

const char* stored_ini_path() {
  return g_stored_ini_path;
}

bool store_ini_path(const char* path) {
  std::free(g_stored_ini_path);
  g_stored_ini_path = nullptr;
  if (path == nullptr) return true;
  g_stored_ini_path = strdup(path);
  return g_stored_ini_path != nullptr;
}

void global_reset() {
  g_state.initialised_marker.store(0);
  g_state.config_ready_marker.store(0);
  g_state.profile_function = nullptr;
  g_state.dictionary_function = nullptr;
  g_state.reserved_word = nullptr;
  g_state.direct_allocation = false;
  g_state.sockets_started = false;
  S = CV_NAMED_LOCKS{};

  lock_factory_start();
  for (const LockSlot& slot : kNamedLocks) S.*slot.member = create_lock(slot.name);
  memory::setup_pools();
  reset_tables();
  g_state.app_counter = 999;
  g_state.session_counter = 9999;
  g_state.echo_app_id = -1;
  g_state.echo_registration_pending = true;

  if (platform::get_env("SAVE_SEMAPHORES")) write_lock_listing();
}

void global_teardown() {
  memory::free_all_pools();
  reset_tables();
  destroy_all_locks();
  S = CV_NAMED_LOCKS{};
}

}  // namespace tessel::core
