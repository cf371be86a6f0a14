// A stand-in for the firmware image tool: loads KelvraStorageLib by path,
// resolves its entry points by name and builds sample inputs.
//
// The types come from the library's public header; the entry points are
// resolved at run time, as a host that loads the library by path does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "include/KelvraStorageLib.h"

namespace kelvra_host {

// The library's status callback: level, error name, the name's text, message.
using StatusCallback = void (*)(int32_t level, int32_t name, const char* nameText, const char* message);

// Entry points resolved from the loaded library.
struct Api {
  // Front end.
  bool (*zebMfsKelvraInit)(const KelvraInputTables* tables, StatusCallback callback) = nullptr;
  bool (*zebMfsNvarGet)(const char* path, uint8_t** data, uint32_t* size, FcsFileName table, bool* editable,
                        uint32_t* maxSize) = nullptr;
  bool (*zebMfsNvarResize)(const char* path, uint8_t** newData, uint32_t size) = nullptr;
  bool (*zebmfsCheckNvarExists)(const char* path, FcsFileName table) = nullptr;
  FcsFileName (*zebMfsGetFcsFileNameMapping)(uint32_t index) = nullptr;
  bool (*zebMfsIsInitialized)() = nullptr;
  bool (*zebFcsIsInitialized)() = nullptr;
  bool (*zebMfsIsVfsDeployed)() = nullptr;  // C++ linkage: resolved by its mangled name
  uint32_t (*zebMfsGetEfsSize)() = nullptr;
  bool (*zebMfsGetBuildPlimCfgFcsBuffer)(uint8_t** buffer, uint32_t* size) = nullptr;
  bool (*zebMfsNvarTerm)(bool keep) = nullptr;

  // Lower layers, used to build and inspect sample images.
  int (*afs_init)(void* context, uint8_t* flashBase, uint32_t lineSize, uint32_t cacheLines, uint32_t fileCount,
                  uint32_t partitionOffset, uint32_t partitionSize, uint32_t flags, uint8_t headerByte4,
                  uint32_t headerBits12) = nullptr;
  void (*afs_free_context)(void* context) = nullptr;
  int (*load_file_table)(const void* blob, uint32_t sku, uint32_t size) = nullptr;
  int32_t (*pathToFileNumber)(const char* name, uint32_t* number) = nullptr;
  int32_t (*dfs_init)(uint8_t* image, uint32_t size) = nullptr;
  int32_t (*dfs_getsize)(uint32_t number, uint32_t* size) = nullptr;
  int32_t (*dfs_read)(uint32_t number, uint32_t offset, uint32_t* len, uint8_t* buffer) = nullptr;
  int32_t (*dfs_write)(uint32_t number, uint32_t offset, uint32_t len, const uint8_t* data,
                       uint32_t truncate) = nullptr;
  int (*EFS_init_tools)(uint8_t* image) = nullptr;
  int (*EFS_do_format)() = nullptr;
  uint32_t (*EFS_get_efs_size)() = nullptr;
};

// The loaded library. It stays loaded until the process ends: the library
// keeps state for the process, and its buffers are still referenced.
class Library {
 public:
  // Loads the library at `path` and resolves every entry point; false with a
  // message in *error when loading or any lookup fails.
  bool open(const std::string& path, std::string* error);
  const Api& api() const { return api_; }
  // The address that a name resolves to in the loaded library, or null.
  const void* address_of(const char* symbol) const;

