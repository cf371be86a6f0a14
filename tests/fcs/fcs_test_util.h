// Builders of FTBL blobs and FCS buffers for the FCS tests. They lay the
// bytes out by hand from the stored layouts (literal offsets, own
// little-endian writers), independently of the library's reader and writer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "efs/efs_tools_utils.h"
#include "fcs/FCS.h"

namespace fcstest {

inline void w16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b.at(at) = static_cast<uint8_t>(v & 0xFF);
  b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}
inline void w32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t r32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t r16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

struct Entry {
  std::string name;  // up to 48 bytes; 48 leaves no terminator
  uint32_t fileno;
  uint16_t attributes = 0;
  uint32_t max_size = 0;
  uint16_t file_id = 0;
  uint8_t fs_type = 0;
};

// An FTBL blob: "FTBL" magic, SKU count at 12, SKU entries from 16.
class Ftbl {
 public:
  explicit Ftbl(size_t size = 4096) : bytes(size, 0) {
    if (size >= 4) std::memcpy(bytes.data(), "FTBL", 4);
  }
  void sku_count(uint32_t n) { w32(bytes, 12, n); }
  void sku(uint32_t i, uint32_t id, uint32_t table_offset, uint32_t file_count) {
    const size_t at = 16 + 16 * i;
    w32(bytes, at, id);
    w32(bytes, at + 4, table_offset);
    w32(bytes, at + 8, file_count);
  }
  void entry(uint32_t table_offset, uint32_t index, const Entry& e) {
    const size_t at = table_offset + 68 * size_t(index);
    std::memset(&bytes.at(at), 0, 68);
    std::memcpy(&bytes.at(at), e.name.data(), e.name.size() > 48 ? 48 : e.name.size());
    w32(bytes, at + 0x30, e.fileno);
    w16(bytes, at + 0x34, e.attributes);
    w16(bytes, at + 0x3A, e.file_id);
    bytes.at(at + 0x3F) = e.fs_type;
    w32(bytes, at + 0x40, e.max_size);
  }
  // A whole table of one SKU at `table_offset`, as SKU entry `slot`.
  void table(uint32_t slot, uint32_t id, uint32_t table_offset, const std::vector<Entry>& entries) {
    sku(slot, id, table_offset, static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) entry(table_offset, uint32_t(i), entries[i]);
  }
  // An EFST section after `skus` SKU entries with one record for `sku`;
  // `bad` makes the record malformed (more record bytes than 60 x count).
  void efst(uint32_t skus, uint32_t sku, uint8_t layout, bool bad) {
    const size_t at = (skus + 1) * 16;
    std::memcpy(&bytes.at(at), "EFST", 4);
    w32(bytes, at + 12, 1);
    const size_t r = at + 16;
    w32(bytes, r, sku);
    w32(bytes, r + 4, 0);                // file-record offset
    w32(bytes, r + 8, 0);                // file-record count
    w32(bytes, r + 12, bad ? 61 : 0);    // file-record bytes
    w32(bytes, r + 16, 2);
    w32(bytes, r + 20, 7);
    w32(bytes, r + 24, 3);
    w32(bytes, r + 28, 16);
    w32(bytes, r + 32, 100);
    w32(bytes, r + 36, layout);
  }
  int load(uint32_t sku) { return load_file_table(bytes.data(), sku, uint32_t(bytes.size())); }

  std::vector<uint8_t> bytes;
};

// One FCS record for the hand-built buffers.
struct Rec {
  uint32_t fileno;
  std::vector<uint8_t> payload;
  uint16_t flags = 0;
};

