/*
 * KelvraStorageLib: the interface that a host tool includes to call the
 * library. It compiles as C (C99 or later) and as C++.
 *
 * The host hands its inputs to zebMfsKelvraInit, reads and resizes NVARs
 * (named variables) with zebMfsNvarGet and zebMfsNvarResize, and ends with
 * zebMfsNvarTerm, which writes the NVARs back into the MFS image and
 * serialises the new OEM table (collected with zebMfsGetBuildPlimCfgFcsBuffer).
 * The DFS layer, the mini VFS and the memory utilities are here as well, with
 * the exported data a host may read or set.
 *
 * Linking: on Linux link against libKelvraStorageLib.so (or load it with
 * dlopen); on Windows link against the import library of KelvraStorageLib.dll
 * (or load it with LoadLibrary). The interfaces that take standard-library
 * types (the error catalogue, the FCS tree classes and their functions) are
 * C++ only and declared in the library's own headers.
 */
#ifndef KELVRA_STORAGE_LIB_H
#define KELVRA_STORAGE_LIB_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

/* Export marking: the library is built with KELVRA_BUILDING_LIBRARY. */
#if defined(_WIN32)
#  if defined(KELVRA_BUILDING_LIBRARY)
#    define KELVRA_API __declspec(dllexport)
#  else
#    define KELVRA_API __declspec(dllimport)
#  endif
#else
#  define KELVRA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#  define KELVRA_EXTERN_C extern "C"
#else
#  define KELVRA_EXTERN_C
#endif

#if defined(__cplusplus)
#  define KELVRA_STATIC_ASSERT(cond, text) static_assert(cond, text)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#  define KELVRA_STATIC_ASSERT(cond, text) _Static_assert(cond, text)
#else
#  define KELVRA_CONCAT_(a, b) a##b
#  define KELVRA_CONCAT(a, b) KELVRA_CONCAT_(a, b)
#  define KELVRA_STATIC_ASSERT(cond, text) \
     typedef char KELVRA_CONCAT(kelvra_static_assert_, __LINE__)[(cond) ? 1 : -1]
#endif

/* ---- Types ---- */

/* File number of a file-table entry and of an FCS record. */
typedef uint32_t fileno_t;
/* Attribute word of a file-table entry: bit 0 secured, bit 1 the value is not
 * taken from the MFS at init, bit 6 the security block is 56 bytes. */
typedef uint16_t file_attributes_t;

/* The AFS volume state; only its address is of use to a host. */
typedef struct afs_context_t afs_context_t;

#pragma pack(push, 1)

/* One file of a SKU's file table (68 bytes, packed, little-endian). */
typedef struct file_table_entry_t {
  char name[48];                 /* NUL padded; 48 characters fill it unterminated */
  fileno_t fileno;               /* 0x30 */
  file_attributes_t attributes;  /* 0x34 */
  uint8_t reserved0[4];          /* 0x36, not interpreted */
  uint16_t file_id;              /* 0x3A, index in its file system */
  uint8_t reserved1[3];          /* 0x3C, not interpreted */
  uint8_t fs_type;               /* 0x3F, file-system type */
  uint32_t max_size;             /* 0x40, largest payload when enforced */
} file_table_entry_t;

/* One entry of the EFS file table per EFS file index (8 bytes, packed):
 * block, offset and maximum size of the file, 24 flag bits (bit 0 of
 * flags[0]: an EFST file record described this index). */
typedef struct efs_file_entry_t {
  uint8_t block;
  uint16_t offset;
  uint16_t max_size;
  uint8_t flags[3];
} efs_file_entry_t;

/* One input buffer of the host: a data pointer followed directly by its
 * length. A length of 0 means that the input is absent. */
typedef struct _commonKelvraTable {
  uint8_t* data;
  uint32_t size;
} _commonKelvraTable;

/* The inputs of one initialisation, members back to back with no gap. */
typedef struct KelvraInputTables {
  _commonKelvraTable varnokCfg;         /* vendor table "Varnok.cfg" (mandatory) */
  _commonKelvraTable plimCfgPartition;  /* OEM partition "plimc.cfg" (optional) */
  _commonKelvraTable mfsImage;          /* MFS image, mounted in place (optional) */
  _commonKelvraTable fileTable;         /* FTBL blob "ftbl.bin" (mandatory) */
  uint32_t skuId;                       /* SKU whose file table is selected */
  _commonKelvraTable efsImage;          /* EFS image, used in place (optional) */
} KelvraInputTables;

#pragma pack(pop)

