// Benchmark of the host cycle at realistic sizes: a file table of N NVARs,
// vendor and OEM tables that both hold all N values (8 to 64 bytes each),
// and a deployed MFS of 255 erase units with 2048 file slots (the deploy
// marker and up to 2047 NVAR files). Beyond 2047 NVARs the rest are held in
// the tables only: secured and not pulled, so the MFS never sees them.
//
// Benchmarks:
//   <phase>/N        one phase of the cycle, timed alone (the phases before it
//                    run untimed in each iteration), with a complexity fit
//                    over N: init (with pull), resize_write (resize and write
//                    all NVARs), term_keep, term_release.
//   floor/<phase>/N  the flash floor of that phase at the same N: one CRC-16
//                    over 66 bytes and one 64-byte copy per page read, one
//                    64-byte compare per page written, one copy per value
//                    moved. The pages are those that the flash translation
//                    layer checks on reading and builds for writing during
//                    the phase, counted in one untimed cycle; the counters
//                    also give the flash driver's own operation counts.
//   cycle/N          the four phases back to back; counters give each phase's
//                    time, its floor measured in the same iteration, and the
//                    peak heap per NVAR over the cycle.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "afs/Afs.h"
#include "afs/AfsCrc.h"
#include "common/flash_fault.h"
#include "fcs/FileTable.h"
#include "frontend/dfs.h"
#include "frontend/miniVfs.h"
#include "frontend/zebmfs.h"
#include "heap_counter.h"
#include "host/support/kelvra_host.h"

// The translation layer's page check and slot builder, counted: every page it
// reads is checked with one CRC-16 (crc16), every page it writes is built
// (kelvra::afs::ftl::build_slot, which takes a CRC-16 as well). The link step
// routes the layer's calls through these (see CMakeLists.txt).
#define BUILD_SLOT _ZN6kelvra3afs3ftl10build_slotEPKhjPh
#define WRAPPED(prefix, name) WRAPPED_(prefix, name)
#define WRAPPED_(prefix, name) prefix##name
extern "C" uint16_t __real_crc16(const uint8_t* buf, int32_t len, const uint8_t* two);
extern "C" void WRAPPED(__real_, BUILD_SLOT)(const uint8_t* data, uint32_t lpn, uint8_t* slot);

namespace {
uint64_t g_pageChecks = 0;
uint64_t g_pageBuilds = 0;
}  // namespace

extern "C" uint16_t __wrap_crc16(const uint8_t* buf, int32_t len, const uint8_t* two) {
  ++g_pageChecks;
  return __real_crc16(buf, len, two);
}
extern "C" void WRAPPED(__wrap_, BUILD_SLOT)(const uint8_t* data, uint32_t lpn, uint8_t* slot) {
  ++g_pageBuilds;
  WRAPPED(__real_, BUILD_SLOT)(data, lpn, slot);
}

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint32_t SKU = 11;
constexpr uint32_t MFS_UNITS = 255;
constexpr uint32_t MFS_SLOTS = 2048;
constexpr uint32_t MFS_NVAR_FILES = MFS_SLOTS - 1;  // slot 0 holds the deploy marker
constexpr uint32_t PAGE = 64;
constexpr uint32_t MAX_VALUE = 64;
constexpr const char* DEPLOY = "/home/mca/deploy";
constexpr uint16_t ATTR_TABLE_ONLY = 0x0003;  // secured, not pulled
// Volume creation: size table, translation-layer mode, create the header,
// start the translation layer, zero the context, hand it the image, format
// with erase when the start fails.
constexpr uint32_t AFS_CREATE_FLAGS = 0x1 | 0x4 | 0x10 | 0x20 | 0x40 | 0x20000 | 0x80000;

enum Phase { INIT, RESIZE_WRITE, TERM_KEEP, TERM_RELEASE, PHASES };
const char* const kPhaseNames[PHASES] = {"init", "resize_write", "term_keep", "term_release"};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "host-cycle benchmark: %s failed\n", what.c_str());
  std::exit(1);
}

