// kelvra-host: a small stand-in for the firmware image tool.
//
//   kelvra-host demo [LIBRARY] [--out DIR]
//
// loads the library, makes a sample set of inputs, and walks through one
// session: init, list the NVARs, change some, term with keep = true, show the
// new OEM table, term with keep = false, init again from the changed images.
// With --out, the final MFS image, EFS image and the new OEM table are
// written to DIR/mfs.bin, DIR/efs.bin and DIR/oem.bin.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/support/kelvra_host.h"

namespace {

using namespace kelvra_host;

void onStatus(int32_t level, int32_t name, const char* nameText, const char* message) {
  std::printf("    [library report] level %d, error %d \"%s\": \"%s\"\n", level, name, nameText, message);
}

std::string show(const uint8_t* data, uint32_t size) {
  // Short values are numbers more often than text: shown in hex.
  bool printable = size > 2;
  for (uint32_t i = 0; i < size; ++i) {
    if (data[i] < 0x20 || data[i] > 0x7E) printable = false;
  }
  std::string s;
  if (printable) return "\"" + std::string(reinterpret_cast<const char*>(data), size) + "\"";
  char hex[4];
  for (uint32_t i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof(hex), "%02x", data[i]);
    if (i != 0) s += ' ';
    s += hex;
  }
  return size == 0 ? "(empty)" : s;
}

const char* const kPaths[] = {demo::HOSTNAME, demo::MTU, demo::KEY40, demo::KEY56,
                              demo::FACTORY,  demo::BOOTCOUNT, demo::UNSET};

void listTable(const Api& api, FcsFileName table, const char* title) {
  std::printf("  %s:\n", title);
  for (const char* path : kPaths) {
    uint8_t* data = nullptr;
    uint32_t size = 0;
    bool editable = false;
    uint32_t maxSize = 0;
    if (!api.zebmfsCheckNvarExists(path, table)) {
      std::printf("    %-22s not in this table\n", path);
      continue;
    }
    // An NVAR without a value is reported by the library (error 348).
    if (api.zebMfsNvarGet(path, &data, &size, table, &editable, &maxSize)) {
      std::printf("    %-22s %2u bytes (max %2u)%s  %s\n", path, size, maxSize, editable ? "" : " secured",
                  show(data, size).c_str());
    } else {
      std::printf("    %-22s has no value\n", path);
    }
  }
}

bool setValue(const Api& api, const char* path, const std::vector<uint8_t>& value) {
  uint8_t* buffer = nullptr;
  if (!api.zebMfsNvarResize(path, &buffer, static_cast<uint32_t>(value.size()))) return false;
  if (!value.empty()) std::memcpy(buffer, value.data(), value.size());
  std::printf("  set %-22s to %s\n", path, show(value.data(), static_cast<uint32_t>(value.size())).c_str());
  return true;
}

std::vector<uint8_t> bytesOf(const char* s) { return std::vector<uint8_t>(s, s + std::strlen(s)); }

