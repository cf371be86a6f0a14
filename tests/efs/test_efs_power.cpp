// Power loss at every mutation of an update: after each cut the image
// mounts, every file holds its complete old or complete new contents, and
// the volume takes further writes.
#include "efs_test_util.h"

#include <cstdio>
#include <functional>
#include <optional>

using namespace efs_test;

namespace {

using Content = std::optional<std::vector<uint8_t>>;  // nullopt: empty file

struct Expect {
  uint32_t file;
  Content before;
  Content after;
};

uint64_t g_total_cut_points = 0;

class EfsPowerLoss : public EfsVolume {
 protected:
  Content ContentOf(uint32_t file) {
    uint32_t size = 0;
    int rc = EFS_get_file_size(file, &size);
    if (rc == 2) return std::nullopt;
    EXPECT_EQ(0, rc) << "file " << file;
    int read_rc = -1;
    auto data = Read(file, 0, size, &read_rc);
    EXPECT_EQ(0, read_rc) << "file " << file;
    return data;
  }

  void ExpectOneOf(const Expect& e, const Content& got, uint64_t cut) {
    ASSERT_TRUE(got == e.before || got == e.after)
        << "file " << e.file << " torn at cut " << cut;
  }

  // Runs `workload` on a copy of `initial` once to count its mutations, then
  // once per cut point and torn length, checking the frozen image each time.
  uint64_t Sweep(const char* name, const std::vector<uint8_t>& initial,
                 const std::function<int()>& workload, const std::vector<Expect>& expects,
                 uint32_t probe_file) {
    image_ = initial;
    EXPECT_EQ(0, Mount());
    kelvra::FlashFaultPlan counter;
    {
      kelvra::fault::ScopedPlan scoped(counter);
      EXPECT_EQ(0, workload()) << name;
    }
    for (const Expect& e : expects) EXPECT_TRUE(ContentOf(e.file) == e.after) << name;
    const uint64_t total = counter.mutations;
    EXPECT_GT(total, 0u) << name;

    const auto probe = pattern(30, 4242);
    for (int64_t torn : {int64_t{-1}, int64_t{1}, INT64_MAX}) {
      for (uint64_t cut = 1; cut <= total; ++cut) {
        image_ = initial;
        EXPECT_EQ(0, Mount());
        kelvra::FlashFaultPlan plan;
        plan.cut_at = cut;
        plan.torn_bytes = torn;
        {
          kelvra::fault::ScopedPlan scoped(plan);
          (void)workload();
        }
        EXPECT_TRUE(plan.powered_off);
        EXPECT_EQ(0, Mount()) << name << " cut " << cut << " torn " << torn;
        std::vector<Content> seen;
        for (const Expect& e : expects) {
          seen.push_back(ContentOf(e.file));
          ExpectOneOf(e, seen.back(), cut);
        }
        // The volume takes another write and keeps everything else.
        EXPECT_EQ(0, Write(probe_file, probe)) << name << " cut " << cut;
        EXPECT_EQ(0, Mount());
        EXPECT_TRUE(ContentOf(probe_file) == Content(probe)) << name << " cut " << cut;
        for (size_t i = 0; i < expects.size(); ++i) {
          EXPECT_TRUE(ContentOf(expects[i].file) == seen[i]) << name << " cut " << cut;
        }
        // The interrupted update can be made again.
        bool done = true;
        for (size_t i = 0; i < expects.size(); ++i) done = done && seen[i] == expects[i].after;
        if (!done) {
          EXPECT_EQ(0, workload()) << name << " cut " << cut;
        }
        EXPECT_EQ(0, Mount());
        for (const Expect& e : expects) {
          EXPECT_TRUE(ContentOf(e.file) == e.after) << name << " cut " << cut;
        }
        if (HasFailure()) return total;
      }
    }
    std::printf("[ cut points ] %s: %llu (x3 torn lengths)\n", name,
                static_cast<unsigned long long>(total));
    g_total_cut_points += total;
    return total;
  }