uint32_t mix(uint32_t i, uint32_t salt) {
  uint32_t x = i * 0x9E3779B1u + salt * 0x85EBCA77u + 1;
  x ^= x >> 15;
  x *= 0x2C1B3C6Du;
  x ^= x >> 12;
  return x;
}
// A value size from 8 to 64 bytes.
uint32_t valueSize(uint32_t i, uint32_t salt) { return 8 + mix(i, salt) % (MAX_VALUE - 7); }
// A size from 8 to 64 that differs from `other`.
uint32_t otherSize(uint32_t i, uint32_t salt, uint32_t other) {
  const uint32_t s = valueSize(i, salt);
  return s != other ? s : (s == MAX_VALUE ? 8 : s + 1);
}

struct FloorWork {
  uint64_t pagesRead = 0;
  uint64_t pagesWritten = 0;
  std::vector<uint32_t> copies;  // one copy per value moved
  uint64_t bytesMoved() const {
    uint64_t n = 0;
    for (uint32_t c : copies) n += c;
    return n;
  }
};

// The flash driver's own operations during one phase.
struct DriverCounts {
  uint64_t reads = 0;
  uint64_t programs = 0;
  uint64_t erases = 0;
};

struct Workload {
  uint32_t n = 0;
  uint32_t inMfs = 0;  // NVARs with a file in the MFS: the first inMfs
  std::vector<std::string> names;
  std::vector<uint32_t> pulled;  // value sizes in the MFS (in the OEM table beyond inMfs)
  std::vector<uint32_t> sizeA;   // sizes of the resize phase
  std::vector<uint32_t> sizeB;   // and of every second resize_write iteration
  Bytes ftbl, vendor, oem, mfsPristine, mfs;
  FloorWork floor[PHASES];
  DriverCounts driver[PHASES];
  Bytes floorSource, floorTarget;

  KelvraInputTables tables() {
    KelvraInputTables t;
    std::memset(&t, 0, sizeof(t));
    t.varnokCfg = {vendor.data(), static_cast<uint32_t>(vendor.size())};
    t.plimCfgPartition = {oem.data(), static_cast<uint32_t>(oem.size())};
    t.mfsImage = {mfs.data(), static_cast<uint32_t>(mfs.size())};
    t.fileTable = {ftbl.data(), static_cast<uint32_t>(ftbl.size())};
    t.skuId = SKU;
    t.efsImage = {nullptr, 0};
    return t;
  }
};

// ---- One host cycle ----

void restore(Workload& w) { std::memcpy(w.mfs.data(), w.mfsPristine.data(), w.mfs.size()); }

void runInit(Workload& w) {
  KelvraInputTables t = w.tables();
  if (!zebMfsKelvraInit(&t, nullptr)) fail("init");
}

void runResizeWrite(Workload& w, const std::vector<uint32_t>& sizes, uint8_t fill) {
  for (uint32_t i = 0; i < w.n; ++i) {
    uint8_t* value = nullptr;
    if (!zebMfsNvarResize(w.names[i].c_str(), &value, sizes[i])) fail("resize of " + w.names[i]);
    std::memset(value, static_cast<uint8_t>(fill + i), sizes[i]);
  }
}

void runTerm(bool keep) {
  if (!zebMfsNvarTerm(keep)) fail(keep ? "term keep = true" : "term keep = false");
}

// ---- Inputs ----

std::string nvarName(uint32_t i) {
  char name[64];
  std::snprintf(name, sizeof name, "/home/kelvra/platform/config/g%02u/nvar%05u", i / 160, i);
  return name;
}

