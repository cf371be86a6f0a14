// Randomised checks of the ordered tree and the indexed file table against
// plain references: a full sort with fileCompare and linear first-match scans.

#include <algorithm>
#include <memory>
#include <random>

#include "fcs/Directory.h"
#include "fcs_test_util.h"

using namespace fcstest;
using image_editor::Directory;
using image_editor::File;
using image_editor::IFile;

namespace {

// Names that stress the order: empty, long shared prefixes, equal in their
// first 48 bytes (so equal as stored), bytes above 0x7F, '/' inside.
std::string random_name(std::mt19937& rng) {
  static const char alphabet[] = {'a', 'b', 'Z', '/', '\x7F', '\x80', '\xC3', '\xFF'};
  const std::string shared(44, 'p');
  std::string n;
  switch (rng() % 4) {
    case 0: n = shared.substr(0, rng() % 44); break;
    case 1: n = shared; break;  // differs at most after 44, often after 48
    default: break;
  }
  const size_t tail = rng() % 8;
  for (size_t i = 0; i < tail; ++i) n += alphabet[rng() % sizeof alphabet];
  return n;
}

std::shared_ptr<IFile> node(const std::string& name, uint32_t id) {
  std::vector<uint8_t> r = record(id, {});
  return std::make_shared<File>(r.data(), uint32_t(r.size()), name.c_str());
}

std::vector<std::string> names_of(const std::deque<std::shared_ptr<IFile>>& nodes) {
  std::vector<std::string> v;
  for (const auto& c : nodes) v.push_back(c->nameString());
  return v;
}

std::shared_ptr<IFile> scan(const Directory& d, const std::string& name) {
  for (const auto& c : d.children)
    if (c->nameString() == name) return c;
  return nullptr;
}

void expect_lookups_match_scan(Directory& d, const std::vector<std::string>& queries) {
  for (const std::string& q : queries) {
    std::shared_ptr<IFile> found;
    const bool ok = d.getFile(q, &found);
    std::shared_ptr<IFile> expected = scan(d, q);
    EXPECT_EQ(ok, expected != nullptr) << q;
    EXPECT_EQ(found, expected) << q;
  }
}

TEST(OrderedTree, RandomAddsDeletesAndLookupsMatchSortAndScan) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 12; ++round) {
    Directory d;
    std::deque<std::shared_ptr<IFile>> added;
    std::vector<std::string> asked;
    for (uint32_t i = 0; i < 150; ++i) {
      const std::string name = random_name(rng);
      asked.push_back(name);
      auto n = node(name, i);
      ASSERT_TRUE(d.addFile("any/path", n));
      added.push_back(n);
      std::deque<std::shared_ptr<IFile>> sorted = added;
      std::sort(sorted.begin(), sorted.end(), fileCompare);
      ASSERT_EQ(names_of(d.children), names_of(sorted)) << "round " << round << " add " << i;
      expect_lookups_match_scan(d, {name, asked[rng() % asked.size()], random_name(rng), name + "x"});

      if (rng() % 5 == 0) {  // delete the first child of a name without '/'
        const std::string victim = asked[rng() % asked.size()];
        if (victim.empty() || victim.find('/') != std::string::npos) continue;
        const std::shared_ptr<IFile> first = scan(d, victim);
        EXPECT_EQ(d.deleteFile(victim), first != nullptr);
        if (first == nullptr) continue;
        added.erase(std::find(added.begin(), added.end(), first));
        EXPECT_EQ(std::count(d.children.begin(), d.children.end(), first), 0);
        EXPECT_TRUE(std::is_sorted(d.children.begin(), d.children.end(), fileCompare));
      }
    }
  }
}

