// FCS buffers: the reader (createHandleFromStructure) and the writer (flush).

#include <algorithm>
#include <memory>
#include <random>

#include "fcs_test_util.h"

using namespace fcstest;

namespace {

using FcsBuffer = FcsFixture;

// Loads `bytes` through an exactly sized heap copy, so any read past the
// end is caught by the address sanitizer.
int load_exact(const std::vector<uint8_t>& bytes, void** slot) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() == 0 ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
  const int rc = createHandleFromStructure(slot, copy.get(), uint32_t(bytes.size()));
  // The reader never writes its input.
  if (!bytes.empty()) {
    EXPECT_EQ(std::memcmp(copy.get(), bytes.data(), bytes.size()), 0);
  }
  return rc;
}

TEST_F(FcsBuffer, GoldenBytesOfFlush) {
  ASSERT_EQ(createHandle(&handle), 0);
  // Added out of order; the output holds them in name order.
  std::vector<uint8_t> rb = record(0x102, {0xB0, 0xB1, 0xB2}, 0x0001);
  std::vector<uint8_t> rz = record(0xF0000107u, {}, 0x8000);
  std::vector<uint8_t> ra = record(0x101, {0xA0, 0xA1}, 0x0003);
  ASSERT_EQ(addNewFile(handle, "", "/home/b", rb.data(), uint32_t(rb.size()), false), 0);
  ASSERT_EQ(addNewFile(handle, "", "/home/zz", rz.data(), uint32_t(rz.size()), false), 0);
  ASSERT_EQ(addNewFile(handle, "", "/home/a", ra.data(), uint32_t(ra.size()), false), 0);

  const std::vector<uint8_t> golden = {
      0x03, 0x00, 0x00, 0x00,                                                  // count
      0x01, 0x01, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x02, 0x00, 0x03, 0x00,  // /home/a @40
      0x02, 0x01, 0x00, 0x00, 0x2A, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00,  // /home/b @42
      0x07, 0x01, 0x00, 0xF0, 0x2D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80,  // /home/zz @45
      0xA0, 0xA1, 0xB0, 0xB1, 0xB2};
  EXPECT_EQ(flushed(handle), golden);

  // The stored headers now carry their positions in the payload area.
  std::vector<uint8_t> rec(64);
  uint32_t room = 64;
  ASSERT_EQ(getFileData(handle, "/home/b", rec.data(), &room), 0);
  EXPECT_EQ(r32(&rec[4]), 2u);
  ASSERT_EQ(getFileData(handle, "/home/zz", rec.data(), &room), 0);
  EXPECT_EQ(r32(&rec[4]), 5u);

  // And the golden buffer reads back into the same tree.
  void* again = nullptr;
  ASSERT_EQ(load_exact(golden, &again), 0);
  EXPECT_EQ(walk(again), (std::vector<std::string>{"/home/a", "/home/b", "/home/zz"}));
  EXPECT_EQ(flushed(again), golden);
  closeHandle(&again);
}

TEST_F(FcsBuffer, FlushSizeQueryProtocol) {
  ASSERT_EQ(createHandle(&handle), 0);
  uint32_t room = 0;
  EXPECT_EQ(flush(handle, nullptr, &room), 5);
  EXPECT_EQ(room, 4u);  // empty handle: just the count
  uint8_t four[4] = {9, 9, 9, 9};
  EXPECT_EQ(flush(handle, four, &room), 0);
  EXPECT_EQ(r32(four), 0u);

  ASSERT_EQ(add("/home/a", 0x101, bytes_of(10, 1)), 0);
  room = 0;
  EXPECT_EQ(flush(handle, nullptr, &room), 5);
  EXPECT_EQ(room, 26u);
  room = 25;
  std::vector<uint8_t> out(40, 0x77);
  EXPECT_EQ(flush(handle, out.data(), &room), 5);
  EXPECT_EQ(room, 26u);
  EXPECT_EQ(out[0], 0x77);  // nothing written
  EXPECT_EQ(flush(handle, nullptr, &room), 1);
  EXPECT_EQ(room, 26u);
  room = 40;
  EXPECT_EQ(flush(handle, out.data(), &room), 0);
  EXPECT_EQ(room, 26u);
  EXPECT_EQ(out[26], 0x77);  // bytes beyond needed untouched

  uint32_t needed = 0;
  EXPECT_TRUE(kelvra::fcs::fcs_buffer_size(2, 100, &needed));
  EXPECT_EQ(needed, 128u);
  EXPECT_TRUE(kelvra::fcs::fcs_buffer_size(0, 0xFFFFFFFBu, &needed));
  EXPECT_EQ(needed, 0xFFFFFFFFu);
  EXPECT_FALSE(kelvra::fcs::fcs_buffer_size(0, 0xFFFFFFFCu, &needed));
  EXPECT_FALSE(kelvra::fcs::fcs_buffer_size(0x15555555u, 0, &needed));
  EXPECT_FALSE(kelvra::fcs::fcs_buffer_size(0x100000000ull, 0, &needed));
}