void buildInputs(Workload& w) {
  const uint32_t n = w.n;
  w.inMfs = std::min(n, MFS_NVAR_FILES);
  for (uint32_t i = 0; i < n; ++i) {
    w.names.push_back(nvarName(i));
    w.pulled.push_back(valueSize(i, 3));
    w.sizeA.push_back(otherSize(i, 4, w.pulled[i]));
    w.sizeB.push_back(otherSize(i, 5, w.sizeA[i]));
  }

  // File table: the deploy marker in slot 0, then the NVARs in name order
  // with ascending file numbers.
  std::vector<kelvra_host::FtblEntry> entries;
  entries.push_back({DEPLOY, 0x100, 0, 0, 0, MAX_VALUE});
  for (uint32_t i = 0; i < n; ++i) {
    const bool inMfs = i < w.inMfs;
    entries.push_back({w.names[i], 0x1000 + i, inMfs ? uint16_t{0} : ATTR_TABLE_ONLY,
                       static_cast<uint16_t>(inMfs ? i + 1 : 0), 0, MAX_VALUE});
  }
  w.ftbl = kelvra_host::build_ftbl(SKU, entries, nullptr);

  // Vendor and OEM tables hold every NVAR, with different values.
  std::vector<kelvra_host::FcsRecord> vendor, oem;
  for (uint32_t i = 0; i < n; ++i) {
    vendor.push_back({0x1000 + i, 1, Bytes(valueSize(i, 1), static_cast<uint8_t>(i))});
    oem.push_back({0x1000 + i, 1, Bytes(i < w.inMfs ? valueSize(i, 2) : w.pulled[i], static_cast<uint8_t>(~i))});
  }
  w.vendor = kelvra_host::build_fcs(vendor);
  w.oem = kelvra_host::build_plim_partition(kelvra_host::build_fcs(oem));

  // The MFS: created through the AFS layer, then the deploy marker and one
  // file per NVAR written through the DFS layer.
  w.mfs.assign(static_cast<size_t>(MFS_UNITS) * 8192, 0xFF);
  {
    auto ctx = std::make_unique<afs_context_t>();
    std::memset(ctx.get(), 0, sizeof(afs_context_t));
    if (afs_init(ctx.get(), w.mfs.data(), 64, 10, MFS_SLOTS, 0, static_cast<uint32_t>(w.mfs.size()),
                 AFS_CREATE_FLAGS, 0, 0) != 0) {
      fail("MFS volume creation");
    }
    afs_free_context(ctx.get());
  }
  if (load_file_table(w.ftbl.data(), SKU, static_cast<uint32_t>(w.ftbl.size())) != 0) fail("load_file_table");
  if (dfs_init(w.mfs.data(), static_cast<uint32_t>(w.mfs.size())) != 0) fail("MFS mount");
  auto writeFile = [](const std::string& path, const Bytes& bytes) {
    uint32_t number = 0;
    if (pathToFileNumber(path.c_str(), &number) != 0) fail("file number of " + path);
    if (dfs_write(number, 0, static_cast<uint32_t>(bytes.size()), bytes.data(), 1) != 0) fail("write of " + path);
  };
  writeFile(DEPLOY, Bytes{'1'});
  for (uint32_t i = 0; i < w.inMfs; ++i) writeFile(w.names[i], Bytes(w.pulled[i], static_cast<uint8_t>(i * 7)));
  w.mfsPristine = w.mfs;

  // The values each phase moves: init every value into the current values;
  // resize_write every new value; each term every value into the serialised
  // table and every MFS-resident one into its file. The pages read and
  // written are counted when the cycle first runs.
  for (uint32_t i = 0; i < n; ++i) {
    w.floor[INIT].copies.push_back(w.pulled[i]);
    w.floor[RESIZE_WRITE].copies.push_back(w.sizeA[i]);
    for (Phase p : {TERM_KEEP, TERM_RELEASE}) {
      w.floor[p].copies.push_back(w.sizeA[i]);
      if (i < w.inMfs) w.floor[p].copies.push_back(w.sizeA[i]);
    }
  }
  w.floorSource = w.mfsPristine;
  w.floorTarget.assign(w.floorSource.size(), 0);
}

