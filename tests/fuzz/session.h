// One whole host session driven by a byte string: the harness of the session
// fuzz target, shared with the replay driver that runs the checked-in corpus
// in every build and prints a digest of everything the host sees.
//
// Input layout (every read past the end gives zeros):
//   byte 0        flags: bit 0 recompute the MFS check values after the
//                 overlays, bit 1 the EFS ones, bit 2 init without a callback
//   byte 1        SKU: 0xF0 and above take a raw 32-bit SKU number from the
//                 next 4 bytes; otherwise the sample's SKU
//   5 sections    vendor table, OEM partition, MFS image, file table, EFS
//                 image, each: mode byte, 16-bit length, that many bytes.
//                 Modes (mode % 6): 0 the sample with the bytes as overlays
//                 (3-byte offset, length byte whose low 6 bits count, bytes),
//                 1 absent, 2 the bytes themselves, 3 the sample shortened by
//                 the 24-bit amount that starts the bytes, 4 lengthened by the
//                 16-bit amount that starts them (the next byte fills), each
//                 followed by overlays, 5 a null pointer with the sample's size
//   the rest      a script of host calls: one opcode byte each, then its
//                 arguments (see the operations in session.cpp)
//
// Every buffer handed to the library is allocated at exactly the size
// passed. Whenever the tables are not ready (after a term with keep = false,
// a term that gave up, a failed early init) the harness moves the images to
// new buffers and releases the old ones, and after each init it does the same
// with the three tables, which the library copies: any later touch of a
// released buffer is a fault that AddressSanitizer reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace session {

// Runs one session from the library's state at load and returns it to that
// state afterwards. With `digest` set, returns the FNV-1a digest of the
// transcript (every call with its arguments and results, every report, every
// value handed out and the images at every release), and appends the
// transcript's lines to *log when log is given. Without it, returns 0.
uint64_t run_session(const uint8_t* data, size_t size, bool digest, std::string* log);

}  // namespace session
