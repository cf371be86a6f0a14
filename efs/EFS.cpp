// EFS volume: verified I/O, mount, format, block maps, data blocks, spares,
// the block-map entry commit and the file operations.
#include "efs/EFS.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "common/le.h"
#include "common/status.h"

extern "C" {
KELVRA_API efs_ctx_t efs_ctx;
}

namespace kelvra {
namespace efs {

uint32_t g_fail_array_allocs = 0;
uint32_t g_fail_work_allocs = 0;

namespace {

// The geometry generation the current mount was made under.
uint32_t s_mount_generation = 0;
// The counts the mount's arrays and block-map walk were sized by. The
// geometry globals are writable from outside the library; a mount whose
// counts no longer match them must not index its arrays with the new ones.
uint32_t s_mount_bm = 0;
uint32_t s_mount_valid = 0;
uint32_t s_mount_spare = 0;

// The mount's arrays are never released (an earlier mount's arrays may still
// be referenced by a caller); they stay reachable from here.
std::vector<void*>& retained_arrays() {
  static auto* arrays = new std::vector<void*>();
  return *arrays;
}

void* allocate_retained(uint64_t bytes) {
  if (g_fail_array_allocs > 0) {
    --g_fail_array_allocs;
    return nullptr;
  }
  if (bytes > SIZE_MAX) return nullptr;
  void* p = std::calloc(1, bytes == 0 ? 1 : static_cast<size_t>(bytes));
  if (p == nullptr) return nullptr;
  try {
    retained_arrays().push_back(p);
  } catch (...) {
    std::free(p);
    return nullptr;
  }
  return p;
}

// A byte buffer owned by one operation and released on every path.
std::unique_ptr<uint8_t[]> allocate_work(uint64_t bytes) {
  if (g_fail_work_allocs > 0) {
    --g_fail_work_allocs;
    return nullptr;
  }
  if (bytes > SIZE_MAX) return nullptr;
  std::unique_ptr<uint8_t[]> p(new (std::nothrow) uint8_t[bytes == 0 ? 1 : static_cast<size_t>(bytes)]);
  if (p) std::memset(p.get(), 0, bytes == 0 ? 1 : static_cast<size_t>(bytes));
  return p;
}

// The working record of one update: its own copies of both maps.
struct WorkRecord {
  std::unique_ptr<uint8_t[]> valid;
  std::unique_ptr<uint8_t[]> spare;
  efs_bme_t bme{};