TEST_F(FcsBuffer, RandomOrderRoundTrip) {
  const auto& entries = standard_entries();
  std::mt19937 rng(1234);
  for (int round = 0; round < 20; ++round) {
    std::vector<size_t> order(entries.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    void* h = nullptr;
    ASSERT_EQ(createHandle(&h), 0);
    for (size_t i : order) {
      const size_t len = rng() % 200;
      std::vector<uint8_t> r = record(entries[i].fileno, bytes_of(len, uint8_t(rng())), uint16_t(rng()));
      ASSERT_EQ(addNewFile(h, "", entries[i].name.c_str(), r.data(), uint32_t(r.size()), false), 0);
    }
    const std::vector<uint8_t> first = flushed(h);
    void* back = nullptr;
    ASSERT_EQ(load_exact(first, &back), 0);
    EXPECT_EQ(flushed(back), first);
    // Headers in unsigned name order, payloads packed in that order.
    std::vector<std::string> names = walk(back);
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
      return std::lexicographical_compare(
          a.begin(), a.end(), b.begin(), b.end(),
          [](char x, char y) { return uint8_t(x) < uint8_t(y); });
    });
    EXPECT_EQ(names, sorted);
    EXPECT_EQ(names.size(), entries.size());
    // A byte above 0x7F sorts after "z".
    const auto high = std::find(names.begin(), names.end(), "/home/\xC3x");
    const auto zz = std::find(names.begin(), names.end(), "/home/zz");
    ASSERT_TRUE(high != names.end() && zz != names.end());
    EXPECT_EQ(high - zz, 1);
    const uint32_t n = r32(first.data());
    uint32_t expect_off = 4 + 12 * n;
    for (uint32_t i = 0; i < n; ++i) {
      EXPECT_EQ(r32(&first[4 + 12 * i + 4]), expect_off);
      expect_off += r16(&first[4 + 12 * i + 8]);
    }
    EXPECT_EQ(expect_off, first.size());
    closeHandle(&back);
    closeHandle(&h);
  }
}

TEST_F(FcsBuffer, ReaderKeepsOnlyTableFilesUnderTableNames) {
  // Reverse name order, a foreign number, overlapping payloads and a gap.
  std::vector<uint8_t> b = fcs_buffer({{0x103, {5, 6}}, {0x999, {7}}, {0x102, {1, 2, 3}}, {0x101, {}}});
  w32(b, 4 + 12 * 1 + 4, 0xFFFFFFF0u);  // foreign record: wild offset, size 1
  w16(b, 4 + 12 * 1 + 8, 0);            // made size 0, so never looked at
  w32(b, 4 + 12 * 3 + 4, 0x7FFFFFFFu);  // size-0 record with a wild offset
  w32(b, 4 + 12 * 0 + 4, 4 + 12 * 4 + 4);  // overlaps /home/b's payload
  ASSERT_EQ(load_exact(b, &handle), 0);
  EXPECT_EQ(walk(handle), (std::vector<std::string>{"/home/a", "/home/b", "/home/c"}));
  std::vector<uint8_t> rec(64);
  uint32_t room = 64;
  ASSERT_EQ(getFileData(handle, "/home/c", rec.data(), &room), 0);
  EXPECT_EQ(room, 14u);
  EXPECT_EQ(rec[12], 2);
  EXPECT_EQ(rec[13], 3);
  const std::vector<uint8_t> out = flushed(handle);
  EXPECT_EQ(out, fcs_buffer({{0x101, {}}, {0x102, {1, 2, 3}}, {0x103, {2, 3}}}));

  // Nothing in the file table: an empty handle.
  void* empty = nullptr;
  ASSERT_EQ(load_exact(fcs_buffer({{0x55, {1}}, {0x56, {}}}), &empty), 0);
  EXPECT_EQ(walk(empty).size(), 0u);
  closeHandle(&empty);
}