KELVRA_STATIC_ASSERT(sizeof(file_table_entry_t) == 68, "file_table_entry_t is 68 bytes");
KELVRA_STATIC_ASSERT(offsetof(file_table_entry_t, fileno) == 0x30, "fileno at 0x30");
KELVRA_STATIC_ASSERT(offsetof(file_table_entry_t, max_size) == 0x40, "max_size at 0x40");
KELVRA_STATIC_ASSERT(sizeof(efs_file_entry_t) == 8, "efs_file_entry_t is 8 bytes");
KELVRA_STATIC_ASSERT(offsetof(efs_file_entry_t, max_size) == 3, "max_size at byte 3");
KELVRA_STATIC_ASSERT(sizeof(_commonKelvraTable) == sizeof(void*) + 4, "packed input table");
KELVRA_STATIC_ASSERT(sizeof(KelvraInputTables) == 5 * (sizeof(void*) + 4) + 4,
                     "packed input tables");
KELVRA_STATIC_ASSERT(offsetof(KelvraInputTables, skuId) == 4 * (sizeof(void*) + 4),
                     "SKU number after the four tables");

/* Names of the front end's FCS tables at the boundary (32-bit values). */
#ifdef __cplusplus
enum FcsFileName : uint32_t {
#else
typedef enum FcsFileName {
#endif
  FCS_FILE_VARNOK_CFG = 0x10000006,     /* vendor table */
  FCS_FILE_PLIM_CFG = 0x10000007,       /* OEM table */
  FCS_FILE_CURRENT_VALUES = 0x10000008, /* current values */
  FCS_FILE_UNSET = 0x10000009
#ifdef __cplusplus
};
#else
} FcsFileName;
#endif

/* Report levels (32-bit); the host interprets them. The library reports at
 * level 4 only. */
#ifdef __cplusplus
enum ErrorLevel : int32_t {
#else
typedef enum ErrorLevel {
#endif
  ERROR_LEVEL_NONE = 0,
  ERROR_LEVEL_DEBUG = 1,
  ERROR_LEVEL_INFO = 2,
  ERROR_LEVEL_WARNING = 3,
  ERROR_LEVEL_ERROR = 4
#ifdef __cplusplus
};
#else
} ErrorLevel;
#endif

/* Error names, 0 to 413 (32-bit); 0 means no error. */
#ifdef __cplusplus
enum ImageToolsErrorName : int32_t;
#else
typedef int32_t ImageToolsErrorName;
#endif

KELVRA_STATIC_ASSERT(sizeof(FcsFileName) == 4, "table names are 32-bit");
KELVRA_STATIC_ASSERT(sizeof(ErrorLevel) == 4, "report levels are 32-bit");

/* The host's status callback: level, error name, the name's catalogue text
 * (empty for name 0), message. Both strings belong to the library and live
 * only for the duration of the call. */
typedef void (*KelvraStatusCallback)(ErrorLevel level, ImageToolsErrorName name,
                                     const char* nameText, const char* message);

/* Results of ByteCopy. */
enum {
  BYTECOPY_OK = 0,            /* copied */
  BYTECOPY_NULL_POINTER = 3,  /* destination or source is null */
  BYTECOPY_TOO_LARGE = 40,    /* count larger than the destination size */
  BYTECOPY_COPY_FAILED = 43   /* the bounded copy reported a failure */
};

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Front end ---- */

/* Loads the tables, mounts the MFS image, starts EFS and pulls the NVAR values
 * from a deployed MFS. False after the failure has been reported. */
KELVRA_API bool zebMfsKelvraInit(const KelvraInputTables* tables, KelvraStatusCallback callback);
/* Hands out the library's copy of an NVAR's value from the named table;
 * editable and maxSize may be null. */
KELVRA_API bool zebMfsNvarGet(const char* path, uint8_t** data, uint32_t* size, FcsFileName table,
                              bool* editable, uint32_t* maxSize);
/* Resizes an NVAR of the current values; the host writes the bytes into *newData. */
KELVRA_API bool zebMfsNvarResize(const char* path, uint8_t** newData, uint32_t size);
KELVRA_API bool zebmfsCheckNvarExists(const char* path, FcsFileName table);
KELVRA_API FcsFileName zebMfsGetFcsFileNameMapping(uint32_t index);
KELVRA_API bool zebMfsIsInitialized(void);
KELVRA_API bool zebFcsIsInitialized(void);
KELVRA_API uint32_t zebMfsGetEfsSize(void);
KELVRA_API bool zebMfsGetBuildPlimCfgFcsBuffer(uint8_t** buffer, uint32_t* size);
/* Builds the new OEM table, writes the NVARs back and serialises the table. */
KELVRA_API bool zebMfsNvarTerm(bool keep);