 private:
  void* handle_ = nullptr;
  Api api_;
};

// ---- Sample inputs ----

// One entry of an FTBL file table.
struct FtblEntry {
  std::string name;
  uint32_t fileno = 0;
  uint16_t attributes = 0;
  uint16_t fileId = 0;
  uint8_t fsType = 0;
  uint32_t maxSize = 0;
};

// EFS geometry and file placement for the EFST section.
struct EfstFile {
  uint16_t index = 0;
  uint16_t block = 0;
  uint16_t offset = 0;
  uint16_t maxSize = 0;
};
struct EfstGeometry {
  uint32_t blockMaps = 2;
  uint32_t validBlocks = 7;
  uint32_t spareBlocks = 3;
  uint32_t fileCount = 16;
  uint32_t wearThreshold = 100;
  uint32_t layoutId = 0;
  std::vector<EfstFile> files;
};

// An FTBL blob (at least 1024 bytes) with one SKU, its file table and, when
// `efs` is given, an EFST section for that SKU.
std::vector<uint8_t> build_ftbl(uint32_t sku, const std::vector<FtblEntry>& entries, const EfstGeometry* efs);

// One record of an FCS buffer.
struct FcsRecord {
  uint32_t fileno = 0;
  uint16_t flags = 0;  // bit 0: the record holds a value
  std::vector<uint8_t> payload;
};

// An FCS buffer: record count, headers, payloads back to back in the given order.
std::vector<uint8_t> build_fcs(const std::vector<FcsRecord>& records);

// An OEM configuration partition around an FCS buffer (length at offset 8,
// table from offset 16).
std::vector<uint8_t> build_plim_partition(const std::vector<uint8_t>& fcs);

// Creates an empty AFS volume over `image` (filled with 0xFF first) with the
// library's own volume creation. 0 or the mount's status code.
int create_mfs_volume(const Api& api, std::vector<uint8_t>& image);

// Mounts `image` through the library's DFS layer (the file table must be
// selected) and writes each (path, bytes) pair into its file. 0 or the first
// failing status code.
int write_files(const Api& api, std::vector<uint8_t>& image,
                const std::vector<std::pair<std::string, std::vector<uint8_t>>>& files);

// Formats an EFS volume into `image` (resized to the geometry's length) with
// the library's own format; the file table with its EFST section must be
// selected. EFS stays started over the image. 0 or a status code.
int format_efs_volume(const Api& api, std::vector<uint8_t>& image);

// Reads a whole file through the DFS layer of a volume mounted with
// dfs_init. Empty on failure, with *status set.
std::vector<uint8_t> read_file(const Api& api, const std::string& path, int* status);

// The complete sample set of the demo: file table, vendor and OEM tables,
// an MFS image holding the NVAR files and a formatted EFS image holding the
// EFS-resident one.
struct SampleSet {
  uint32_t sku = 0;
  std::vector<FtblEntry> entries;
  std::vector<uint8_t> ftbl;
  std::vector<uint8_t> vendor;
  std::vector<uint8_t> oemPartition;
  std::vector<uint8_t> mfs;
  std::vector<uint8_t> efs;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> mfsFiles;  // as written
};

// Paths of the demo's NVARs.
namespace demo {
constexpr const char* DEPLOY = "/home/mca/deploy";
constexpr const char* HOSTNAME = "/home/net/hostname";   // plain, pulled from the MFS
constexpr const char* MTU = "/home/net/mtu";             // plain, the OEM table overrides the vendor
constexpr const char* KEY40 = "/home/sec/key40";         // secured, 40-byte block
constexpr const char* KEY56 = "/home/sec/key56";         // secured, 56-byte block (bit 6)
constexpr const char* FACTORY = "/home/cfg/factory";     // attribute bit 1: not pulled
constexpr const char* BOOTCOUNT = "/home/efs/bootcount"; // EFS-resident
constexpr const char* UNSET = "/home/cfg/unset";         // vendor entry without a value
constexpr uint32_t SKU = 7;
}  // namespace demo

// Builds the demo's sample set. 0 or the status code of the step that failed
// (with *what naming it).
int build_demo_samples(const Api& api, SampleSet* out, std::string* what);

// Fills a KelvraInputTables record over the sample set's buffers.
KelvraInputTables input_tables(SampleSet& s);

}  // namespace kelvra_host
