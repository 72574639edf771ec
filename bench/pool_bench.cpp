// Pool get/put and size-class buffers against malloc/free, on one and two threads.
#include <cstdlib>
#include <vector>

#include "memory/pool.hpp"
#include <benchmark/benchmark.h>

#include "tessel/tessel.h"

namespace {

using tessel::memory::PoolId;

// A working set of live objects, as a data set being built holds them.
constexpr int kBatch = 256;

void BM_PoolGetPut(benchmark::State& state) {
  std::vector<void*> held(kBatch);
  for (auto _ : state) {
    for (void*& p : held) p = tessel::memory::pool_get(PoolId::TagObj, 96);
    for (void* p : held) tessel::memory::pool_put(PoolId::TagObj, p);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_MallocFreeObject(benchmark::State& state) {
  std::vector<void*> held(kBatch);
  for (auto _ : state) {
    for (void*& p : held) p = std::calloc(1, 96);
    for (void* p : held) std::free(p);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_NewBuffer(benchmark::State& state) {
  std::vector<void*> held(kBatch);
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i)
      held[i] = CVI_newBuffer(static_cast<size_t>(8 + (i * 37) % 600));
    for (void* p : held) CVI_releaseBuffer(p);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_MallocFreeBuffer(benchmark::State& state) {
  std::vector<void*> held(kBatch);
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) held[i] = std::malloc(static_cast<size_t>(8 + (i * 37) % 600));
    for (void* p : held) std::free(p);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

BENCHMARK(BM_PoolGetPut)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_MallocFreeObject)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_NewBuffer)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_MallocFreeBuffer)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  CV_Set_TesselINI(TESSEL_BENCH_ETC_DIR "/tessel.ini");
  if (CV_Library_Initialization(nullptr, nullptr, nullptr) != CV_NORMAL_COMPLETION) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  CV_Library_Release();
  return 0;
}