/* ---- DFS layer: one file-number space over AFS (the MFS image) and EFS ---- */

/* The AFS context of the mounted MFS volume; replaced by every dfs_init. */
KELVRA_API extern afs_context_t* dfs_context;
/* A flag that nothing in the library reads or writes. */
KELVRA_API extern uint8_t dfs_reset_needed;

KELVRA_API int32_t dfs_init(uint8_t* image, uint32_t size);
KELVRA_API int32_t dfs_terminate(void);
KELVRA_API int32_t dfs_is_fs_erased(void);
KELVRA_API int32_t dfs_getsize(uint32_t number, uint32_t* size);
KELVRA_API int32_t dfs_read(uint32_t number, uint32_t offset, uint32_t* len, uint8_t* buffer);
KELVRA_API int32_t dfs_write(uint32_t number, uint32_t offset, uint32_t len, const uint8_t* data,
                             uint32_t truncate);
KELVRA_API int32_t dfs_delete_file(uint32_t number);
KELVRA_API int32_t dfs_mark_zombie_file(uint32_t number);
KELVRA_API int32_t dfs_set_page_size(uint32_t pageSize);
KELVRA_API int32_t dfs_force_full_reclaim(void);
KELVRA_API int32_t dfs_force_dirty_erase(void);
KELVRA_API bool dfs_get_idle_reclaim_enabled(void);
KELVRA_API void dfs_set_idle_reclaim_enabled(void);
KELVRA_API int32_t dfs_idle_reclaim(void);
KELVRA_API bool dfs_idle_reclaim_needed(void);

/* ---- Mini VFS: files by their file-table name ---- */

/* 0 and the number written; 1 for a null number pointer; 2 for a name that
 * the selected file table lacks. */
KELVRA_API int32_t pathToFileNumber(const char* name, uint32_t* number);
/* 0 when the read succeeded; 2 for an unknown name; 6 when the DFS read failed. */
KELVRA_API int32_t readVfs(const char* name, uint32_t offset, uint8_t* buffer, uint32_t len);
/* 0 when the MFS image mounted, else 1. */
KELVRA_API int32_t mini_vfs_init(uint8_t* image, uint32_t size);

/* ---- Memory utilities ---- */

KELVRA_API void* LtAllocateMemory(size_t size);
KELVRA_API void* LtAllocateZeroMemory(size_t count);
KELVRA_API void LtFreeMemory(void* block);
KELVRA_API void* LtSetMemory(void* destination, uint8_t value, size_t count);
KELVRA_API int64_t LtCompareMemory(const void* first, const void* second, size_t count);
/* Copies `count` bytes into `destination` of `destinationSize` bytes; one of
 * the BYTECOPY_ results. */
KELVRA_API int32_t ByteCopy(uint8_t* destination, size_t destinationSize, const void* source,
                            size_t count);

/* ---- Exported data ---- */

/* The MFS image buffer that the flash driver reads and writes. */
KELVRA_API extern uint8_t* gpBuffer;

/* The SKU's file table selected at init: the library's copy of its entries,
 * their count (0 or less: empty) and the SKU of the last selection. */
KELVRA_API extern file_table_entry_t* g_table_buf;
KELVRA_API extern int32_t g_table_num_files;
KELVRA_API extern uint32_t g_dfs_sku;

/* EFS geometry and file table, loaded from the file table's EFST section. */
KELVRA_API extern uint32_t g_efs_bm_num;
KELVRA_API extern uint32_t g_efs_valid_block_num;
KELVRA_API extern uint32_t g_efs_non_valid_block_num;
KELVRA_API extern uint32_t g_efs_files_num;
KELVRA_API extern uint32_t g_efs_wear_leveling_threshold;
KELVRA_API extern uint8_t g_efs_layout_id;
KELVRA_API extern uint8_t g_efs_sku_id;
KELVRA_API extern uint8_t g_efs_autogen_data_loaded;
KELVRA_API extern efs_file_entry_t* EFS_files;

/* The EFS image in use and its length. */
KELVRA_API extern uint8_t* efs_image;
KELVRA_API extern uint32_t efs_size;

/* CRC-32 and CRC-16 tables of the check values. */
KELVRA_API extern const uint32_t gCrc32_table[256];
KELVRA_API extern const uint16_t gCrc16_table[256];

#ifdef __cplusplus
}  /* extern "C" */

/* True when the MFS is mounted and its deploy marker file is not empty.
 * C++ linkage: exported under its mangled name. */
KELVRA_API bool zebMfsIsVfsDeployed();
#endif

#endif /* KELVRA_STORAGE_LIB_H */
