// Counts live heap bytes by standing in front of the C library's allocation
// functions (operator new allocates through malloc as well) while counting is
// on. Each block is counted with its usable size, so an allocation and its
// release always count the same number of bytes.
#include "heap_counter.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

extern "C" {
void* __libc_malloc(size_t size);
void __libc_free(void* block);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

std::atomic<bool> g_on{false};
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};

bool counting() { return g_on.load(std::memory_order_relaxed); }

void counted_in(void* block) {
  if (block == nullptr || !counting()) return;
  const int64_t now =
      g_live.fetch_add(static_cast<int64_t>(malloc_usable_size(block)), std::memory_order_relaxed) +
      static_cast<int64_t>(malloc_usable_size(block));
  int64_t peak = g_peak.load(std::memory_order_relaxed);
  while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

void counted_out(void* block) {
  if (block == nullptr || !counting()) return;
  g_live.fetch_sub(static_cast<int64_t>(malloc_usable_size(block)), std::memory_order_relaxed);
}

}  // namespace

namespace kelvra_bench {

void heap_count_start() {
  g_live.store(0, std::memory_order_relaxed);
  g_peak.store(0, std::memory_order_relaxed);
  g_on.store(true, std::memory_order_relaxed);
}

int64_t heap_count_stop() {
  g_on.store(false, std::memory_order_relaxed);
  return g_peak.load(std::memory_order_relaxed);
}

}  // namespace kelvra_bench

extern "C" {

void* malloc(size_t size) {
  void* p = __libc_malloc(size);
  counted_in(p);
  return p;
}

void free(void* block) {
  counted_out(block);
  __libc_free(block);
}

void* calloc(size_t count, size_t size) {
  void* p = __libc_calloc(count, size);
  counted_in(p);
  return p;
}

void* realloc(void* block, size_t size) {
  if (block == nullptr) return malloc(size);
  if (size == 0) {
    free(block);
    return nullptr;
  }
  const int64_t before = counting() ? static_cast<int64_t>(malloc_usable_size(block)) : 0;
  void* p = __libc_realloc(block, size);
  if (p == nullptr) return nullptr;  // the old block stays, still counted
  if (counting()) g_live.fetch_sub(before, std::memory_order_relaxed);
  counted_in(p);
  return p;
}

void* memalign(size_t alignment, size_t size) {
  void* p = __libc_memalign(alignment, size);
  counted_in(p);
  return p;
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

void* valloc(size_t size) { return memalign(4096, size); }

void* pvalloc(size_t size) { return memalign(4096, (size + 4095) & ~static_cast<size_t>(4095)); }

}  // extern "C"
