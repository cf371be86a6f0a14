// Power loss over the file layer: each workload runs once to count the
// flash mutations, then once per cut point on a fresh copy of the image with
// the power cut at that program or erase. After every cut the image must
// mount, every file other than the one being changed must be unchanged, the
// changed one must hold its complete old or complete new content, and the
// volume must take further writes and mount again.
//
// KELVRA_AFS_CUT_STRIDE (default 1) tests every n-th cut point only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <iostream>

#include "afs_test_util.h"
#include "common/flash_fault.h"
#include "common/status.h"

using namespace afstest;

namespace {

struct Op {
  enum Kind { kWrite, kDelete } kind;
  int id;
  uint32_t offset;
  Bytes data;
  uint32_t flags;
};

Op write_op(int id, uint32_t offset, Bytes data, uint32_t flags = 0) {
  return Op{Op::kWrite, id, offset, std::move(data), flags};
}
Op delete_op(int id) { return Op{Op::kDelete, id, 0, {}, 0}; }

int run_op(Volume& v, const Op& op) {
  if (op.kind == Op::kDelete) return afs_deletefile(&v.ctx, op.id);
  return afs_writefile(&v.ctx, op.id, op.offset, static_cast<uint32_t>(op.data.size()), op.data.data(), op.flags);
}

// The same operation on a model of the files.
void apply(Files& m, const Op& op) {
  if (op.kind == Op::kDelete) {
    m.erase(op.id);
    return;
  }
  Bytes& f = m[op.id];
  uint64_t end = static_cast<uint64_t>(op.offset) + op.data.size();
  if ((op.flags & AFS_WRITE_TRUNCATE) != 0 || f.size() < end) f.resize(end, 0);
  std::copy(op.data.begin(), op.data.end(), f.begin() + op.offset);
}

uint64_t cut_stride() {
  const char* s = std::getenv("KELVRA_AFS_CUT_STRIDE");
  uint64_t n = s != nullptr ? std::strtoull(s, nullptr, 10) : 1;
  return n == 0 ? 1 : n;
}

uint64_t g_total_cuts = 0;

// Runs `ops` over the volume in `base` (mounted from scratch) at every cut
// point. Returns the number of cut points.
uint64_t sweep(const Bytes& base, const Files& before, const std::vector<Op>& ops, int64_t torn_bytes) {
  // States after each operation.
  std::vector<Files> states{before};
  for (const Op& op : ops) {
    states.push_back(states.back());
    apply(states.back(), op);
  }

  // Count the mutations of an uninterrupted run; it must succeed throughout.
  uint64_t total = 0;
  {
    Volume v(base);
    EXPECT_EQ(v.mount(), 0);
    kelvra::FlashFaultPlan plan;
    {
      kelvra::fault::ScopedPlan scoped(plan);
      for (const Op& op : ops) EXPECT_EQ(run_op(v, op), 0);
    }
    total = plan.mutations;
    EXPECT_EQ(files_of(v), states.back());
    EXPECT_EQ(v.mount(), 0);
    EXPECT_EQ(files_of(v), states.back());
  }
  EXPECT_GT(total, 0u);

  const uint64_t stride = cut_stride();
  uint64_t tested = 0;
  for (uint64_t k = 1; k <= total; k += stride) {
    SCOPED_TRACE("cut at mutation " + std::to_string(k) + " of " + std::to_string(total));
    Volume v(base);
    if (v.mount() != 0) {
      ADD_FAILURE() << "base image does not mount";
      return tested;
    }
    kelvra::FlashFaultPlan plan;
    plan.cut_at = k;
    plan.torn_bytes = torn_bytes;
    size_t done = 0;  // operations that completed before the power went off
    {
      kelvra::fault::ScopedPlan scoped(plan);
      for (const Op& op : ops) {
        int rc = run_op(v, op);
        if (plan.powered_off) break;
        EXPECT_EQ(rc, 0);
        ++done;
      }
    }
    ++tested;
    EXPECT_TRUE(plan.powered_off);

    int rc = v.mount();
    EXPECT_EQ(rc, 0);
    if (rc != 0) return tested;
    Files now = files_of(v);
    bool old_state = now == states[done];
    bool new_state = done + 1 < states.size() && now == states[done + 1];
    EXPECT_TRUE(old_state || new_state) << "operation " << done << " left a mixed state";
    if (!old_state && !new_state) return tested;

    RawVolume raw = read_raw(v.flash);
    if (raw.ok) {
      EXPECT_EQ(raw.files, now);
    } else {
      // Only an interrupted reclaim is outside what the reader decodes.
      EXPECT_EQ(raw.error, "uncommitted unit");
    }

    // The volume goes on working.
    Bytes extra = pattern(333, static_cast<uint32_t>(k));
    EXPECT_EQ(v.write(900, 0, extra), 0);
    now[900] = extra;
    EXPECT_EQ(v.mount(), 0);
    EXPECT_EQ(files_of(v), now);
    if (::testing::Test::HasFailure()) return tested;
  }
  g_total_cuts += tested;
  return tested;
}

// A volume of `units` units holding three files, after `churn` rounds of
// metadata-only changes that fill the log units.
Bytes base_volume(uint32_t units, Files* files, int churn = 0) {
  Volume v(units);
  EXPECT_EQ(v.create(), 0);
  *files = {{1, pattern(300, 1)}, {2, pattern(5000, 2)}, {3, pattern(70, 3)}};
  for (auto& kv : *files) EXPECT_EQ(v.write(kv.first, 0, kv.second), 0);
  for (int i = 0; i < churn; ++i) {
    uint32_t id = 500 + static_cast<uint32_t>(i * 41) % 500;
    EXPECT_EQ(afs_mark_zombie_file(&v.ctx, id), 0);
    EXPECT_EQ(afs_deletefile(&v.ctx, static_cast<int>(id)), 0);
  }
  return v.flash;
}

}  // namespace