// One cycle with the page and driver counters on, phase by phase, and a
// check that the MFS counts as deployed (else nothing would be pulled or
// written).
void countFlashWork(Workload& w) {
  restore(w);
  kelvra::FlashFaultPlan plans[PHASES];
  for (int p = 0; p < PHASES; ++p) {
    const uint64_t checks = g_pageChecks;
    const uint64_t builds = g_pageBuilds;
    {
      kelvra::fault::ScopedPlan on(plans[p]);
      switch (p) {
        case INIT: runInit(w); break;
        case RESIZE_WRITE: runResizeWrite(w, w.sizeA, 0x30); break;
        case TERM_KEEP: runTerm(true); break;
        default: runTerm(false); break;
      }
    }
    if (p == INIT && !zebMfsIsVfsDeployed()) fail("deploy check");
    w.floor[p].pagesWritten = g_pageBuilds - builds;
    w.floor[p].pagesRead = (g_pageChecks - checks) - w.floor[p].pagesWritten;
    w.driver[p].reads = plans[p].reads;
    w.driver[p].programs = plans[p].programs;
    w.driver[p].erases = plans[p].erases;
  }
}

Workload& workload(uint32_t n) {
  static std::map<uint32_t, std::unique_ptr<Workload>> cache;
  auto it = cache.find(n);
  if (it != cache.end()) return *it->second;
  auto w = std::make_unique<Workload>();
  w->n = n;
  buildInputs(*w);
  countFlashWork(*w);
  return *cache.emplace(n, std::move(w)).first->second;
}

// ---- The flash floor ----

uint32_t floorWork(Workload& w, Phase p) {
  const FloorWork& f = w.floor[p];
  const uint8_t* src = w.floorSource.data();
  uint8_t* dst = w.floorTarget.data();
  const size_t span = w.floorSource.size() - PAGE;
  uint32_t acc = 0;
  size_t at = 0;
  for (uint64_t k = 0; k < f.pagesRead; ++k) {
    const uint8_t two[2] = {static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8)};
    acc += __real_crc16(src + at, PAGE, two);
    std::memcpy(dst + at, src + at, PAGE);
    at = (at + PAGE) % span;
  }
  for (uint64_t k = 0; k < f.pagesWritten; ++k) {
    acc += static_cast<uint32_t>(std::memcmp(dst + at, src + at, PAGE) != 0);
    at = (at + PAGE) % span;
  }
  for (uint32_t c : f.copies) {
    if (at + c > span) at = 0;
    std::memcpy(dst + at, src + at + PAGE, c);
    at += c;
  }
  benchmark::DoNotOptimize(acc);
  benchmark::ClobberMemory();
  return acc;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---- Benchmarks ----

void phaseCounters(benchmark::State& st, const Workload& w) {
  st.SetComplexityN(w.n);
  st.counters["nvars"] = w.n;
}

void BM_Phase(benchmark::State& st, Phase phase) {
  Workload& w = workload(static_cast<uint32_t>(st.range(0)));
  if (phase == RESIZE_WRITE) {
    // The library stays initialised; each iteration resizes every NVAR to
    // the other of its two sizes and writes the new bytes.
    restore(w);
    runInit(w);
    bool useA = true;
    for (auto _ : st) {
      const auto t0 = Clock::now();
      runResizeWrite(w, useA ? w.sizeA : w.sizeB, useA ? 0x30 : 0x50);
      st.SetIterationTime(seconds(Clock::now() - t0));
      useA = !useA;
    }
    runTerm(false);
  } else {
    for (auto _ : st) {
      restore(w);
      Clock::time_point t0 = Clock::now();
      double timed = 0;
      runInit(w);
      if (phase == INIT) {
        timed = seconds(Clock::now() - t0);
        runTerm(false);
      } else {
        runResizeWrite(w, w.sizeA, 0x30);
        if (phase == TERM_KEEP) t0 = Clock::now();
        runTerm(true);
        if (phase == TERM_KEEP) timed = seconds(Clock::now() - t0);
        if (phase == TERM_RELEASE) t0 = Clock::now();
        runTerm(false);
        if (phase == TERM_RELEASE) timed = seconds(Clock::now() - t0);
      }
      st.SetIterationTime(timed);
    }
  }
  phaseCounters(st, w);
}