  bool allocate() {
    valid = allocate_work(g_efs_valid_block_num);
    spare = allocate_work(g_efs_non_valid_block_num);
    bme.valid_map = valid.get();
    bme.spare_map = spare.get();
    return valid && spare;
  }
  // Takes a copy of the volume's current entry.
  void copy_current() {
    std::memcpy(bme.valid_map, efs_ctx.valid_map, g_efs_valid_block_num);
    std::memcpy(bme.spare_map, efs_ctx.spare_map, g_efs_non_valid_block_num);
    bme.a = efs_ctx.bme_a;
    bme.b = efs_ctx.bme_b;
    bme.crc = efs_ctx.bme_crc;
  }
};

uint64_t total_blocks() {
  return static_cast<uint64_t>(g_efs_valid_block_num) + g_efs_non_valid_block_num;
}

uint64_t entry_size() { return total_blocks() + 12; }

uint64_t bm_address(uint64_t index) { return index * EFS_PAGE_SIZE; }

uint64_t block_address(uint64_t physical) {
  return (static_cast<uint64_t>(g_efs_bm_num) + physical) * EFS_PAGE_SIZE;
}

// Physical access with 64-bit addresses: anything past 32 bits is out of
// every image.
int phys_read(uint64_t offset, uint64_t length, uint8_t* out) {
  if (!range_fits(offset, length, UINT32_MAX)) return ST_INVAL;
  return EFS_physical_read(static_cast<uint32_t>(offset), static_cast<uint32_t>(length), out);
}
int phys_write(uint64_t offset, uint64_t length, const uint8_t* data) {
  if (!range_fits(offset, length, UINT32_MAX)) return ST_INVAL;
  return EFS_physical_write(static_cast<uint32_t>(offset), static_cast<uint32_t>(length), data);
}
int phys_erase(uint64_t offset, uint64_t length) {
  if (!range_fits(offset, length, UINT32_MAX)) return ST_INVAL;
  return EFS_physical_erase(static_cast<uint32_t>(offset), static_cast<uint32_t>(length));
}
int verified_write(uint64_t address, uint64_t length, const uint8_t* data, bool check_erased) {
  if (!range_fits(address, length, UINT32_MAX)) return ST_INVAL;
  return EFS_write_with_read_check(static_cast<uint32_t>(address), static_cast<uint32_t>(length),
                                   data, check_erased);
}

bool all_bytes(const uint8_t* p, uint64_t n, uint8_t value) {
  for (uint64_t i = 0; i < n; ++i) {
    if (p[i] != value) return false;
  }
  return true;
}

// True while a mount is in force under the geometry it was made with. A
// geometry loaded or changed since then ends the mount: its arrays were
// sized for the old one.
bool is_mounted() {
  if (efs_ctx.mounted != 0 &&
      (s_mount_generation != geometry_generation() || s_mount_bm != g_efs_bm_num ||
       s_mount_valid != g_efs_valid_block_num || s_mount_spare != g_efs_non_valid_block_num)) {
    efs_ctx.mounted = 0;
  }
  return efs_ctx.mounted != 0 && efs_ctx.valid_map != nullptr && efs_ctx.spare_map != nullptr &&
         efs_ctx.ec != nullptr && efs_ctx.spare_state != nullptr;
}

// The 16-byte block-map header for sequence `seq`.
void build_bm_header(uint8_t* h, uint32_t seq) {
  le::put16(h, 1);
  le::put16(h + 2, g_efs_sku_id);
  le::put32(h + 4, seq);
  h[8] = static_cast<uint8_t>(g_efs_bm_num);
  h[9] = static_cast<uint8_t>(g_efs_valid_block_num);
  h[10] = static_cast<uint8_t>(g_efs_non_valid_block_num);
  h[11] = g_efs_layout_id;
  le::put32(h + 12, EFS_crc32(0, h, 12));
}

// Lays out an entry (maps, a, b, crc as given) in its E stored bytes.
void layout_entry(uint8_t* out, const efs_bme_t& e) {
  const uint32_t v = g_efs_valid_block_num;
  const uint32_t s = g_efs_non_valid_block_num;
  std::memcpy(out, e.valid_map, v);
  std::memcpy(out + v, e.spare_map, s);
  le::put32(out + v + s, e.a);
  le::put32(out + v + s + 4, e.b);
  le::put32(out + v + s + 8, e.crc);
}

// True when the stored entry at `p` carries a matching CRC.
bool entry_crc_ok(const uint8_t* p) {
  const uint64_t body = total_blocks() + 8;
  return EFS_crc32(0, p, static_cast<uint32_t>(body)) == le::get32(p + body);
}

// Every physical block named exactly once across both maps.
bool entry_consistent(const uint8_t* p) {
  const uint64_t total = total_blocks();
  bool seen[256] = {};
  for (uint64_t i = 0; i < total; ++i) {
    if (p[i] >= total || seen[p[i]]) return false;
    seen[p[i]] = true;
  }
  return true;
}

// True when a working record's maps name every physical block exactly once,
// as the maps of a mounted volume always do. An entry that breaks this would
// fail the next mount and index the per-block arrays out of range.
bool work_maps_consistent(const efs_bme_t& e) {
  const uint64_t valid = g_efs_valid_block_num;
  const uint64_t total = total_blocks();
  bool seen[256] = {};
  for (uint64_t i = 0; i < total; ++i) {
    const uint8_t p = i < valid ? e.valid_map[i] : e.spare_map[i - valid];
    if (p >= total || seen[p]) return false;
    seen[p] = true;
  }
  return true;
}

// Reads `length` bytes at `address` into rb_buf until they read erased.
int wait_erased(uint64_t address, uint64_t length) {
  for (uint32_t attempt = 0; attempt < efs_ctx.retries; ++attempt) {
    int rc = phys_read(address, length, efs_ctx.rb_buf);
    if (rc != ST_OK) return rc;
    if (all_bytes(efs_ctx.rb_buf, length, 0xFF)) return ST_OK;
  }
  // A target that never reads erased is a worn or foreign image.
  return ST_CHECK;
}

// Reads `length` bytes at `address` into rb_buf until they equal `expected`.
int read_back(uint64_t address, uint64_t length, const uint8_t* expected) {
  for (uint32_t attempt = 0; attempt < efs_ctx.retries; ++attempt) {
    int rc = phys_read(address, length, efs_ctx.rb_buf);
    if (rc != ST_OK) return rc;
    if (std::memcmp(efs_ctx.rb_buf, expected, static_cast<size_t>(length)) == 0) return ST_OK;
  }
  return ST_CHECK;
}

// The spare slot in state `wanted` whose block has the lowest erase count
// (first slot on ties), or -1.
int64_t choose_slot(uint8_t wanted, const uint8_t* spare_map) {
  int64_t best = -1;
  uint32_t lowest = 0xFFFFFFFFu;
  const uint64_t total = total_blocks();
  for (uint32_t s = 0; s < g_efs_non_valid_block_num; ++s) {
    if (efs_ctx.spare_state[s] != wanted || spare_map[s] >= total) continue;
    const uint32_t count = efs_ctx.ec[spare_map[s]];
    // The first slot in the wanted state is taken even at the highest count,
    // so a slot is found whenever one exists.
    if (best < 0 || count < lowest) {
      best = s;
      lowest = count;
    }
  }
  return best;
}

// Runs the data-block scan unless its results are already known.
int ensure_scanned() {
  if (efs_ctx.data_status_known != 0) return ST_OK;
  return EFS_scan_for_Data_Blocks_status_and_EC();
}

// The defined file entry for `file`, or null (undefined, out of range, or
// with a record offset that lies outside the data area).
const efs_file_entry_t* file_entry(uint32_t file) {
  if (file >= kelvra::efs::usable_file_count() || EFS_files == nullptr) return nullptr;
  const efs_file_entry_t* e = &EFS_files[file];
  if (!efs_file_is_defined(*e)) return nullptr;
  uint16_t offset = e->offset;
  if (offset > EFS_MAX_RECORD_OFFSET) return nullptr;
  return e;
}

// Stores a record head (length, CRC-16 over the length and `n` data bytes
// that already sit behind the head) at `head`.
void seal_record(uint8_t* head, uint16_t length, uint32_t n, uint32_t logical) {
  le::put16(head, length);
  uint16_t crc = EFS_crc16(static_cast<uint16_t>(logical), head, 2);
  crc = EFS_crc16(crc, head + EFS_RECORD_HEAD_SIZE, n);
  le::put16(head + 2, crc);
}

// Reads one entry slot of E bytes into rb_buf until its CRC matches.
// 0 with the entry in rb_buf; 11 when a re-read shows the slot erased; 41
// when no read matches; or a physical-layer code.
int reread_slot(uint64_t address, uint64_t e) {
  for (uint32_t attempt = 0; attempt < efs_ctx.retries; ++attempt) {
    int rc = phys_read(address, e, efs_ctx.rb_buf);
    if (rc != ST_OK) return rc;
    if (entry_crc_ok(efs_ctx.rb_buf)) return ST_OK;
    if (all_bytes(efs_ctx.rb_buf, e, 0xFF)) return ST_AGAIN;
  }
  return ST_CHECK;
}

}  // namespace

void stop() {
  efs_ctx.mounted = 0;
  use_host_image(nullptr, 0);
}

void release_arrays_for_tests() {
  stop();
  efs_ctx.spare_state = nullptr;
  efs_ctx.ec = nullptr;
  efs_ctx.valid_map = nullptr;
  efs_ctx.spare_map = nullptr;
  auto& arrays = retained_arrays();
  for (void* a : arrays) std::free(a);
  arrays.clear();
}

}  // namespace efs
}  // namespace kelvra

using namespace kelvra;
using namespace kelvra::efs;

// ---------------------------------------------------------------------------
// Verified I/O

int EFS_read_and_verify_data_block_header_and_footer(uint32_t block, bool check_footer,
                                                     bool whole_block) {
  // The footer lies at the end of the block: it can only be checked on a
  // whole-block read.
  if (check_footer && !whole_block) return ST_INVAL;
  if (efs_ctx.retries == 0) return ST_CHECK;
  const uint64_t address = block_address(block);
  const uint32_t length = whole_block ? EFS_PAGE_SIZE : EFS_HEADER_SIZE;
  uint8_t* buf = efs_ctx.page_buf;
  for (uint32_t attempt = 0; attempt < efs_ctx.retries; ++attempt) {
    int rc = phys_read(address, length, buf);
    if (rc != ST_OK) return rc;
    bool ok = EFS_crc32(0, buf, 12) == le::get32(buf + 12);
    if (ok && check_footer) {
      ok = EFS_crc32(0, buf + EFS_HEADER_SIZE, EFS_DATA_AREA_SIZE) ==
           le::get32(buf + EFS_FOOTER_OFFSET);
    }
    if (ok) return ST_OK;
  }
  return ST_CHECK;
}

