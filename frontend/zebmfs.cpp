// The storage front end: its four FCS tables, initialisation, NVAR access,
// state queries and termination with write-back into the MFS image.
#include "frontend/zebmfs.h"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/le.h"
#include "efs/EFS.h"
#include "errors/plimerrors.h"
#include "frontend/dfs.h"
#include "frontend/memory_utils.h"
#include "frontend/miniVfs.h"
#include "frontend/zebmfs_internal.h"

namespace kelvra {
namespace fe {

FcsTable s_varnokCfgTable = {nullptr, FCS_FILE_UNSET, 0, nullptr, 0, nullptr, nullptr};
FcsTable s_plimCfgTable = {nullptr, FCS_FILE_UNSET, 0, nullptr, 0, nullptr, nullptr};
FcsTable s_currentValuesTable = {nullptr, FCS_FILE_UNSET, 0, nullptr, 0, nullptr, nullptr};
FcsTable s_builtPlimCfgTable = {nullptr, FCS_FILE_UNSET, 0, nullptr, 0, nullptr, nullptr};
bool s_fcsInitialized = false;
bool s_mfsInitialized = false;
bool s_kelvraLoadFileTable = false;
uint32_t s_kelvraAfsSkuId = 0;
std::vector<uint8_t> s_fileTableBuffer;
FrontendFaults* g_frontendFaults = nullptr;

namespace {

// Error names that the front end reports.
enum : int {
  ERR_NONE = 0,
  ERR_INITIALIZE = 1,
  ERR_FILE_NOT_FOUND = 38,
  ERR_WRITE_FILE = 101,
  ERR_BUFFER_PARSING = 115,
  ERR_INVALID_DATA_POINTER = 322,
  ERR_OUT_OF_MEMORY = 323,
  ERR_FCS_NOT_INITIALIZED = 326,
  ERR_FCS_ENTRIES = 327,
  ERR_DUPLICATE_LABEL = 328,
  ERR_ENTRY_IN_USE = 329,
  ERR_FCS_HANDLE = 330,
  ERR_FCS_GET_FILE = 331,
  ERR_FCS_ATTRIBUTES = 332,
  ERR_FCS_FLUSH = 335,
  ERR_INVALID_FCS_FILE = 336,
  ERR_MFS_FILE_SIZE = 338,
  ERR_MFS_INIT = 341,
  ERR_EFS_INIT = 342,
  ERR_VARNOK_LOAD = 343,
  ERR_CURRENTS_CREATE = 345,
  ERR_CURRENTS_GENERATE = 346,
  ERR_NEW_PLIM_CFG = 347,
  ERR_NVAR_ACCESS = 348,
  ERR_CORRUPTED_BUFFER = 400,
  ERR_FTBL_LOAD = 403,
};

// The front end's own allocations, with the test seam in front of them.
bool allocationRefused() {
  FrontendFaults* f = g_frontendFaults;
  if (f == nullptr || f->failAllocAt == 0) return false;
  return ++f->allocCalls == f->failAllocAt;
}
void* feMalloc(size_t size) { return allocationRefused() ? nullptr : std::malloc(size == 0 ? 1 : size); }
void* feCalloc(size_t size) { return allocationRefused() ? nullptr : std::calloc(1, size == 0 ? 1 : size); }
void* feRealloc(void* p, size_t size) { return allocationRefused() ? nullptr : std::realloc(p, size); }

int createTableHandle(FcsTable& table) {
  FrontendFaults* f = g_frontendFaults;
  if (f != nullptr && f->failCreateHandleAt != 0 && ++f->createHandleCalls == f->failCreateHandleAt) {
    return FCS_CREATE_FAILED;  // what the handle API gives when its allocation fails
  }
  return createHandle(&table.handle);
}

// The key under which a path is looked up: paths are full paths under "/home/".
std::string nvarKey(const char* path) {
  if (std::strncmp(path, "/home/", 6) == 0) return std::string(path);
  return std::string("/home/") + path;
}

// Each table's entries by name, so that a path is found without a walk along
// the list. Names compare as the lookups always have, over at most 255
// characters (as by strncmp); where several entries share a name (no add
// lets a second one in) the index keeps the first in list order, the one a
// walk finds. An index belongs to the list that its first and last entry and
// count describe: a table whose list changed other than through linkEntry is
// indexed afresh from its list at the next lookup. Without memory for an
// index, a table's lookups walk its list, as they always could.
struct EntryIndex {
  const FcsTable* table = nullptr;
  const FcsFileEntry* first = nullptr;
  const FcsFileEntry* last = nullptr;
  uint32_t count = 0;
  std::unordered_map<std::string_view, FcsFileEntry*> byName;
};

std::vector<std::unique_ptr<EntryIndex>>& entryIndexes() {
  // Never destroyed: tables are not released at unload either.
  static auto* indexes = new std::vector<std::unique_ptr<EntryIndex>>();
  return *indexes;
}

// A name as the lookups compare it: up to its NUL, at most 255 characters.
std::string_view nameKey(const char* name) { return std::string_view(name, strnlen(name, sizeof(FcsFileEntry::name))); }
int compareNames(const char* a, const char* b) { return std::strncmp(a, b, sizeof(FcsFileEntry::name)); }

void forgetIndex(const FcsTable& table) {
  auto& indexes = entryIndexes();
  indexes.erase(std::remove_if(indexes.begin(), indexes.end(), [&table](const auto& x) { return x->table == &table; }),
                indexes.end());
}

// The table's index, brought up to its list; null without memory for it.
EntryIndex* indexOf(const FcsTable& table) {
  auto& indexes = entryIndexes();
  auto found = std::find_if(indexes.begin(), indexes.end(), [&table](const auto& x) { return x->table == &table; });
  if (found != indexes.end() && (*found)->first == table.firstEntry && (*found)->last == table.lastEntry &&
      (*found)->count == table.entryCount) {
    return found->get();
  }
  try {
    if (found == indexes.end()) {
      indexes.push_back(std::make_unique<EntryIndex>());
      indexes.back()->table = &table;
      found = indexes.end() - 1;
    }
    EntryIndex& index = **found;
    index.byName.clear();
    for (FcsFileEntry* e = table.firstEntry; e != nullptr; e = e->next) index.byName.emplace(nameKey(e->name), e);
    index.first = table.firstEntry;
    index.last = table.lastEntry;
    index.count = table.entryCount;
    return &index;
  } catch (const std::bad_alloc&) {
    forgetIndex(table);
    return nullptr;
  }
}

// The first entry of the table's list whose name equals the key.
FcsFileEntry* findEntry(const FcsTable& table, const char* key) {
  if (table.firstEntry == nullptr) return nullptr;
  const EntryIndex* index = indexOf(table);
  if (index == nullptr) {
    for (FcsFileEntry* e = table.firstEntry; e != nullptr; e = e->next) {
      if (compareNames(e->name, key) == 0) return e;
    }
    return nullptr;
  }
  const auto it = index->byName.find(nameKey(key));
  return it == index->byName.end() ? nullptr : it->second;
}

void linkEntry(FcsTable& table, FcsFileEntry* entry) {
  EntryIndex* index = indexOf(table);
  entry->inTable = 1;
  entry->prev = table.lastEntry;
  entry->next = nullptr;
  if (table.lastEntry != nullptr) {
    table.lastEntry->next = entry;
  } else {
    table.firstEntry = entry;
  }
  table.lastEntry = entry;
  table.entryCount++;
  if (index == nullptr) return;
  try {
    index->byName.emplace(nameKey(entry->name), entry);
    index->first = table.firstEntry;
    index->last = table.lastEntry;
    index->count = table.entryCount;
  } catch (const std::bad_alloc&) {
    forgetIndex(table);
  }
}

// The 12 stored bytes of a record header.
void putHeader(uint8_t* out, const _cfg_file_entry_t& h) {
  le::put32(out, h.fileno);
  le::put32(out + 4, h.offset);
  le::put16(out + 8, h.size);
  le::put16(out + 10, h.flags);
}

void releaseAllTables() {
  zebMfsFreeFcsTable(s_builtPlimCfgTable);
  zebMfsFreeFcsTable(s_plimCfgTable);
  zebMfsFreeFcsTable(s_varnokCfgTable);
  zebMfsFreeFcsTable(s_currentValuesTable);
  s_fcsInitialized = false;
}

// Unmounts the MFS. The DFS volume is unmounted even when the front end did
// not count it as mounted (a failed mount, or a context that the host mounted
// itself), so that nothing refers to the image any more.
void unmountMfs() {
  if (s_mfsInitialized) {
    s_mfsInitialized = false;
    dfs_terminate();
  }
  kelvra::dfs::unmount();
}

// The end of a session (a term with keep = false, or one that gave up): the
// host may release its MFS and EFS images afterwards, so the library lets go
// of both. The next init mounts and starts them again.
void releaseImages() {
  unmountMfs();
  kelvra::efs::stop();
}

}  // namespace

void reportMessage(int name, const std::string& message) {
  zebMfsLogMessage(ERROR_LEVEL_ERROR, static_cast<ImageToolsErrorName>(name), message);
}

void reportStatus(int name, int32_t status) { setLibError(static_cast<ImageToolsErrorName>(name), status); }

int zebMfsMemCpy(void* dst, size_t dstSize, const void* src, size_t count) {
  if (count == 0) return 0;
  const int code = ByteCopy(static_cast<uint8_t*>(dst), dstSize, src, count);
  if (code != 0) {
    reportMessage(ERR_OUT_OF_MEMORY, "Memory copy failed with error " + std::to_string(code));
  }
  return code;
}

void zebMfsFreeFileEntry(FcsFileEntry* entry) {
  if (entry == nullptr) return;
  std::free(entry->data);
  std::free(entry);
}

void zebMfsFreeFcsTable(FcsTable& table) {
  if (table.handle != nullptr) {
    closeHandle(&table.handle);
    table.handle = nullptr;
  }
  if (table.buffer != nullptr) {
    std::free(table.buffer);
    table.buffer = nullptr;
    table.bufferSize = 0;
  }
  FcsFileEntry* e = table.firstEntry;
  while (e != nullptr) {
    FcsFileEntry* next = e->next;
    zebMfsFreeFileEntry(e);
    e = next;
  }
  table.firstEntry = nullptr;
  table.lastEntry = nullptr;
  table.entryCount = 0;
  forgetIndex(table);
}

void zebMfsResetFcsTable(FcsTable& table, uint32_t kind) {
  forgetIndex(table);
  table.handle = nullptr;
  table.kind = kind;
  table.entryCount = 0;
  table.buffer = nullptr;
  table.bufferSize = 0;
  table.firstEntry = nullptr;
  table.lastEntry = nullptr;
}

FcsFileEntry* copyFileEntry(const FcsFileEntry* src) {
  if (src == nullptr) return nullptr;
  auto* copy = static_cast<FcsFileEntry*>(feMalloc(sizeof(FcsFileEntry)));
  if (copy == nullptr) return nullptr;
  *copy = *src;
  copy->data = nullptr;
  if (src->data != nullptr && src->dataSize != 0) {
    copy->data = static_cast<uint8_t*>(feMalloc(src->dataSize));
    if (copy->data == nullptr) {
      std::free(copy);
      reportMessage(ERR_OUT_OF_MEMORY, "");
      return nullptr;
    }
    if (zebMfsMemCpy(copy->data, src->dataSize, src->data, src->dataSize) != 0) {
      std::free(copy->data);
      std::free(copy);
      return nullptr;
    }
  }
  copy->inTable = 0;
  copy->prev = nullptr;
  copy->next = nullptr;
  return copy;
}

bool zebMfsAddNewFileFcs(FcsTable& table, FcsFileEntry* entry, bool checkMax, int* code) {
  if (code != nullptr) *code = -1;
  if (table.handle == nullptr || entry == nullptr) {
    zebMfsAssert("Invalid FCS handle or fileEntry pointer");
    return false;
  }
  if (entry->inTable) {
    reportMessage(ERR_ENTRY_IN_USE, "");
    return false;
  }
  if (findEntry(table, entry->name) != nullptr) {
    reportMessage(ERR_DUPLICATE_LABEL, "");
    return false;
  }
  // A record's size is 16 bits wide: a larger value would be cut short in the
  // table. Refuse it as the handle API refuses a record it cannot hold.
  if (entry->dataSize > MAX_VALUE_SIZE) {
    if (code != nullptr) *code = FCS_TOO_SMALL;
    return false;
  }
  const uint32_t recordSize = entry->dataSize + RECORD_HEADER;
  // Zeroed, so that an entry without value bytes never carries heap contents.
  auto* record = static_cast<uint8_t*>(feCalloc(recordSize));
  if (record == nullptr) {
    reportMessage(ERR_OUT_OF_MEMORY, "");
    return false;
  }
  putHeader(record, entry->header);
  if (entry->data != nullptr &&
      zebMfsMemCpy(record + RECORD_HEADER, entry->dataSize, entry->data, entry->dataSize) != 0) {
    std::free(record);
    return false;
  }
  std::string fileName(entry->name, strnlen(entry->name, sizeof(entry->name)));
  fileName += "/";
  const int rc = addNewFile(table.handle, "", fileName.c_str(), record, recordSize & 0xFFFFu, checkMax);
  std::free(record);
  if (code != nullptr) *code = rc;
  if (rc != FCS_OK) return false;
  linkEntry(table, entry);
  return true;
}

FcsFileEntry* zebMfsFindFileEntryInTable(FcsFileName kind, const char* path) {
  if (path == nullptr) {
    reportMessage(ERR_CORRUPTED_BUFFER, "Invalid NVAR path");
    return nullptr;
  }
  const FcsTable* table = nullptr;
  switch (kind) {
    case FCS_FILE_VARNOK_CFG: table = &s_varnokCfgTable; break;
    case FCS_FILE_PLIM_CFG: table = &s_plimCfgTable; break;
    case FCS_FILE_CURRENT_VALUES: table = &s_currentValuesTable; break;
    default:
      reportMessage(ERR_INVALID_FCS_FILE, "");
      return nullptr;
  }
  if (!s_fcsInitialized || table->firstEntry == nullptr) return nullptr;
  if (std::strncmp(path, "/home/", 6) == 0) return findEntry(*table, path);
  const std::string key = nvarKey(path);
  return findEntry(*table, key.c_str());
}

bool zebMfsLoadFcsTableFiles(FcsTable& table, bool withData) {
  if (s_kelvraLoadFileTable) {
    if (s_fileTableBuffer.size() > 0xFFFFFFFFu) {
      reportStatus(ERR_FTBL_LOAD, 1);
      return false;
    }
    const int rc = load_file_table(s_fileTableBuffer.data(), s_kelvraAfsSkuId,
                                   static_cast<uint32_t>(s_fileTableBuffer.size()));
    if (rc != 0) {
      reportStatus(ERR_FTBL_LOAD, rc);
      return false;
    }
    s_kelvraLoadFileTable = false;
  }
  int rc = createHandleFromStructure(&table.handle, table.buffer, table.bufferSize);
  if (rc != 0) {
    reportStatus(ERR_FCS_HANDLE, rc);
    return false;
  }
  for (;;) {
    auto* entry = static_cast<FcsFileEntry*>(feCalloc(sizeof(FcsFileEntry)));
    if (entry == nullptr) {
      reportMessage(ERR_INVALID_DATA_POINTER, "");
      break;
    }
    rc = table.firstEntry == nullptr ? getFirstFileInRoot(table.handle, entry->name)
                                     : getNextFile(table.handle, entry->name);
    if (rc == FCS_NO_MORE_FILES) {
      zebMfsFreeFileEntry(entry);
      return true;
    }
    if (rc != FCS_OK) {
      zebMfsFreeFileEntry(entry);
      reportStatus(ERR_FCS_GET_FILE, rc);
      break;
    }
    entry->name[sizeof(entry->name) - 1] = '\0';
    file_attribute_record_t attrs;
    std::memset(&attrs, 0, sizeof(attrs));
    rc = getFileAttributes(table.handle, entry->name, &attrs);
    if (rc != FCS_OK) {
      zebMfsFreeFcsTable(table);
      zebMfsFreeFileEntry(entry);
      reportStatus(ERR_FCS_ATTRIBUTES, rc);
      break;
    }
    entry->header = attrs.header;
    entry->attributes = attrs.attributes;
    entry->maxSize = attrs.max_size;
    entry->reserved = 0;
    entry->dataSize = entry->header.size;
    entry->hasValue = (entry->header.flags & FLAG_HAS_VALUE) ? 1 : 0;
    if (withData && entry->hasValue && entry->dataSize != 0) {
      uint32_t room = entry->dataSize + RECORD_HEADER;
      auto* record = static_cast<uint8_t*>(feMalloc(room));
      if (record == nullptr) {
        zebMfsFreeFileEntry(entry);
        reportMessage(ERR_OUT_OF_MEMORY, "");
        break;
      }
      entry->data = static_cast<uint8_t*>(feCalloc(entry->dataSize));
      if (entry->data == nullptr) {
        std::free(record);
        zebMfsFreeFileEntry(entry);
        reportMessage(ERR_OUT_OF_MEMORY, "");
        break;
      }
      rc = getFileData(table.handle, entry->name, record, &room);
      if (rc != FCS_OK) {
        std::free(record);
        zebMfsFreeFileEntry(entry);
        reportStatus(ERR_FCS_GET_FILE, rc);
        break;
      }
      if (zebMfsMemCpy(entry->data, entry->dataSize, record + RECORD_HEADER, entry->dataSize) != 0) {
        std::free(record);
        zebMfsFreeFileEntry(entry);
        break;
      }
      std::free(record);
    }
    linkEntry(table, entry);
  }
  reportMessage(ERR_FCS_ENTRIES, "");
  return false;
}

bool zebMfsGenerateFcsCurrentsTable(FcsTable& current, const FcsTable& vendor, const FcsTable& oem) {
  // Whatever an earlier build left is released before the table is filled.
  zebMfsFreeFcsTable(current);
  zebMfsResetFcsTable(current, FCS_FILE_CURRENT_VALUES);
  int rc = createTableHandle(current);
  if (rc != 0) {
    reportStatus(ERR_FCS_HANDLE, rc);
    reportMessage(ERR_CURRENTS_CREATE, "");
    return false;
  }
  for (const FcsFileEntry* v = vendor.firstEntry; v != nullptr; v = v->next) {
    if (!v->hasValue) continue;
    const FcsFileEntry* inOem = findEntry(oem, v->name);
    const FcsFileEntry* source = inOem != nullptr ? inOem : v;
    // A copy or an add that fails would silently drop the NVAR (or fall back
    // to the vendor's value) in the current values and in the next OEM table:
    // the build fails instead. A failed copy reaches the add as null, which
    // makes the add's assertion report and refuse it.
    FcsFileEntry* copy = copyFileEntry(source);
    int addCode = -1;
    if (!zebMfsAddNewFileFcs(current, copy, false, &addCode)) {
      zebMfsFreeFileEntry(copy);
      zebMfsFreeFcsTable(current);
      if (addCode >= 0) {
        reportStatus(ERR_CURRENTS_CREATE, addCode);
      } else {
        reportMessage(ERR_CURRENTS_CREATE, "");
      }
      return false;
    }
  }
  return true;
}

bool zebMfsSerializeFcsTable(FcsTable& table) {
  table.bufferSize = 0;
  int rc = flush(table.handle, table.buffer, &table.bufferSize);
  if (rc != FCS_TOO_SMALL) {
    reportStatus(ERR_FCS_FLUSH, rc);
    return false;
  }
  table.buffer = static_cast<uint8_t*>(feMalloc(table.bufferSize));
  if (table.buffer == nullptr) {
    table.bufferSize = 0;
    reportMessage(ERR_OUT_OF_MEMORY, "");
    return false;
  }
  rc = flush(table.handle, table.buffer, &table.bufferSize);
  if (rc != FCS_OK) {
    reportStatus(ERR_FCS_FLUSH, rc);
    return false;
  }
  return true;
}

bool verifyVarnokTable(const char* name, const _commonKelvraTable& table) {
  if (table.size != 0 && table.data == nullptr) {
    reportMessage(ERR_MFS_INIT,
                  std::string("Invalid table ") + name + ". The table is loaded but data is empty.");
    return false;
  }
  return true;
}

namespace {

// Stops EFS so that nothing reaches an image buffer of an earlier init: the
// volume counts as unmounted and EFS holds no image until the next start.
void stopEfs() { kelvra::efs::stop(); }

// Steps 6 to 10 of init: the three tables and the ready flag.
bool loadTables(const KelvraInputTables& in) {
  // Vendor table.
  s_varnokCfgTable.buffer = static_cast<uint8_t*>(feMalloc(in.varnokCfg.size));
  if (s_varnokCfgTable.buffer == nullptr) {
    reportMessage(ERR_OUT_OF_MEMORY, "");
    return false;
  }
  s_varnokCfgTable.bufferSize = in.varnokCfg.size;
  if (zebMfsMemCpy(s_varnokCfgTable.buffer, in.varnokCfg.size, in.varnokCfg.data, in.varnokCfg.size) != 0 ||
      !zebMfsLoadFcsTableFiles(s_varnokCfgTable, true)) {
    zebMfsFreeFcsTable(s_varnokCfgTable);
    return false;
  }

  // OEM table, from its partition or empty.
  zebMfsResetFcsTable(s_plimCfgTable, 0);
  const _commonKelvraTable oem = in.plimCfgPartition;
  if (oem.size != 0) {
    if (oem.size < 16) {
      reportMessage(ERR_BUFFER_PARSING, "Invalid PLIMC partition length");
      return false;
    }
    const uint32_t length = le::get32(oem.data + 8);
    if (length > oem.size - 16) {
      reportMessage(ERR_MFS_INIT, "Invalid PLIMC partition size.");
      return false;
    }
    s_plimCfgTable.buffer = static_cast<uint8_t*>(feMalloc(length));
    if (s_plimCfgTable.buffer == nullptr) {
      reportMessage(ERR_OUT_OF_MEMORY, "");
      return false;
    }
    s_plimCfgTable.bufferSize = length;
    if (length != 0) std::memcpy(s_plimCfgTable.buffer, oem.data + 16, length);
    if (!zebMfsLoadFcsTableFiles(s_plimCfgTable, true)) {
      zebMfsFreeFcsTable(s_plimCfgTable);
      return false;
    }
  } else {
    zebMfsResetFcsTable(s_plimCfgTable, FCS_FILE_PLIM_CFG);
    const int rc = createTableHandle(s_plimCfgTable);
    if (rc != 0) {
      reportStatus(ERR_FCS_HANDLE, rc);
      return false;
    }
  }

  if (!zebMfsGenerateFcsCurrentsTable(s_currentValuesTable, s_varnokCfgTable, s_plimCfgTable)) {
    reportMessage(ERR_CURRENTS_GENERATE, "");
    return false;
  }
  s_fcsInitialized = true;
  return true;
}

// The NVAR pull of a deployed MFS: every vendor NVAR with a value takes its
// current value from its file.
bool pullNvars() {
  for (const FcsFileEntry* v = s_varnokCfgTable.firstEntry; v != nullptr; v = v->next) {
    if (!v->hasValue) continue;
    if (v->attributes & ATTR_NO_PULL) continue;
    uint32_t number = 0;
    if (pathToFileNumber(v->name, &number) != 0 || number == 0) continue;
    uint32_t size = 0;
    if (dfs_getsize(number, &size) != 0) return false;
    if (v->attributes & ATTR_SECURED) {
      const uint32_t block = (v->attributes & ATTR_LONG_SECURITY) ? LONG_SECURITY_BLOCK : SECURITY_BLOCK;
      if (size < block) return false;
      size -= block;
    }
    uint8_t* buffer = nullptr;
    if (!zebMfsNvarResize(v->name, &buffer, size)) return false;
    if (size != 0) {
      uint32_t length = size;
      if (dfs_read(number, 0, &length, buffer) != 0 || length != size) return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace fe
}  // namespace kelvra

using namespace kelvra::fe;

extern "C" {

KELVRA_API bool zebMfsKelvraInit(const KelvraInputTables* tables, KelvraStatusCallback callback) {
  PlimErrors::init();
  zebMfsSetStatusCallback(callback);
  if (tables == nullptr) {
    reportMessage(ERR_CORRUPTED_BUFFER, "Invalid input tables");
    return false;
  }
  // An init without a term before it: release what the earlier one left and
  // unmount, so that nothing refers to the earlier buffers. EFS is stopped
  // for the same reason; it is started again below when an image is given.
  releaseAllTables();
  unmountMfs();
  stopEfs();

  const KelvraInputTables in = *tables;
  if (in.varnokCfg.size == 0) {
    reportMessage(ERR_VARNOK_LOAD, "Varnok.cfg table is mandatory for loading by KELVRA.");
    return false;
  }
  if (!verifyVarnokTable("Varnok.cfg table", in.varnokCfg) || !verifyVarnokTable("plimc.cfg", in.plimCfgPartition) ||
      !verifyVarnokTable("ftbl.bin", in.fileTable) || !verifyVarnokTable("MFS", in.mfsImage) ||
      !verifyVarnokTable("EFS", in.efsImage)) {
    return false;
  }
  if (in.fileTable.size == 0) {
    reportMessage(ERR_FTBL_LOAD, "ftbl data must be defined for flat VFS, but not load by KELVRA.");
    return false;
  }
  s_fileTableBuffer.assign(in.fileTable.data, in.fileTable.data + in.fileTable.size);
  s_kelvraLoadFileTable = true;
  // A table loaded from a buffer has the kind 0.
  zebMfsResetFcsTable(s_varnokCfgTable, 0);
  s_kelvraAfsSkuId = in.skuId;

  if (!loadTables(in)) return false;

  if (in.mfsImage.size != 0) {
    const int rc = dfs_init(in.mfsImage.data, in.mfsImage.size);
    if (rc != 0) {
      std::printf("dfs_init failed\n");
      std::fflush(stdout);
      reportStatus(ERR_INITIALIZE, rc);
      reportMessage(ERR_MFS_INIT, "");
      return false;
    }
    s_mfsInitialized = true;
  }

  if (in.efsImage.size != 0) {
    // EFS takes the image's length from its geometry; a shorter host buffer
    // would be read and written past its end.
    const bool started = in.efsImage.size >= EFS_get_efs_size() && EFS_init_tools(in.efsImage.data) == 0;
    if (!started) {
      stopEfs();
      unmountMfs();
      reportMessage(ERR_EFS_INIT, "");
      return false;
    }
  }

  if (!zebMfsIsVfsDeployed()) return true;
  if (!pullNvars()) {
    unmountMfs();
    reportMessage(ERR_MFS_INIT, "");
    return false;
  }
  return true;
}

KELVRA_API bool zebMfsNvarGet(const char* path, uint8_t** data, uint32_t* size, FcsFileName table, bool* editable,
                              uint32_t* maxSize) {
  if (path == nullptr) {
    reportMessage(ERR_CORRUPTED_BUFFER, "Null NVAR path");
    return false;
  }
  if (data == nullptr) {
    reportMessage(ERR_CORRUPTED_BUFFER, "Null data");
    return false;
  }
  if (size == nullptr) {
    reportMessage(ERR_CORRUPTED_BUFFER, "Null data size");
    return false;
  }
  *data = nullptr;
  *size = 0;
  const FcsFileEntry* e = zebMfsFindFileEntryInTable(table, path);
  if (e == nullptr) {
    reportMessage(ERR_FILE_NOT_FOUND, "");
    return false;
  }
  if (e->data == nullptr && e->dataSize != 0) {
    reportMessage(ERR_INVALID_DATA_POINTER, "");
    return false;
  }
  if (!e->hasValue) {
    reportMessage(ERR_NVAR_ACCESS, "");
    return false;
  }
  *data = e->data;
  *size = e->dataSize;
  if (editable != nullptr) *editable = !(zebMfsIsVfsDeployed() && (e->attributes & ATTR_SECURED));
  if (maxSize != nullptr) *maxSize = e->maxSize;
  return true;
}

KELVRA_API bool zebMfsNvarResize(const char* path, uint8_t** newData, uint32_t size) {
  if (path == nullptr) {
    reportMessage(ERR_CORRUPTED_BUFFER, "Null NVAR path");
    return false;
  }
  if (newData == nullptr) {
    reportMessage(ERR_CORRUPTED_BUFFER, "Null New NVAR data");
    return false;
  }
  FcsFileEntry* e = zebMfsFindFileEntryInTable(FCS_FILE_CURRENT_VALUES, path);
  if (e == nullptr) {
    reportMessage(ERR_FILE_NOT_FOUND, "");
    return false;
  }
  if (!e->hasValue) {
    reportMessage(ERR_NVAR_ACCESS, "");
    return false;
  }
  if (size == e->dataSize) {
    *newData = e->data;
    return true;
  }
  if (size == 0) {
    std::free(e->data);
    e->data = nullptr;
    e->dataSize = 0;
    *newData = nullptr;
    return true;
  }
  auto* grown = static_cast<uint8_t*>(feRealloc(e->data, size));
  if (grown == nullptr) {
    reportMessage(ERR_OUT_OF_MEMORY, "");
    return false;
  }
  // Bytes beyond the old size are zeroed so that heap contents never reach
  // the MFS image or the OEM table. (A value without bytes but with a size
  // has no buffer: all of it is new.)
  const uint32_t kept = e->data == nullptr ? 0 : e->dataSize;
  if (size > kept) std::memset(grown + kept, 0, size - kept);
  e->data = grown;
  e->dataSize = size;
  *newData = grown;
  return true;
}

KELVRA_API bool zebmfsCheckNvarExists(const char* path, FcsFileName table) {
  if (path == nullptr) {
    reportMessage(ERR_CORRUPTED_BUFFER, "Null NVAR path");
    return false;
  }
  return zebMfsFindFileEntryInTable(table, path) != nullptr;
}

KELVRA_API FcsFileName zebMfsGetFcsFileNameMapping(uint32_t index) {
  if (index <= 2) return static_cast<FcsFileName>(FCS_FILE_VARNOK_CFG + index);
  reportMessage(ERR_NONE, "Invalid fcsFileNameMap value");
  return FCS_FILE_CURRENT_VALUES;
}

KELVRA_API bool zebMfsIsInitialized(void) { return s_mfsInitialized; }

KELVRA_API bool zebFcsIsInitialized(void) { return s_fcsInitialized; }

KELVRA_API uint32_t zebMfsGetEfsSize(void) { return EFS_get_efs_size(); }

KELVRA_API bool zebMfsGetBuildPlimCfgFcsBuffer(uint8_t** buffer, uint32_t* size) {
  if (buffer == nullptr) {
    reportMessage(ERR_CORRUPTED_BUFFER, "PLIM CFG buffer");
    return false;
  }
  if (size == nullptr) {
    reportMessage(ERR_CORRUPTED_BUFFER, "PLIM CFG buffer size");
    return false;
  }
  if (s_plimCfgTable.buffer == nullptr || s_plimCfgTable.bufferSize == 0) return false;
  *buffer = s_plimCfgTable.buffer;
  *size = s_plimCfgTable.bufferSize;
  return true;
}

}  // extern "C"

namespace kelvra {
namespace fe {
namespace {

// Steps 2 to 5 of term: build the new OEM table, write back, serialise.
bool buildWriteBackSerialise() {
  zebMfsFreeFcsTable(s_builtPlimCfgTable);
  zebMfsResetFcsTable(s_builtPlimCfgTable, FCS_FILE_PLIM_CFG);
  const int rc = createTableHandle(s_builtPlimCfgTable);
  if (rc != 0) {
    reportStatus(ERR_FCS_HANDLE, rc);
    return false;
  }
  for (const FcsFileEntry* c = s_currentValuesTable.firstEntry; c != nullptr; c = c->next) {
    if (!c->hasValue) continue;
    FcsFileEntry* copy = copyFileEntry(c);
    if (copy == nullptr) return false;
    if (!zebMfsAddNewFileFcs(s_builtPlimCfgTable, copy, true)) {
      zebMfsFreeFileEntry(copy);
      return false;
    }
  }
  if (s_mfsInitialized && zebMfsIsVfsDeployed()) {
    for (const FcsFileEntry* e = s_builtPlimCfgTable.firstEntry; e != nullptr; e = e->next) {
      if (!e->hasValue || (e->attributes & ATTR_SECURED)) continue;
      uint32_t number = 0;
      const int found = pathToFileNumber(e->name, &number);
      if (found != 0) {
        reportStatus(ERR_WRITE_FILE, found);
        return false;
      }
      if (number == 0) {
        reportStatus(ERR_WRITE_FILE, 0);
        return false;
      }
      uint32_t fileSize = 0;
      const int sized = dfs_getsize(number, &fileSize);
      if (sized != 0) {
        reportStatus(ERR_MFS_FILE_SIZE, sized);
        return false;
      }
      if (e->dataSize == 0 && fileSize == 0) continue;
      static const uint8_t kNoBytes[1] = {0};
      const uint8_t* bytes = e->data != nullptr ? e->data : kNoBytes;
      const int written = dfs_write(number, 0, e->dataSize, bytes, e->dataSize < fileSize ? 1u : 0u);
      if (written != 0) {
        reportStatus(ERR_WRITE_FILE, written);
        return false;
      }
    }
  }
  return zebMfsSerializeFcsTable(s_builtPlimCfgTable);
}

}  // namespace
}  // namespace fe
}  // namespace kelvra

extern "C" KELVRA_API bool zebMfsNvarTerm(bool keep) {
  if (!s_fcsInitialized) {
    reportMessage(ERR_FCS_NOT_INITIALIZED, "");
    return false;
  }
  if (!buildWriteBackSerialise()) {
    releaseAllTables();
    releaseImages();
    reportMessage(ERR_NEW_PLIM_CFG, "");
    return false;
  }
  if (keep) {
    zebMfsFreeFcsTable(s_currentValuesTable);
    zebMfsFreeFcsTable(s_plimCfgTable);
    s_plimCfgTable.buffer = s_builtPlimCfgTable.buffer;
    s_plimCfgTable.bufferSize = s_builtPlimCfgTable.bufferSize;
    s_plimCfgTable.firstEntry = s_builtPlimCfgTable.firstEntry;
    s_plimCfgTable.lastEntry = s_builtPlimCfgTable.lastEntry;
    s_plimCfgTable.entryCount = s_builtPlimCfgTable.entryCount;
    s_plimCfgTable.kind = s_builtPlimCfgTable.kind;
    s_plimCfgTable.handle = nullptr;
    if (s_builtPlimCfgTable.handle != nullptr) closeHandle(&s_builtPlimCfgTable.handle);
    zebMfsResetFcsTable(s_builtPlimCfgTable, s_builtPlimCfgTable.kind);
    if (!zebMfsGenerateFcsCurrentsTable(s_currentValuesTable, s_varnokCfgTable, s_plimCfgTable)) {
      reportMessage(ERR_CURRENTS_CREATE, "");
      return false;
    }
    return true;
  }
  releaseImages();
  releaseAllTables();
  return true;
}

KELVRA_API bool zebMfsIsVfsDeployed() {
  if (!s_mfsInitialized) return false;
  uint32_t number = 0;
  if (pathToFileNumber(DEPLOY_MARKER, &number) != 0) return false;
  uint32_t size = 0;
  if (dfs_getsize(number, &size) != 0) return false;
  return size != 0;
}
