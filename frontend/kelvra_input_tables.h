// The record that the host hands to zebMfsKelvraInit, and the names of the
// front end's tables at the boundary. This header is self-contained (no
// library internals) so that the host tool can share it.
#pragma once

#include <cstddef>
#include <cstdint>

// One input buffer of the host: a data pointer followed directly by its
// length. A length of 0 means that the input is absent.
#pragma pack(push, 1)
struct _commonKelvraTable {
  uint8_t* data;
  uint32_t size;
};

// The inputs of one initialisation, members back to back with no gap.
struct KelvraInputTables {
  _commonKelvraTable varnokCfg;         // vendor table "Varnok.cfg" (mandatory)
  _commonKelvraTable plimCfgPartition;  // OEM partition "plimc.cfg" (optional)
  _commonKelvraTable mfsImage;          // MFS image, mounted in place (optional)
  _commonKelvraTable fileTable;         // FTBL blob "ftbl.bin" (mandatory)
  uint32_t skuId;                       // SKU whose file table is selected
  _commonKelvraTable efsImage;          // EFS image, used in place (optional)
};
#pragma pack(pop)

static_assert(sizeof(_commonKelvraTable) == sizeof(void*) + 4, "packed input table");
static_assert(sizeof(KelvraInputTables) == 5 * (sizeof(void*) + 4) + 4, "packed input tables");
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(KelvraInputTables) == 64, "x86-64 layout");
static_assert(offsetof(KelvraInputTables, skuId) == 48, "SKU number offset");
static_assert(offsetof(KelvraInputTables, efsImage) == 52, "EFS image offset");
#else
static_assert(sizeof(KelvraInputTables) == 44, "x86 layout");
static_assert(offsetof(KelvraInputTables, skuId) == 32, "SKU number offset");
static_assert(offsetof(KelvraInputTables, efsImage) == 36, "EFS image offset");
#endif

// Names of the front end's FCS tables at the boundary.
enum FcsFileName : uint32_t {
  FCS_FILE_VARNOK_CFG = 0x10000006u,   // vendor table
  FCS_FILE_PLIM_CFG = 0x10000007u,     // OEM table
  FCS_FILE_CURRENT_VALUES = 0x10000008u,
  FCS_FILE_UNSET = 0x10000009u,
};