int EFS_read_and_verify_file(uint8_t logical_block, uint16_t offset, bool use_stored_length,
                             uint16_t expected_length) {
  if (efs_ctx.valid_map == nullptr) return ST_NOT_MOUNTED;
  if (logical_block >= g_efs_valid_block_num) return ST_INVAL;
  // A record head must lie in the data area, and its data may not run past
  // the data area of its block.
  if (offset > EFS_MAX_RECORD_OFFSET) return ST_INVAL;
  const uint32_t room = EFS_RECORD_ROOM - offset;
  if (!use_stored_length && expected_length > room) return ST_INVAL;

  const uint8_t physical = efs_ctx.valid_map[logical_block];
  const uint64_t address = block_address(physical) + EFS_HEADER_SIZE + offset;
  uint8_t* buf = efs_ctx.page_buf;
  uint16_t stored = 0;
  bool read_any = false;
  for (uint32_t attempt = 0; attempt < efs_ctx.retries; ++attempt) {
    int rc = phys_read(address, EFS_RECORD_HEAD_SIZE, buf);
    if (rc != ST_OK) return rc;
    read_any = true;
    stored = le::get16(buf);
    uint16_t crc = EFS_crc16(logical_block, buf, 2);
    uint32_t n = expected_length;
    if (use_stored_length) n = stored == EFS_EMPTY_LENGTH ? 0 : (stored < room ? stored : room);
    if (n > 0) {
      rc = phys_read(address + EFS_RECORD_HEAD_SIZE, n, buf + EFS_RECORD_HEAD_SIZE);
      if (rc != ST_OK) return rc;
      crc = EFS_crc16(crc, buf + EFS_RECORD_HEAD_SIZE, n);
    }
    if (crc == le::get16(buf + 2)) return ST_OK;
  }
  // Only a first record can be "never written": a continuation record that
  // fails its check is damage, whatever its block's footer says.
  if (!read_any || stored != EFS_EMPTY_LENGTH || !use_stored_length) return ST_CHECK;
  int rc = EFS_read_and_verify_data_block_header_and_footer(physical, true, true);
  return rc == ST_OK ? ST_NOENT : ST_CHECK;
}

int EFS_write_with_read_check(uint32_t address, uint32_t length, const uint8_t* data,
                              bool check_erased) {
  if (data == nullptr || length > EFS_PAGE_SIZE) return ST_INVAL;
  if (efs_image == nullptr) return ST_NOT_MOUNTED;
  if (check_erased) {
    int rc = wait_erased(address, length);
    if (rc != ST_OK) return rc;
  }
  int rc = phys_write(address, length, data);
  if (rc != ST_OK) return rc;
  return read_back(address, length, data);
}

// ---------------------------------------------------------------------------
// Data block erase and data-area writes

int EFS_erase_data_block(uint32_t block, uint32_t erase_count) {
  const uint64_t address = block_address(block);
  static const uint8_t zeros[4] = {0, 0, 0, 0};
  int rc = ST_OK;
  if (efs_image == nullptr) {
    rc = ST_NOT_MOUNTED;
  } else if (block >= total_blocks()) {
    rc = ST_INVAL;
  } else {
    // Invalidate the header first: an erase cut short then leaves a block
    // whose header no longer verifies.
    rc = phys_write(address + 12, 4, zeros);
    if (rc == ST_OK) rc = read_back(address + 12, 4, zeros);
    if (rc == ST_OK) rc = phys_erase(address, EFS_PAGE_SIZE);
    if (rc == ST_OK) {
      uint8_t header[EFS_HEADER_SIZE] = {};
      le::put32(header, erase_count + 1);
      le::put32(header + 12, EFS_crc32(0, header, 12));
      rc = verified_write(address, EFS_HEADER_SIZE, header, true);
    }
  }
  if (rc != ST_OK) efs_ctx.data_status_known = 0;
  return rc;
}

int EFS_write_data_footer(uint32_t block, const uint8_t* data) {
  if (data == nullptr) return ST_INVAL;
  if (block >= total_blocks()) return ST_INVAL;
  uint8_t footer[4];
  le::put32(footer, EFS_crc32(0, data, EFS_DATA_AREA_SIZE));
  return verified_write(block_address(block) + EFS_FOOTER_OFFSET, 4, footer, true);
}

int EFS_write_data_block(uint32_t block, const uint8_t* data) {
  if (data == nullptr) return ST_INVAL;
  if (block >= total_blocks()) return ST_INVAL;
  int rc = verified_write(block_address(block) + EFS_HEADER_SIZE, EFS_DATA_AREA_SIZE, data, true);
  if (rc != ST_OK) return rc;
  return EFS_write_data_footer(block, data);
}

// ---------------------------------------------------------------------------
// Format and mount

uint32_t EFS_get_efs_size(void) {
  return (g_efs_valid_block_num + g_efs_bm_num + g_efs_non_valid_block_num) * EFS_PAGE_SIZE;
}

