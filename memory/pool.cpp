// Pools, size-class buffers and direct buffers.
//
// Slot layout: an 8-byte header, then the object. The header holds the free-chain link: 0 while
// the slot is in use, the next free slot (or the end-of-chain value) while it is free, so a
// second release is recognised by a non-zero link. Cleanup marks the slots of blocks it is about
// to free in the link's spare low bit. A block (CPlex) is one system allocation: a link to the
// next block of the pool, then its slots.
#include "memory/pool.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "core/named_lock.hpp"
#include "log/log.hpp"
#include "platform/platform.hpp"

namespace tessel::memory {
namespace {

constexpr uintptr_t kEndOfChain = 1;  // link of the last free slot
constexpr uintptr_t kMarkBit = 2;     // slot of a block that cleanup is about to free
constexpr uintptr_t kLinkMask = ~static_cast<uintptr_t>(7);
constexpr size_t kSlotHeader = 8;
constexpr size_t kBufferHeader = 8;  // requested size in front of every variable-size buffer

struct Slot {
  uintptr_t link;
};

struct Plex {
  Plex* next;
  // slots follow
};

struct PoolInfo {
  const char* name;
  const char* lock_name;
  uint32_t slots_per_block;
  size_t largest_request;  // size classes only
};

constexpr PoolInfo kPoolInfo[kPoolCount] = {
    {"b4", "b4Block.Semaphore", 128, 4},
    {"b8", "b8Block.Semaphore", 512, 8},
    {"b12", "b12Block.Semaphore", 512, 12},
    {"b16", "b16Block.Semaphore", 512, 16},
    {"b20", "b20Block.Semaphore", 512, 20},
    {"b24", "b24Block.Semaphore", 512, 24},
    {"b32", "b32Block.Semaphore", 128, 32},
    {"b40", "b40Block.Semaphore", 128, 40},
    {"b64", "b64Block.Semaphore", 64, 64},
    {"b256", "b256Block.Semaphore", 32, 256},
    {"b512", "b512Block.Semaphore", 32, 512},
    {"b2K", "b2KBlock.Semaphore", 2, 2048},
    {"b4K", "b4KBlock.Semaphore", 1, 4096},
    {"b8K", "b8KBlock.Semaphore", 1, 8192},
    {"b12K", "b12KBlock.Semaphore", 1, 12288},
    {"b16K", "b16KBlock.Semaphore", 1, 16384},
    {"b20K", "b20KBlock.Semaphore", 1, 20480},
    {"b24K", "b24KBlock.Semaphore", 1, 24576},
    {"b28K", "b28KBlock.Semaphore", 1, 28672},
    {"bPixel", "bPixelBlock.Semaphore", 4, kPixelBufferSize},
    {"ValErrObj", "ValErrObjBlock.Semaphore", 2, 0},
    {"TagObj", "TagObjBlock.Semaphore", 1024, 0},
    {"ValidValueObj", "ValidValueObjBlock.Semaphore", 16, 0},
    {"FileValueObj", "FileValueObjBlock.Semaphore", 4, 0},
    {"FileObj", "FileObjBlock.Semaphore", 4, 0},
    {"CBObj", "CBObjBlock.Semaphore", 2, 0},
    {"MsgObj", "MsgObjBlock.Semaphore", 32, 0},
    {"HashObj", "HashObjBlock.Semaphore", 16, 0},
    {"SopObj", "SopObjBlock.Semaphore", 8, 0},
    {"ItemObj", "ItemObjBlock.Semaphore", 8, 0},
    {"CreatorObj", "CreatorObjBlock.Semaphore", 1, 0},
    {"CObList", "CObListBlock.Semaphore", 512, 0},
    {"CNode", "CNodeBlock.Semaphore", 2048, 0},
    {"AssocParmsObj", "AssocParmsObjBlock.Semaphore", 1, 0},
    {"AssocReqObj", "AssocReqObjBlock.Semaphore", 1, 0},
    {"AssocObj", "AssocObjBlock.Semaphore", 1, 0},
    {"AppObj", "AppObjBlock.Semaphore", 1, 0},
    {"ExtInfoObj", "ExtInfoObjBlock.Semaphore", 2, 0},
    {"SesObj", "SesObjBlock.Semaphore", 2, 0},
    {"RemAppObj", "RemAppObjBlock.Semaphore", 2, 0},
    {"ServListObj", "ServListObjBlock.Semaphore", 1, 0},
    {"SyntaxListObj", "SyntaxListObjBlock.Semaphore", 1, 0},
    {"ContextObj", "ContextObjBlock.Semaphore", 2, 0},
    {"UidObj", "UidObjBlock.Semaphore", 8, 0},
    {"EntityObj", "EntityObjBlock.Semaphore", 24, 0},
    {"TCPObj", "TCPObjBlock.Semaphore", 2, 0},
    {"SentRcvMsgObj", "SentRcvMsgObjBlock.Semaphore", 5, 0},
    {"ValTagObj", "ValTagObjBlock.Semaphore", 128, 0},
};

struct PoolDescriptor {
  core::NamedLock* lock;
  Slot* free_head;
  Plex* blocks;
  size_t slot_size;  // fixed at the first block
  bool initialised;
};

// Direct buffers: {previous, next, size} in front of the data, chained under mallocSemaphore.
struct DirectHeader {
  DirectHeader* prev;
  DirectHeader* next;
  size_t size;
};

struct MemoryState {
  PoolDescriptor pools[kPoolCount];
  DirectHeader* direct_head;
  bool direct_mode;
  bool pool_oom_logged;
  bool direct_oom_logged;
  size_t cleanup_resume;
};

MemoryState g_memory;
std::atomic<bool> g_cleanup_running{false};
std::atomic<int32_t> g_fail_countdown{0};

bool injected_failure() {
  int32_t n = g_fail_countdown.load(std::memory_order_relaxed);
  if (n <= 0) return false;
  return g_fail_countdown.fetch_sub(1, std::memory_order_relaxed) == 1;
}

PoolDescriptor& descriptor(PoolId pool) {
  return g_memory.pools[static_cast<size_t>(pool)];
}

Slot* slot_of(void* object) {
  return reinterpret_cast<Slot*>(static_cast<unsigned char*>(object) - kSlotHeader);
}
void* object_of(Slot* slot) {
  return reinterpret_cast<unsigned char*>(slot) + kSlotHeader;
}
Slot* next_of(Slot* slot) {
  return reinterpret_cast<Slot*>(slot->link & kLinkMask);
}

Slot* slot_at(Plex* plex, size_t slot_size, size_t index) {
  return reinterpret_cast<Slot*>(reinterpret_cast<unsigned char*>(plex + 1) + index * slot_size);
}

// `zeroed` false leaves the bytes as the system gives them: for buffers about to be filled
// whole, where clearing hundreds of kilobytes would only cost time.
void* direct_get(size_t size, bool zeroed = true) {
  if (injected_failure()) return nullptr;
  void* memory = zeroed ? std::calloc(1, sizeof(DirectHeader) + size)
                        : std::malloc(sizeof(DirectHeader) + size);
  if (memory == nullptr) {
    if (!g_memory.direct_oom_logged) {
      g_memory.direct_oom_logged = true;
      log::write(nullptr, log::kError, "OUT OF MEMORY when allocating %lu chunk!",
                 static_cast<unsigned long>(size));
    }
    return nullptr;
  }
  auto* header = static_cast<DirectHeader*>(memory);
  header->size = size;
  header->prev = nullptr;
  core::LockHold hold(S.mallocSemaphore);
  header->next = g_memory.direct_head;
  if (header->next != nullptr) header->next->prev = header;
  g_memory.direct_head = header;
  return header + 1;
}

void direct_put(void* data) {
  DirectHeader* header = static_cast<DirectHeader*>(data) - 1;
  {
    core::LockHold hold(S.mallocSemaphore);
    if (header->prev != nullptr) {
      header->prev->next = header->next;
    } else {
      g_memory.direct_head = header->next;
    }
    if (header->next != nullptr) header->next->prev = header->prev;
  }
  std::free(header);
}

size_t align8(size_t n) {
  return (n + 7) & ~static_cast<size_t>(7);
}

// Sweeps one pool: frees the blocks whose slots are all free. Returns the bytes freed and sets
// `deadline_passed` when the clock ran out during the walk.
size_t sweep_pool(PoolId id, int64_t deadline_ms, bool& deadline_passed) {
  PoolDescriptor& pool = descriptor(id);
  const size_t slots = kPoolInfo[static_cast<size_t>(id)].slots_per_block;
  Plex* to_free = nullptr;
  int examined = 0;
  int freed = 0;
  size_t bytes = 0;
  deadline_passed = false;
  {
    core::LockHold hold(pool.lock);
    if (!pool.initialised || pool.blocks == nullptr) return 0;
    Plex** link = &pool.blocks;
    while (*link != nullptr) {
      Plex* plex = *link;
      ++examined;
      bool empty = true;
      for (size_t i = 0; i < slots && empty; ++i) {
        if (slot_at(plex, pool.slot_size, i)->link == 0) empty = false;
      }
      if (empty) {
        for (size_t i = 0; i < slots; ++i) slot_at(plex, pool.slot_size, i)->link |= kMarkBit;
        *link = plex->next;
        plex->next = to_free;
        to_free = plex;
        ++freed;
      } else {
        link = &plex->next;
      }
      if (deadline_ms > 0 && examined % 100 == 0 && platform::monotonic_ms() > deadline_ms) {
        deadline_passed = true;
        break;
      }
    }
    if (to_free != nullptr) {
      // Unlink every marked slot from the free chain, keeping the others in order.
      Slot* kept_head = nullptr;
      Slot* kept_tail = nullptr;
      for (Slot* slot = pool.free_head; slot != nullptr;) {
        Slot* next = next_of(slot);
        if ((slot->link & kMarkBit) == 0) {
          if (kept_tail == nullptr) {
            kept_head = slot;
          } else {
            kept_tail->link = reinterpret_cast<uintptr_t>(slot);
          }
          kept_tail = slot;
        }
        slot = next;
      }
      if (kept_tail != nullptr) kept_tail->link = kEndOfChain;
      pool.free_head = kept_head;
      bytes = static_cast<size_t>(freed) * slots * pool.slot_size;
    }
  }
  while (to_free != nullptr) {
    Plex* next = to_free->next;
    std::free(to_free);
    to_free = next;
  }
  if (freed > 0) {
    log::write(nullptr, log::kInfo, "CleanupEmptyBlocks: %d CPlex handled", examined);
    log::write(nullptr, log::kInfo, "                    %d free CPlex found", freed);
    log::write(nullptr, log::kInfo, "                    %d bytes freed", static_cast<int>(bytes));
  }
  return bytes;
}

}  // namespace

void setup_pools() {
  g_memory = MemoryState{};
  for (size_t i = 0; i < kPoolCount; ++i) {
    g_memory.pools[i].lock = core::create_lock(kPoolInfo[i].lock_name);
  }
}

void free_all_pools() {
  for (size_t i = 0; i < kPoolCount; ++i) {
    PoolDescriptor& pool = g_memory.pools[i];
    for (Plex* plex = pool.blocks; plex != nullptr;) {
      Plex* next = plex->next;
      std::free(plex);
      plex = next;
    }
    pool.blocks = nullptr;
    pool.free_head = nullptr;
    pool.initialised = false;
    pool.slot_size = 0;
  }
  for (DirectHeader* header = g_memory.direct_head; header != nullptr;) {
    DirectHeader* next = header->next;
    std::free(header);
    header = next;
  }
  g_memory.direct_head = nullptr;
  g_memory.cleanup_resume = 0;
}

void set_direct_allocation(bool on) {
  g_memory.direct_mode = on;
}
bool direct_allocation() {
  return g_memory.direct_mode;
}

const char* pool_name(PoolId pool) {
  return kPoolInfo[static_cast<size_t>(pool)].name;
}

void fail_allocation_after(int32_t n) {
  g_fail_countdown.store(n, std::memory_order_relaxed);
}

void* pool_get(PoolId id, size_t size) {
  if (g_memory.direct_mode) return direct_get(size);
  if (injected_failure()) return nullptr;
  PoolDescriptor& pool = descriptor(id);
  const size_t slots = kPoolInfo[static_cast<size_t>(id)].slots_per_block;
  bool out_of_memory = false;
  Slot* slot = nullptr;
  {
    core::LockHold hold(pool.lock);
    if (pool.initialised && kSlotHeader + size > pool.slot_size) {
      log::write(nullptr, log::kError, "Internal error, %s object of %lu bytes exceeds its slot",
                 pool_name(id), static_cast<unsigned long>(size));
      return nullptr;
    }
    if (pool.free_head == nullptr) {
      size_t slot_size = pool.initialised ? pool.slot_size : kSlotHeader + align8(size);
      auto* plex = static_cast<Plex*>(std::calloc(1, sizeof(Plex) + slots * slot_size));
      if (plex == nullptr) {
        out_of_memory = true;
      } else {
        pool.slot_size = slot_size;
        pool.initialised = true;
        plex->next = pool.blocks;
        pool.blocks = plex;
        // Chain the new slots in address order.
        for (size_t i = 0; i + 1 < slots; ++i) {
          slot_at(plex, slot_size, i)->link =
              reinterpret_cast<uintptr_t>(slot_at(plex, slot_size, i + 1));
        }
        slot_at(plex, slot_size, slots - 1)->link = kEndOfChain;
        pool.free_head = slot_at(plex, slot_size, 0);
      }
    }
    if (!out_of_memory) {
      slot = pool.free_head;
      Slot* next = next_of(slot);
      pool.free_head = next;
      slot->link = 0;
    }
  }
  if (out_of_memory) {
    if (!g_memory.pool_oom_logged) {
      g_memory.pool_oom_logged = true;
      log::write(nullptr, log::kError, "OUT OF MEMORY!");
    }
    return nullptr;
  }
  return object_of(slot);
}

void pool_put(PoolId id, void* object) {
  if (object == nullptr) return;
  if (g_memory.direct_mode) {
    direct_put(object);
    return;
  }
  PoolDescriptor& pool = descriptor(id);
  Slot* slot = slot_of(object);
  bool double_free = false;
  {
    core::LockHold hold(pool.lock);
    if (slot->link == 0) {
      // Objects come back zeroed from the next get; buffer contents carry no such promise.
      if (zeroed_slots(id)) {
        std::memset(object, 0, pool.slot_size - kSlotHeader);
      }
      slot->link =
          pool.free_head != nullptr ? reinterpret_cast<uintptr_t>(pool.free_head) : kEndOfChain;
      pool.free_head = slot;
    } else {
      double_free = true;
    }
  }
  if (double_free) log::write(nullptr, log::kError, "Invalid %s free", pool_name(id));
}

PoolStats pool_stats(PoolId id) {
  PoolDescriptor& pool = descriptor(id);
  const size_t slots = kPoolInfo[static_cast<size_t>(id)].slots_per_block;
  PoolStats stats{};
  core::LockHold hold(pool.lock);
  stats.slot_size = pool.slot_size;
  stats.block_bytes = sizeof(Plex) + slots * pool.slot_size;
  for (Plex* plex = pool.blocks; plex != nullptr; plex = plex->next) {
    uint64_t live_here = 0;
    for (size_t s = 0; s < slots; ++s) {
      if (slot_at(plex, pool.slot_size, s)->link == 0) ++live_here;
    }
    ++stats.blocks;
    if (live_here > 0) ++stats.live_blocks;
    stats.live_objects += live_here;
  }
  return stats;
}

DirectStats direct_stats() {
  DirectStats stats{};
  core::LockHold hold(S.mallocSemaphore);
  for (DirectHeader* h = g_memory.direct_head; h != nullptr; h = h->next) {
    stats.bytes += h->size + sizeof(DirectHeader);
    ++stats.count;
  }
  return stats;
}

Usage usage(bool report) {
  Usage total{};
  for (size_t i = 0; i < kPoolCount; ++i) {
    const PoolStats stats = pool_stats(static_cast<PoolId>(i));
    total.bytes_allocated += stats.blocks * stats.block_bytes;
    total.bytes_in_live_blocks += stats.live_blocks * stats.block_bytes;
    total.bytes_in_use += stats.live_objects * stats.slot_size;
    if (report) {
      log::write(nullptr, log::kT1, "%.5d : %6d : (%5luK) : %s",
                 static_cast<int>(stats.live_objects), static_cast<int>(stats.slot_size),
                 static_cast<unsigned long>(stats.live_objects * stats.slot_size / 1024),
                 kPoolInfo[i].name);
    }
  }
  const DirectStats direct = direct_stats();
  total.bytes_allocated += direct.bytes;
  total.bytes_in_live_blocks += direct.bytes;
  total.bytes_in_use += direct.bytes;
  if (report) {
    log::write(nullptr, log::kT1, "%6d bytes in %d direct buffers", static_cast<int>(direct.bytes),
               static_cast<int>(direct.count));
  }
  return total;
}

void cleanup(int32_t seconds) {
  bool expected = false;
  if (!g_cleanup_running.compare_exchange_strong(expected, true)) return;
  const int64_t start = platform::monotonic_ms();
  const int64_t budget = static_cast<int64_t>(seconds) * 1000;
  const int64_t deadline = seconds > 0 ? start + budget : 0;
  size_t index = g_memory.cleanup_resume >= kPoolCount - 1 ? 0 : g_memory.cleanup_resume;
  uint64_t total = 0;
  for (; index < kPoolCount; ++index) {
    bool deadline_passed = false;
    total += sweep_pool(static_cast<PoolId>(index), deadline, deadline_passed);
    if (seconds > 0 && (deadline_passed || platform::monotonic_ms() - start > budget)) {
      g_memory.cleanup_resume = index;
      g_cleanup_running.store(false);
      log::write(nullptr, log::kInfo, "Total bytes freed: %lu", static_cast<unsigned long>(total));
      return;
    }
  }
  g_memory.cleanup_resume = 0;
  core::destroy_free_locks();
  g_cleanup_running.store(false);
  log::write(nullptr, log::kInfo, "Total bytes freed: %lu", static_cast<unsigned long>(total));
}

}  // namespace tessel::memory

