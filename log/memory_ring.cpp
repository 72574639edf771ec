// The memory ring. The write index is -1 while the ring is empty; when it catches up with the
// oldest entry, the oldest moves on, so the ring always holds the newest lines. The ring is kept
// under logSemaphore so that concurrent loggers never tear an entry.
#include "log/memory_ring.hpp"

#include <atomic>
#include <cstring>
#include <new>

#include "core/named_lock.hpp"

#include "tessel/tessel_status.h"

namespace tessel::log {
namespace {

struct Ring {
  char* entries;
  int32_t size;
  int32_t write;  // -1: empty
  int32_t oldest;
};
Ring g_ring;  // guarded by logSemaphore
std::atomic<bool> g_fail_next_allocation{false};

char* entry(int32_t index) {
  return g_ring.entries + static_cast<size_t>(index) * kRingEntrySize;
}

}  // namespace

bool ring_store(int32_t entries, const char* line) noexcept {
  core::LockHold hold(S.logSemaphore);
  if (g_ring.entries == nullptr) {
    const int32_t size = entries < 1 ? 1 : entries;
    if (g_fail_next_allocation.exchange(false)) return false;
    g_ring.entries = new (std::nothrow) char[static_cast<size_t>(size) * kRingEntrySize];
    if (g_ring.entries == nullptr) return false;
    g_ring.size = size;
    g_ring.write = -1;
  }
  if (g_ring.write < 0) {
    g_ring.write = 0;
    g_ring.oldest = 0;
  } else {
    g_ring.write = (g_ring.write + 1) % g_ring.size;
    if (g_ring.write == g_ring.oldest) g_ring.oldest = (g_ring.oldest + 1) % g_ring.size;
  }
  char* target = entry(g_ring.write);
  std::strncpy(target, line, kRingEntrySize - 1);
  target[kRingEntrySize - 1] = '\0';
  return true;
}

int32_t ring_read(bool clear, CV_MEMORY_LOG_READER reader) {
  int32_t index = 0;
  int32_t newest = 0;
  int32_t size = 0;
  {
    core::LockHold hold(S.logSemaphore);
    if (g_ring.entries == nullptr || g_ring.write < 0) return CV_LOG_EMPTY;
    index = g_ring.oldest;
    newest = g_ring.write;
    size = g_ring.size;
  }
  // Each entry is copied under the lock and handed over without it.
  for (int32_t first = 1;; first = 0) {
    char line[kRingEntrySize];
    {
      core::LockHold hold(S.logSemaphore);
      if (g_ring.entries == nullptr || g_ring.size != size) break;
      std::memcpy(line, entry(index), kRingEntrySize);
    }
    const int32_t last = index == newest ? 1 : 0;
    if (reader(line, first, last) != CV_NORMAL_COMPLETION || last) break;
    index = (index + 1) % size;
  }
  if (clear) {
    core::LockHold hold(S.logSemaphore);
    g_ring.write = -1;
  }
  return CV_NORMAL_COMPLETION;
}

void ring_free() noexcept {
  core::LockHold hold(S.logSemaphore);
  delete[] g_ring.entries;
  g_ring = Ring{};
}

void fail_next_ring_allocation() noexcept {
  g_fail_next_allocation.store(true);
}

}  // namespace tessel::log