TEST_F(FcsBuffer, MalformedBuffersRefused) {
  auto expect_refused = [&](const std::vector<uint8_t>& bytes, const char* what) {
    void* slot = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(load_exact(bytes, &slot), 10) << what;
    EXPECT_EQ(slot, nullptr) << what;
  };
  expect_refused({0, 0, 0}, "3 bytes");
  expect_refused({}, "0 bytes");
  {
    std::vector<uint8_t> b = fcs_buffer({{0x101, {}}, {0x102, {}}});
    b.resize(24);
    expect_refused(b, "N=2 in 24 bytes");
  }
  {
    std::vector<uint8_t> b(16, 0);
    w32(b, 0, 0x40000000u);  // header area 12 x N wraps 32 bits
    expect_refused(b, "count wraps");
    w32(b, 0, 0xFFFFFFFFu);
    expect_refused(b, "count max");
    w32(b, 0, 0x15555556u);  // 4 + 12 x N wraps to a small value in 32 bits
    expect_refused(b, "count wraps to small");
  }
  {
    std::vector<uint8_t> b = fcs_buffer({{0x101, {1, 2, 3}}});
    w32(b, 8, uint32_t(b.size()) - 2);  // payload ends one byte past the end
    expect_refused(b, "payload one past the end");
    w32(b, 8, uint32_t(b.size()) - 3);  // ends exactly at the end
    void* ok = nullptr;
    EXPECT_EQ(load_exact(b, &ok), 0);
    closeHandle(&ok);
    w32(b, 8, 0xFFFFFFFFu);  // offset + size wraps 32 bits
    expect_refused(b, "offset wraps");
    w32(b, 8, 0xFFFFFFFEu);
    w16(b, 12, 0xFFFF);
    expect_refused(b, "offset and size wrap");
  }
  {
    // A payload of 65524 bytes leaves a 16-bit record size below 12.
    std::vector<uint8_t> b = fcs_buffer({{0x102, bytes_of(65524, 0)}});
    expect_refused(b, "payload 65524");
    void* ok = nullptr;
    EXPECT_EQ(load_exact(fcs_buffer({{0x102, bytes_of(65523, 0)}}), &ok), 0);
    uint32_t room = 0;
    uint8_t d;
    EXPECT_EQ(getFileData(ok, "/home/b", &d, &room), 5);
    EXPECT_EQ(room, 65535u);
    closeHandle(&ok);
  }
  expect_refused(fcs_buffer({{0x101, {1}}, {0x101, {2}}}), "same number twice");
  {
    // Two numbers whose entries carry the same name.
    Ftbl t;
    t.sku_count(1);
    t.table(0, 2, 512, {{"/home/same", 0x1}, {"/home/same", 0x2}, {"", 0x3}});
    ASSERT_EQ(t.load(2), 0);
    expect_refused(fcs_buffer({{0x1, {}}, {0x2, {}}}), "same name twice");
    expect_refused(fcs_buffer({{0x3, {}}}), "empty table name");
  }

  void* slot = reinterpret_cast<void*>(0x1);
  uint8_t byte = 0;
  EXPECT_EQ(createHandleFromStructure(nullptr, &byte, 1), 1);
  EXPECT_EQ(createHandleFromStructure(&slot, nullptr, 4), 1);
  EXPECT_EQ(slot, reinterpret_cast<void*>(0x1));
  EXPECT_FALSE(loadDataFromFcsBuffer(nullptr, &byte, 1));
}

TEST_F(FcsBuffer, ExactlyFourBytesAndTruncations) {
  void* h = nullptr;
  ASSERT_EQ(load_exact({0, 0, 0, 0}, &h), 0);
  EXPECT_EQ(walk(h).size(), 0u);
  closeHandle(&h);

  // Every truncation of a valid buffer is refused or yields a subset, and
  // never reads outside the (exactly sized) copy.
  const std::vector<uint8_t> full = fcs_buffer({{0x101, bytes_of(5, 1)}, {0x102, bytes_of(7, 2)}, {0x103, {}}});
  for (size_t len = 0; len < full.size(); ++len) {
    std::vector<uint8_t> cut(full.begin(), full.begin() + len);
    void* s = nullptr;
    const int rc = load_exact(cut, &s);
    EXPECT_EQ(rc, 10) << len;
    EXPECT_EQ(s, nullptr);
  }
  // Every single-byte corruption is either refused or loads and flushes.
  for (size_t i = 0; i < full.size(); ++i) {
    for (uint8_t v : {uint8_t(0x00), uint8_t(0xFF), uint8_t(0x80)}) {
      std::vector<uint8_t> bad = full;
      bad[i] = v;
      void* s = nullptr;
      const int rc = load_exact(bad, &s);
      ASSERT_TRUE(rc == 0 || rc == 10) << i;
      if (rc == 0) {
        (void)flushed(s);
        closeHandle(&s);
      }
    }
  }
}

}  // namespace
