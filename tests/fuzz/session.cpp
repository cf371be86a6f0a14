// Whole host sessions: init with six hostile inputs, NVAR work, terms, a
// second init from the written images, and the mini VFS and DFS calls.
#include "session.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "afs/Afs.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "efs/EFS.h"
#include "efs/efs_tools_utils.h"
#include "fcs/FileTable.h"
#include "frontend/dfs.h"
#include "frontend/miniVfs.h"
#include "frontend/zebmfs.h"
#include "frontend/zebmfs_internal.h"
#include "host/support/kelvra_host.h"
#include "image_checks.h"

namespace session {
namespace {

constexpr size_t kMaxOps = 48;
constexpr int kMaxInits = 4;
constexpr int kVendor = 0, kOem = 1, kMfs = 2, kFtbl = 3, kEfs = 4;

// ---- Transcript: FNV-1a over everything the host sees ----------------------

class Transcript {
 public:
  Transcript(bool on, std::string* log) : on_(on), log_(log) {}
  bool on() const { return on_; }

  // One event: a tag and numbers.
  void add(const char* tag, std::initializer_list<int64_t> values) {
    if (!on_) return;
    mix(tag, std::strlen(tag) + 1);
    std::string line = tag;
    for (int64_t v : values) {
      uint8_t le[8];
      for (int i = 0; i < 8; ++i) le[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
      mix(le, sizeof le);
      line += ' ' + std::to_string(v);
    }
    append(line);
  }
  // Bytes the host can see (a value, a buffer, an image).
  void bytes(const char* tag, const uint8_t* p, size_t n) {
    if (!on_) return;
    add(tag, {static_cast<int64_t>(n)});
    uint64_t h = kBasis;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * kPrime;
    mix(&h, sizeof h);
    if (log_ != nullptr) {
      char hex[24];
      std::snprintf(hex, sizeof hex, "  %016llx", static_cast<unsigned long long>(h));
      log_->append(hex);
      log_->append("\n");
    }
  }
  void text(const char* tag, const char* s) {
    if (!on_) return;
    add(tag, {});
    const std::string v = s == nullptr ? std::string("(null)") : std::string(s);
    mix(v.c_str(), v.size() + 1);
    append("  \"" + v + "\"");
  }
  uint64_t value() const { return on_ ? h_ : 0; }

 private:
  static constexpr uint64_t kBasis = 14695981039346656037ull;
  static constexpr uint64_t kPrime = 1099511628211ull;
  void mix(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; ++i) h_ = (h_ ^ b[i]) * kPrime;
  }
  void append(const std::string& line) {
    if (log_ != nullptr) log_->append(line + "\n");
  }
  bool on_;
  std::string* log_;
  uint64_t h_ = kBasis;
};

Transcript* g_transcript = nullptr;

void onReport(ErrorLevel level, ImageToolsErrorName name, const char* nameText, const char* message) {
  if (g_transcript == nullptr) return;
  g_transcript->add("report", {level, name});
  g_transcript->text("  name", nameText);
  g_transcript->text("  message", message);
}

// Collects what the library prints on standard output during one call.
class StdoutCapture {
 public:
  explicit StdoutCapture(bool on) {
    if (!on) return;
    std::fflush(stdout);
    file_ = std::tmpfile();
    saved_ = dup(1);
    if (file_ == nullptr || saved_ < 0 || dup2(fileno(file_), 1) < 0) std::abort();
  }
  std::string finish() {
    if (file_ == nullptr) return std::string();
    std::fflush(stdout);
    if (dup2(saved_, 1) < 0) std::abort();
    close(saved_);
    std::rewind(file_);
    std::string out;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    std::fclose(file_);
    file_ = nullptr;
    return out;
  }
  ~StdoutCapture() { finish(); }