  // A volume with contents in every file and dirty spares.
  void Populate() {
    ASSERT_EQ(0, Write(kSmall, pattern(60, 1)));
    ASSERT_EQ(0, Write(kShared, pattern(2000, 2)));
    ASSERT_EQ(0, Write(kMulti, pattern(6000, 3)));
    ASSERT_EQ(0, Write(kHeadOnly, pattern(5000, 4)));
  }
};

TEST_F(EfsPowerLoss, MultiBlockWrite) {
  Populate();
  const auto initial = image_;
  const auto next = pattern(9000, 5);
  uint64_t n = Sweep("write of three blocks", initial, [&] { return Write(kMulti, next); },
                     {{kMulti, pattern(6000, 3), next},
                      {kSmall, pattern(60, 1), pattern(60, 1)},
                      {kShared, pattern(2000, 2), pattern(2000, 2)},
                      {kHeadOnly, pattern(5000, 4), pattern(5000, 4)}},
                     kProbe);
  EXPECT_GT(n, 10u);
}

TEST_F(EfsPowerLoss, SharedBlockWriteAndDelete) {
  Populate();
  const auto initial = image_;
  const auto next = pattern(1500, 6);
  Sweep("write into a shared block", initial, [&] { return Write(kShared, next); },
        {{kShared, pattern(2000, 2), next}, {kSmall, pattern(60, 1), pattern(60, 1)}},
        kProbe);
  Sweep("delete", initial, [&] { return EFS_delete(kShared); },
        {{kShared, pattern(2000, 2), std::nullopt}, {kSmall, pattern(60, 1), pattern(60, 1)}},
        kProbe);
}

TEST_F(EfsPowerLoss, BlockMapSwitch) {
  Populate();
  while (efs_ctx.bme_off + 2 * 22 <= 4095) ASSERT_EQ(0, Write(kSmall, pattern(60, 1)));
  BlockMap(1)[77] = 0x12;  // the target must be erased first
  ASSERT_EQ(0, Mount());
  const auto initial = image_;
  const auto next = pattern(80, 7);
  Sweep("write with a block-map switch", initial, [&] { return Write(kSmall, next); },
        {{kSmall, pattern(60, 1), next}, {kMulti, pattern(6000, 3), pattern(6000, 3)}},
        kProbe);
}

TEST_F(EfsPowerLoss, WearLevellingMove) {
  // Wear the spares with a high threshold, then lower it so a move is due.
  SkuRec r = default_sku(1000);
  Load(r);
  Populate();
  for (int k = 0; k < 30; ++k) ASSERT_EQ(0, Write(kSmall, pattern(60, 1)));
  r.threshold = 3;
  Load(r);
  ASSERT_EQ(1, EFS_is_initialized());
  ASSERT_EQ(0, Mount());
  const auto initial = image_;
  const std::vector<Expect> unchanged = {{kSmall, pattern(60, 1), pattern(60, 1)},
                                         {kShared, pattern(2000, 2), pattern(2000, 2)},
                                         {kMulti, pattern(6000, 3), pattern(6000, 3)},
                                         {kHeadOnly, pattern(5000, 4), pattern(5000, 4)}};
  std::vector<uint8_t> maps_before(efs_ctx.valid_map, efs_ctx.valid_map + 7);
  ASSERT_EQ(0, EFS_wear_leveling(0, 0));
  ASSERT_NE(maps_before, std::vector<uint8_t>(efs_ctx.valid_map, efs_ctx.valid_map + 7));
  Sweep("wear-levelling move", initial, [] { return EFS_wear_leveling(0, 0); }, unchanged,
        kProbe);
  const auto next = pattern(3000, 8);
  Sweep("write after a wear-levelling move", initial, [&] { return Write(kShared, next); },
        {{kShared, pattern(2000, 2), next}, {kMulti, pattern(6000, 3), pattern(6000, 3)}},
        kProbe);
}

TEST_F(EfsPowerLoss, RepairOfABadSpareAndIdleReclaim) {
  Populate();
  // A spare whose header fails: the next update's scan repairs it.
  ASSERT_EQ(0, EFS_scan_for_Data_Blocks_status_and_EC());
  Block(efs_ctx.spare_map[1])[12] ^= 0xFF;
  ASSERT_EQ(0, Mount());
  auto initial = image_;
  const auto next = pattern(40, 9);
  Sweep("write with a spare repair", initial, [&] { return Write(kSmall, next); },
        {{kSmall, pattern(60, 1), next}, {kShared, pattern(2000, 2), pattern(2000, 2)}},
        kProbe);

  // Idle reclaim with the entry past the fill level erases the next map.
  image_ = initial;
  ASSERT_EQ(0, Mount());
  while (efs_ctx.bme_off + 22 <= 2856) ASSERT_EQ(0, Write(kSmall, pattern(60, 1)));
  BlockMap(1)[300] = 0;
  ASSERT_EQ(0, Mount());
  initial = image_;
  Sweep("idle reclaim", initial, [] { return EFS_idle_reclaim(); },
        {{kSmall, pattern(60, 1), pattern(60, 1)}, {kMulti, pattern(6000, 3), pattern(6000, 3)}},
        kProbe);
  std::printf("[ cut points ] total: %llu\n", static_cast<unsigned long long>(g_total_cut_points));
}

}  // namespace