int EFS_do_format(void) {
  if (efs_image == nullptr) return ST_NOT_MOUNTED;
  // The image is about to be replaced: a mount of the old contents would
  // append entries to a block map that no longer carries them.
  efs_ctx.mounted = 0;
  efs_ctx.data_status_known = 0;

  const uint32_t valid = g_efs_valid_block_num;
  const uint32_t spare = g_efs_non_valid_block_num;
  WorkRecord work;
  std::unique_ptr<uint8_t[]> stored = allocate_work(entry_size());
  if (!work.allocate() || !stored) return ST_NOMEM;

  for (uint64_t i = 0; i < g_efs_bm_num; ++i) {
    int rc = phys_erase(bm_address(i), EFS_PAGE_SIZE);
    if (rc != ST_OK) return rc;
  }
  for (uint64_t p = 0; p < total_blocks(); ++p) {
    int rc = EFS_erase_data_block(static_cast<uint32_t>(p), 0);
    if (rc != ST_OK) return rc;
  }
  uint8_t* area = efs_ctx.page_buf;
  for (uint32_t b = 0; b < valid; ++b) {
    std::memset(area, 0xFF, EFS_DATA_AREA_SIZE);
    const uint32_t files = kelvra::efs::usable_file_count();
    for (uint32_t f = 0; EFS_files != nullptr && f < files; ++f) {
      const efs_file_entry_t& e = EFS_files[f];
      if (!efs_file_is_defined(e) || e.block != b) continue;
      const uint16_t offset = e.offset;
      if (offset > EFS_MAX_RECORD_OFFSET) return ST_IMPOSSIBLE;
      seal_record(area + offset, EFS_EMPTY_LENGTH, 0, b);
    }
    int rc = verified_write(block_address(b) + EFS_HEADER_SIZE, EFS_DATA_AREA_SIZE, area, true);
    if (rc != ST_OK) return rc;
    rc = EFS_write_data_footer(b, area);
    if (rc != ST_OK) return rc;
  }
  for (uint32_t i = 0; i < valid; ++i) work.bme.valid_map[i] = static_cast<uint8_t>(i);
  for (uint32_t j = 0; j < spare; ++j) work.bme.spare_map[j] = static_cast<uint8_t>(valid + j);
  work.bme.a = 0;
  work.bme.b = 0;
  work.bme.crc = 0;
  layout_entry(stored.get(), work.bme);
  const uint64_t body = total_blocks() + 8;
  le::put32(stored.get() + body, EFS_crc32(0, stored.get(), static_cast<uint32_t>(body)));
  int rc = verified_write(EFS_BM_FIRST_ENTRY, entry_size(), stored.get(), true);
  if (rc != ST_OK) return rc;
  uint8_t header[EFS_HEADER_SIZE];
  build_bm_header(header, 1);
  return verified_write(0, EFS_HEADER_SIZE, header, true);
}

namespace {

// Chooses the current block map: the accepted header with the greatest
// sequence. 0 with `chosen`/`seq` set; 41 when none is usable or a valid
// header carries another geometry.
int choose_block_map(uint32_t* chosen, uint32_t* seq) {
  bool found = false;
  uint32_t best_seq = 0;
  uint8_t* h = efs_ctx.page_buf;
  for (uint32_t i = 0; i < g_efs_bm_num; ++i) {
    for (uint32_t attempt = 0; attempt < efs_ctx.retries; ++attempt) {
      if (phys_read(bm_address(i), EFS_HEADER_SIZE, h) != ST_OK) break;
      if (all_bytes(h, EFS_HEADER_SIZE, 0xFF) || all_bytes(h, EFS_HEADER_SIZE, 0x00)) break;
      if (EFS_crc32(0, h, 12) != le::get32(h + 12)) continue;
      if (h[8] != g_efs_bm_num || h[9] != g_efs_valid_block_num ||
          h[10] != g_efs_non_valid_block_num || h[11] != g_efs_layout_id) {
        return ST_CHECK;
      }
      const uint32_t s = le::get32(h + 4);
      if (s > best_seq) {
        best_seq = s;
        *chosen = i;
        found = true;
      }
      break;
    }
  }
  if (!found) return ST_CHECK;
  *seq = best_seq;
  return ST_OK;
}

// Finds the newest verified entry of the current block map. 0 with the
// entry's bytes in `out` and its offset in `slot`.
int find_newest_entry(uint8_t* out, uint32_t* slot) {
  const uint64_t e = entry_size();
  const uint64_t base = bm_address(efs_ctx.cur_bm);
  uint8_t* page = efs_ctx.page_buf;
  for (uint32_t pass = 0; pass < efs_ctx.retries; ++pass) {
    int rc = phys_read(base, EFS_PAGE_SIZE, page);
    if (rc != ST_OK) return rc;
    uint64_t newest = EFS_BM_FIRST_ENTRY;
    if (EFS_BM_FIRST_ENTRY + 2 * e <= EFS_BM_ENTRY_LIMIT) {
      for (uint64_t off = EFS_BM_FIRST_ENTRY + e; off + e <= EFS_BM_ENTRY_LIMIT; off += e) {
        if (all_bytes(page + off, e, 0xFF)) break;
        newest = off;
      }
    }
    if (entry_crc_ok(page + newest)) {
      std::memcpy(out, page + newest, static_cast<size_t>(e));
      *slot = static_cast<uint32_t>(newest);
      return ST_OK;
    }
    rc = reread_slot(base + newest, e);
    if (rc == ST_AGAIN) continue;  // the slot read erased: start a new pass
    if (rc == ST_OK) {
      std::memcpy(out, efs_ctx.rb_buf, static_cast<size_t>(e));
      *slot = static_cast<uint32_t>(newest);
      return ST_OK;
    }
    if (rc != ST_CHECK) return rc;
    // The newest entry never verifies (an append cut short): fall back to
    // the one before it, and move to a fresh block map at the next commit.
    if (newest == EFS_BM_FIRST_ENTRY) return ST_CHECK;
    const uint64_t prev = newest - e;
    if (entry_crc_ok(page + prev)) {
      std::memcpy(out, page + prev, static_cast<size_t>(e));
    } else {
      rc = reread_slot(base + prev, e);
      if (rc != ST_OK) return rc == ST_AGAIN ? ST_CHECK : rc;
      std::memcpy(out, efs_ctx.rb_buf, static_cast<size_t>(e));
    }
    *slot = static_cast<uint32_t>(prev);
    efs_ctx.bm_switch_pending = 1;
    return ST_OK;
  }
  return ST_CHECK;
}

}  // namespace

