// Fuzz target: one whole host session per input (see session.h): init with
// all six inputs hostile at once, NVAR gets, resizes and writes, terms, a
// second init from the written images, the mini VFS and the DFS calls, with
// every buffer the host releases released for real. Nothing may crash, touch
// memory outside or after a host buffer, leak or hang.
#include <cstddef>
#include <cstdint>

#include "session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  session::run_session(data, size, false, nullptr);
  return 0;
}
