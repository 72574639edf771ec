// The in-memory log ring: the newest LOG_MEMORY_SIZE lines, read back by the application.
#ifndef TESSEL_LOG_MEMORY_RING_HPP_
#define TESSEL_LOG_MEMORY_RING_HPP_

#include <cstddef>
#include <cstdint>

#include "tessel/tessel_core.h"

namespace tessel::log {

// Each entry holds 255 characters and a NUL.
inline constexpr size_t kRingEntrySize = 256;

// Stores the first 255 characters of `line`. The first line allocates `entries` entries (below 1
// counts as 1); false when that allocation fails. Takes logSemaphore.
bool ring_store(int32_t entries, const char* line) noexcept;

// Hands every stored line to `reader`, oldest first, with the first and last flags, stopping when
// the reader answers anything but CV_NORMAL_COMPLETION; `clear` empties the ring afterwards.
// CV_LOG_EMPTY when nothing is stored. The reader runs without any lock held.
int32_t ring_read(bool clear, CV_MEMORY_LOG_READER reader);

// Frees the ring (library release).
void ring_free() noexcept;

// Test hook: the next ring allocation fails.
void fail_next_ring_allocation() noexcept;

}  // namespace tessel::log

#endif  // TESSEL_LOG_MEMORY_RING_HPP_
