// Status codes shared by the flash layers, the DFS layer and the FCS API.
#pragma once

namespace kelvra {

// Flash-layer and DFS status codes (errno meanings).
enum FlashStatus : int {
  ST_OK = 0,
  ST_NOT_MOUNTED = 1,   // EFS: not mounted, no EFST data or no image
  ST_NOENT = 2,         // no such file (EFS: the file is empty)
  ST_IO = 5,            // input/output error or corrupt structure
  ST_AGAIN = 11,        // more work to do
  ST_NOMEM = 12,        // out of memory
  ST_INVAL = 22,        // invalid argument
  ST_FBIG = 27,         // file too large
  ST_NOSPC = 28,        // no space
  ST_RANGE = 34,        // offset or length beyond the file
  ST_CHECK = 41,        // checksum, verification or metadata failure
  ST_IMPOSSIBLE = 99,   // impossible in the current state or geometry
};

}  // namespace kelvra
