#include "common/flash_fault.h"

namespace kelvra {
namespace fault {

FlashFaultPlan* g_plan = nullptr;

namespace {

// Decides how many bytes of the current mutation reach the flash.
uint32_t mutation_bytes(FlashFaultPlan& p, uint32_t length) {
  ++p.mutations;
  if (p.powered_off) return 0;
  if (p.cut_at == 0 || p.mutations < p.cut_at) return length;
  // This is the cut: tear it and drop everything after it.
  p.powered_off = true;
  uint64_t torn = p.torn_bytes < 0 ? length / 2 : static_cast<uint64_t>(p.torn_bytes);
  return torn < length ? static_cast<uint32_t>(torn) : length;
}

uint32_t next_random(FlashFaultPlan& p) {
  uint32_t x = p.rng;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  p.rng = x;
  return x;
}

}  // namespace

uint32_t program_slow(uint32_t length) {
  ++g_plan->programs;
  return mutation_bytes(*g_plan, length);
}

uint32_t erase_slow(uint32_t length) {
  ++g_plan->erases;
  return mutation_bytes(*g_plan, length);
}

void read_slow(uint8_t* data, uint32_t length) {
  FlashFaultPlan& p = *g_plan;
  ++p.reads;
  if (p.corrupt_reads == 0 || length == 0) return;
  --p.corrupt_reads;
  ++p.corrupted;
  uint32_t r = next_random(p);
  data[r % length] ^= static_cast<uint8_t>(1u << ((r >> 16) & 7));
}

}  // namespace fault
}  // namespace kelvra