using tessel::memory::PoolId;

namespace {

// The first class whose largest request is not smaller than `size`; kCount for a direct buffer.
PoolId size_class_for(size_t size) {
  if (size == tessel::memory::kPixelBufferSize) return PoolId::bPixel;
  for (size_t i = 0; i < static_cast<size_t>(PoolId::bPixel); ++i) {
    if (size <= tessel::memory::kPoolInfo[i].largest_request) return static_cast<PoolId>(i);
  }
  return PoolId::kCount;
}

}  // namespace

namespace {

void* new_buffer(size_t size, bool zeroed) {
  using namespace tessel::memory;
  PoolId id = direct_allocation() ? PoolId::kCount : size_class_for(size);
  void* memory = nullptr;
  if (id == PoolId::kCount) {
    memory = direct_get(kBufferHeader + size, zeroed);
  } else {
    memory = pool_get(id, kBufferHeader + kPoolInfo[static_cast<size_t>(id)].largest_request);
    // Buffer slots keep what their last user left in them.
    if (memory != nullptr && zeroed && !zeroed_slots(id)) {
      std::memset(static_cast<unsigned char*>(memory) + kBufferHeader, 0, size);
    }
  }
  if (memory == nullptr) return nullptr;
  *static_cast<size_t*>(memory) = size;
  return static_cast<unsigned char*>(memory) + kBufferHeader;
}

}  // namespace

void* CVI_newBuffer(size_t size) {
  return new_buffer(size, true);
}

void* tessel::memory::new_unzeroed_buffer(size_t size) {
  return new_buffer(size, false);
}

void CVI_releaseBuffer(void* buffer) {
  using namespace tessel::memory;
  if (buffer == nullptr) return;
  void* memory = static_cast<unsigned char*>(buffer) - kBufferHeader;
  const size_t size = *static_cast<size_t*>(memory);
  PoolId id = direct_allocation() ? PoolId::kCount : size_class_for(size);
  if (id == PoolId::kCount) {
    direct_put(memory);
  } else {
    pool_put(id, memory);
  }
}
