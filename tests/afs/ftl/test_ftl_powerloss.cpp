// Power loss at every program and erase of a workload that rewrites and trims
// metadata and data pages until log and data reclaims and a wear-levelling
// move happen. After each cut the frozen image is remounted and checked
// against the model, then written to and remounted again.
#include <cstdlib>

#include "ftl_model.h"

using namespace ftltest;

namespace {

constexpr uint32_t kUnits = 5;
constexpr uint32_t kMetaPages = 8;
constexpr uint32_t kDataUnits = 2;

struct Start {
  std::vector<uint8_t> image;
  Model model;
  std::vector<uint32_t> dynamic;
};

// Rewrites a unit's header with a new erase count, keeping everything else
// (a zero magic stays zero).
void set_erase_count(Vol& v, uint32_t u, uint32_t ec) {
  uint8_t* p = v.unit_ptr(u);
  const uint32_t magic = kelvra::le::get32(p);
  put_header(p, magic, kelvra::le::get32(p + 4), ec, kelvra::le::get16(p + 12), kelvra::le::get16(p + 14), p[17]);
}

// The starting image: a full static block, a half-used dynamic block, a
// partly filled log, and erase counts skewed so that the first data reclaim
// is a wear-levelling move of the static block.
Start make_start() {
  Start s;
  Vol v(kUnits, kMetaPages * 64, kDataUnits);
  EXPECT_EQ(v.format(true), 0);
  EXPECT_EQ(v.mount(), 0);
  for (uint32_t i = 0; i < 122; ++i) EXPECT_EQ(op_write_data(v, s.model, pattern(5000 + i), nullptr), 0);
  for (uint32_t i = 0; i < 60; ++i) {
    uint32_t c = 0;
    EXPECT_EQ(op_write_data(v, s.model, pattern(6000 + i), nullptr, &c), 0);
    s.dynamic.push_back(c);
  }
  for (uint32_t i = 0; i < 100; ++i) EXPECT_EQ(op_write_meta(v, s.model, i % kMetaPages, pattern(7000 + i)), 0);
  // The static block sits in the data unit with the highest sequence (the
  // first window); give it the lowest erase count.
  const uint32_t static_unit = v.st()->eu_count - 2;
  for (uint32_t u = 0; u < kUnits; ++u) set_erase_count(v, u, u == static_unit ? 40 : 150);
  s.image = v.flash;
  return s;
}

struct Outcome {
  bool log_copy = false;
  bool data_reclaim = false;
  bool wear_move = false;
  bool idle_reclaim = false;
};

// The workload. Stops at the first failure or once the power is off.
void workload(Vol& v, Model& m, std::vector<uint32_t>& dynamic, const kelvra::FlashFaultPlan* plan,
              Outcome* seen) {
  const uint32_t static_fp = v.rec(kUnits - 2).first_page;
  uint32_t static_unit = kUnits - 2;
  auto off = [&]() { return plan != nullptr && plan->powered_off; };
  // A reclaim turns the old spare into a unit of the source's kind.
  uint32_t spare = v.st()->spare_eu;
  auto observe = [&]() {
    if (seen == nullptr) return;
    for (uint32_t u = 0; u < kUnits; ++u)
      if (u != v.st()->spare_eu && v.rec(u).first_page == static_fp && u != static_unit) seen->wear_move = true;
    if (v.st()->spare_eu != spare) {
      if (v.rec(spare).first_page == 0) seen->log_copy = true;
      else seen->data_reclaim = true;
      spare = v.st()->spare_eu;
    }
  };
  uint32_t serial = 10000;
  for (uint32_t round = 0; round < 360; ++round) {
    const uint32_t lpn = (round * 5) % kMetaPages;
    if (op_write_meta(v, m, lpn, pattern(serial++)) != 0 || off()) return;
    observe();
    if (round % 3 != 2) {
      const size_t i = round % dynamic.size();
      uint32_t c = 0;
      if (op_write_data(v, m, pattern(serial++), &dynamic[i], &c) != 0 || off()) return;
      dynamic[i] = c;
      observe();
    }
    if (round % 37 == 36) {
      const size_t i = round % dynamic.size();
      op_trim_data(v, m, dynamic[i]);
      dynamic.erase(dynamic.begin() + static_cast<long>(i));
    }
    if (round == 80) op_trim_meta(v, m, 7);
    if (round % 25 == 24) {
      const uint32_t seq = v.st()->sequence;
      const int r = afs_physical_ftl_idle_reclaim(&v.ctx);
      if ((r != 0 && r != FTL_NOTHING_RECLAIMED) || off()) return;
      if (seen && v.st()->sequence != seq) seen->idle_reclaim = true;
      observe();
    }
  }
}

// Classifies a frozen image: an uncommitted reclaim target with (2) or
// without (1) a retired source beside it; 0 when there is none.
int recovery_case(Vol& v) {
  uint32_t invalid = 0, uncommitted = 0;
  for (uint32_t u = 0; u < kUnits; ++u) {
    const uint8_t* p = v.unit_ptr(u);
    const uint32_t magic = kelvra::le::get32(p);
    const bool valid = magic == 0xAA557887u && crc8(p, 16) == p[16] && kelvra::le::get32(p + 4) != 0 &&
                       kelvra::le::get32(p + 8) != 0;
    if (!valid) ++invalid;
    if (valid && p[17] == 0xFF) ++uncommitted;
  }
  if (uncommitted == 0) return 0;
  return invalid == 0 ? 1 : 2;
}

uint32_t env_u32(const char* name, uint32_t def) {
  const char* s = std::getenv(name);
  return s ? static_cast<uint32_t>(std::strtoul(s, nullptr, 10)) : def;
}

}  // namespace