void BM_Floor(benchmark::State& st, Phase phase) {
  Workload& w = workload(static_cast<uint32_t>(st.range(0)));
  for (auto _ : st) floorWork(w, phase);
  phaseCounters(st, w);
  const FloorWork& f = w.floor[phase];
  st.counters["pages_read"] = static_cast<double>(f.pagesRead);
  st.counters["pages_written"] = static_cast<double>(f.pagesWritten);
  st.counters["bytes_moved"] = static_cast<double>(f.bytesMoved());
  st.counters["driver_reads"] = static_cast<double>(w.driver[phase].reads);
  st.counters["driver_programs"] = static_cast<double>(w.driver[phase].programs);
  st.counters["driver_erases"] = static_cast<double>(w.driver[phase].erases);
}

void BM_Cycle(benchmark::State& st) {
  Workload& w = workload(static_cast<uint32_t>(st.range(0)));
  double phaseSec[PHASES] = {0, 0, 0, 0};
  double floorSec[PHASES] = {0, 0, 0, 0};
  for (auto _ : st) {
    restore(w);
    const auto t0 = Clock::now();
    runInit(w);
    const auto t1 = Clock::now();
    runResizeWrite(w, w.sizeA, 0x30);
    const auto t2 = Clock::now();
    runTerm(true);
    const auto t3 = Clock::now();
    runTerm(false);
    const auto t4 = Clock::now();
    st.SetIterationTime(seconds(t4 - t0));
    phaseSec[INIT] += seconds(t1 - t0);
    phaseSec[RESIZE_WRITE] += seconds(t2 - t1);
    phaseSec[TERM_KEEP] += seconds(t3 - t2);
    phaseSec[TERM_RELEASE] += seconds(t4 - t3);
    for (int p = 0; p < PHASES; ++p) {
      const auto f0 = Clock::now();
      floorWork(w, static_cast<Phase>(p));
      floorSec[p] += seconds(Clock::now() - f0);
    }
  }
  // One more cycle, untimed, with the heap counted.
  restore(w);
  kelvra_bench::heap_count_start();
  runInit(w);
  runResizeWrite(w, w.sizeA, 0x30);
  runTerm(true);
  runTerm(false);
  const int64_t peak = kelvra_bench::heap_count_stop();

  const double iterations = static_cast<double>(st.iterations());
  st.counters["nvars"] = w.n;
  st.counters["peak_heap_per_nvar"] = static_cast<double>(peak) / w.n;
  for (int p = 0; p < PHASES; ++p) {
    st.counters[std::string(kPhaseNames[p]) + "_ms"] = 1e3 * phaseSec[p] / iterations;
    st.counters[std::string(kPhaseNames[p]) + "_floor_ms"] = 1e3 * floorSec[p] / iterations;
    st.counters[std::string(kPhaseNames[p]) + "_x_floor"] = floorSec[p] > 0 ? phaseSec[p] / floorSec[p] : 0;
  }
}

void registerAll() {
  const std::vector<int64_t> sizes = {100, 300, 1000, 2047};
  for (int p = 0; p < PHASES; ++p) {
    const Phase phase = static_cast<Phase>(p);
    auto* b = benchmark::RegisterBenchmark(kPhaseNames[p], BM_Phase, phase);
    for (int64_t n : sizes) b->Arg(n);
    b->UseManualTime()->Complexity(benchmark::oAuto)->Unit(benchmark::kMillisecond);
  }
  for (int p = 0; p < PHASES; ++p) {
    const Phase phase = static_cast<Phase>(p);
    auto* b = benchmark::RegisterBenchmark((std::string("floor/") + kPhaseNames[p]).c_str(), BM_Floor, phase);
    for (int64_t n : sizes) b->Arg(n);
    b->Complexity(benchmark::oAuto)->Unit(benchmark::kMicrosecond);
  }
  auto* c = benchmark::RegisterBenchmark("cycle", BM_Cycle);
  for (int64_t n : sizes) c->Arg(n);
  c->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  registerAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