void dumpFcs(const uint8_t* b, uint32_t size) {
  if (size < 4) return;
  const uint32_t count = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
  std::printf("  new OEM table: %u bytes, %u records\n", size, count);
  for (uint32_t i = 0; i < count && 4 + 12 * (i + 1) <= size; ++i) {
    const uint8_t* h = b + 4 + 12 * i;
    const uint32_t fileno = h[0] | (h[1] << 8) | (h[2] << 16) | (static_cast<uint32_t>(h[3]) << 24);
    const uint32_t offset = h[4] | (h[5] << 8) | (h[6] << 16) | (static_cast<uint32_t>(h[7]) << 24);
    const uint32_t len = h[8] | (h[9] << 8);
    const uint32_t flags = h[10] | (h[11] << 8);
    std::printf("    record %u: file number 0x%08x, flags 0x%04x, %2u bytes at %3u", i, fileno, flags, len, offset);
    if (offset <= size && len <= size - offset) std::printf("  %s", show(b + offset, len).c_str());
    std::printf("\n");
  }
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

int runDemo(const std::string& libraryPath, const std::string& outDir) {
  std::printf("Loading %s\n", libraryPath.c_str());
  Library lib;
  std::string error;
  if (!lib.open(libraryPath, &error)) {
    std::fprintf(stderr, "kelvra-host: %s\n", error.c_str());
    return 1;
  }
  const Api& api = lib.api();

  std::printf("\n1. Making sample inputs (SKU %u)\n", demo::SKU);
  SampleSet s;
  const int rc = build_demo_samples(api, &s, &error);
  if (rc != 0) {
    std::fprintf(stderr, "kelvra-host: %s failed with status %d\n", error.c_str(), rc);
    return 1;
  }
  std::printf("  file table: %zu bytes, %zu files, EFST section for the EFS geometry\n", s.ftbl.size(),
              s.entries.size());
  std::printf("  vendor table: %zu bytes; OEM partition: %zu bytes (overrides %s)\n", s.vendor.size(),
              s.oemPartition.size(), demo::MTU);
  std::printf("  MFS image: %zu bytes, an AFS volume created by the library, holding:\n", s.mfs.size());
  for (const auto& f : s.mfsFiles) {
    std::printf("    %-22s %s\n", f.first.c_str(),
                show(f.second.data(), static_cast<uint32_t>(f.second.size())).c_str());
  }
  std::printf("  EFS image: %zu bytes, formatted by the library, holding %s = 5\n", s.efs.size(), demo::BOOTCOUNT);

  std::printf("\n2. zebMfsKelvraInit\n");
  KelvraInputTables tables = input_tables(s);
  if (!api.zebMfsKelvraInit(&tables, onStatus)) {
    std::fprintf(stderr, "kelvra-host: init failed\n");
    return 1;
  }
  std::printf("  FCS ready: %s, MFS mounted: %s, MFS deployed: %s, EFS image length: %u\n",
              api.zebFcsIsInitialized() ? "yes" : "no", api.zebMfsIsInitialized() ? "yes" : "no",
              api.zebMfsIsVfsDeployed() ? "yes" : "no", api.zebMfsGetEfsSize());
  listTable(api, FCS_FILE_VARNOK_CFG, "vendor table");
  listTable(api, FCS_FILE_PLIM_CFG, "OEM table");
  listTable(api, FCS_FILE_CURRENT_VALUES, "current values (pulled from the MFS where deployed)");

  std::printf("\n3. Changing NVARs in the current values\n");
  const uint8_t count6[4] = {6, 0, 0, 0};
  if (!setValue(api, demo::HOSTNAME, bytesOf("kelvra-demo-unit-7")) || !setValue(api, demo::FACTORY, bytesOf("fac-B")) ||
      !setValue(api, demo::BOOTCOUNT, std::vector<uint8_t>(count6, count6 + 4)) ||
      !setValue(api, demo::KEY40, std::vector<uint8_t>(16, 0x99))) {
    std::fprintf(stderr, "kelvra-host: resize failed\n");
    return 1;
  }

  std::printf("\n4. zebMfsNvarTerm(keep = true): write back and build the new OEM table\n");
  if (!api.zebMfsNvarTerm(true)) {
    std::fprintf(stderr, "kelvra-host: term failed\n");
    return 1;
  }
  uint8_t* oem = nullptr;
  uint32_t oemSize = 0;
  if (api.zebMfsGetBuildPlimCfgFcsBuffer(&oem, &oemSize)) dumpFcs(oem, oemSize);
  const std::vector<uint8_t> newOem(oem, oem + oemSize);

  std::printf("\n5. zebMfsNvarTerm(keep = false): release everything\n");
  api.zebMfsNvarTerm(false);
  std::printf("  FCS ready: %s, MFS mounted: %s\n", api.zebFcsIsInitialized() ? "yes" : "no",
              api.zebMfsIsInitialized() ? "yes" : "no");

  std::printf("  the MFS files now hold (read back through the library's volume reader):\n");
  if (api.dfs_init(s.mfs.data(), static_cast<uint32_t>(s.mfs.size())) == 0) {
    for (const auto& f : s.mfsFiles) {
      int status = 0;
      const std::vector<uint8_t> bytes = read_file(api, f.first, &status);
      if (status == 0) {
        std::printf("    %-22s %s\n", f.first.c_str(), show(bytes.data(), static_cast<uint32_t>(bytes.size())).c_str());
      }
    }
  }

  std::printf("\n6. zebMfsKelvraInit again, with the new OEM table and the changed images\n");
  s.oemPartition = build_plim_partition(newOem);
  tables = input_tables(s);
  if (!api.zebMfsKelvraInit(&tables, onStatus)) {
    std::fprintf(stderr, "kelvra-host: second init failed\n");
    return 1;
  }
  listTable(api, FCS_FILE_CURRENT_VALUES, "current values");
  std::printf("  (%s stays as it was in the MFS: a secured NVAR is never written back)\n", demo::KEY40);
  api.zebMfsNvarTerm(false);
  if (!outDir.empty()) {
    const std::pair<const char*, const std::vector<uint8_t>*> outputs[] = {
        {"mfs.bin", &s.mfs}, {"efs.bin", &s.efs}, {"oem.bin", &newOem}};
    for (const auto& out : outputs) {
      const std::string path = outDir + "/" + out.first;
      if (!writeFile(path, *out.second)) {
        std::fprintf(stderr, "kelvra-host: cannot write %s\n", path.c_str());
        return 1;
      }
    }
    std::printf("\nWrote the final MFS image, EFS image and OEM table to %s\n", outDir.c_str());
  }
  std::printf("\nDone.\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path, outDir;
  bool usage = argc < 2 || std::strcmp(argv[1], "demo") != 0;
  for (int i = 2; i < argc && !usage; ++i) {
    if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
      outDir = argv[++i];
    } else if (path.empty() && argv[i][0] != '-') {
      path = argv[i];
    } else {
      usage = true;
    }
  }
#ifdef KELVRA_LIBRARY_PATH
  if (path.empty()) path = KELVRA_LIBRARY_PATH;
#endif
  if (usage || path.empty()) {
    std::fprintf(stderr, "usage: %s demo [LIBRARY] [--out DIR]\n", argv[0]);
    return 2;
  }
  return runDemo(path, outDir);
}
