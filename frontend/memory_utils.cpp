// Memory utilities over the C runtime's memory operations.
#include "frontend/memory_utils.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Bounded copy with the runtime's rules: refuses a null destination or
// source (EINVAL) and a count beyond the destination size (ERANGE, the
// destination cleared as the runtime does). The same code runs on every
// platform, so both builds behave alike. memmove keeps an overlapping
// request defined even though callers never make one.
int default_bounded_copy(void* destination, size_t destinationSize, const void* source,
                         size_t count) {
  if (destination == nullptr) {
    return EINVAL;
  }
  if (source == nullptr) {
    std::memset(destination, 0, destinationSize);
    return EINVAL;
  }
  if (count > destinationSize) {
    std::memset(destination, 0, destinationSize);
    return ERANGE;
  }
  if (count != 0) {
    std::memmove(destination, source, count);
  }
  return 0;
}

kelvra::memory_testing::BoundedCopyFn g_boundedCopy = default_bounded_copy;

}  // namespace

namespace kelvra {
namespace memory_testing {

BoundedCopyFn set_bounded_copy(BoundedCopyFn copy) {
  const BoundedCopyFn previous = g_boundedCopy;
  g_boundedCopy = copy != nullptr ? copy : default_bounded_copy;
  return previous;
}

}  // namespace memory_testing
}  // namespace kelvra

extern "C" {

void* LtAllocateMemory(size_t size) { return std::malloc(size); }

void* LtAllocateZeroMemory(size_t count) { return std::calloc(count, 1); }

void LtFreeMemory(void* block) { std::free(block); }

void* LtSetMemory(void* destination, uint8_t value, size_t count) {
  // A null destination is handed back untouched instead of being written.
  if (destination != nullptr && count != 0) {
    std::memset(destination, value, count);
  }
  return destination;
}

int64_t LtCompareMemory(const void* first, const void* second, size_t count) {
  if (count == 0 || first == second) {
    return 0;
  }
  // A null block cannot be read; it orders before any real block so that the
  // result never claims equality it has not seen.
  if (first == nullptr) {
    return -1;
  }
  if (second == nullptr) {
    return 1;
  }
  // The runtime's int result, widened with its sign.
  return static_cast<int64_t>(std::memcmp(first, second, count));
}

int32_t ByteCopy(uint8_t* destination, size_t destinationSize, const void* source, size_t count) {
  if (destination == nullptr || source == nullptr) {
    return BYTECOPY_NULL_POINTER;
  }
  if (count > destinationSize) {
    return BYTECOPY_TOO_LARGE;
  }
  if (g_boundedCopy(destination, destinationSize, source, count) != 0) {
    return BYTECOPY_COPY_FAILED;
  }
  return BYTECOPY_OK;
}

}  // extern "C"