TEST(FtlPowerLoss, WorkloadReachesEveryReclaimKind) {
  Start s = make_start();
  Vol v(kUnits, kMetaPages * 64, kDataUnits);
  v.flash = s.image;
  v.ctx.flash_base = v.flash.data();
  ASSERT_EQ(v.mount(s.model.live()), 0);
  Model m = s.model;
  std::vector<uint32_t> dyn = s.dynamic;
  Outcome seen;
  kelvra::FlashFaultPlan plan;
  {
    kelvra::fault::ScopedPlan scoped(plan);
    workload(v, m, dyn, &plan, &seen);
  }
  EXPECT_TRUE(seen.log_copy);
  EXPECT_TRUE(seen.data_reclaim);
  EXPECT_TRUE(seen.wear_move);
  EXPECT_TRUE(seen.idle_reclaim);
  EXPECT_GE(plan.erases, 12u);
  ASSERT_EQ(v.mount(m.live()), 0);
  EXPECT_TRUE(check_model(v, m, kMetaPages));
  std::printf("workload: %llu programs, %llu erases\n", static_cast<unsigned long long>(plan.programs),
              static_cast<unsigned long long>(plan.erases));
}

TEST(FtlPowerLoss, EveryCutPointKeepsCommittedData) {
  const Start s = make_start();
  uint64_t total = 0;
  {
    Vol v(kUnits, kMetaPages * 64, kDataUnits);
    v.flash = s.image;
    v.ctx.flash_base = v.flash.data();
    ASSERT_EQ(v.mount(s.model.live()), 0);
    Model m = s.model;
    std::vector<uint32_t> dyn = s.dynamic;
    kelvra::FlashFaultPlan plan;
    kelvra::fault::ScopedPlan scoped(plan);
    workload(v, m, dyn, &plan, nullptr);
    total = plan.mutations;
  }
  ASSERT_GT(total, 500u);
  const uint32_t stride = std::max(1u, env_u32("KELVRA_FTL_SWEEP_STRIDE", 1));
  uint64_t covered = 0;
  uint64_t cases[3] = {0, 0, 0};
  for (int64_t torn : {int64_t(-1), int64_t(1), int64_t(0)}) {
    // The half-torn sweep covers every cut point; the one-byte and the
    // nothing-written sweeps every third.
    const uint64_t step = torn < 0 ? stride : 3u * stride;
    for (uint64_t k = 1; k <= total; k += step) {
      Vol v(kUnits, kMetaPages * 64, kDataUnits);
      v.flash = s.image;
      v.ctx.flash_base = v.flash.data();
      ASSERT_EQ(v.mount(s.model.live()), 0);
      Model m = s.model;
      std::vector<uint32_t> dyn = s.dynamic;
      {
        kelvra::FlashFaultPlan plan;
        plan.cut_at = k;
        plan.torn_bytes = torn;
        kelvra::fault::ScopedPlan scoped(plan);
        workload(v, m, dyn, &plan, nullptr);
      }
      ++covered;
      ++cases[recovery_case(v)];
      if (recovery_case(v) == 2) {
        // The accepted target is committed on flash by the mount.
        ASSERT_EQ(v.mount(m.live()), 0);
        EXPECT_EQ(recovery_case(v), 0) << "cut " << k;
      }
      ASSERT_EQ(v.mount(m.live()), 0) << "cut " << k << " torn " << torn;
      ASSERT_TRUE(check_model(v, m, kMetaPages)) << "cut " << k << " torn " << torn;
      // The volume takes more writes and mounts again.
      for (uint32_t lpn = 0; lpn < kMetaPages; ++lpn)
        ASSERT_EQ(op_write_meta(v, m, lpn, pattern(90000 + lpn)), 0) << "cut " << k;
      for (uint32_t i = 0; i < 4 && !dyn.empty(); ++i) {
        uint32_t c = 0;
        ASSERT_EQ(op_write_data(v, m, pattern(91000 + i), &dyn[i % dyn.size()], &c), 0) << "cut " << k;
        dyn[i % dyn.size()] = c;
      }
      ASSERT_EQ(v.mount(m.live()), 0) << "cut " << k;
      ASSERT_TRUE(check_model(v, m, kMetaPages)) << "cut " << k;
    }
  }
  std::printf("power-loss sweep: %llu mutations in the workload, %llu cut points covered "
              "(%llu left an uncommitted target beside its source, %llu beside a retired source)\n",
              static_cast<unsigned long long>(total), static_cast<unsigned long long>(covered),
              static_cast<unsigned long long>(cases[1]), static_cast<unsigned long long>(cases[2]));
  EXPECT_GT(cases[1], 0u);
  EXPECT_GT(cases[2], 0u);
}