TEST(OrderedTree, ChildrenChangedFromOutsideAreStillSearchedAndSortedWhole) {
  Directory d;
  for (const char* n : {"m", "c", "x"}) d.addFile("", node(n, 1));
  // A caller appends out of order and with a duplicate name directly.
  auto late_a = node("a", 2);
  auto late_c = node("c", 3);
  d.children.push_back(late_a);
  d.children.push_front(late_c);
  expect_lookups_match_scan(d, {"a", "c", "m", "x", "q"});
  std::shared_ptr<IFile> found;
  ASSERT_TRUE(d.getFile("c", &found));
  EXPECT_EQ(found, late_c);  // the first in children order, as a scan finds it
  EXPECT_TRUE(d.addFile("", node("b", 4)));
  EXPECT_EQ(names_of(d.children), (std::vector<std::string>{"a", "b", "c", "c", "m", "x"}));
  expect_lookups_match_scan(d, {"a", "b", "c", "m", "x", ""});
  // Replaced at one end with the same count: noticed as well.
  d.children.back() = node("0", 5);
  expect_lookups_match_scan(d, {"0", "x", "a"});
  EXPECT_TRUE(d.addFile("", node("y", 6)));
  EXPECT_EQ(names_of(d.children), (std::vector<std::string>{"0", "a", "b", "c", "c", "m", "y"}));
}

// ---- The file table ----

const file_table_entry_t* scan_by_name(const char* q) {
  for (int32_t i = 0; i < g_table_num_files; ++i)
    if (std::strncmp(g_table_buf[i].name, q, 48) == 0) return &g_table_buf[i];
  return nullptr;
}

const file_table_entry_t* scan_by_number(uint32_t n) {
  for (int32_t i = 0; i < g_table_num_files; ++i)
    if (g_table_buf[i].fileno == n) return &g_table_buf[i];
  return nullptr;
}

class IndexedFileTable : public FcsFixture {};

TEST_F(IndexedFileTable, RandomTablesLookUpTheFirstMatchAsAScan) {
  std::mt19937 rng(99);
  for (int round = 0; round < 6; ++round) {
    // Few distinct names and numbers, so that both repeat.
    std::vector<Entry> entries;
    for (uint32_t i = 0; i < 250; ++i) {
      std::string name = "/home/" + random_name(rng);
      if (rng() % 6 == 0) name = std::string(48, char('A' + rng() % 3)) + random_name(rng);
      entries.push_back({name, uint32_t(1 + rng() % 90), uint16_t(i), i});
    }
    Ftbl b(512 + 68 * entries.size());
    b.sku_count(1);
    b.table(0, 7, 512, entries);
    ASSERT_EQ(b.load(7), 0);
    ASSERT_EQ(g_table_num_files, 250);

    std::vector<std::string> queries;
    for (const Entry& e : entries) {
      queries.push_back(e.name);
      queries.push_back(e.name + "/");
      queries.push_back(e.name.substr(0, e.name.size() / 2));
    }
    queries.push_back("");
    queries.push_back(std::string(47, 'A'));
    for (const std::string& q : queries) {
      ASSERT_EQ(get_file_entry_by_file_name(q.c_str()), scan_by_name(q.c_str())) << q;
      const file_table_entry_t* e = scan_by_name(q.c_str());
      fileno_t number = 0;
      ASSERT_EQ(get_fileno_by_file_name(q.c_str(), &number), e != nullptr ? 0 : -1);
      if (e != nullptr) {
        EXPECT_EQ(number, e->fileno);
      }
    }
    for (uint32_t n = 0; n <= 92; ++n) {
      ASSERT_EQ(get_file_entry_by_fileno(&n), scan_by_number(n)) << n;
    }

    // The handle API takes the first entry of a name when a record's number
    // is 0, and validates numbers through the same index.
    ASSERT_EQ(createHandle(&handle), 0);
    for (size_t k = 0; k < 40; ++k) {
      const std::string& name = entries[rng() % entries.size()].name;
      std::vector<uint8_t> r = record(0, {1, 2});
      const file_table_entry_t* first = scan_by_name(name.c_str());
      const int rc = addNewFile(handle, "", name.c_str(), r.data(), uint32_t(r.size()), false);
      EXPECT_TRUE(rc == 0 || rc == 11) << rc;
      EXPECT_EQ(r32(r.data()), first->fileno);
    }
    ASSERT_EQ(closeHandle(&handle), 0);
  }
}

}  // namespace
