// Randomised runs against a reference model: metadata rewrites, data
// copy-on-write, trims, idle reclaims and remounts on small partitions, long
// enough for log and data reclaims and wear-levelling moves, with corrupted
// reads injected so that the retry paths run.
#include <cstdlib>
#include <random>

#include "ftl_model.h"

using namespace ftltest;

namespace {

struct RunStats {
  uint32_t ops = 0;
  uint32_t remounts = 0;
  uint32_t static_moves = 0;  // wear-levelling moves of the static block
  uint64_t corrupted = 0;
  uint32_t max_erase = 0;
};

uint32_t block_unit(Vol& v, uint32_t block) {
  const uint32_t fp = v.ctx.data_start / 64 + 122 * block;
  for (uint32_t u = 0; u < v.st()->eu_count; ++u)
    if (u != v.st()->spare_eu && v.rec(u).first_page == fp) return u;
  return FTL_NO_UNIT;
}

// The per-unit counts agree with the maps: a log unit's dead and free slots
// plus the pages mapped to it make 120; a data unit's slots without live data
// plus its live clusters make 122.
::testing::AssertionResult counts_consistent(Vol& v) {
  afs_ftl_state_t* st = v.st();
  std::vector<uint32_t> mapped(st->eu_count, 0);
  for (uint32_t lpn = 0; lpn < st->page_map_entries; ++lpn)
    if (st->page_map[lpn].unit != 0xFF) ++mapped[st->page_map[lpn].unit];
  for (uint32_t u = 0; u < st->eu_count; ++u) {
    if (u == st->spare_eu) continue;
    const afs_eu_record_t& r = v.rec(u);
    if (r.first_page == 0) {
      if (r.not_live + mapped[u] != 120)
        return ::testing::AssertionFailure() << "log unit " << u << ": " << int(r.not_live) << " + " << mapped[u];
    } else {
      const uint32_t base = r.first_page - v.ctx.data_start / 64;
      uint32_t live = 0;
      for (uint32_t k = 0; k < 122; ++k) live += (v.bitmap[(base + k) / 32] >> ((base + k) % 32)) & 1u;
      if (r.not_live + live != 122)
        return ::testing::AssertionFailure() << "data unit " << u << ": " << int(r.not_live) << " + " << live;
    }
  }
  return ::testing::AssertionSuccess();
}

void run_model(uint32_t units, uint32_t data_units, uint32_t meta_pages, uint32_t seed, uint32_t max_ops,
               RunStats& stats) {
  Vol v(units, meta_pages * 64, data_units);
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  Model m;
  std::mt19937 rng(seed);
  kelvra::FlashFaultPlan plan;
  kelvra::fault::ScopedPlan scoped(plan);

  // Fill one block with clusters that never change: only wear levelling
  // ever moves it.
  std::vector<uint32_t> dynamic;
  const bool with_static = data_units >= 2;
  for (uint32_t i = 0; with_static && i < 122; ++i) {
    uint32_t c = 0;
    ASSERT_EQ(op_write_data(v, m, pattern(900000 + i), nullptr, &c), 0);
  }
  const uint32_t static_block = with_static ? m.data.begin()->first / 122 : 0;
  uint32_t static_unit = block_unit(v, static_block);
  const uint32_t dynamic_cap = (with_static ? data_units - 1 : data_units) * 122 / 2;

  uint32_t serial = 1;
  for (uint32_t op = 0; op < max_ops; ++op) {
    const uint32_t dice = rng() % 100;
    if (dice < 55) {
      const uint32_t lpn = rng() % meta_pages;
      if (rng() % 8 == 0) plan.corrupt_reads = 1 + rng() % 6;  // verification retries
      ASSERT_EQ(op_write_meta(v, m, lpn, pattern(serial++)), 0) << "op " << op;
      plan.corrupt_reads = 0;
    } else if (dice < 85) {
      if (dynamic.size() < dynamic_cap || dynamic.empty()) {
        uint32_t c = 0;
        ASSERT_EQ(op_write_data(v, m, pattern(serial++), nullptr, &c), 0) << "op " << op;
        dynamic.push_back(c);
      } else {
        const size_t i = rng() % dynamic.size();
        uint32_t c = 0;
        ASSERT_EQ(op_write_data(v, m, pattern(serial++), &dynamic[i], &c), 0) << "op " << op;
        dynamic[i] = c;
      }
    } else if (dice < 88) {
      if (!dynamic.empty()) {
        const size_t i = rng() % dynamic.size();
        op_trim_data(v, m, dynamic[i]);
        dynamic.erase(dynamic.begin() + static_cast<long>(i));
      }
    } else if (dice < 89) {
      op_trim_meta(v, m, rng() % meta_pages);
    } else if (dice < 91) {
      int r = afs_physical_ftl_idle_reclaim(&v.ctx);
      ASSERT_TRUE(r == 0 || r == FTL_NOTHING_RECLAIMED) << r;
    } else {
      // A checked read, possibly through corrupted reads (at most 6 in a
      // row, so the 7 attempts always succeed).
      Page out;
      if (rng() % 3 == 0) plan.corrupt_reads = 1 + rng() % 6;
      if (!m.data.empty() && rng() % 2) {
        auto it = m.data.begin();
        std::advance(it, static_cast<long>(rng() % m.data.size()));
        ASSERT_EQ(v.read_data(it->first, out), 0);
        EXPECT_EQ(out, it->second);
      } else {
        const uint32_t lpn = rng() % meta_pages;
        if (!m.meta_unknown.count(lpn)) {
          ASSERT_EQ(v.read_meta(lpn, out), 0);
          auto it = m.meta.find(lpn);
          EXPECT_EQ(out, it == m.meta.end() ? Page(64, 0) : it->second) << "lpn " << lpn;
        }
      }
      plan.corrupt_reads = 0;
    }
    const uint32_t now = block_unit(v, static_block);
    if (with_static && now != static_unit) {
      ++stats.static_moves;
      static_unit = now;
    }
    if (op % 101 == 100) {
      ASSERT_TRUE(counts_consistent(v)) << "op " << op;
    }
    if (op % 997 == 996) {
      ASSERT_EQ(v.mount(m.live()), 0) << "op " << op;
      ++stats.remounts;
      ASSERT_TRUE(check_model(v, m, meta_pages)) << "op " << op;
    }
    ++stats.ops;
    if (stats.static_moves >= 2 && op > max_ops / 4) break;
  }
  ASSERT_EQ(v.mount(m.live()), 0);
  ASSERT_TRUE(check_model(v, m, meta_pages));
  for (uint32_t u = 0; u < units; ++u) stats.max_erase = std::max(stats.max_erase, v.rec(u).erase_count);
  stats.corrupted = plan.corrupted;
}

}  // namespace

TEST(FtlModel, SixUnitsUntilWearLevelling) {
  RunStats s;
  run_model(6, 2, 16, 1234, 400000, s);
  if (HasFatalFailure()) return;
  EXPECT_GE(s.static_moves, 1u) << "no wear-levelling move after " << s.ops << " ops, max erase " << s.max_erase;
  EXPECT_GT(s.remounts, 3u);
  EXPECT_GT(s.corrupted, 100u);
  std::printf("six units: %u ops, %u remounts, %u static moves, max erase %u, %llu corrupted reads\n", s.ops,
              s.remounts, s.static_moves, s.max_erase, static_cast<unsigned long long>(s.corrupted));
}

TEST(FtlModel, FourAndEightUnits) {
  for (uint32_t units : {4u, 8u}) {
    RunStats s;
    run_model(units, units == 4 ? 1 : 3, units == 4 ? 8 : 40, 99 + units, 20000, s);
    if (HasFatalFailure()) return;
    EXPECT_GT(s.remounts, 3u);
  }
}
