// File operations over created volumes: round trips at offsets inside, at
// and past the end, truncations, the extent limit, reads stopped at the end,
// filling the volume, deletes and zombies, each checked after a remount and
// against the independent reader of the image.
#include <gtest/gtest.h>

#include <random>

#include "afs_test_util.h"
#include "common/status.h"

using namespace afstest;

namespace {

// Checks that a remount gives `expected` through the library and that the
// independent reader of the image agrees.
void expect_persisted(Volume& v, const Files& expected) {
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(files_of(v), expected);
  RawVolume raw = read_raw(v.flash);
  ASSERT_TRUE(raw.ok) << raw.error;
  EXPECT_EQ(raw.files, expected);
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST(AfsFiles, WriteReadRoundTripsAtEveryKindOfOffset) {
  Volume v(8);
  ASSERT_EQ(v.create(), 0);
  Files model;
  int rc = 0;

  // Absent slot: 10 bytes create a one-cluster file.
  Bytes a = pattern(10, 1);
  ASSERT_EQ(v.write(3, 0, a), 0);
  model[3] = a;
  EXPECT_EQ(v.whole(3, &rc), a);
  expect_persisted(v, model);

  // Past the end: bytes 10 to 99 read as zeros.
  Bytes b = pattern(10, 2);
  ASSERT_EQ(v.write(3, 100, b), 0);
  model[3] = concat(concat(a, Bytes(90, 0)), b);
  EXPECT_EQ(v.whole(3, &rc), model[3]);
  expect_persisted(v, model);

  // Inside: five clusters, 10 bytes at 70 replace only the second cluster.
  Bytes big = pattern(320, 3);
  ASSERT_EQ(v.write(7, 0, big), 0);
  Bytes patch = pattern(10, 4);
  ASSERT_EQ(v.write(7, 70, patch), 0);
  std::copy(patch.begin(), patch.end(), big.begin() + 70);
  model[7] = big;
  uint32_t size = 0;
  ASSERT_EQ(afs_getfilesize(&v.ctx, 7, &size), 0);
  EXPECT_EQ(size, 320u);
  expect_persisted(v, model);

  // At the end of a full cluster: the kept cluster's entry turns into a link.
  Bytes c64 = pattern(64, 5), next64 = pattern(64, 6);
  ASSERT_EQ(v.write(9, 0, c64), 0);
  ASSERT_EQ(v.write(9, 64, next64), 0);
  model[9] = concat(c64, next64);
  expect_persisted(v, model);

  // Overlapping the end, unaligned, spanning many clusters.
  Bytes tail = pattern(1000, 7);
  ASSERT_EQ(v.write(3, 50, tail), 0);
  model[3].resize(50);
  model[3] = concat(model[3], tail);
  expect_persisted(v, model);

  // Reads at offsets: stopped at the end, zero at and past the end.
  Bytes part = v.read(3, 1000, 500, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(part, Bytes(model[3].begin() + 1000, model[3].end()));
  EXPECT_TRUE(v.read(3, 1050, 10, &rc).empty());
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(v.read(3, 5000, 10, &rc).empty());
  EXPECT_EQ(rc, 0);
  for (uint32_t off : {0u, 1u, 63u, 64u, 65u, 127u, 500u, 1049u}) {
    for (uint32_t len : {1u, 63u, 64u, 65u, 200u, 2000u}) {
      Bytes got = v.read(3, off, len, &rc);
      ASSERT_EQ(rc, 0);
      size_t end = std::min<size_t>(model[3].size(), off + len);
      EXPECT_EQ(got, Bytes(model[3].begin() + off, model[3].begin() + end)) << off << "+" << len;
    }
  }
}

TEST(AfsFiles, LargeFilesCrossStagingAndBlockBoundaries) {
  Volume v(16);
  ASSERT_EQ(v.create(), 0);
  Files model;
  // Several files interleaved so chains are not contiguous, one long one.
  for (int round = 0; round < 3; ++round) {
    for (int id = 0; id < 4; ++id) {
      Bytes d = pattern(700 + 131 * id, 100 + round * 10 + id);
      uint32_t off = static_cast<uint32_t>(model[id].size());
      ASSERT_EQ(v.write(id, off, d), 0);
      model[id] = concat(model[id], d);
    }
  }
  Bytes longest = pattern(60000, 55);
  ASSERT_EQ(v.write(20, 0, longest), 0);
  model[20] = longest;
  EXPECT_EQ(files_of(v), model);
  int rc = 0;
  Bytes mid = v.read(20, 4000, 9000, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(mid, Bytes(longest.begin() + 4000, longest.begin() + 13000));
  expect_persisted(v, model);
}

TEST(AfsFiles, TruncationsAndEmptyFiles) {
  Volume v(8);
  ASSERT_EQ(v.create(), 0);
  Files model;
  int rc = 0;

  // Three clusters truncated at 64: one cluster with entry 64 remains.
  Bytes three = pattern(192, 11);
  ASSERT_EQ(v.write(1, 0, three), 0);
  ASSERT_EQ(v.truncate(1, 64), 0);
  model[1] = Bytes(three.begin(), three.begin() + 64);
  EXPECT_EQ(v.whole(1, &rc), model[1]);
  expect_persisted(v, model);

  // Truncated at 0: an empty file (slot 0xFFFF, size 0).
  ASSERT_EQ(v.truncate(1, 0), 0);
  model[1] = Bytes();
  uint32_t size = 99;
  ASSERT_EQ(afs_getfilesize(&v.ctx, 1, &size), 0);
  EXPECT_EQ(size, 0u);
  expect_persisted(v, model);

  // A zero-length truncation past the end extends with zeros.
  Bytes ten = pattern(10, 12);
  ASSERT_EQ(v.write(2, 0, ten), 0);
  ASSERT_EQ(v.truncate(2, 100), 0);
  model[2] = concat(ten, Bytes(90, 0));
  expect_persisted(v, model);

  // Truncating writes inside and at the end of a file.
  Bytes long1 = pattern(1000, 13);
  ASSERT_EQ(v.write(4, 0, long1), 0);
  Bytes w = pattern(30, 14);
  ASSERT_EQ(v.write(4, 500, w, AFS_WRITE_TRUNCATE), 0);
  model[4] = concat(Bytes(long1.begin(), long1.begin() + 500), w);
  expect_persisted(v, model);
  ASSERT_EQ(v.truncate(4, 530), 0);  // at the end: unchanged
  ASSERT_EQ(v.truncate(4, 128), 0);  // at a cluster boundary
  model[4].resize(128);
  expect_persisted(v, model);
  ASSERT_EQ(v.truncate(4, 100), 0);  // inside a cluster
  model[4].resize(100);
  expect_persisted(v, model);

  // A zero-length write without the flag creates an empty file or changes nothing.
  ASSERT_EQ(afs_writefile(&v.ctx, 5, 0, 0, nullptr, 0), 0);
  model[5] = Bytes();
  ASSERT_EQ(afs_writefile(&v.ctx, 4, 50, 0, nullptr, 0), 0);
  ASSERT_EQ(afs_writefile(&v.ctx, 4, 5000, 0, nullptr, 0), 0);
  expect_persisted(v, model);

  // A long chain truncated to nothing releases everything: the space comes back.
  Bytes huge = pattern(0x40000, 15);
  int r = v.write(6, 0, huge);
  ASSERT_TRUE(r == 0 || r == kelvra::ST_NOSPC) << r;
  if (r == 0) {
    ASSERT_EQ(v.truncate(6, 64), 0);
    model[6] = Bytes(huge.begin(), huge.begin() + 64);
    expect_persisted(v, model);
  }
}

TEST(AfsFiles, ExtentLimit) {
  Volume v(48);
  ASSERT_EQ(v.create(), 0);
  Bytes one = {0x5A};
  EXPECT_EQ(v.write(1, 0x40000, one), kelvra::ST_FBIG);
  EXPECT_EQ(v.write(1, 0x3FFFF, Bytes(2, 1)), kelvra::ST_FBIG);
  EXPECT_EQ(afs_writefile(&v.ctx, 1, 0x40001, 0, nullptr, AFS_WRITE_TRUNCATE), kelvra::ST_FBIG);
  uint32_t size = 0;
  EXPECT_EQ(afs_getfilesize(&v.ctx, 1, &size), kelvra::ST_NOENT);
  // Without the flag a zero-length write that far at most creates an empty file.
  EXPECT_EQ(afs_writefile(&v.ctx, 1, 0x40001, 0, nullptr, 0), 0);
  ASSERT_EQ(afs_getfilesize(&v.ctx, 1, &size), 0);
  EXPECT_EQ(size, 0u);
  // The last byte of the extent can be written: the file is 0x40000 long.
  ASSERT_EQ(v.write(2, 0x3FFFF, one), 0);
  ASSERT_EQ(afs_getfilesize(&v.ctx, 2, &size), 0);
  EXPECT_EQ(size, 0x40000u);
  int rc = 0;
  Bytes got = v.read(2, 0x3FFF0, 100, &rc);
  ASSERT_EQ(rc, 0);
  Bytes want(16, 0);
  want[15] = 0x5A;
  EXPECT_EQ(got, want);
  Files model = {{1, Bytes()}, {2, Bytes(0x40000, 0)}};
  model[2][0x3FFFF] = 0x5A;
  expect_persisted(v, model);
}

TEST(AfsFiles, FillTheVolumeUntilNoSpaceThenDeleteFreesIt) {
  Volume v(4);
  ASSERT_EQ(v.create(), 0);
  Files model;
  int id = 0;
  int rc = 0;
  for (; id < 1000; ++id) {
    Bytes d = pattern(700, 200 + id);
    rc = v.write(id, 0, d);
    if (rc != 0) break;
    model[id] = d;
  }
  ASSERT_EQ(rc, kelvra::ST_NOSPC);
  ASSERT_GT(model.size(), 5u);
  // The failed write left nothing behind.
  uint32_t size = 0;
  EXPECT_EQ(afs_getfilesize(&v.ctx, id, &size), kelvra::ST_NOENT);
  EXPECT_EQ(files_of(v), model);
  expect_persisted(v, model);

  // A file still grows by a few bytes in its last cluster? Only if there is
  // a free cluster; a delete certainly makes room again.
  ASSERT_EQ(afs_deletefile(&v.ctx, 0), 0);
  model.erase(0);
  EXPECT_EQ(afs_getfilesize(&v.ctx, 0, &size), kelvra::ST_NOENT);
  Bytes d = pattern(700, 999);
  ASSERT_EQ(v.write(id, 0, d), 0);
  model[id] = d;
  expect_persisted(v, model);

  // Delete everything, then fill again: the whole space is usable again.
  for (auto& kv : model) ASSERT_EQ(afs_deletefile(&v.ctx, kv.first), 0);
  model.clear();
  expect_persisted(v, model);
  int again = 0;
  for (; again < 1000; ++again) {
    Bytes e = pattern(700, 5000 + again);
    rc = v.write(again, 0, e);
    if (rc != 0) break;
    model[again] = e;
  }
  EXPECT_EQ(rc, kelvra::ST_NOSPC);
  EXPECT_GE(static_cast<int>(model.size()), id);
  expect_persisted(v, model);
}

TEST(AfsFiles, DeleteAndZombieMarks) {
  Volume v(4);
  ASSERT_EQ(v.create(), 0);
  uint32_t size = 0;
  // Delete of an absent slot: 2. Of an empty file: 0, slot cleared.
  EXPECT_EQ(afs_deletefile(&v.ctx, 5), kelvra::ST_NOENT);
  ASSERT_EQ(afs_writefile(&v.ctx, 5, 0, 0, nullptr, 0), 0);
  EXPECT_EQ(afs_deletefile(&v.ctx, 5), 0);
  EXPECT_EQ(afs_getfilesize(&v.ctx, 5, &size), kelvra::ST_NOENT);

  // Zombie on a slot in use: 99; on an absent slot: reads and sizes give 2.
  ASSERT_EQ(v.write(6, 0, pattern(100, 1)), 0);
  EXPECT_EQ(afs_mark_zombie_file(&v.ctx, 6), kelvra::ST_IMPOSSIBLE);
  ASSERT_EQ(afs_mark_zombie_file(&v.ctx, 7), 0);
  EXPECT_EQ(afs_getfilesize(&v.ctx, 7, &size), kelvra::ST_NOENT);
  uint32_t len = 0;
  uint8_t buf[1];
  EXPECT_EQ(afs_readfile(&v.ctx, 7, 0, &len, buf), kelvra::ST_NOENT);
  EXPECT_EQ(afs_mark_zombie_file(&v.ctx, 7), kelvra::ST_IMPOSSIBLE);
  RawVolume raw = read_raw(v.flash);
  ASSERT_TRUE(raw.ok) << raw.error;
  EXPECT_EQ(raw.zombies, std::vector<int>{7});
  // A delete of a zombie gives 0; a write revives another zombie as a file.
  ASSERT_EQ(afs_deletefile(&v.ctx, 7), 0);
  ASSERT_EQ(afs_mark_zombie_file(&v.ctx, 8), 0);
  ASSERT_EQ(v.write(8, 0, pattern(5, 2)), 0);
  ASSERT_EQ(afs_mark_zombie_file(&v.ctx, 9), 0);

  // The next mount turns the zombie into an absent slot; the change is
  // stored at the latest by the next operation that flushes.
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(v.ctx.file_size_table[9], AFS_NO_SIZE);
  EXPECT_EQ(afs_getfilesize(&v.ctx, 9, &size), kelvra::ST_NOENT);
  ASSERT_EQ(v.write(10, 0, pattern(5, 3)), 0);
  raw = read_raw(v.flash);
  ASSERT_TRUE(raw.ok) << raw.error;
  EXPECT_TRUE(raw.zombies.empty());
  Files want = {{6, pattern(100, 1)}, {8, pattern(5, 2)}, {10, pattern(5, 3)}};
  EXPECT_EQ(raw.files, want);
  expect_persisted(v, want);
}

TEST(AfsFiles, BadArgumentsAndSizesWithoutTheTable) {
  Volume v(4);
  ASSERT_EQ(v.create(), 0);
  uint8_t buf[8] = {};
  uint32_t len = 8, size = 0;
  EXPECT_EQ(afs_getfilesize(&v.ctx, -1, &size), kelvra::ST_INVAL);
  EXPECT_EQ(afs_getfilesize(&v.ctx, 1024, &size), kelvra::ST_INVAL);
  EXPECT_EQ(afs_getfilesize(&v.ctx, 0, nullptr), kelvra::ST_INVAL);
  EXPECT_EQ(afs_readfile(&v.ctx, 0, 0, nullptr, buf), kelvra::ST_INVAL);
  EXPECT_EQ(afs_readfile(&v.ctx, 0, 0, &len, nullptr), kelvra::ST_INVAL);
  len = 0x80000000u;
  EXPECT_EQ(afs_readfile(&v.ctx, 0, 0, &len, buf), kelvra::ST_INVAL);
  EXPECT_EQ(afs_writefile(&v.ctx, 0, 0, 8, nullptr, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_writefile(&v.ctx, 2048, 0, 8, buf, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_deletefile(&v.ctx, -5), kelvra::ST_INVAL);
  EXPECT_EQ(afs_mark_zombie_file(&v.ctx, 0x80000000u), kelvra::ST_INVAL);
  EXPECT_EQ(afs_mark_zombie_file(&v.ctx, 1024), kelvra::ST_INVAL);
  // Reading an absent file gives 2 even for length 0.
  len = 0;
  EXPECT_EQ(afs_readfile(&v.ctx, 0, 0, &len, buf), kelvra::ST_NOENT);

  // Sizes from the chains once the table is gone.
  ASSERT_EQ(v.write(1, 0, pattern(130, 1)), 0);
  ASSERT_EQ(afs_writefile(&v.ctx, 2, 0, 0, nullptr, 0), 0);
  afs_free_file_size_table(&v.ctx);
  EXPECT_EQ(v.ctx.file_size_table, nullptr);
  ASSERT_EQ(afs_getfilesize(&v.ctx, 1, &size), 0);
  EXPECT_EQ(size, 130u);
  ASSERT_EQ(afs_getfilesize(&v.ctx, 2, &size), 0);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(afs_getfilesize(&v.ctx, 3, &size), kelvra::ST_NOENT);
  ASSERT_EQ(v.write(1, 200, pattern(10, 2)), 0);
  ASSERT_EQ(afs_getfilesize(&v.ctx, 1, &size), 0);
  EXPECT_EQ(size, 210u);
}

class AfsRandom : public ::testing::TestWithParam<uint32_t> {};

// 6 units have one log unit; 40 units have three, so metadata pages move
// between log units of different ages.
INSTANTIATE_TEST_SUITE_P(Units, AfsRandom, ::testing::Values(6u, 40u));

TEST_P(AfsRandom, OperationsAgainstAModel) {
  Volume v(GetParam());
  ASSERT_EQ(v.create(), 0);
  const uint32_t seq_start = v.ctx.ftl->sequence;
  std::mt19937 rng(20261209 + GetParam());
  Files model;
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  const int steps = 1500;
  for (int step = 0; step < steps; ++step) {
    int id = static_cast<int>(pick(12) * 97 % 1024);
    uint32_t op = pick(100);
    auto it = model.find(id);
    const bool exists = it != model.end();
    const Bytes cur = exists ? it->second : Bytes();
    const uint32_t size = static_cast<uint32_t>(cur.size());
    if (op < 55) {
      uint32_t off = pick(size + 150);
      uint32_t len = pick(op < 10 ? 3000 : 300);
      bool trunc = pick(4) == 0;
      Bytes d = pattern(len, static_cast<uint32_t>(step));
      int rc = v.write(id, off, d, trunc ? AFS_WRITE_TRUNCATE : 0);
      if (rc == kelvra::ST_NOSPC) continue;
      ASSERT_EQ(rc, 0) << "step " << step;
      Bytes m = cur;
      if (len != 0 || trunc) {
        uint64_t end = static_cast<uint64_t>(off) + len;
        if (trunc || m.size() < end) m.resize(end, 0);
        std::copy(d.begin(), d.end(), m.begin() + off);
      }
      model[id] = m;
    } else if (op < 70) {
      ASSERT_EQ(afs_deletefile(&v.ctx, id), exists ? 0 : 2) << "step " << step;
      model.erase(id);
    } else {
      uint32_t off = pick(size + 10), len = pick(400);
      int rc = 0;
      Bytes got = v.read(id, off, len, &rc);
      ASSERT_EQ(rc, exists ? 0 : 2) << "step " << step;
      size_t end = std::min<size_t>(size, static_cast<size_t>(off) + len);
      Bytes want = off < size ? Bytes(cur.begin() + off, cur.begin() + end) : Bytes();
      ASSERT_EQ(got, want) << "step " << step;
    }
    if (step % 150 == 149) {
      ASSERT_EQ(v.mount(), 0) << "step " << step;
      ASSERT_EQ(files_of(v), model) << "step " << step;
      RawVolume raw = read_raw(v.flash);
      ASSERT_TRUE(raw.ok) << raw.error;
      ASSERT_EQ(raw.files, model) << "step " << step;
    }
  }
  ASSERT_EQ(v.mount(), 0);
  EXPECT_GT(v.ctx.ftl->sequence, seq_start + 3) << "the run should reclaim units";
}