 private:
  FILE* file_ = nullptr;
  int saved_ = -1;
};

// ---- Reading the input ------------------------------------------------------

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t u16() {
    const uint16_t lo = u8();
    return static_cast<uint16_t>(lo | u8() << 8);
  }
  uint32_t u24() {
    const uint32_t lo = u16();
    return lo | static_cast<uint32_t>(u8()) << 16;
  }
  uint32_t u32() {
    const uint32_t lo = u16();
    return lo | static_cast<uint32_t>(u16()) << 16;
  }
  // Up to n bytes (fewer at the end of the input).
  std::vector<uint8_t> take(size_t n) {
    if (n > size_ - at_) n = size_ - at_;
    std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
    at_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// ---- The host's buffers -----------------------------------------------------

// One input buffer, allocated at exactly its size.
struct HostBuffer {
  std::unique_ptr<uint8_t[]> bytes;
  uint32_t size = 0;
  bool nullWithSize = false;

  void assign(const uint8_t* p, size_t n) {
    nullWithSize = false;
    size = static_cast<uint32_t>(n);
    bytes.reset(n == 0 ? nullptr : new uint8_t[n]);
    if (n != 0) std::memcpy(bytes.get(), p, n);
  }
  _commonKelvraTable table() const { return {nullWithSize ? nullptr : bytes.get(), size}; }
  // The host keeps the contents in a new buffer and releases the old one.
  void moveToFresh() {
    if (bytes == nullptr) return;
    std::unique_ptr<uint8_t[]> fresh(new uint8_t[size]);
    std::memcpy(fresh.get(), bytes.get(), size);
    bytes = std::move(fresh);
  }
};

// Overlay records: 3-byte offset, length byte (low 6 bits count), bytes.
void applyOverlays(std::vector<uint8_t>& image, const std::vector<uint8_t>& rec, size_t at) {
  if (image.empty()) return;
  while (at + 4 <= rec.size()) {
    const uint32_t off = (rec[at] | rec[at + 1] << 8 | rec[at + 2] << 16) % image.size();
    size_t n = rec[at + 3] & 0x3F;
    at += 4;
    if (n > rec.size() - at) n = rec.size() - at;
    if (n > image.size() - off) n = image.size() - off;
    std::memcpy(image.data() + off, rec.data() + at, n);
    at += n;
  }
}

// ---- The samples: the host stand-in's demo set, made once ------------------

struct Samples {
  kelvra_host::SampleSet set;
  std::vector<uint8_t> input[5];
};

void resetLibrary();

kelvra_host::Api directApi() {
  kelvra_host::Api a;
  a.afs_init = [](void* c, uint8_t* base, uint32_t line, uint32_t lines, uint32_t files, uint32_t off,
                  uint32_t size, uint32_t flags, uint8_t b4, uint32_t b12) {
    return ::afs_init(static_cast<afs_context_t*>(c), base, line, lines, files, off, size, flags, b4, b12);
  };
  a.afs_free_context = [](void* c) { ::afs_free_context(static_cast<afs_context_t*>(c)); };
  a.load_file_table = ::load_file_table;
  a.pathToFileNumber = ::pathToFileNumber;
  a.dfs_init = ::dfs_init;
  a.dfs_getsize = ::dfs_getsize;
  a.dfs_read = ::dfs_read;
  a.dfs_write = ::dfs_write;
  a.EFS_init_tools = ::EFS_init_tools;
  a.EFS_do_format = ::EFS_do_format;
  a.EFS_get_efs_size = ::EFS_get_efs_size;
  return a;
}

const Samples& samples() {
  static Samples* s = [] {
    auto* made = new Samples;
    std::string what;
    if (kelvra_host::build_demo_samples(directApi(), &made->set, &what) != 0) {
      std::fprintf(stderr, "session samples: %s failed\n", what.c_str());
      std::abort();
    }
    made->input[kVendor] = made->set.vendor;
    made->input[kOem] = made->set.oemPartition;
    made->input[kMfs] = made->set.mfs;
    made->input[kFtbl] = made->set.ftbl;
    made->input[kEfs] = made->set.efs;
    resetLibrary();
    return made;
  }();
  return *s;
}

// ---- The library's state at load -------------------------------------------

void resetLibrary() {
  using namespace kelvra::fe;
  for (FcsTable* t : {&s_builtPlimCfgTable, &s_plimCfgTable, &s_varnokCfgTable, &s_currentValuesTable}) {
    zebMfsFreeFcsTable(*t);
    zebMfsResetFcsTable(*t, FCS_FILE_UNSET);
  }
  s_fcsInitialized = false;
  s_mfsInitialized = false;
  s_kelvraLoadFileTable = false;
  s_kelvraAfsSkuId = 0;
  std::vector<uint8_t>().swap(s_fileTableBuffer);
  kelvra::dfs::reset_for_tests();
  kelvra::efs::release_arrays_for_tests();
  kelvra::efs::release_tables_for_tests();
  kelvra::fcs::reset_file_table_for_tests();
  gpBuffer = nullptr;
  zebMfsSetStatusCallback(nullptr);
}

// ---- One session ------------------------------------------------------------

class Session {
 public:
  Session(Reader& r, Transcript& t) : r_(r), t_(t) {}

  void run() {
    readInputs();
    collectPaths();
    init(0);
    for (size_t ops = 0; ops < kMaxOps && !r_.empty(); ++ops) {
      step(r_.u8());
      releaseImagesWhenNotReady();
    }
    finish();
  }

 private:
  // ---- inputs
  void readInputs() {
    const Samples& s = samples();
    flags_ = r_.u8();
    sku_ = s.set.sku;
    if (r_.u8() >= 0xF0) sku_ = r_.u32();
    t_.add("sku", {sku_});
    for (int i = 0; i < 5; ++i) {
      const uint8_t mode = r_.u8() % 6;
      const std::vector<uint8_t> sec = r_.take(r_.u16());
      std::vector<uint8_t> b = s.input[i];
      size_t overlays = 0;
      switch (mode) {
        case 0:
          break;
        case 1:
          b.clear();
          break;
        case 2:
          b = sec;
          overlays = sec.size();
          break;
        case 3: {
          const uint32_t cut = sec.size() >= 3 ? (sec[0] | sec[1] << 8 | sec[2] << 16) : 0;
          b.resize(b.size() - std::min<size_t>(cut, b.size()));
          overlays = 3;
          break;
        }
        case 4: {
          const uint32_t more = sec.size() >= 3 ? (sec[0] | sec[1] << 8) : 0;
          b.resize(b.size() + more, sec.size() >= 3 ? sec[2] : 0xFF);
          overlays = 3;
          break;
        }
        default:
          break;
      }
      applyOverlays(b, sec, overlays);
      if (i == kMfs && (flags_ & 1) != 0) fuzz_checks::fix_afs_checks(b.data(), b.size());
      if (i == kEfs && (flags_ & 2) != 0) fuzz_checks::fix_efs_checks(b.data(), b.size(), 2, 10);
      in_[i].assign(b.data(), b.size());
      if (mode == 5) {
        in_[i].assign(nullptr, 0);
        in_[i].size = static_cast<uint32_t>(s.input[i].size());
        in_[i].nullWithSize = true;
      }
      t_.add("input", {i, mode, in_[i].size, in_[i].nullWithSize});
    }
  }

  // Paths the host knows: the sample's names, the names in the file table it
  // passes, each also without "/home/".
  void collectPaths() {
    using namespace kelvra_host::demo;
    for (const char* p : {DEPLOY, HOSTNAME, MTU, KEY40, KEY56, FACTORY, BOOTCOUNT, UNSET}) addPath(p);
    const HostBuffer& f = in_[kFtbl];
    const uint8_t* b = f.bytes.get();
    if (b == nullptr || f.nullWithSize || f.size < 16 || std::memcmp(b, "FTBL", 4) != 0) return;
    auto get32 = [b](uint64_t at) {
      return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) | static_cast<uint32_t>(b[at + 3]) << 24;
    };
    const uint32_t skus = get32(12);
    for (uint64_t i = 0; i < skus && i < 10 && 16 + 16 * (i + 1) <= f.size; ++i) {
      const uint64_t e = 16 + 16 * i;
      if (get32(e) != sku_) continue;
      const uint64_t table = get32(e + 4);
      const uint64_t count = get32(e + 8);
      for (uint64_t j = 0; j < count && j < 16 && table + 68 * j + 48 <= f.size; ++j) {
        const char* name = reinterpret_cast<const char*>(b + table + 68 * j);
        addPath(std::string(name, strnlen(name, 48)));
      }
      break;
    }
  }
  void addPath(const std::string& p) {
    paths_.push_back(p);
    if (p.compare(0, 6, "/home/") == 0) paths_.push_back(p.substr(6));
  }

  // A path argument: a known one, random bytes, a long one or null.
  const char* path(std::string& storage) {
    const uint8_t sel = r_.u8();
    if (sel < 0xE0) {
      storage = paths_[sel % paths_.size()];
    } else if (sel < 0xFE) {
      const std::vector<uint8_t> raw = r_.take(r_.u8() % 64);
      storage.assign(raw.begin(), raw.end());
      storage.resize(std::strlen(storage.c_str()));  // up to the first NUL
    } else if (sel == 0xFE) {
      storage.assign(300, 'n');
    } else {
      t_.add("path", {-1});
      return nullptr;
    }
    t_.text("path", storage.c_str());
    return storage.c_str();
  }

  FcsFileName table() {
    static const uint32_t kTables[] = {FCS_FILE_VARNOK_CFG, FCS_FILE_PLIM_CFG, FCS_FILE_CURRENT_VALUES,
                                       FCS_FILE_UNSET, 0};
    const uint32_t t = kTables[r_.u8() % 5];
    t_.add("table", {t});
    return static_cast<FcsFileName>(t);
  }

  // A DFS file number: from a path, changed in its type, top or id bits, or
  // raw.
  uint32_t number() {
    const uint8_t sel = r_.u8();
    uint32_t n = 0;
    if (sel >= 0xF0) {
      n = r_.u32();
    } else {
      const std::string& p = paths_[sel % paths_.size()];
      if (pathToFileNumber(p.c_str(), &n) != 0) n = sel;
      const uint8_t m = r_.u8();
      switch (m & 3) {
        case 1: n ^= static_cast<uint32_t>((m >> 2) & 3) << 11; break;
        case 2: n |= static_cast<uint32_t>(m) << 24 & 0xF0000000u; break;
        case 3: n ^= static_cast<uint32_t>(m >> 2); break;
        default: break;
      }
    }
    t_.add("number", {n});
    return n;
  }

  // ---- the operations
  void step(uint8_t op) {
    switch (op % 18) {
      case 0: get(); break;
      case 1: exists(); break;
      case 2: resize(); break;
      case 3: term(true); break;
      case 4: collect(); break;
      case 5: term(false); break;
      case 6: init(r_.u8()); break;
      case 7: toNumber(); break;
      case 8: readByName(); break;
      case 9: size(); break;
      case 10: read(); break;
      case 11: write(); break;
      case 12: t_.add("dfs_delete_file", {dfs_delete_file(number())}); break;
      case 13: t_.add("dfs_mark_zombie_file", {dfs_mark_zombie_file(number())}); break;
      case 14: control(); break;
      case 15: queries(); break;
      case 16: miniVfsInit(); break;
      default: efs(); break;
    }
  }

  void init(uint8_t how) {
    if (inits_ >= kMaxInits) return;
    ++inits_;
    // bit 0: the OEM partition carries the collected OEM table; bit 1: no
    // callback; bit 2: no MFS image; bit 3: no EFS image.
    if ((how & 1) != 0 && haveCollected_) {
      std::vector<uint8_t> part(16 + collected_.size(), 0);
      std::memcpy(part.data(), "PLIMCFG", 7);
      const uint32_t n = static_cast<uint32_t>(collected_.size());
      for (int i = 0; i < 4; ++i) part[8 + i] = static_cast<uint8_t>(n >> (8 * i));
      std::memcpy(part.data() + 16, collected_.data(), collected_.size());
      in_[kOem].assign(part.data(), part.size());
    }
    KelvraInputTables tables;
    std::memset(&tables, 0, sizeof tables);
    tables.varnokCfg = in_[kVendor].table();
    tables.plimCfgPartition = in_[kOem].table();
    tables.mfsImage = (how & 4) != 0 ? _commonKelvraTable{nullptr, 0} : in_[kMfs].table();
    tables.fileTable = in_[kFtbl].table();
    tables.skuId = sku_;
    tables.efsImage = (how & 8) != 0 ? _commonKelvraTable{nullptr, 0} : in_[kEfs].table();
    const bool silent = (how & 2) != 0 || (inits_ == 1 && (flags_ & 4) != 0);
    t_.add("init", {how, silent});
    StdoutCapture capture(t_.on());
    const bool ok = zebMfsKelvraInit(&tables, silent ? nullptr : onReport);
    const std::string printed = capture.finish();
    t_.add("init result", {ok});
    if (!printed.empty()) t_.text("stdout", printed.c_str());
    imagesLive_ = true;
    // The library keeps its own copies of the three tables.
    in_[kVendor].moveToFresh();
    in_[kOem].moveToFresh();
    in_[kFtbl].moveToFresh();
  }

  void get() {
    const FcsFileName tab = table();
    std::string storage;
    const char* p = path(storage);
    const uint8_t mode = r_.u8();
    uint8_t untouched = 0;
    uint8_t* data = &untouched;
    uint32_t size = 0xDEADBEEF;
    bool editable = false;
    uint32_t maxSize = 0xDEADBEEF;
    const bool ok = zebMfsNvarGet(p, (mode & 0xF0) == 0xF0 ? nullptr : &data, (mode & 0xF0) == 0xE0 ? nullptr : &size,
                                  tab, (mode & 1) != 0 ? &editable : nullptr, (mode & 2) != 0 ? &maxSize : nullptr);
    t_.add("get", {ok, data == &untouched ? -1 : data == nullptr ? 0 : 1, size, editable, maxSize});
    if (ok && data != nullptr && data != &untouched) t_.bytes("value", data, size);
  }

  void exists() {
    const FcsFileName tab = table();
    std::string storage;
    const char* p = path(storage);
    t_.add("exists", {zebmfsCheckNvarExists(p, tab)});
  }

  void resize() {
    std::string storage;
    const char* p = path(storage);
    const uint8_t sel = r_.u8();
    uint32_t size = sel;
    if (sel >= 0xF8) {
      size = 65520 + r_.u8() % 16;  // around the largest value a record holds
    } else if (sel >= 0xF0) {
      size = 0x10000u + r_.u16();
    } else if (sel >= 0x80) {
      size = r_.u16();
    }
    const uint8_t fill = r_.u8();
    uint8_t untouched = 0;
    uint8_t* buffer = &untouched;
    const bool ok = zebMfsNvarResize(p, fill == 0xFF ? nullptr : &buffer, size);
    t_.add("resize", {size, ok, buffer == &untouched ? -1 : buffer == nullptr ? 0 : 1});
    // The host writes the new value into the buffer it got.
    if (ok && buffer != nullptr && buffer != &untouched) {
      for (uint32_t i = 0; i < size; ++i) buffer[i] = static_cast<uint8_t>(fill + i * 7);
    }
  }

  void term(bool keep) {
    const bool ok = zebMfsNvarTerm(keep);
    t_.add("term", {keep, ok});
  }

  void collect() {
    const uint8_t mode = r_.u8();
    uint8_t untouched = 0;
    uint8_t* buffer = &untouched;
    uint32_t size = 0xDEADBEEF;
    const bool ok = zebMfsGetBuildPlimCfgFcsBuffer((mode & 0xF0) == 0xF0 ? nullptr : &buffer, &size);
    t_.add("collect", {ok, buffer == &untouched ? -1 : buffer == nullptr ? 0 : 1, size});
    if (ok && buffer != nullptr && buffer != &untouched) {
      t_.bytes("oem table", buffer, size);
      collected_.assign(buffer, buffer + size);
      haveCollected_ = true;
    }
  }

  void toNumber() {
    std::string storage;
    const char* p = path(storage);
    uint32_t n = 0xDEADBEEF;
    const int32_t rc = pathToFileNumber(p, (r_.u8() & 0xF0) == 0xF0 ? nullptr : &n);
    t_.add("pathToFileNumber", {rc, n});
  }

  // A buffer of exactly `len` bytes (one byte for 0), filled with a pattern
  // so that bytes the library leaves alone read the same in every build.
  static std::unique_ptr<uint8_t[]> outBuffer(uint32_t len) {
    std::unique_ptr<uint8_t[]> b(new uint8_t[len == 0 ? 1 : len]);
    std::memset(b.get(), 0xA5, len == 0 ? 1 : len);
    return b;
  }

  void readByName() {
    std::string storage;
    const char* p = path(storage);
    const uint32_t offset = r_.u16();
    const uint32_t len = r_.u16() % 8193;
    std::unique_ptr<uint8_t[]> b = outBuffer(len);
    const int32_t rc = readVfs(p, offset, b.get(), len);
    t_.add("readVfs", {offset, len, rc});
    t_.bytes("buffer", b.get(), len);
  }

  void size() {
    const uint32_t n = number();
    uint32_t s = 0xDEADBEEF;
    const int32_t rc = dfs_getsize(n, &s);
    t_.add("dfs_getsize", {rc, s});
  }

  void read() {
    const uint32_t n = number();
    const uint32_t offset = r_.u16();
    const uint32_t want = r_.u16() % 8193;
    std::unique_ptr<uint8_t[]> b = outBuffer(want);
    uint32_t len = want;
    const int32_t rc = dfs_read(n, offset, &len, b.get());
    t_.add("dfs_read", {offset, want, rc, len});
    t_.bytes("buffer", b.get(), want);
  }

  void write() {
    const uint32_t n = number();
    const uint32_t offset = r_.u16();
    const uint32_t len = r_.u16() % 16385;
    const uint8_t how = r_.u8();
    std::unique_ptr<uint8_t[]> b(new uint8_t[len == 0 ? 1 : len]);
    for (uint32_t i = 0; i < (len == 0 ? 1 : len); ++i) b[i] = static_cast<uint8_t>(how + 3 * i);
    const int32_t rc = dfs_write(n, offset, len, b.get(), how & 1);
    t_.add("dfs_write", {offset, len, how & 1, rc});
  }

  void control() {
    switch (r_.u8() % 9) {
      case 0: {
        const uint32_t page = r_.u16();
        t_.add("dfs_set_page_size", {page, dfs_set_page_size(page)});
        break;
      }
      case 1: t_.add("dfs_force_full_reclaim", {dfs_force_full_reclaim()}); break;
      case 2: t_.add("dfs_force_dirty_erase", {dfs_force_dirty_erase()}); break;
      case 3: t_.add("dfs_get_idle_reclaim_enabled", {dfs_get_idle_reclaim_enabled()}); break;
      case 4:
        dfs_set_idle_reclaim_enabled();
        t_.add("dfs_set_idle_reclaim_enabled", {});
        break;
      case 5: t_.add("dfs_idle_reclaim", {dfs_idle_reclaim()}); break;
      case 6: t_.add("dfs_idle_reclaim_needed", {dfs_idle_reclaim_needed()}); break;
      case 7: t_.add("dfs_is_fs_erased", {dfs_is_fs_erased()}); break;
      default: t_.add("dfs_terminate", {dfs_terminate()}); break;
    }
  }

  void queries() {
    switch (r_.u8() % 5) {
      case 0: t_.add("zebMfsIsInitialized", {zebMfsIsInitialized()}); break;
      case 1: t_.add("zebFcsIsInitialized", {zebFcsIsInitialized()}); break;
      case 2: t_.add("zebMfsIsVfsDeployed", {zebMfsIsVfsDeployed()}); break;
      case 3: t_.add("zebMfsGetEfsSize", {zebMfsGetEfsSize()}); break;
      default: {
        const uint32_t index = r_.u8();
        t_.add("zebMfsGetFcsFileNameMapping", {index, zebMfsGetFcsFileNameMapping(index)});
        break;
      }
    }
  }

  // The host mounts its MFS image itself, while its session holds the image
  // (the next term lets go of it).
  void miniVfsInit() {
    const HostBuffer& m = in_[kMfs];
    if (!zebFcsIsInitialized() || m.bytes == nullptr || m.nullWithSize) return;
    t_.add("mini_vfs_init", {mini_vfs_init(m.bytes.get(), m.size)});
  }

  // The EFS operations that the host may call directly.
  void efs() {
    const uint32_t file = r_.u16();
    switch (r_.u8() % 4) {
      case 0: {
        uint32_t s = 0xDEADBEEF;
        const int rc = EFS_get_file_size(file, &s);
        t_.add("EFS_get_file_size", {file, rc, s});
        return;
      }
      case 1: break;
      case 2: t_.add("EFS_delete", {file, EFS_delete(file)}); return;
      default: t_.add("EFS_idle_reclaim", {EFS_idle_reclaim()}); return;
    }
    const uint32_t offset = r_.u16();
    const uint32_t want = r_.u16() % 8193;
    std::unique_ptr<uint8_t[]> b = outBuffer(want);
    uint32_t len = want;
    const int rc = EFS_read(file, offset, &len, b.get());
    t_.add("EFS_read", {file, offset, want, rc, len});
    t_.bytes("buffer", b.get(), want);
  }

  // While the tables are not ready nothing may refer to the images: the host
  // keeps them in new buffers and releases the old ones.
  void releaseImagesWhenNotReady() {
    if (!imagesLive_ || zebFcsIsInitialized()) return;
    imagesLive_ = false;
    recordImages();
    in_[kMfs].moveToFresh();
    in_[kEfs].moveToFresh();
  }

  void recordImages() {
    if (in_[kMfs].bytes != nullptr) t_.bytes("mfs image", in_[kMfs].bytes.get(), in_[kMfs].size);
    if (in_[kEfs].bytes != nullptr) t_.bytes("efs image", in_[kEfs].bytes.get(), in_[kEfs].size);
  }

  // The host ends the session, keeps the images and releases every buffer;
  // then every call that could reach an image must refuse.
  void finish() {
    term(false);
    recordImages();
    for (HostBuffer& b : in_) b.bytes.reset();
    uint8_t buf[16];
    for (const std::string& p : paths_) {
      t_.add("after: readVfs", {readVfs(p.c_str(), 0, buf, sizeof buf)});
      uint32_t n = 0;
      if (pathToFileNumber(p.c_str(), &n) != 0) continue;
      uint32_t s = 0;
      uint32_t len = sizeof buf;
      t_.add("after: dfs", {dfs_getsize(n, &s), dfs_read(n, 0, &len, buf)});
    }
    uint32_t len = sizeof buf;
    uint32_t s = 0;
    t_.add("after: efs", {EFS_is_initialized(), EFS_read(0, 0, &len, buf), EFS_get_file_size(1, &s)});
    t_.add("after: deployed", {zebMfsIsVfsDeployed()});
  }

  Reader& r_;
  Transcript& t_;
  uint8_t flags_ = 0;
  uint32_t sku_ = 0;
  HostBuffer in_[5];
  std::vector<std::string> paths_;
  std::vector<uint8_t> collected_;
  bool haveCollected_ = false;
  bool imagesLive_ = false;
  int inits_ = 0;
};

}  // namespace

uint64_t run_session(const uint8_t* data, size_t size, bool digest, std::string* log) {
  samples();
  resetLibrary();
  Transcript t(digest, log);
  g_transcript = &t;
  {
    Reader r(data, size);
    Session s(r, t);
    s.run();
  }
  g_transcript = nullptr;
  resetLibrary();
  return t.value();
}

}  // namespace session
