// Fuzz target: the FCS buffer reader (createHandleFromStructure), the walk,
// record and attribute reads, and flush. Whatever the input, nothing may be
// read or written outside the buffers, and a buffer that loads must flush to
// bytes that load again and flush identically.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fcs/FCS.h"

namespace {

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A fixed file table: small numbers so the fuzzer meets them, two numbers
// sharing one name, a 48-character name, a name with a byte above 0x7F and
// an empty name.
void select_table() {
  struct E {
    const char* name;
    uint32_t fileno;
  };
  const std::string n48(48, 'N');
  const E entries[] = {{"/home/a", 1}, {"/home/b", 2}, {"c", 3},         {n48.c_str(), 4},
                       {"\xC3z", 5},   {"dup", 6},     {"dup", 7},       {"", 8},
                       {"zero", 0}};
  const uint32_t count = sizeof entries / sizeof entries[0];
  std::vector<uint8_t> blob(2048, 0);
  std::memcpy(blob.data(), "FTBL", 4);
  put32(blob, 12, 1);
  put32(blob, 16, 1);
  put32(blob, 20, 512);
  put32(blob, 24, count);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = 512 + 68 * i;
    std::memcpy(&blob[at], entries[i].name, std::min<size_t>(48, std::strlen(entries[i].name)));
    put32(blob, at + 0x30, entries[i].fileno);
    put32(blob, at + 0x40, 64);
  }
  if (load_file_table(blob.data(), 1, uint32_t(blob.size())) != 0) std::abort();
}

std::vector<uint8_t> flush_all(void* h) {
  uint32_t room = 0;
  uint8_t dummy = 0;
  if (flush(h, &dummy, &room) != 5 || room < 4) std::abort();
  std::vector<uint8_t> out(room);
  const uint32_t needed = room;
  if (flush(h, out.data(), &room) != 0 || room != needed) std::abort();
  return out;
}

void read_all(void* h) {
  char name[64];
  int rc = getFirstFileInRoot(h, name);
  int steps = 0;
  while (rc == 0) {
    if (++steps > 16) std::abort();  // the table has nine entries
    uint32_t room = 0;
    uint8_t probe = 0;
    if (getFileData(h, name, &probe, &room) != 5 || room < 12) std::abort();
    std::unique_ptr<uint8_t[]> rec(new uint8_t[room]);
    if (getFileData(h, name, rec.get(), &room) != 0) std::abort();
    file_attribute_record_t attr;
    const int a = getFileAttributes(h, name, &attr);
    if (a != 0 && a != 8) std::abort();
    rc = getNextFile(h, name);
  }
  if (rc != 3) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (select_table(), true);
  (void)ready;
  if (size > 0xFFFFFFFFu) return 0;
  // An exactly sized copy: any read past the end is a sanitizer report.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(copy.get(), data, size);

  void* h = nullptr;
  const int rc = createHandleFromStructure(&h, copy.get(), static_cast<uint32_t>(size));
  if (size != 0 && std::memcmp(copy.get(), data, size) != 0) std::abort();  // input never written
  if (rc != 0) {
    if (rc != 10 || h != nullptr) std::abort();
    return 0;
  }
  read_all(h);
  const std::vector<uint8_t> first = flush_all(h);

  void* again = nullptr;
  if (createHandleFromStructure(&again, const_cast<uint8_t*>(first.data()),
                                static_cast<uint32_t>(first.size())) != 0) {
    std::abort();
  }
  if (flush_all(again) != first) std::abort();

  // Delete every file through the API and walk the emptied handle.
  char name[64];
  while (getFirstFileInRoot(again, name) == 0) {
    if (deleteFile(again, name) != 0) break;  // names with a leading "/" stay
  }
  read_all(again);
  closeHandle(&again);
  closeHandle(&h);
  return 0;
}