namespace {

// Second workload: three log units whose older units still hold live pages,
// so that an idle log reclaim copies into the current log unit and the end of
// reserved-files mode copies into an empty log unit.
constexpr uint32_t kLogUnits2 = 6, kMeta2 = 16;

void start2(Vol& v, Model& m) {
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  for (uint32_t unit = 0; unit < 2; ++unit)
    for (uint32_t i = 0; i < 120; ++i) {
      const uint32_t lpn = i < 116 ? i % 8 : 8 + 4 * unit + (i - 116);
      ASSERT_EQ(op_write_meta(v, m, lpn, pattern(unit * 1000 + i)), 0);
    }
  for (uint32_t i = 0; i < 91; ++i) ASSERT_EQ(op_write_meta(v, m, i % 8, pattern(3000 + i)), 0);
}

void workload2(Vol& v, Model& m, const kelvra::FlashFaultPlan* plan, std::vector<int>* steps) {
  auto off = [&]() { return plan != nullptr && plan->powered_off; };
  auto step = [&](int r) {
    if (steps) steps->push_back(r);
    return (r == 0 || r == FTL_NOTHING_RECLAIMED) && !off();
  };
  if (!step(afs_physical_ftl_idle_reclaim(&v.ctx))) return;
  for (uint32_t i = 0; i < 40; ++i)
    if (!step(op_write_meta(v, m, (i * 3) % kMeta2, pattern(4000 + i)))) return;
  if (!step(afs_physical_ftl_end_reserved_files_mode(&v.ctx))) return;
  for (uint32_t i = 0; i < 40; ++i)
    if (!step(op_write_meta(v, m, (i * 5) % kMeta2, pattern(5000 + i)))) return;
  step(afs_physical_ftl_idle_reclaim(&v.ctx));
}

}  // namespace

TEST(FtlPowerLoss, LogCopiesIntoCurrentAndEmptyUnits) {
  Vol base(kLogUnits2, kMeta2 * 64, 2);
  Model m0;
  start2(base, m0);
  if (HasFatalFailure()) return;
  const std::vector<uint8_t> image = base.flash;
  {
    // The idle reclaim copies unit 0's four live pages into the current
    // unit 2; ending reserved-files mode then moves unit 1 (four live pages)
    // into an empty log unit.
    Vol probe(kLogUnits2, kMeta2 * 64, 2);
    probe.flash = image;
    probe.ctx.flash_base = probe.flash.data();
    ASSERT_EQ(probe.mount(), 0);
    ASSERT_EQ(probe.st()->log_slot, 91u);
    ASSERT_EQ(afs_physical_ftl_idle_reclaim(&probe.ctx), 0);
    EXPECT_EQ(probe.st()->log_eu, 2u);
    EXPECT_EQ(probe.st()->log_slot, 95u);
    EXPECT_EQ(probe.st()->spare_eu, 0);
  }
  ASSERT_EQ(base.mount(), 0);  // the driver addresses one buffer at a time
  uint64_t total = 0;
  {
    Model m = m0;
    std::vector<int> steps;
    kelvra::FlashFaultPlan plan;
    kelvra::fault::ScopedPlan scoped(plan);
    workload2(base, m, &plan, &steps);
    total = plan.mutations;
    for (int r : steps) ASSERT_TRUE(r == 0 || r == FTL_NOTHING_RECLAIMED) << r;
    ASSERT_EQ(steps.size(), 83u);
  }
  for (uint64_t k = 1; k <= total; ++k) {
    Vol v(kLogUnits2, kMeta2 * 64, 2);
    v.flash = image;
    v.ctx.flash_base = v.flash.data();
    ASSERT_EQ(v.mount(), 0);
    Model m = m0;
    {
      kelvra::FlashFaultPlan plan;
      plan.cut_at = k;
      kelvra::fault::ScopedPlan scoped(plan);
      workload2(v, m, &plan, nullptr);
    }
    ASSERT_EQ(v.mount(), 0) << "cut " << k;
    ASSERT_TRUE(check_model(v, m, kMeta2)) << "cut " << k;
    for (uint32_t lpn = 0; lpn < kMeta2; ++lpn) ASSERT_EQ(op_write_meta(v, m, lpn, pattern(9000 + lpn)), 0);
    ASSERT_EQ(v.mount(), 0) << "cut " << k;
    ASSERT_TRUE(check_model(v, m, kMeta2)) << "cut " << k;
  }
  std::printf("log-copy sweep: %llu cut points covered\n", static_cast<unsigned long long>(total));
}
