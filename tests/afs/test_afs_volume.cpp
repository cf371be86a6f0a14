// Volume creation and mount: created volumes remount with the front end's
// flags, headers and tables built byte by byte are taken or refused, table
// pages without live clusters are trimmed, and contexts whose mount failed
// are refused by every operation.
#include <gtest/gtest.h>

#include <cstring>

#include "afs/AfsFtl.h"
#include "afs_test_util.h"
#include "common/status.h"

using namespace afstest;

namespace {

// Formats an image for the given geometry with the translation layer and
// stores `page0` as logical page 0; no volume code is involved.
Bytes formatted_image(uint32_t units, uint32_t volume_size, uint32_t data_start, const uint8_t* page0) {
  Bytes img(static_cast<size_t>(units) * 8192, 0xFF);
  afs_context_t c{};
  c.flash_base = img.data();
  c.partition_size = static_cast<uint32_t>(img.size());
  c.volume_size = volume_size;
  c.data_start = data_start;
  (void)afs_physical_ftl_init(&c, c.partition_size, FTL_INIT_ALLOCATE | FTL_INIT_SET_FLASH);
  EXPECT_EQ(afs_physical_ftl_format(&c, 1), 0);
  EXPECT_EQ(afs_physical_ftl_init(&c, c.partition_size, 0), 0);
  if (page0 != nullptr) {
    EXPECT_EQ(afs_physical_ftl_write_page(&c, 0, 64, page0, 0), 0);
  }
  afs_free_context(&c);
  return img;
}

void header_bytes(uint8_t* page, uint32_t magic, uint32_t volume_size, uint32_t file_count) {
  std::memset(page, 0, 64);
  page[0] = static_cast<uint8_t>(magic);
  page[1] = static_cast<uint8_t>(magic >> 8);
  page[2] = static_cast<uint8_t>(magic >> 16);
  page[3] = static_cast<uint8_t>(magic >> 24);
  page[8] = static_cast<uint8_t>(volume_size);
  page[9] = static_cast<uint8_t>(volume_size >> 8);
  page[10] = static_cast<uint8_t>(volume_size >> 16);
  page[11] = static_cast<uint8_t>(volume_size >> 24);
  page[12] = static_cast<uint8_t>(file_count);
  page[13] = static_cast<uint8_t>(file_count >> 8);
}

// Stores one table entry through the cache of a mounted volume.
void poke_entry(Volume& v, uint32_t index, uint16_t value) {
  uint32_t address = 14 + 2 * index;
  uint8_t* line = nullptr;
  ASSERT_EQ(cache_ptr(&v.ctx, static_cast<uint16_t>(address / 64), &line), 0);
  line[address % 64] = static_cast<uint8_t>(value);
  line[address % 64 + 1] = static_cast<uint8_t>(value >> 8);
  cache_line_written(&v.ctx, line);
  ASSERT_EQ(cache_flush(&v.ctx), 0);
}

uint16_t entry_of(Volume& v, uint32_t index) {
  uint16_t value = 0;
  EXPECT_EQ(afs_get_next_cid(&v.ctx, static_cast<uint16_t>(index), &value), 0);
  return value;
}

uint32_t clusters_in_use(const afs_context_t& c) {
  uint32_t n = 0;
  for (uint32_t k = 0; k < c.cluster_count; ++k) n += (c.cluster_bitmap[k / 32] >> (k % 32)) & 1u;
  return n;
}

void expect_refused(afs_context_t* c) {
  uint32_t size = 0, len = 1;
  uint8_t b[4] = {};
  EXPECT_EQ(afs_getfilesize(c, 0, &size), kelvra::ST_INVAL);
  EXPECT_EQ(afs_readfile(c, 0, 0, &len, b), kelvra::ST_INVAL);
  EXPECT_EQ(afs_writefile(c, 0, 0, 4, b, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_deletefile(c, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_mark_zombie_file(c, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_idle_reclaim(c), kelvra::ST_INVAL);
  EXPECT_FALSE(afs_idle_reclaim_needed(c));
  EXPECT_EQ(afs_force_full_reclaim(c), kelvra::ST_INVAL);
  EXPECT_EQ(afs_force_dirty_erase(c), kelvra::ST_INVAL);
  EXPECT_EQ(afs_setcache(c, 64, 10), kelvra::ST_INVAL);
}

}  // namespace

TEST(AfsVolume, CreatedVolumesRemountWithTheFrontEndFlags) {
  for (uint32_t units : {4u, 16u, 255u}) {
    SCOPED_TRACE(units);
    Volume v(units);
    ASSERT_EQ(v.create(), 0);
    const uint32_t vs = v.ctx.volume_size, ds = v.ctx.data_start, cc = v.ctx.cluster_count;
    EXPECT_EQ(v.ctx.file_count, 1024);
    // The data area is exactly what the data units hold, and there are some.
    EXPECT_EQ(vs - ds, cc * 64u);
    EXPECT_GT(cc, 0u);
    EXPECT_EQ((vs - ds) % 7808, 0u);
    EXPECT_LE(vs, units * 8192u);

    Bytes d = pattern(3000, units);
    ASSERT_EQ(v.write(17, 0, d), 0);
    ASSERT_EQ(v.mount(), 0);
    EXPECT_EQ(v.ctx.volume_size, vs);
    EXPECT_EQ(v.ctx.data_start, ds);
    EXPECT_EQ(v.ctx.cluster_count, cc);
    int rc = 0;
    EXPECT_EQ(v.whole(17, &rc), d);

    RawVolume raw = read_raw(v.flash);
    ASSERT_TRUE(raw.ok) << raw.error;
    EXPECT_EQ(raw.volume_size, vs);
    EXPECT_EQ(raw.file_count, 1024u);
    EXPECT_EQ(raw.data_start, ds);
    EXPECT_EQ(raw.data_units, (vs - ds) / 7808);
    EXPECT_GE(raw.log_units, 1u);
    EXPECT_EQ(raw.data_units + raw.log_units + 1, units);
    EXPECT_EQ(raw.files, (Files{{17, d}}));
  }
}

TEST(AfsVolume, CreationStoresTheHeaderValuesAndOtherSlotCounts) {
  for (uint32_t files : {65u, 2048u}) {
    Volume v(11);
    v.ctx.staging_buffer = v.staging.data();
    ASSERT_EQ(afs_init(&v.ctx, v.flash.data(), 64, 10, files, 0, static_cast<uint32_t>(v.flash.size()),
                       kCreateFlags, 0xAB, 0xF123),
              0);
    EXPECT_EQ(v.ctx.file_count, files);
    EXPECT_EQ(v.ctx.header_info, 0x000123ABu);
    ASSERT_EQ(v.write(static_cast<int>(files - 1), 0, pattern(500, files)), 0);
    ASSERT_EQ(v.mount(), 0);
    EXPECT_EQ(v.ctx.file_count, files);
    EXPECT_EQ(v.ctx.header_info, 0x000123ABu);
    RawVolume raw = read_raw(v.flash);
    ASSERT_TRUE(raw.ok) << raw.error;
    EXPECT_EQ(raw.files, (Files{{static_cast<int>(files - 1), pattern(500, files)}}));
  }
}

TEST(AfsVolume, CreationPaths) {
  // No format flag on erased flash: the translation layer does not start.
  {
    Volume v(4);
    EXPECT_EQ(v.init(kCreateFlags & ~AFS_INIT_FORMAT_ERASE), kelvra::ST_IO);
    expect_refused(&v.ctx);
    // The front end's flags on erased flash, and on formatted flash without a header.
    EXPECT_EQ(v.mount(), kelvra::ST_IO);
    Bytes img = formatted_image(4, 4 * 8192, 4 * 8192 - 64 * 20, nullptr);
    Volume w(img);
    EXPECT_EQ(w.mount(), kelvra::ST_IO);
    // Creating there without a format flag: the units are laid out for
    // another volume, so the header cannot be written.
    EXPECT_EQ(w.init(kCreateFlags & ~AFS_INIT_FORMAT_ERASE), kelvra::ST_IO);
    // With a format flag the partition is formatted for the new volume.
    ASSERT_EQ(w.init((kCreateFlags & ~AFS_INIT_FORMAT_ERASE) | AFS_INIT_FORMAT), 0);
    ASSERT_EQ(w.mount(), 0);
  }
  // A partition formatted for the creation geometry but without a header
  // (a creation cut short) takes the header without another format.
  {
    Volume v(6);
    ASSERT_EQ(v.create(), 0);
    const uint32_t vs = v.ctx.volume_size, ds = v.ctx.data_start;
    Bytes img = formatted_image(6, vs, ds, nullptr);
    Volume w(img);
    ASSERT_EQ(w.init(kCreateFlags & ~AFS_INIT_FORMAT_ERASE), 0);
    EXPECT_EQ(w.ctx.volume_size, vs);
    ASSERT_EQ(w.mount(), 0);
  }
  // A forced format replaces an existing volume with an empty one.
  {
    Volume v(4);
    ASSERT_EQ(v.create(), 0);
    ASSERT_EQ(v.write(3, 0, pattern(100, 3)), 0);
    ASSERT_EQ(v.init(kCreateFlags | AFS_INIT_FORCE_FORMAT), 0);
    ASSERT_EQ(v.mount(), 0);
    EXPECT_TRUE(files_of(v).empty());
    // A forced format without a format flag is refused.
    EXPECT_EQ(v.init(kMountFlags | AFS_INIT_FORCE_FORMAT), kelvra::ST_IO);
  }
  // A partition whose size is not a whole number of units.
  {
    Volume v(Bytes(4 * 8192 + 100, 0xFF));
    ASSERT_EQ(v.create(), 0);
    ASSERT_EQ(v.write(1, 0, pattern(1000, 1)), 0);
    ASSERT_EQ(v.mount(), 0);
    int rc = 0;
    EXPECT_EQ(v.whole(1, &rc), pattern(1000, 1));
    for (size_t i = 4 * 8192; i < v.flash.size(); ++i) ASSERT_EQ(v.flash[i], 0xFF) << i;
  }
  // 256 units pass the range check but the unit count is 8 bits.
  {
    Volume v(256);
    EXPECT_EQ(v.create(), kelvra::ST_IO);
    EXPECT_EQ(v.mount(), kelvra::ST_IO);
  }
}

TEST(AfsVolume, ArgumentsAndModeBits) {
  Volume v(4);
  ASSERT_EQ(v.create(), 0);
  uint8_t* f = v.flash.data();
  afs_context_t c{};
  EXPECT_EQ(afs_init(nullptr, f, 64, 10, 1024, 0, 0x8000, kMountFlags, 0, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_init(&c, f, 64, 10, 1024, 0, 0x7FFF, kMountFlags, 0, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_init(&c, f, 64, 10, 1024, 0, 0x200001, kMountFlags, 0, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_init(&c, f, 64, 10, 64, 0, 0x8000, kMountFlags, 0, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_init(&c, f, 64, 10, 2049, 0, 0x8000, kMountFlags, 0, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_init(&c, f, 64, 1, 1024, 0, 0x8000, kMountFlags, 0, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_init(&c, f, 64, 1001, 1024, 0, 0x8000, kMountFlags, 0, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_init(&c, f, 96, 10, 1024, 0, 0x8000, kMountFlags, 0, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_init(&c, f, 0, 10, 1024, 0, 0x8000, kMountFlags, 0, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_init(&c, f, 128, 10, 1024, 0, 0x8000, kMountFlags, 0, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_init(&c, nullptr, 64, 10, 1024, 0, 0x8000, kMountFlags, 0, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_init(&c, f, 64, 10, 1024, 0xFFFFF000u, 0x8000, kMountFlags, 0, 0), kelvra::ST_INVAL);
  for (uint32_t mode : {0u, 2u, 6u}) {
    EXPECT_EQ(afs_init(&c, f, 64, 10, 1024, 0, 0x8000, (kMountFlags & ~6u) | mode, 0, 0), kelvra::ST_INVAL);
  }
  expect_refused(&c);
  afs_free_context(&c);
  expect_refused(nullptr);
  EXPECT_FALSE(afs_get_idle_reclaim_enabled(nullptr));
  afs_set_idle_reclaim_enabled(nullptr);
  afs_free_context(nullptr);
  afs_free_file_size_table(nullptr);

  // The header's own slot count wins over the argument.
  v.ctx.staging_buffer = v.staging.data();
  ASSERT_EQ(afs_init(&v.ctx, f, 64, 10, 100, 0, static_cast<uint32_t>(v.flash.size()), kMountFlags, 0, 0), 0);
  EXPECT_EQ(v.ctx.file_count, 1024);
  EXPECT_FALSE(afs_get_idle_reclaim_enabled(&v.ctx));
  afs_set_idle_reclaim_enabled(&v.ctx);
  EXPECT_TRUE(afs_get_idle_reclaim_enabled(&v.ctx));
}

TEST(AfsVolume, HeaderBuiltByHandGivesItsGeometry) {
  uint8_t page[64];
  header_bytes(page, 0x724F6201u, 32768, 1024);
  Volume v(formatted_image(8, 32768, 3008, page));
  v.ctx.staging_buffer = v.staging.data();
  ASSERT_EQ(afs_init(&v.ctx, v.flash.data(), 64, 10, 100, 0, 8 * 8192, kMountFlags, 0, 0), 0);
  EXPECT_EQ(v.ctx.cluster_count, 465);
  EXPECT_EQ(v.ctx.data_start, 3008u);
  EXPECT_EQ(v.ctx.file_count, 1024);
  EXPECT_EQ(v.ctx.volume_size, 32768u);
  Bytes d = pattern(5000, 9);
  ASSERT_EQ(v.write(1023, 0, d), 0);
  ASSERT_EQ(v.mount(), 0);
  int rc = 0;
  EXPECT_EQ(v.whole(1023, &rc), d);
  RawVolume raw = read_raw(v.flash);
  ASSERT_TRUE(raw.ok) << raw.error;
  EXPECT_EQ(raw.cluster_count, 465u);
  EXPECT_EQ(raw.files, (Files{{1023, d}}));
}

TEST(AfsVolume, HeadersThatCannotBeAVolumeAreRefused) {
  struct Case {
    uint32_t magic, volume_size, file_count;
  } cases[] = {
      {0x724F6200u, 32768, 1024},      // wrong magic
      {0x724F6201u, 32768, 64},        // end values would collide with cluster numbers
      {0x724F6201u, 32768, 2049},      // too many slots
      {0x724F6201u, 32768, 0},         // no slots
      {0x724F6201u, 100, 1024},        // the table does not fit
      {0x724F6201u, 14 + 2048 + 30, 1024},  // the data start lies past the volume
      {0x724F6201u, 8 * 8192 + 64, 1024},   // larger than the partition
      {0x724F6201u, 0xFFFFFFFFu, 65},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.volume_size);
    SCOPED_TRACE(k.file_count);
    uint8_t page[64];
    header_bytes(page, k.magic, k.volume_size, k.file_count);
    Volume v(formatted_image(8, 32768, 3008, page));
    EXPECT_EQ(v.mount(), kelvra::ST_IO);
    expect_refused(&v.ctx);
  }
}

TEST(AfsVolume, CorruptTablesFailTheMount) {
  Volume v(4);
  ASSERT_EQ(v.create(), 0);
  ASSERT_EQ(v.write(1, 0, pattern(192, 1)), 0);  // three clusters
  const uint16_t F = v.ctx.file_count;
  const uint16_t c1 = entry_of(v, 1), c2 = entry_of(v, c1), c3 = entry_of(v, c2);
  ASSERT_EQ(entry_of(v, c3), 64);
  const Bytes good = v.flash;

  auto fails = [&](uint32_t index, uint16_t value) {
    v.flash = good;
    ASSERT_EQ(v.mount(), 0);
    poke_entry(v, index, value);
    EXPECT_EQ(v.mount(), kelvra::ST_IO) << index << " := " << value;
    expect_refused(&v.ctx);
  };
  fails(2, 100);                        // a slot naming no cluster
  fails(2, static_cast<uint16_t>(F - 1));
  fails(c3, 500);                       // a cluster entry between 65 and the slot count
  fails(c3, 0xFFF0);                    // beyond the table
  fails(c3, c1);                        // a loop
  fails(5, c2);                         // two chains sharing clusters
  fails(F - 1, 0xFFF0);

  // The untouched image still mounts and holds its file.
  v.flash = good;
  ASSERT_EQ(v.mount(), 0);
  int rc = 0;
  EXPECT_EQ(v.whole(1, &rc), pattern(192, 1));
}

TEST(AfsVolume, TablePagesWithoutLiveClustersAreTrimmed) {
  Volume v(16);
  ASSERT_EQ(v.create(), 0);
  const uint32_t F = v.ctx.file_count, ds = v.ctx.data_start;
  ASSERT_EQ(v.write(1023, 0, pattern(40000, 1)), 0);  // 625 clusters
  ASSERT_EQ(v.write(0, 0, pattern(100, 2)), 0);
  ASSERT_EQ(afs_deletefile(&v.ctx, 1023), 0);
  const uint32_t first_cluster_page = (14 + 2 * F) / 64;
  const uint32_t last_page = ds / 64 - 1;
  auto mapped = [&](uint32_t page) { return v.ctx.ftl->page_map[page].unit != 0xFF; };
  auto check = [&] {
    const uint16_t c = entry_of(v, 0);
    const uint32_t live_page = (14 + 2 * c) / 64;
    for (uint32_t p = first_cluster_page + 1; p < last_page; ++p) {
      if (p != live_page) {
        EXPECT_FALSE(mapped(p)) << "page " << p;
      }
    }
    EXPECT_TRUE(mapped(0));
    EXPECT_TRUE(mapped(live_page));
    // The page that holds slot 1023 and the first cluster entries was written.
    EXPECT_TRUE(mapped((14 + 2 * 1023) / 64));
  };
  check();
  // The mount trims again what the flash still holds.
  ASSERT_EQ(v.mount(), 0);
  check();
  int rc = 0;
  EXPECT_EQ(v.whole(0, &rc), pattern(100, 2));
  EXPECT_EQ(clusters_in_use(v.ctx), 2u);
}

TEST(AfsVolume, LongTruncatingRewriteReleasesEveryOldCluster) {
  Volume v(4);
  ASSERT_EQ(v.create(), 0);
  const uint32_t cc = v.ctx.cluster_count;
  const uint32_t n = cc * 3 / 5;  // the old chain: more than half the volume
  const uint32_t t = cc - n;      // the new content takes every other cluster
  ASSERT_EQ(v.write(1, 0, pattern(n * 64, 1)), 0);
  EXPECT_EQ(clusters_in_use(v.ctx), n);
  // The rewrite walks t entries of the old chain and its release walks all n
  // of them: together as many steps as the volume has clusters, which one
  // shared count would take for a loop.
  Bytes d = pattern(t * 64, 2);
  ASSERT_EQ(v.write(1, 0, d, AFS_WRITE_TRUNCATE), 0);
  EXPECT_EQ(clusters_in_use(v.ctx), t);
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(clusters_in_use(v.ctx), t);
  int rc = 0;
  EXPECT_EQ(v.whole(1, &rc), d);
  // The freed space is usable again.
  ASSERT_EQ(v.write(2, 0, pattern((n - t) * 64, 3)), 0);
}

TEST(AfsVolume, ReleaseWalksOnlyRealClusters) {
  Volume v(4);
  ASSERT_EQ(v.create(), 0);
  ASSERT_EQ(v.write(1, 0, pattern(300, 1)), 0);
  const uint32_t before = clusters_in_use(v.ctx);
  EXPECT_EQ(afs_release_resources(&v.ctx, 0xFFFF, 10, nullptr, 0), 0);
  EXPECT_EQ(afs_release_resources(&v.ctx, 0xFFFE, 10, nullptr, 0), 0);
  EXPECT_EQ(afs_release_resources(&v.ctx, 65, 10, nullptr, 0), 0);
  EXPECT_EQ(afs_release_resources(&v.ctx, v.ctx.file_count - 1, 10, nullptr, 0), 0);
  EXPECT_EQ(clusters_in_use(v.ctx), before);
  int rc = 0;
  EXPECT_EQ(v.whole(1, &rc), pattern(300, 1));
}

TEST(AfsVolume, MountVariants) {
  Volume v(4);
  ASSERT_EQ(v.create(), 0);
  ASSERT_EQ(v.write(1, 0, pattern(300, 1)), 0);
  ASSERT_EQ(afs_mark_zombie_file(&v.ctx, 2), 0);

  // Without the size table: sizes come from the chains.
  ASSERT_EQ(v.init(kMountFlags & ~AFS_INIT_SIZE_TABLE), 0);
  EXPECT_EQ(v.ctx.file_size_table, nullptr);
  uint32_t size = 0;
  ASSERT_EQ(afs_getfilesize(&v.ctx, 1, &size), 0);
  EXPECT_EQ(size, 300u);

  // Without a bitmap: reads work, changes are refused.
  ASSERT_EQ(v.init(kMountFlags | AFS_INIT_NO_BITMAP), 0);
  EXPECT_EQ(v.ctx.cluster_bitmap, nullptr);
  int rc = 0;
  EXPECT_EQ(v.whole(1, &rc), pattern(300, 1));
  EXPECT_EQ(v.write(3, 0, pattern(10, 3)), kelvra::ST_IMPOSSIBLE);
  EXPECT_EQ(afs_deletefile(&v.ctx, 1), kelvra::ST_IMPOSSIBLE);
  EXPECT_EQ(afs_idle_reclaim(&v.ctx), kelvra::ST_IMPOSSIBLE);
  EXPECT_EQ(afs_force_full_reclaim(&v.ctx), kelvra::ST_IMPOSSIBLE);

  // Prefetch reads the first pages into the cache.
  ASSERT_EQ(v.init(kMountFlags | AFS_INIT_PREFETCH), 0);
  std::vector<bool> resident(10, false);
  for (uint16_t i = 0; i < v.ctx.cache_lines; ++i) {
    if ((v.ctx.cache_dir[i].link & 1) && v.ctx.cache_dir[i].page < 10) resident[v.ctx.cache_dir[i].page] = true;
  }
  EXPECT_EQ(resident, std::vector<bool>(10, true));

  // Zeroing the context first keeps nothing of the caller's, staging included.
  ASSERT_EQ(v.init(kMountFlags | AFS_INIT_ZERO_CONTEXT), 0);
  EXPECT_EQ(v.ctx.staging_buffer, nullptr);
  uint32_t len = 10;
  uint8_t buf[10];
  EXPECT_EQ(afs_readfile(&v.ctx, 1, 0, &len, buf), kelvra::ST_INVAL);
  v.ctx.staging_buffer = v.staging.data();
  EXPECT_EQ(afs_readfile(&v.ctx, 1, 0, &len, buf), 0);

  // Reclaim controls on a mounted volume.
  int r = afs_force_full_reclaim(&v.ctx);
  while (r == kelvra::ST_AGAIN) r = afs_force_full_reclaim(&v.ctx);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(afs_force_dirty_erase(&v.ctx), 0);
  (void)afs_idle_reclaim_needed(&v.ctx);
  r = afs_idle_reclaim(&v.ctx);
  EXPECT_TRUE(r == 0 || r == FTL_NOTHING_RECLAIMED) << r;
  EXPECT_EQ(v.whole(1, &rc), pattern(300, 1));
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(v.whole(1, &rc), pattern(300, 1));
}

TEST(AfsVolume, CreationGeometryFitsEveryPartition) {
  for (uint32_t units = 4; units <= 255; ++units) {
    afs_context_t c{};
    c.partition_size = units * 8192;
    const uint32_t capacity = afs_physical_ftl_get_data_vas(&c, 0);
    for (uint32_t files : {65u, 1024u, 2048u}) {
      kelvra::afs::VolumeGeometry g{};
      ASSERT_TRUE(kelvra::afs::geometry_for_creation(c.partition_size, capacity, files, &g)) << units << " " << files;
      const uint32_t data_units = (g.volume_size - g.data_start) / 7808;
      EXPECT_GE(data_units, 1u) << units << " " << files;
      EXPECT_EQ(g.volume_size - g.data_start, data_units * 7808);
      EXPECT_EQ(g.cluster_count, data_units * 122);
      // The header and table take at most three quarters of the log units.
      EXPECT_LE(g.data_start / 64 * 4, (units - 1 - data_units) * 120 * 3) << units << " " << files;
      // The header's values give back the same geometry.
      kelvra::afs::VolumeGeometry back{};
      ASSERT_TRUE(kelvra::afs::geometry_from_header(g.volume_size, files, c.partition_size, &back));
      EXPECT_EQ(back.data_start, g.data_start);
      EXPECT_EQ(back.cluster_count, g.cluster_count);
    }
  }
}

TEST(AfsVolume, PartitionInsideALargerImage) {
  Bytes flash(6 * 8192, 0xA5);
  std::fill(flash.begin() + 8192, flash.begin() + 5 * 8192, 0xFF);
  Bytes staging(4096);
  afs_context_t c{};
  c.staging_buffer = staging.data();
  ASSERT_EQ(afs_init(&c, flash.data(), 64, 10, 1024, 8192, 4 * 8192, kCreateFlags, 0, 0), 0);
  const Bytes d = pattern(2500, 4);
  ASSERT_EQ(afs_writefile(&c, 7, 0, static_cast<uint32_t>(d.size()), d.data(), 0), 0);
  afs_free_context(&c);
  c = afs_context_t{};
  c.staging_buffer = staging.data();
  ASSERT_EQ(afs_init(&c, flash.data(), 64, 10, 1024, 8192, 4 * 8192, kMountFlags, 0, 0), 0);
  Bytes back(d.size());
  uint32_t len = static_cast<uint32_t>(back.size());
  ASSERT_EQ(afs_readfile(&c, 7, 0, &len, back.data()), 0);
  EXPECT_EQ(back, d);
  afs_free_context(&c);
  for (size_t i = 0; i < 8192; ++i) ASSERT_EQ(flash[i], 0xA5) << i;
  for (size_t i = 5 * 8192; i < flash.size(); ++i) ASSERT_EQ(flash[i], 0xA5) << i;
  // The partition's bytes, read as an image of their own, hold the file.
  RawVolume raw = read_raw(Bytes(flash.begin() + 8192, flash.begin() + 5 * 8192));
  ASSERT_TRUE(raw.ok) << raw.error;
  EXPECT_EQ(raw.files, (Files{{7, d}}));
}