int EFS_init(uint8_t format) {
  std::memset(&efs_ctx, 0, sizeof(efs_ctx));
  if (g_efs_autogen_data_loaded == 0 || EFS_files == nullptr) return ST_NOT_MOUNTED;

  const uint32_t valid = g_efs_valid_block_num;
  const uint32_t spare = g_efs_non_valid_block_num;
  // Each count is stored in one header byte and every physical block in one
  // map byte; a larger geometry can never mount.
  if (valid > 255 || spare > 255 || g_efs_bm_num > 255) return ST_CHECK;

  auto* spare_state = static_cast<uint8_t*>(allocate_retained(spare));
  auto* ec = static_cast<uint32_t*>(allocate_retained(total_blocks() * sizeof(uint32_t)));
  auto* valid_map = static_cast<uint8_t*>(allocate_retained(valid));
  auto* spare_map = static_cast<uint8_t*>(allocate_retained(spare));
  if (spare_state == nullptr || ec == nullptr || valid_map == nullptr || spare_map == nullptr) {
    return ST_NOMEM;
  }
  efs_ctx.spare_state = spare_state;
  efs_ctx.ec = ec;
  efs_ctx.valid_map = valid_map;
  efs_ctx.spare_map = spare_map;
  efs_ctx.retries = EFS_DEFAULT_RETRIES;

  int rc = EFS_physical_init(format);
  if (rc != ST_OK) return rc;
  if (format != 0) {
    rc = EFS_do_format();
    if (rc != ST_OK) return rc;
  }
  if (g_efs_bm_num == 0) return ST_CHECK;

  uint32_t chosen = 0;
  uint32_t seq = 0;
  rc = choose_block_map(&chosen, &seq);
  if (rc != ST_OK) return rc;
  efs_ctx.cur_bm = chosen;
  efs_ctx.bm_seq = seq;

  uint8_t entry[EFS_PAGE_SIZE];
  uint32_t slot = 0;
  rc = find_newest_entry(entry, &slot);
  if (rc != ST_OK) {
    efs_ctx.bm_switch_pending = 0;
    return rc;
  }
  if (!entry_consistent(entry)) {
    efs_ctx.bm_switch_pending = 0;
    return ST_CHECK;
  }
  std::memcpy(efs_ctx.valid_map, entry, valid);
  std::memcpy(efs_ctx.spare_map, entry + valid, spare);
  efs_ctx.bme_a = le::get32(entry + valid + spare);
  efs_ctx.bme_b = le::get32(entry + valid + spare + 4);
  efs_ctx.bme_crc = le::get32(entry + valid + spare + 8);
  efs_ctx.bme_off = slot;
  efs_ctx.mounted = 1;
  s_mount_generation = geometry_generation();
  s_mount_bm = g_efs_bm_num;
  s_mount_valid = valid;
  s_mount_spare = spare;
  return ST_OK;
}

int EFS_init_tools(uint8_t* image) {
  if (image == nullptr) return ST_INVAL;
  use_host_image(image, EFS_get_efs_size());
  return EFS_init(0);
}

// ---------------------------------------------------------------------------
// Block maps

int EFS_switch_BM(efs_bme_t* entry) {
  if (!is_mounted()) return ST_NOT_MOUNTED;
  if (entry == nullptr || entry->valid_map == nullptr || entry->spare_map == nullptr) {
    return ST_INVAL;
  }
  if (!work_maps_consistent(*entry)) return ST_INVAL;
  // With one block map the target would be the live block map itself.
  if (g_efs_bm_num < 2) return ST_NOSPC;
  const uint64_t e = entry_size();
  std::unique_ptr<uint8_t[]> stored = allocate_work(e);
  if (!stored) return ST_NOMEM;
  if (efs_ctx.bm_seq == 0xFFFFFFFFu) return ST_IO;
  // The entry becomes the only one of the new block map: one whose CRC does
  // not match its bytes would leave no entry for the next mount to find.
  layout_entry(stored.get(), *entry);
  if (!entry_crc_ok(stored.get())) return ST_INVAL;

  const uint32_t next = (efs_ctx.cur_bm + 1) % g_efs_bm_num;
  const uint64_t target = bm_address(next);
  uint8_t state = efs_ctx.next_bm_state;
  if (state == EFS_BM_STATE_UNKNOWN) {
    state = EFS_BM_STATE_NEEDS_ERASE;
    for (uint32_t attempt = 0; attempt < efs_ctx.retries; ++attempt) {
      int rc = phys_read(target, EFS_PAGE_SIZE, efs_ctx.page_buf);
      if (rc != ST_OK) return rc;
      if (all_bytes(efs_ctx.page_buf, EFS_PAGE_SIZE, 0xFF)) {
        state = EFS_BM_STATE_ERASED;
        break;
      }
    }
  }
  if (state == EFS_BM_STATE_NEEDS_ERASE) {
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    int rc = phys_write(target + 12, 4, zeros);
    if (rc != ST_OK) return rc;
    rc = phys_erase(target, EFS_PAGE_SIZE);
    if (rc != ST_OK) return rc;
  }
  efs_ctx.next_bm_state = EFS_BM_STATE_UNKNOWN;

  // Entry first, header second: a header never describes a block map whose
  // first entry is not complete.
  int rc = verified_write(target + EFS_BM_FIRST_ENTRY, e, stored.get(), true);
  if (rc != ST_OK) return rc;
  uint8_t header[EFS_HEADER_SIZE];
  build_bm_header(header, efs_ctx.bm_seq + 1);
  rc = verified_write(target, EFS_HEADER_SIZE, header, true);
  if (rc != ST_OK) return rc;

  const uint32_t previous = efs_ctx.cur_bm;
  efs_ctx.bme_off = EFS_BM_FIRST_ENTRY;
  efs_ctx.bm_seq = efs_ctx.bm_seq + 1;
  efs_ctx.cur_bm = next;
  std::memcpy(efs_ctx.valid_map, entry->valid_map, g_efs_valid_block_num);
  std::memcpy(efs_ctx.spare_map, entry->spare_map, g_efs_non_valid_block_num);
  efs_ctx.bme_a = entry->a;
  efs_ctx.bme_b = entry->b;
  efs_ctx.bme_crc = entry->crc;

  // The superseded header is zeroed only once the new one verifies; a mount
  // in between sees both and takes the greater sequence.
  static const uint8_t zero_header[EFS_HEADER_SIZE] = {};
  (void)verified_write(bm_address(previous), EFS_HEADER_SIZE, zero_header, false);
  return ST_OK;
}

int EFS_erase_next_BM(uint32_t index) {
  if (index >= g_efs_bm_num) return ST_INVAL;
  if (efs_image == nullptr) return ST_NOT_MOUNTED;
  // Erasing the live block map would lose every later commit.
  if (is_mounted() && index == efs_ctx.cur_bm) return ST_INVAL;
  efs_ctx.next_bm_state = EFS_BM_STATE_UNKNOWN;
  static const uint8_t zeros[4] = {0, 0, 0, 0};
  int rc = phys_write(bm_address(index) + 12, 4, zeros);
  if (rc != ST_OK) return rc;
  return phys_erase(bm_address(index), EFS_PAGE_SIZE);
}

int EFS_check_next_BM_state(uint32_t index) {
  if (index >= g_efs_bm_num) return ST_INVAL;
  if (efs_image == nullptr) return ST_NOT_MOUNTED;
  for (uint32_t attempt = 0; attempt < efs_ctx.retries; ++attempt) {
    int rc = phys_read(bm_address(index), EFS_PAGE_SIZE, efs_ctx.page_buf);
    if (rc != ST_OK) return rc;
    if (all_bytes(efs_ctx.page_buf, EFS_PAGE_SIZE, 0xFF)) {
      efs_ctx.next_bm_state = EFS_BM_STATE_ERASED;
      return ST_OK;
    }
  }
  efs_ctx.next_bm_state = EFS_BM_STATE_NEEDS_ERASE;
  return ST_OK;
}

