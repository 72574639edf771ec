// Typed object pools and size-class buffers.
//
// Every library object comes from the pool of its type and every variable-size buffer from one
// of twenty size classes; pools grow in blocks of a fixed number of slots and give memory back to
// the system only through CV_Cleanup_Memory or library release.
#ifndef TESSEL_MEMORY_POOL_HPP_
#define TESSEL_MEMORY_POOL_HPP_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace tessel::memory {

// Pools in their fixed report and cleanup order.
enum class PoolId : uint8_t {
  b4,
  b8,
  b12,
  b16,
  b20,
  b24,
  b32,
  b40,
  b64,
  b256,
  b512,
  b2K,
  b4K,
  b8K,
  b12K,
  b16K,
  b20K,
  b24K,
  b28K,
  bPixel,
  ValErrObj,
  TagObj,
  ValidValueObj,
  FileValueObj,
  FileObj,
  CBObj,
  MsgObj,
  HashObj,
  SopObj,
  ItemObj,
  CreatorObj,
  CObList,
  CNode,
  AssocParmsObj,
  AssocReqObj,
  AssocObj,
  AppObj,
  ExtInfoObj,
  SesObj,
  RemAppObj,
  ServListObj,
  SyntaxListObj,
  ContextObj,
  UidObj,
  EntityObj,
  TCPObj,
  SentRcvMsgObj,
  ValTagObj,
  kCount
};
inline constexpr size_t kPoolCount = static_cast<size_t>(PoolId::kCount);

// Largest request served from a size-class pool; larger ones are direct buffers, except the
// exact pixel-buffer size.
inline constexpr size_t kLargestPooledRequest = 28672;
inline constexpr size_t kPixelBufferSize = 131084;

// Sets up every pool descriptor (global reset) / frees every block and direct buffer without
// visiting the objects (release and reset).
void setup_pools();
void free_all_pools();

// Direct-allocation mode: every request goes to the system allocator through the direct chain.
void set_direct_allocation(bool on);
bool direct_allocation();

// A zeroed object of `size` bytes from the pool, or nullptr when memory is exhausted (logged
// once per run as "OUT OF MEMORY!").
void* pool_get(PoolId pool, size_t size);
// Returns an object to its pool; a second release is logged as "Invalid %s free" and ignored.
void pool_put(PoolId pool, void* object);

// Name of a pool as reports print it.
const char* pool_name(PoolId pool);

// Test hook: when non-zero, the n-th following pool or buffer allocation fails (1 = the next).
void fail_allocation_after(int32_t n);

// Whether slots of `pool` come zeroed: the typed pools do, the buffer size classes do not.
constexpr bool zeroed_slots(PoolId pool) {
  return pool > PoolId::bPixel;
}

// Constructs a T in a slot of `pool`; nullptr when no memory is left.
template <typename T, typename... Args>
T* pool_new(PoolId pool, Args&&... args) {
  void* memory = pool_get(pool, sizeof(T));
  if (memory == nullptr) return nullptr;
  if constexpr (sizeof...(Args) == 0 && std::is_trivially_default_constructible_v<T>) {
    // A zeroed slot already holds the value-initialised object; clearing it again costs a
    // pass over blocks of a few hundred kilobytes (association parameters) every time.
    if (zeroed_slots(pool)) return new (memory) T;
  }
  return new (memory) T(std::forward<Args>(args)...);
}

// Destroys a T made by pool_new and returns its slot. A null pointer is ignored.
template <typename T>
void pool_delete(PoolId pool, T* object) {
  if (object == nullptr) return;
  object->~T();
  pool_put(pool, object);
}

// Owning pointer whose deleter returns the slot to its typed pool.
template <typename T, PoolId kPool>
struct PoolDeleter {
  void operator()(T* object) const { pool_delete(kPool, object); }
};
template <typename T, PoolId kPool>
using PoolPtr = std::unique_ptr<T, PoolDeleter<T, kPool>>;

template <typename T, PoolId kPool, typename... Args>
PoolPtr<T, kPool> make_pooled(Args&&... args) {
  return PoolPtr<T, kPool>(pool_new<T>(kPool, std::forward<Args>(args)...));
}

// Counts of one pool: blocks, blocks holding at least one live object, live objects, slot size.
struct PoolStats {
  uint64_t blocks;
  uint64_t live_blocks;
  uint64_t live_objects;
  uint64_t slot_size;
  uint64_t block_bytes;
};
PoolStats pool_stats(PoolId pool);

// Number and total bytes (headers included) of the direct buffers.
struct DirectStats {
  uint64_t count;
  uint64_t bytes;
};
DirectStats direct_stats();

// Memory usage totals; with `report`, one line per pool at trace 1.
struct Usage {
  uint64_t bytes_allocated;
  uint64_t bytes_in_live_blocks;
  uint64_t bytes_in_use;
};
Usage usage(bool report);

// Frees empty blocks within `seconds` (0: no limit), resuming where a time-limited run stopped.
void cleanup(int32_t seconds);

// As CVI_newBuffer (released with CVI_releaseBuffer), for callers that write every byte before
// reading it: the buffer is not cleared first.
void* new_unzeroed_buffer(size_t size);

}  // namespace tessel::memory

// Variable-size buffers, cleared to zeros: the size is kept in front of the buffer so that
// release finds the class. Null when memory is exhausted; CVI_releaseBuffer ignores null.
void* CVI_newBuffer(size_t size);
void CVI_releaseBuffer(void* buffer);
// Usage totals; each pointer may be null. A non-null `bytes_in_use` also asks for the per-pool
// report lines at trace 1.
void CVI_Memory_Usage(uint32_t* bytes_allocated, uint32_t* bytes_in_live_blocks,
                      uint32_t* bytes_in_use);

#endif  // TESSEL_MEMORY_POOL_HPP_
