// Test-only fault seam for the emulated flash of both file systems.
//
// When no fault plan is installed (the default, and always in production) the
// hooks are a single predictable branch on a null pointer and change nothing.
// Tests install a FlashFaultPlan to count programs, erases and reads, to cut
// the power at the K-th mutation (a program or an erase), and to corrupt the
// next N reads.
//
// Power cut semantics: mutations are numbered from 1 across programs and
// erases. With cut_at = K, mutations 1..K-1 complete, mutation K is torn (only
// its first torn_bytes bytes are programmed or erased), and every later
// mutation is silently dropped; reads keep working so a test can inspect or
// remount the frozen image after clearing the plan.
#pragma once

#include <cstdint>

namespace kelvra {

struct FlashFaultPlan {
  // Counters, advanced by every call through the hooks.
  uint64_t programs = 0;
  uint64_t erases = 0;
  uint64_t reads = 0;
  uint64_t mutations = 0;  // programs + erases, including dropped ones

  // Power cut: 0 = never. Otherwise the 1-based mutation number to tear.
  uint64_t cut_at = 0;
  // Bytes of the torn mutation that still reach the flash (clamped to its
  // length). Defaults to half of the operation.
  int64_t torn_bytes = -1;
  bool powered_off = false;  // set once the cut has happened

  // Read corruption: the next corrupt_reads reads get one byte flipped.
  uint32_t corrupt_reads = 0;
  uint32_t rng = 0x2545F491u;  // xorshift state for the corrupted position
  uint64_t corrupted = 0;      // reads corrupted so far
};

namespace fault {

// The installed plan, or null. Only tests set it.
extern FlashFaultPlan* g_plan;

// RAII installer for tests.
class ScopedPlan {
 public:
  explicit ScopedPlan(FlashFaultPlan& plan) : prev_(g_plan) { g_plan = &plan; }
  ~ScopedPlan() { g_plan = prev_; }
  ScopedPlan(const ScopedPlan&) = delete;
  ScopedPlan& operator=(const ScopedPlan&) = delete;

 private:
  FlashFaultPlan* prev_;
};

// Slow paths, taken only with a plan installed.
uint32_t program_slow(uint32_t length);
uint32_t erase_slow(uint32_t length);
void read_slow(uint8_t* data, uint32_t length);

// Bytes of a program of `length` bytes that reach the flash.
inline uint32_t program_bytes(uint32_t length) {
  return g_plan == nullptr ? length : program_slow(length);
}
// Bytes of an erase of `length` bytes that are erased.
inline uint32_t erase_bytes(uint32_t length) {
  return g_plan == nullptr ? length : erase_slow(length);
}
// Called after a read has filled `data`.
inline void after_read(uint8_t* data, uint32_t length) {
  if (g_plan != nullptr) read_slow(data, length);
}

}  // namespace fault
}  // namespace kelvra