int EFS_erase(void) {
  if (!is_mounted() || efs_image == nullptr) {
    efs_ctx.mounted = 0;
    int rc = EFS_physical_init(0);
    if (rc != ST_OK) return rc;
    for (uint32_t i = 0; i < g_efs_bm_num; ++i) {
      rc = phys_erase(bm_address(i), EFS_PAGE_SIZE);
      if (rc != ST_OK) return rc;
    }
    return rc;
  }
  efs_ctx.mounted = 0;
  const uint32_t current = efs_ctx.cur_bm;
  if (current >= g_efs_bm_num) return ST_INVAL;
  static const uint8_t zeros[4] = {0, 0, 0, 0};
  int rc = ST_OK;
  for (uint32_t n = 0; n < g_efs_bm_num; ++n) {
    // Every other block map in increasing order, the current one last.
    const uint32_t i = n + 1 < g_efs_bm_num ? (n < current ? n : n + 1) : current;
    efs_ctx.next_bm_state = EFS_BM_STATE_UNKNOWN;
    rc = phys_write(bm_address(i) + 12, 4, zeros);
    if (rc != ST_OK) return rc;
    rc = phys_erase(bm_address(i), EFS_PAGE_SIZE);
    if (rc != ST_OK) return rc;
  }
  return rc;
}

int EFS_write_RTFD_marker(void) {
  int rc = EFS_physical_init(0);
  if (rc != ST_OK) return rc;
  uint8_t marker[4];
  le::put32(marker, EFS_RTFD_MARKER);
  return EFS_physical_write(0, 4, marker);
}

// ---------------------------------------------------------------------------
// Data blocks, spares and the entry commit

int EFS_scan_for_Data_Blocks_status_and_EC(void) {
  if (!is_mounted()) return ST_NOT_MOUNTED;
  efs_ctx.data_status_known = 0;
  efs_ctx.free_spares = 0;
  const uint32_t valid = g_efs_valid_block_num;
  const uint64_t total = total_blocks();
  uint32_t bad = 0;
  uint32_t bad_slot = 0;
  uint32_t bad_block = 0;
  for (uint64_t i = 0; i < total; ++i) {
    const bool is_spare = i >= valid;
    const uint32_t s = static_cast<uint32_t>(i - (is_spare ? valid : 0));
    const uint8_t p = is_spare ? efs_ctx.spare_map[s] : efs_ctx.valid_map[i];
    int rc = EFS_read_and_verify_data_block_header_and_footer(p, false, is_spare);
    if (rc != ST_OK && rc != ST_CHECK) return rc;
    if (rc == ST_CHECK) {
      if (!is_spare) return ST_CHECK;
      efs_ctx.spare_state[s] = EFS_SPARE_DIRTY;
      efs_ctx.ec[p] = 0;
      ++bad;
      bad_slot = s;
      bad_block = p;
      continue;
    }
    efs_ctx.ec[p] = le::get32(efs_ctx.page_buf);
    if (is_spare) {
      const bool erased = all_bytes(efs_ctx.page_buf + EFS_HEADER_SIZE,
                                    EFS_PAGE_SIZE - EFS_HEADER_SIZE, 0xFF);
      efs_ctx.spare_state[s] = erased ? EFS_SPARE_ERASED : EFS_SPARE_DIRTY;
      if (erased) ++efs_ctx.free_spares;
    }
  }
  if (bad > 1) return ST_CHECK;
  if (bad == 1) {
    // No other block to take an average erase count from.
    if (total < 2) return ST_CHECK;
    uint32_t sum = 0;
    for (uint64_t j = 0; j < total; ++j) {
      if (j != bad_block) sum += efs_ctx.ec[j];
    }
    const uint32_t average = static_cast<uint32_t>(sum / (total - 1));
    efs_ctx.ec[bad_block] = average;
    int rc = EFS_erase_data_block(bad_block, average - 1);
    if (rc != ST_OK) return rc;
    efs_ctx.spare_state[bad_slot] = EFS_SPARE_ERASED;
    ++efs_ctx.free_spares;
  }
  efs_ctx.data_status_known = 1;
  return ST_OK;
}

int EFS_select_free_page_for_write(uint32_t* slot) {
  if (slot == nullptr) return ST_INVAL;
  if (!is_mounted()) return ST_NOT_MOUNTED;
  int rc = ensure_scanned();
  if (rc != ST_OK) return rc;
  const int64_t s = choose_slot(EFS_SPARE_ERASED, efs_ctx.spare_map);
  if (s < 0) return ST_NOSPC;
  *slot = static_cast<uint32_t>(s);
  return ST_OK;
}

int EFS_erase_dirty_block(void) {
  if (!is_mounted()) return ST_NOT_MOUNTED;
  int rc = ensure_scanned();
  if (rc != ST_OK) return rc;
  const int64_t s = choose_slot(EFS_SPARE_DIRTY, efs_ctx.spare_map);
  if (s < 0) return ST_NOSPC;
  const uint8_t block = efs_ctx.spare_map[s];
  rc = EFS_erase_data_block(block, efs_ctx.ec[block]);
  if (rc != ST_OK) return rc;
  efs_ctx.spare_state[s] = EFS_SPARE_ERASED;
  efs_ctx.ec[block] += 1;
  efs_ctx.free_spares += 1;
  return ST_OK;
}

int EFS_bme_swap_and_write_new_block(efs_bme_t* work, uint32_t logical, const uint8_t* data) {
  if (work == nullptr || data == nullptr || work->valid_map == nullptr ||
      work->spare_map == nullptr || logical >= g_efs_valid_block_num) {
    return ST_INVAL;
  }
  if (!is_mounted()) return ST_NOT_MOUNTED;
  int rc = ensure_scanned();
  if (rc != ST_OK) return rc;
  const int64_t s = choose_slot(EFS_SPARE_ERASED, work->spare_map);
  if (s < 0) return ST_NOSPC;
  const uint8_t p = work->spare_map[s];
  efs_ctx.spare_state[s] = EFS_SPARE_DIRTY;
  efs_ctx.free_spares -= 1;
  rc = verified_write(block_address(p) + EFS_HEADER_SIZE, EFS_DATA_AREA_SIZE, data, true);
  if (rc != ST_OK) return rc;
  rc = EFS_write_data_footer(p, data);
  if (rc != ST_OK) return rc;
  work->spare_map[s] = work->valid_map[logical];
  work->valid_map[logical] = p;
  return ST_OK;
}

