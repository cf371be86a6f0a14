// A reference model for the translation layer: metadata pages map to their
// last committed 64 bytes, live data clusters to theirs. The harness drives a
// Vol, commits an operation to the model only when it returned success, and
// checks a remounted image against the model.
#pragma once

#include <functional>
#include <set>

#include "common/flash_fault.h"
#include "ftl_support.h"

namespace ftltest {

struct Model {
  std::map<uint32_t, Page> meta;          // committed metadata pages
  std::set<uint32_t> meta_unknown;        // trimmed: the old copy may come back at a mount
  std::map<uint32_t, Page> data;          // live clusters
  // An operation that may or may not have reached the flash.
  bool inflight_meta = false;
  uint32_t inflight_lpn = 0;
  Page inflight_new;

  std::vector<uint32_t> live() const {
    std::vector<uint32_t> v;
    for (auto& kv : data) v.push_back(kv.first);
    return v;
  }
};

// Reads every metadata page and live cluster and compares with the model. A
// page in flight may read as old or new; the model adopts what it reads.
inline ::testing::AssertionResult check_model(Vol& v, Model& m, uint32_t meta_pages) {
  Page out;
  for (uint32_t lpn = 0; lpn < meta_pages; ++lpn) {
    if (m.meta_unknown.count(lpn)) continue;
    int r = v.read_meta(lpn, out);
    if (r != 0) return ::testing::AssertionFailure() << "meta read " << lpn << " failed " << r;
    if (m.inflight_meta && lpn == m.inflight_lpn) {
      auto it = m.meta.find(lpn);
      Page old = it == m.meta.end() ? Page(64, 0) : it->second;
      if (out != old && out != m.inflight_new)
        return ::testing::AssertionFailure() << "in-flight page " << lpn << " is neither old nor new";
      m.meta[lpn] = out;
      continue;
    }
    auto it = m.meta.find(lpn);
    const Page want = it == m.meta.end() ? Page(64, 0) : it->second;
    if (out != want) return ::testing::AssertionFailure() << "meta page " << lpn << " differs";
  }
  m.inflight_meta = false;
  for (auto& kv : m.data) {
    int r = v.read_data(kv.first, out);
    if (r != 0) return ::testing::AssertionFailure() << "data read " << kv.first << " failed " << r;
    if (out != kv.second) return ::testing::AssertionFailure() << "cluster " << kv.first << " differs";
  }
  return ::testing::AssertionSuccess();
}

// Operations that keep the model in step. Each returns the FTL's result.
inline int op_write_meta(Vol& v, Model& m, uint32_t lpn, const Page& p) {
  m.inflight_meta = true;
  m.inflight_lpn = lpn;
  m.inflight_new = p;
  int r = v.write_meta(lpn, p);
  if (r == 0) {
    m.meta[lpn] = p;
    m.meta_unknown.erase(lpn);
    m.inflight_meta = false;
  }
  return r;
}

inline void op_trim_meta(Vol& v, Model& m, uint32_t lpn) {
  v.trim_meta(lpn);
  m.meta.erase(lpn);
  m.meta_unknown.insert(lpn);
}

// Writes a new cluster; when `replace` names a live cluster it is trimmed
// once the new one is stored (copy-on-write, as the file layer does).
inline int op_write_data(Vol& v, Model& m, const Page& p, uint32_t* replace, uint32_t* out_cluster = nullptr) {
  uint32_t c = 0;
  int r = v.allocate(c);
  if (r != 0) return r;
  if (m.data.count(c)) return -1000;  // the allocator handed out a live cluster
  r = v.write_data(c, p);
  if (r != 0) return r;
  m.data[c] = p;
  if (replace != nullptr) {
    v.trim_data(*replace);
    m.data.erase(*replace);
  }
  if (out_cluster) *out_cluster = c;
  return 0;
}

inline void op_trim_data(Vol& v, Model& m, uint32_t c) {
  v.trim_data(c);
  m.data.erase(c);
}

}  // namespace ftltest