TEST(AfsPowerLoss, RewriteInTheMiddleOfAFile) {
  Files files;
  Bytes base = base_volume(4, &files);
  uint64_t n = sweep(base, files, {write_op(2, 2500, pattern(10, 20))}, -1);
  n += sweep(base, files, {write_op(2, 4990, pattern(200, 21))}, 0);
  std::cout << "[ cut points ] rewrite: " << n << "\n";
}

TEST(AfsPowerLoss, TruncatingRewrite) {
  Files files;
  Bytes base = base_volume(4, &files);
  uint64_t n = sweep(base, files, {write_op(2, 1000, pattern(100, 22), AFS_WRITE_TRUNCATE)}, -1);
  n += sweep(base, files, {write_op(2, 64, {}, AFS_WRITE_TRUNCATE)}, 0);
  std::cout << "[ cut points ] truncating rewrite: " << n << "\n";
}

TEST(AfsPowerLoss, Delete) {
  Files files;
  Bytes base = base_volume(4, &files);
  uint64_t n = sweep(base, files, {delete_op(2)}, -1);
  n += sweep(base, files, {delete_op(1)}, 0);
  std::cout << "[ cut points ] delete: " << n << "\n";
}

TEST(AfsPowerLoss, WritesThatForceReclaims) {
  Files files;
  Bytes base = base_volume(4, &files);
  // Whole rewrites of a large file and small appends: the data units run out
  // of erased slots and the log unit fills, so both kinds of reclaim run.
  std::vector<Op> ops;
  for (int i = 0; i < 10; ++i) {
    ops.push_back(write_op(2, 0, pattern(4000 + 64 * i, 100 + i), AFS_WRITE_TRUNCATE));
    ops.push_back(write_op(3, 70 + 20 * i, pattern(20, 200 + i)));
  }
  uint32_t seq_before = 0, seq_after = 0;
  {
    Volume v(base);
    ASSERT_EQ(v.mount(), 0);
    seq_before = v.ctx.ftl->sequence;
    for (const Op& op : ops) ASSERT_EQ(run_op(v, op), 0);
    seq_after = v.ctx.ftl->sequence;
  }
  EXPECT_GE(seq_after, seq_before + 4) << "the workload should reclaim";
  uint64_t n = sweep(base, files, ops, -1);
  std::cout << "[ cut points ] reclaims: " << n << " (sequence " << seq_before << " -> " << seq_after << ")\n";
  std::cout << "[ cut points ] total so far: " << g_total_cuts << "\n";
}

class AfsPowerLossLog : public ::testing::TestWithParam<uint32_t> {};

// 6 units have one log unit, 40 units three.
INSTANTIATE_TEST_SUITE_P(Units, AfsPowerLossLog, ::testing::Values(6u, 40u));

TEST_P(AfsPowerLossLog, ManySmallFilesFillTheLog) {
  const uint32_t units = GetParam();
  Files files;
  Bytes base = base_volume(units, &files, units == 6 ? 0 : 150);
  // Small files spread over the slot pages: every write stores table pages,
  // so the log units fill and are reclaimed; deletes release clusters.
  std::vector<Op> ops;
  for (int i = 0; i < 80; ++i) {
    int id = 10 + (i * 37) % 1000;
    ops.push_back(write_op(id, 0, pattern(40 + i, 300 + i)));
    if (i % 5 == 4) ops.push_back(delete_op(10 + ((i - 2) * 37) % 1000));
  }
  {
    Volume v(base);
    ASSERT_EQ(v.mount(), 0);
    const uint32_t seq = v.ctx.ftl->sequence;
    for (const Op& op : ops) ASSERT_EQ(run_op(v, op), 0);
    EXPECT_GT(v.ctx.ftl->sequence, seq) << "the workload should reclaim a log unit";
  }
  uint64_t n = sweep(base, files, ops, -1);
  n += sweep(base, files, std::vector<Op>(ops.begin(), ops.begin() + 12), 0);
  std::cout << "[ cut points ] small files over " << units << " units: " << n << "\n";
  std::cout << "[ cut points ] total so far: " << g_total_cuts << "\n";
}

TEST(AfsPowerLoss, CreationCutAtEveryPoint) {
  uint64_t total = 0;
  {
    Volume v(4);
    kelvra::FlashFaultPlan plan;
    kelvra::fault::ScopedPlan scoped(plan);
    ASSERT_EQ(v.create(), 0);
    total = plan.mutations;
  }
  ASSERT_GT(total, 0u);
  for (uint64_t k = 1; k <= total; ++k) {
    SCOPED_TRACE(k);
    Volume v(4);
    {
      kelvra::FlashFaultPlan plan;
      plan.cut_at = k;
      kelvra::fault::ScopedPlan scoped(plan);
      (void)v.create();
    }
    // Either no volume yet, or an empty one.
    int rc = v.mount();
    EXPECT_TRUE(rc == 0 || rc == kelvra::ST_IO) << rc;
    if (rc == 0) {
      EXPECT_TRUE(files_of(v).empty());
    }
    // Creating again always succeeds (without formatting when the units are
    // already laid out for the volume), and the result takes files.
    rc = v.init(kCreateFlags & ~AFS_INIT_FORMAT_ERASE);
    if (rc != 0) {
      ASSERT_EQ(v.create(), 0);
    }
    ASSERT_EQ(v.write(1, 0, pattern(100, 1)), 0);
    ASSERT_EQ(v.mount(), 0);
    EXPECT_EQ(files_of(v), (Files{{1, pattern(100, 1)}}));
  }
  g_total_cuts += total;
  std::cout << "[ cut points ] creation: " << total << "\n";
}
