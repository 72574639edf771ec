// Registered local applications, their value-callback records, and the association table.
#ifndef TESSEL_CORE_APPLICATION_HPP_
#define TESSEL_CORE_APPLICATION_HPP_

#include <atomic>
#include <cstdint>

#include "core/named_lock.hpp"
#include "core/status.hpp"
#include "memory/oblist.hpp"

#include "tessel/tessel_core.h"

namespace tessel::core {

inline constexpr size_t kMaxTitleLength = 16;
inline constexpr size_t kMaxCreatorLength = 513;

// One registered value callback: standard (by tag) or private (creator code, group, element).
struct CallbackRecord {
  uint32_t tag;
  CV_VALUE_CALLBACK function;
  char creator[kMaxCreatorLength + 1];
  uint16_t group;
  uint8_t element;
  bool is_private;
  CV_PVALUE_CALLBACK private_function;
  void* user_info;
};

struct Application {
  int32_t id;
  char title[20];
  CObList* callbacks;     // CallbackRecord*, guarded by callback_lock
  CObList* associations;  // association objects, guarded by association_lock
  CObList* extended_negotiation;
  NamedLock* callback_lock;
  NamedLock* association_lock;
  NamedLock* extended_lock;
  Application* next_by_title;  // chain of the title index, under appObjSemaphore
};

// Common head of every association object: the claim of its network connection by one thread.
struct SessionClaimState {
  std::atomic<int32_t> in_use;
  std::atomic<uint64_t> holder_thread;
  std::atomic<uint64_t> waiting_thread_mark;
};

// Whether a group is private: odd and none of 0001, 0003, 0005, 0007 and FFFF.
constexpr bool is_private_group(uint32_t group) {
  return (group & 1U) != 0 && group != 0x0001 && group != 0x0003 && group != 0x0005 &&
         group != 0x0007 && group != 0xFFFF;
}

// Clears both tables (global reset).
void reset_tables();

// Registers an application; `id_out` receives the identifier.
Status register_application(const char* title, int32_t* id_out);
// Releases an application: callbacks, associations, extended negotiation, locks, identifier.
Status release_application(int32_t id);
// Releases every application still registered (library release, before the pools go).
void release_all_applications();

// The application registered under `title`, or nullptr. The caller holds appObjSemaphore.
Application* application_by_title(const char* title);
// The application with the lowest identifier other than `except` (the earliest registration
// still present), or nullptr. The caller holds appObjSemaphore.
Application* lowest_application(const Application* except);

// Association identifiers: a new identifier for `object`, or -1 when the table is full.
int32_t new_session_id(SessionClaimState* object);
void release_session_id(int32_t id);

// Tears down one association of an application being released; installed by the network layer.
using AssociationTeardown = void (*)(void* association);
void set_association_teardown(AssociationTeardown teardown);

// Replaces `text`'s trailing spaces with NULs and returns it.
char* trim_trailing_spaces(char* text);

}  // namespace tessel::core

// Internal lookups of every function that takes an application or association identifier.
tessel::core::Application* CVI_applicationPtr(int32_t id);
// With a non-zero `claim`, marks the association's network state as in use by the caller; if it
// is already in use the lookup returns nullptr and sets *busy to 1 (and records a non-zero
// `thread_mark` so that the holder notices).
tessel::core::SessionClaimState* CVI_sessionPtr(int32_t id, int32_t claim, uint64_t thread_mark,
                                                int32_t* busy);
// Ends a claim taken by CVI_sessionPtr.
void CVI_releaseSessionClaim(tessel::core::SessionClaimState* session);

#endif  // TESSEL_CORE_APPLICATION_HPP_
