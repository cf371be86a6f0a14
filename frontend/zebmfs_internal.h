// Internal records, state and table operations of the storage front end.
// Nothing here is exported; the front end's tests reach it through the
// internal static library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fcs/FCS.h"
#include "include/KelvraStorageLib.h"
#include "frontend/report.h"

namespace kelvra {
namespace fe {

// One NVAR of a table. Owned by the list of the table it is linked into
// (inTable 1), otherwise by whoever holds it.
struct FcsFileEntry {
  _cfg_file_entry_t header;  // record header as the table holds it
  uint16_t attributes;       // file-table attribute word
  uint32_t maxSize;          // file-table maximum payload size
  uint8_t* data;             // value bytes (heap), null when there are none
  uint8_t reserved;          // always 0
  uint8_t hasValue;          // bit 0 of the header's flags at load
  char name[255];            // full path, NUL-terminated
  uint32_t dataSize;         // bytes in data (the header's size at load)
  uint8_t inTable;
  FcsFileEntry* prev;
  FcsFileEntry* next;
};

// One FCS table: its tree (handle), its serialised buffer and its entry list.
struct FcsTable {
  void* handle;
  uint32_t kind;
  uint32_t entryCount;
  uint8_t* buffer;
  uint32_t bufferSize;
  FcsFileEntry* firstEntry;
  FcsFileEntry* lastEntry;
};

constexpr uint16_t ATTR_SECURED = 0x0001;       // file ends with a security block
constexpr uint16_t ATTR_NO_PULL = 0x0002;       // value not taken from the MFS at init
constexpr uint16_t ATTR_LONG_SECURITY = 0x0040; // the security block is 56 bytes
constexpr uint32_t SECURITY_BLOCK = 40;
constexpr uint32_t LONG_SECURITY_BLOCK = 56;
constexpr uint16_t FLAG_HAS_VALUE = 0x0001;
constexpr uint32_t RECORD_HEADER = 12;
// A record's size is 16 bits wide, so a value holds at most this many bytes.
constexpr uint32_t MAX_VALUE_SIZE = 0xFFFFu - RECORD_HEADER;
constexpr const char* DEPLOY_MARKER = "/home/mca/deploy";

// Global state, one set per process.
extern FcsTable s_varnokCfgTable;
extern FcsTable s_plimCfgTable;
extern FcsTable s_currentValuesTable;
extern FcsTable s_builtPlimCfgTable;
extern bool s_fcsInitialized;
extern bool s_mfsInitialized;
extern bool s_kelvraLoadFileTable;
extern uint32_t s_kelvraAfsSkuId;
extern std::vector<uint8_t> s_fileTableBuffer;

// Test seam: failures injected into the front end's own allocations and into
// the creation of FCS handles. 0 = never; otherwise the 1-based call number
// that fails (counted from the moment the value is set).
struct FrontendFaults {
  uint32_t failAllocAt = 0;
  uint32_t allocCalls = 0;
  uint32_t failCreateHandleAt = 0;
  uint32_t createHandleCalls = 0;
};
extern FrontendFaults* g_frontendFaults;

// Table operations.
int zebMfsMemCpy(void* dst, size_t dstSize, const void* src, size_t count);
void zebMfsFreeFileEntry(FcsFileEntry* entry);
void zebMfsFreeFcsTable(FcsTable& table);
void zebMfsResetFcsTable(FcsTable& table, uint32_t kind);
FcsFileEntry* copyFileEntry(const FcsFileEntry* entry);
// code (optional) receives addNewFile's status code, -1 when the front end
// refused the entry before calling it.
bool zebMfsAddNewFileFcs(FcsTable& table, FcsFileEntry* entry, bool checkMax, int* code = nullptr);
FcsFileEntry* zebMfsFindFileEntryInTable(FcsFileName table, const char* path);
bool zebMfsLoadFcsTableFiles(FcsTable& table, bool withData);
bool zebMfsGenerateFcsCurrentsTable(FcsTable& current, const FcsTable& vendor, const FcsTable& oem);
bool zebMfsSerializeFcsTable(FcsTable& table);
bool verifyVarnokTable(const char* name, const _commonKelvraTable& table);

// Reporting shorthands over the status reporting functions.
void reportMessage(int name, const std::string& message);
void reportStatus(int name, int32_t status);

}  // namespace fe
}  // namespace kelvra