int EFS_commit_BME(efs_bme_t* work, uint32_t a, uint32_t b) {
  if (work == nullptr || work->valid_map == nullptr || work->spare_map == nullptr) return ST_INVAL;
  if (!is_mounted()) return ST_NOT_MOUNTED;
  if (!work_maps_consistent(*work)) return ST_INVAL;
  const uint64_t e = entry_size();
  std::unique_ptr<uint8_t[]> stored = allocate_work(e);
  if (!stored) return ST_NOMEM;
  work->a = a;
  work->b = b;
  work->crc = 0;
  layout_entry(stored.get(), *work);
  const uint64_t body = e - 4;
  work->crc = EFS_crc32(0, stored.get(), static_cast<uint32_t>(body));
  le::put32(stored.get() + body, work->crc);

  int rc;
  if (efs_ctx.bme_off + 2 * e > EFS_BM_ENTRY_LIMIT || efs_ctx.bm_switch_pending != 0) {
    rc = EFS_switch_BM(work);
    if (rc == ST_OK) efs_ctx.bm_switch_pending = 0;
  } else {
    rc = verified_write(bm_address(efs_ctx.cur_bm) + efs_ctx.bme_off + e, e, stored.get(), true);
    if (rc == ST_OK) {
      efs_ctx.bme_off = static_cast<uint32_t>(efs_ctx.bme_off + e);
      std::memcpy(efs_ctx.valid_map, work->valid_map, g_efs_valid_block_num);
      std::memcpy(efs_ctx.spare_map, work->spare_map, g_efs_non_valid_block_num);
      efs_ctx.bme_a = work->a;
      efs_ctx.bme_b = work->b;
      efs_ctx.bme_crc = work->crc;
    } else {
      efs_ctx.bm_switch_pending = 1;
    }
  }
  return rc;
}

// ---------------------------------------------------------------------------
// File operations

int EFS_read(uint32_t file, uint32_t offset, uint32_t* len, uint8_t* buf) {
  int rc = ST_OK;
  uint32_t copied = 0;
  do {
    if (!is_mounted()) {
      rc = ST_NOT_MOUNTED;
      break;
    }
    if (file >= g_efs_files_num || len == nullptr || buf == nullptr ||
        static_cast<uint64_t>(offset) + *len > UINT32_MAX) {
      rc = ST_INVAL;
      break;
    }
    const efs_file_entry_t* e = file_entry(file);
    if (e == nullptr) {
      rc = ST_INVAL;
      break;
    }
    const uint32_t first = e->block;
    const uint32_t r = e->offset;
    const uint32_t max = e->max_size;
    rc = EFS_read_and_verify_file(e->block, e->offset, true, 0);
    if (rc != ST_OK) break;
    const uint32_t length = le::get16(efs_ctx.page_buf);
    if (length == EFS_EMPTY_LENGTH) {
      rc = ST_NOENT;
      break;
    }
    if (length == 0) break;
    if (length > max) {
      rc = ST_CHECK;
      break;
    }
    if (length < offset) {
      rc = ST_RANGE;
      break;
    }
    uint32_t want = *len;
    if (static_cast<uint64_t>(offset) + want > length) want = length - offset;

    const uint32_t c1 = EFS_RECORD_ROOM - r;
    uint64_t k = 0;
    uint32_t data_off = 0;
    if (offset < c1) {
      const uint32_t n = c1 - offset < want ? c1 - offset : want;
      std::memcpy(buf, efs_ctx.page_buf + EFS_RECORD_HEAD_SIZE + offset, n);
      copied = n;
    } else {
      k = (static_cast<uint64_t>(offset) + r) / EFS_RECORD_ROOM - 1;
      data_off = static_cast<uint32_t>((static_cast<uint64_t>(offset) + r) % EFS_RECORD_ROOM);
    }
    const uint64_t in_first = length < c1 ? length : c1;
    while (copied < want) {
      const uint64_t logical = first + 1 + k;
      if (logical >= g_efs_valid_block_num) {
        rc = ST_CHECK;
        break;
      }
      const uint64_t remaining = length - in_first - EFS_RECORD_ROOM * k;
      const uint16_t expected =
          static_cast<uint16_t>(remaining < EFS_RECORD_ROOM ? remaining : EFS_RECORD_ROOM);
      rc = EFS_read_and_verify_file(static_cast<uint8_t>(logical), 0, false, expected);
      if (rc != ST_OK) break;
      uint32_t n = EFS_RECORD_ROOM - data_off;
      if (n > want - copied) n = want - copied;
      std::memcpy(buf + copied, efs_ctx.page_buf + EFS_RECORD_HEAD_SIZE + data_off, n);
      copied += n;
      data_off = 0;
      ++k;
    }
  } while (false);
  if (len != nullptr) *len = rc == ST_OK ? copied : 0;
  return rc;
}

int EFS_get_file_size(uint32_t file, uint32_t* size) {
  if (!is_mounted()) return ST_NOT_MOUNTED;
  if (file >= g_efs_files_num || size == nullptr) return ST_INVAL;
  const efs_file_entry_t* e = file_entry(file);
  if (e == nullptr) return ST_INVAL;
  const uint32_t max = e->max_size;
  int rc = EFS_read_and_verify_file(e->block, e->offset, true, 0);
  if (rc != ST_OK) return rc;
  const uint32_t length = le::get16(efs_ctx.page_buf);
  if (length == EFS_EMPTY_LENGTH) return ST_NOENT;
  if (length > max) return ST_CHECK;
  *size = length;
  return ST_OK;
}