// An FCS buffer laid out as the writer must lay it out: count, headers,
// payloads packed in the given order.
inline std::vector<uint8_t> fcs_buffer(const std::vector<Rec>& recs) {
  size_t total = 4 + 12 * recs.size();
  for (const Rec& r : recs) total += r.payload.size();
  std::vector<uint8_t> b(total, 0);
  w32(b, 0, uint32_t(recs.size()));
  size_t pay = 4 + 12 * recs.size();
  for (size_t i = 0; i < recs.size(); ++i) {
    const size_t h = 4 + 12 * i;
    w32(b, h, recs[i].fileno);
    w32(b, h + 4, uint32_t(pay));
    w16(b, h + 8, uint16_t(recs[i].payload.size()));
    w16(b, h + 10, recs[i].flags);
    if (!recs[i].payload.empty()) std::memcpy(&b[pay], recs[i].payload.data(), recs[i].payload.size());
    pay += recs[i].payload.size();
  }
  return b;
}

// A record for addNewFile: 12-byte header (size field left as given) and
// payload.
inline std::vector<uint8_t> record(uint32_t fileno, const std::vector<uint8_t>& payload,
                                   uint16_t flags = 0, uint16_t size_field = 0xEEEE) {
  std::vector<uint8_t> r(12 + payload.size(), 0);
  w32(r, 0, fileno);
  w32(r, 4, 0xDEADBEEF);
  w16(r, 8, size_field);
  w16(r, 10, flags);
  if (!payload.empty()) std::memcpy(&r[12], payload.data(), payload.size());
  return r;
}

inline std::vector<uint8_t> bytes_of(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + 7 * i);
  return v;
}

// Serialises a handle through the two-call protocol.
inline std::vector<uint8_t> flushed(void* handle) {
  uint32_t room = 0;
  uint8_t dummy = 0;
  EXPECT_EQ(flush(handle, &dummy, &room), 5);
  std::vector<uint8_t> out(room + 8, 0xA5);  // guard bytes behind the output
  const uint32_t needed = room;
  EXPECT_EQ(flush(handle, out.data(), &room), 0);
  EXPECT_EQ(room, needed);
  for (size_t i = needed; i < out.size(); ++i) EXPECT_EQ(out[i], 0xA5) << "byte past output " << i;
  out.resize(needed);
  return out;
}

// All names of a handle through the walk functions.
inline std::vector<std::string> walk(void* handle) {
  std::vector<std::string> names;
  char buf[64];
  int rc = getFirstFileInRoot(handle, buf);
  while (rc == 0) {
    names.emplace_back(buf);
    rc = getNextFile(handle, buf);
  }
  EXPECT_EQ(rc, 3);
  return names;
}

// The standard file table of the FCS tests, selected for SKU 7.
inline const std::vector<Entry>& standard_entries() {
  static const std::vector<Entry> e = {
      {"/home/b", 0x102, 0x0041, 100, 2, 0},
      {"/home/a", 0x101, 0x0001, 16, 1, 0},
      {"/home/c", 0x103, 0x0002, 0, 3, 2},
      {std::string(48, 'L'), 0x104, 0x0000, 64, 4, 0},
      {"/home/Zed", 0x105, 0x0000, 64, 5, 0},
      {"/home/\xC3x", 0x106, 0x0000, 64, 6, 0},
      {"/home/zz", 0xF0000107u, 0x0080, 0xFFFFFFFFu, 7, 0},
      {"/home/big", 0x108, 0x0000, 70000, 8, 0},
  };
  return e;
}

class FcsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    kelvra::fcs::reset_file_table_for_tests();
    kelvra::efs::reset_geometry_for_tests();
    Ftbl b;
    b.sku_count(1);
    b.table(0, 7, 512, standard_entries());
    blob = b.bytes;
    ASSERT_EQ(b.load(7), 0);
  }
  void TearDown() override {
    if (handle != nullptr) closeHandle(&handle);
    kelvra::fcs::reset_file_table_for_tests();
    kelvra::efs::reset_geometry_for_tests();
  }
  int add(const char* name, uint32_t fileno, const std::vector<uint8_t>& payload, bool check = false) {
    std::vector<uint8_t> r = record(fileno, payload);
    return addNewFile(handle, "", name, r.data(), uint32_t(r.size()), check);
  }

  std::vector<uint8_t> blob;
  void* handle = nullptr;
};

}  // namespace fcstest
