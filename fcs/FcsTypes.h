// Record layouts and status codes shared by the FCS tables, the file table
// and their callers.
//
// The stored forms are little-endian and packed. The structs below describe
// them for callers that hold such records in memory; the library itself reads
// and writes stored integers only through kelvra::le, never by casting a
// buffer to one of these types.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/KelvraStorageLib.h"

// fileno_t (a file number, always compared as a whole 32-bit value),
// file_attributes_t (the FCS layer copies it and never tests a bit of it; the
// bits belong to the front end) and file_table_entry_t (one file of a SKU's
// file table, 68 bytes packed) are declared with the host's interface.

#pragma pack(push, 1)

// Header of one FCS record (12 bytes, packed).
struct _cfg_file_entry_t {
  fileno_t fileno;  // 0
  uint32_t offset;  // 4, payload offset from the start of the FCS buffer
  uint16_t size;    // 8, payload length
  uint16_t flags;   // 10, carried unchanged; bit 0: the file holds a value
};

// What getFileAttributes writes (18 bytes, packed).
struct file_attribute_record_t {
  _cfg_file_entry_t header;      // 0
  file_attributes_t attributes;  // 12
  uint32_t max_size;             // 14
};

#pragma pack(pop)

static_assert(sizeof(file_table_entry_t) == 68, "file_table_entry_t is 68 bytes");
static_assert(offsetof(file_table_entry_t, fileno) == 0x30, "fileno at 0x30");
static_assert(offsetof(file_table_entry_t, attributes) == 0x34, "attributes at 0x34");
static_assert(offsetof(file_table_entry_t, file_id) == 0x3A, "file_id at 0x3A");
static_assert(offsetof(file_table_entry_t, fs_type) == 0x3F, "fs_type at 0x3F");
static_assert(offsetof(file_table_entry_t, max_size) == 0x40, "max_size at 0x40");

static_assert(sizeof(_cfg_file_entry_t) == 12, "_cfg_file_entry_t is 12 bytes");
static_assert(offsetof(_cfg_file_entry_t, offset) == 4, "offset at 4");
static_assert(offsetof(_cfg_file_entry_t, size) == 8, "size at 8");
static_assert(offsetof(_cfg_file_entry_t, flags) == 10, "flags at 10");

static_assert(sizeof(file_attribute_record_t) == 18, "file_attribute_record_t is 18 bytes");
static_assert(offsetof(file_attribute_record_t, attributes) == 12, "attributes at 12");
static_assert(offsetof(file_attribute_record_t, max_size) == 14, "max_size at 14");

namespace kelvra {

// Stored sizes.
constexpr uint32_t FTBL_ENTRY_SIZE = 68;
constexpr uint32_t FTBL_NAME_SIZE = 48;
constexpr uint32_t FCS_HEADER_SIZE = 12;
constexpr uint32_t FCS_MAX_RECORD = 0xFFFF;  // a record size is 16 bits wide

// Byte offsets inside a stored file-table entry.
namespace ftbl_off {
constexpr uint32_t FILENO = 0x30;
constexpr uint32_t ATTRIBUTES = 0x34;
constexpr uint32_t RESERVED0 = 0x36;
constexpr uint32_t FILE_ID = 0x3A;
constexpr uint32_t RESERVED1 = 0x3C;
constexpr uint32_t FS_TYPE = 0x3F;
constexpr uint32_t MAX_SIZE = 0x40;
}  // namespace ftbl_off

// Byte offsets inside a stored FCS record header.
namespace fcs_off {
constexpr uint32_t FILENO = 0;
constexpr uint32_t OFFSET = 4;
constexpr uint32_t SIZE = 8;
constexpr uint32_t FLAGS = 10;
}  // namespace fcs_off

// Status codes of the FCS API (and of load_file_table).
enum FcsStatus : int {
  FCS_OK = 0,
  FCS_NULL_ARGUMENT = 1,      // also: FTBL blob refused
  FCS_NAME_NOT_IN_TABLE = 2,  // file number 0 and the name is not in the file table
  FCS_NO_MORE_FILES = 3,
  FCS_NOT_IN_TREE = 4,        // also: the root refused the new file
  FCS_TOO_SMALL = 5,          // room too small (needed size written back) or record < 12 bytes
  FCS_NULL_HANDLE = 6,
  FCS_NOT_IN_FILE_TABLE = 8,
  FCS_CREATE_FAILED = 9,
  FCS_BUFFER_REJECTED = 10,
  FCS_ALREADY_PRESENT = 11,
  FCS_RECORD_TOO_LARGE = 12,
};

}  // namespace kelvra