int EFS_write(uint32_t file, uint32_t offset, uint32_t len, const uint8_t* data) {
  if (!is_mounted()) return ST_NOT_MOUNTED;
  WorkRecord work;
  if (!work.allocate()) return ST_NOMEM;
  if (file >= g_efs_files_num) return ST_INVAL;
  const efs_file_entry_t* e = file_entry(file);
  if (offset != 0 || data == nullptr || e == nullptr) return ST_INVAL;
  const uint32_t first = e->block;
  const uint32_t r = e->offset;
  const uint32_t max = e->max_size;

  int rc = ensure_scanned();
  if (rc != ST_OK) return rc;
  rc = EFS_wear_leveling(0, 0);
  if (rc != ST_OK) return rc;
  // 0xFFFF is the stored length of an empty file: it cannot be a real one.
  if (len > max || len >= EFS_EMPTY_LENGTH) return ST_RANGE;

  const uint64_t needed = (static_cast<uint64_t>(len) + 4075 + r) / EFS_RECORD_ROOM;
  if (needed > g_efs_non_valid_block_num) return ST_FBIG;
  while (efs_ctx.free_spares < needed) {
    rc = EFS_erase_dirty_block();
    if (rc != ST_OK) return rc;
  }

  work.copy_current();
  uint8_t* area = efs_ctx.page_buf + EFS_HEADER_SIZE;
  uint32_t written = 0;
  for (uint64_t b = first;; ++b) {
    if (b >= g_efs_valid_block_num) return ST_INVAL;
    rc = EFS_read_and_verify_data_block_header_and_footer(work.bme.valid_map[b], true, true);
    if (rc != ST_OK) return rc;
    uint8_t* head = b == first ? area + r : area;
    const uint32_t room = b == first ? EFS_RECORD_ROOM - r : EFS_RECORD_ROOM;
    const uint32_t n = len - written < room ? len - written : room;
    std::memcpy(head + EFS_RECORD_HEAD_SIZE, data + written, n);
    seal_record(head, b == first ? static_cast<uint16_t>(len) : EFS_EMPTY_LENGTH, n,
                static_cast<uint32_t>(b));
    rc = EFS_bme_swap_and_write_new_block(&work.bme, static_cast<uint32_t>(b), area);
    if (rc != ST_OK) return rc;
    written += n;
    if (written >= len) break;
  }
  return EFS_commit_BME(&work.bme, 0, 0);
}

int EFS_delete(uint32_t file) {
  if (!is_mounted()) return ST_NOT_MOUNTED;
  WorkRecord work;
  if (!work.allocate()) return ST_NOMEM;
  const efs_file_entry_t* e = file_entry(file);
  if (e == nullptr) return ST_INVAL;
  const uint32_t first = e->block;
  const uint32_t r = e->offset;

  int rc = ensure_scanned();
  if (rc != ST_OK) return rc;
  rc = EFS_wear_leveling(0, 0);
  if (rc != ST_OK) return rc;
  if (g_efs_non_valid_block_num == 0) return ST_NOSPC;
  while (efs_ctx.free_spares == 0) {
    rc = EFS_erase_dirty_block();
    if (rc != ST_OK) return rc;
  }

  work.copy_current();
  if (first >= g_efs_valid_block_num) return ST_INVAL;
  rc = EFS_read_and_verify_data_block_header_and_footer(work.bme.valid_map[first], true, true);
  if (rc != ST_OK) return rc;
  uint8_t* area = efs_ctx.page_buf + EFS_HEADER_SIZE;
  if (le::get16(area + r) == EFS_EMPTY_LENGTH) return ST_NOENT;
  seal_record(area + r, EFS_EMPTY_LENGTH, 0, first);
  rc = EFS_bme_swap_and_write_new_block(&work.bme, first, area);
  if (rc != ST_OK) return rc;
  return EFS_commit_BME(&work.bme, 0, 0);
}

uint8_t EFS_is_initialized(void) { return is_mounted() ? 1 : 0; }

int EFS_wear_leveling(uint32_t a, uint32_t b) {
  if (!is_mounted()) return ST_NOT_MOUNTED;
  WorkRecord work;
  if (!work.allocate()) return ST_NOMEM;
  int rc = ensure_scanned();
  if (rc != ST_OK) return rc;

  const uint32_t valid = g_efs_valid_block_num;
  const uint32_t spare = g_efs_non_valid_block_num;
  if (valid == 0 || spare == 0) return ST_OK;
  uint32_t cold_logical = 0;
  uint32_t cold = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < valid; ++i) {
    const uint32_t count = efs_ctx.ec[efs_ctx.valid_map[i]];
    if (count <= cold) {
      cold = count;
      cold_logical = i;
    }
  }
  uint32_t hot_slot = 0;
  uint32_t hot = 0;
  for (uint32_t s = 0; s < spare; ++s) {
    const uint32_t count = efs_ctx.ec[efs_ctx.spare_map[s]];
    if (count >= hot) {
      hot = count;
      hot_slot = s;
    }
  }
  if (hot < cold || hot - cold < g_efs_wear_leveling_threshold) return ST_OK;

  const uint8_t cold_block = efs_ctx.valid_map[cold_logical];
  const uint8_t hot_block = efs_ctx.spare_map[hot_slot];
  rc = EFS_read_and_verify_data_block_header_and_footer(cold_block, true, true);
  if (rc != ST_OK) return rc;
  if (efs_ctx.spare_state[hot_slot] == EFS_SPARE_DIRTY) {
    rc = EFS_erase_data_block(hot_block, efs_ctx.ec[hot_block]);
    if (rc != ST_OK) return rc;
    efs_ctx.free_spares += 1;
    efs_ctx.ec[hot_block] += 1;
  }
  efs_ctx.spare_state[hot_slot] = EFS_SPARE_DIRTY;
  efs_ctx.free_spares -= 1;
  // The cold block's data area and footer move unchanged; the hot block
  // keeps its own header and erase count.
  rc = verified_write(block_address(hot_block) + EFS_HEADER_SIZE, EFS_PAGE_SIZE - EFS_HEADER_SIZE,
                      efs_ctx.page_buf + EFS_HEADER_SIZE, true);
  if (rc != ST_OK) return rc;
  work.copy_current();
  work.bme.spare_map[hot_slot] = cold_block;
  work.bme.valid_map[cold_logical] = hot_block;
  return EFS_commit_BME(&work.bme, a, b);
}

int EFS_idle_reclaim(void) {
  if (!is_mounted()) return ST_NOT_MOUNTED;
  const uint32_t next = (efs_ctx.cur_bm + 1) % g_efs_bm_num;
  if (efs_ctx.next_bm_state == EFS_BM_STATE_UNKNOWN) {
    int rc = EFS_check_next_BM_state(next);
    if (rc != ST_OK) return rc;
  }
  // With one block map the "next" one is the live one: never erase ahead.
  if (efs_ctx.next_bm_state == EFS_BM_STATE_NEEDS_ERASE && next != efs_ctx.cur_bm &&
      efs_ctx.bme_off + entry_size() > EFS_BM_ERASE_AHEAD_LEVEL) {
    int rc = EFS_erase_next_BM(next);
    if (rc == ST_OK) efs_ctx.next_bm_state = EFS_BM_STATE_ERASED;
    return rc;
  }
  int rc = ensure_scanned();
  if (rc != ST_OK) return rc;
  rc = EFS_wear_leveling(0, 0);
  if (rc == ST_OK && efs_ctx.free_spares < g_efs_non_valid_block_num) {
    return EFS_erase_dirty_block();
  }
  return rc;
}
