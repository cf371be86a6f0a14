// The image file tree: File, Directory, fileCompare and FileIterator.

#include <memory>

#include "fcs/Directory.h"
#include "fcs/FileIterator.h"
#include "fcs_test_util.h"

using namespace fcstest;
using image_editor::Directory;
using image_editor::File;
using image_editor::FileIterator;
using image_editor::IFile;

namespace {

std::shared_ptr<IFile> file_of(const std::string& name, size_t payload, uint32_t fileno = 1) {
  std::vector<uint8_t> r = record(fileno, bytes_of(payload, uint8_t(name.empty() ? 0 : name[0])));
  return std::make_shared<File>(r.data(), uint32_t(r.size()), name.c_str());
}

std::vector<std::string> names_of(const Directory& d) {
  std::vector<std::string> v;
  for (const auto& c : d.children) v.push_back(c->nameString());
  return v;
}

TEST(TreeFile, ConstructionStoresRecordAndCutsName) {
  std::vector<uint8_t> r = record(0x1234, bytes_of(100, 3), 0x8001, /*size_field=*/7);
  File f(r.data(), uint32_t(r.size()), "/home/x");
  EXPECT_FALSE(f.isDirectory());
  EXPECT_EQ(f.getSize(), 112u);
  ASSERT_EQ(f.record.size(), 112u);
  EXPECT_EQ(f.header, reinterpret_cast<_cfg_file_entry_t*>(f.record.data()));
  // The size field holds the real payload length; the rest keeps the input.
  EXPECT_EQ(r16(&f.record[8]), 100);
  EXPECT_EQ(r32(&f.record[0]), 0x1234u);
  EXPECT_EQ(r32(&f.record[4]), 0xDEADBEEFu);
  EXPECT_EQ(r16(&f.record[10]), 0x8001);
  EXPECT_EQ(std::vector<uint8_t>(f.record.begin() + 12, f.record.end()), bytes_of(100, 3));
  EXPECT_EQ(f.getFullPath(), "/home/x");
  EXPECT_EQ(f.parent, nullptr);
  EXPECT_TRUE(f.path.empty());

  const std::string n48(48, 'k');
  File g(r.data(), 12, n48.c_str());
  EXPECT_EQ(g.nameString(), n48);
  EXPECT_EQ(g.getSize(), 12u);
  EXPECT_EQ(r16(&g.record[8]), 0);
  File h(r.data(), 12, (n48 + "extra").c_str());
  EXPECT_EQ(h.nameString(), n48);
  File e(r.data(), 12, "");
  for (char c : e.name) EXPECT_EQ(c, '\0');
  EXPECT_EQ(e.nameString(), "");
}

TEST(TreeFile, SerializeSetsOwnOffsetAndAppends) {
  auto f = file_of("f", 5);
  std::vector<_cfg_file_entry_t> recs;
  std::vector<uint8_t> data(300, 0x11);
  f->serialize(recs, data);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].offset, 300u);
  EXPECT_EQ(recs[0].size, 5);
  EXPECT_EQ(recs[0].fileno, 1u);
  EXPECT_EQ(data.size(), 305u);
  EXPECT_EQ(r32(&f->record[4]), 300u);  // the File's own header changed

  auto z = file_of("z", 0);
  std::vector<_cfg_file_entry_t> r2;
  std::vector<uint8_t> d2;
  z->serialize(r2, d2);
  EXPECT_EQ(r2.at(0).offset, 0u);
  EXPECT_TRUE(d2.empty());

  // The tree operations of a leaf do nothing.
  std::shared_ptr<IFile> keep = z;
  EXPECT_FALSE(f->getFile("f", &keep));
  EXPECT_EQ(keep, z);
  EXPECT_FALSE(f->addFile("", z));
  EXPECT_FALSE(f->deleteFile("f"));
}

TEST(TreeDirectory, AddKeepsUnsignedByteNameOrder) {
  Directory d;
  EXPECT_TRUE(d.isDirectory());
  for (const char* n : {"b", "a", "c", "Z", "/x", "\xC3", "ab", "a\x7F"}) {
    EXPECT_TRUE(d.addFile("ignored/path", file_of(n, 1)));
  }
  EXPECT_EQ(names_of(d),
            (std::vector<std::string>{"/x", "Z", "a", "ab", "a\x7F", "b", "c", "\xC3"}));
  EXPECT_FALSE(d.addFile("", nullptr));
  EXPECT_EQ(d.children.size(), 8u);
  for (const auto& c : d.children) EXPECT_EQ(c->parent, nullptr);

  EXPECT_FALSE(fileCompare(file_of("a", 0), file_of("a", 0)));
  EXPECT_TRUE(fileCompare(file_of("a", 0), file_of("ab", 0)));
  EXPECT_FALSE(fileCompare(file_of("ab", 0), file_of("a", 0)));
  EXPECT_TRUE(fileCompare(file_of("z", 0), file_of("\x80", 0)));
}

TEST(TreeDirectory, GetFileAndDeleteFilePaths) {
  Directory d;
  d.addFile("", file_of("x", 1));
  d.addFile("", file_of("a/b", 2));
  d.addFile("", file_of("/root", 3));
  std::shared_ptr<IFile> out;
  EXPECT_FALSE(d.getFile("x/", &out));
  EXPECT_EQ(out, nullptr);
  EXPECT_TRUE(d.getFile("a/b", &out));
  EXPECT_EQ(out->nameString(), "a/b");
  EXPECT_FALSE(d.getFile("x", nullptr));

  EXPECT_FALSE(d.deleteFile(""));
  EXPECT_FALSE(d.deleteFile("/root"));  // empty head: cannot be removed
  EXPECT_FALSE(d.deleteFile("a/b"));    // no child named a
  EXPECT_TRUE(d.deleteFile("x/"));
  EXPECT_EQ(names_of(d), (std::vector<std::string>{"/root", "a/b"}));
  d.addFile("", file_of("f", 1));
  EXPECT_FALSE(d.deleteFile("f/g"));  // a File answers false for the rest
  EXPECT_EQ(d.children.size(), 3u);

  // Two equal names (only through addFile directly): the first is found
  // and removed.
  Directory e;
  auto first = file_of("same", 1, 1);
  auto second = file_of("same", 1, 2);
  e.children.push_back(first);
  e.children.push_back(second);
  EXPECT_TRUE(e.getFile("same", &out));
  EXPECT_EQ(out, first);
  EXPECT_TRUE(e.deleteFile("same"));
  ASSERT_EQ(e.children.size(), 1u);
  EXPECT_EQ(e.children[0], second);
}

TEST(TreeDirectory, SizeAndSerialize) {
  Directory d;
  EXPECT_EQ(d.getSize(), 0u);
  std::vector<_cfg_file_entry_t> recs;
  std::vector<uint8_t> data;
  d.serialize(recs, data);
  EXPECT_TRUE(recs.empty());
  EXPECT_TRUE(data.empty());

  d.addFile("", file_of("b", 20, 2));
  d.addFile("", file_of("a", 10, 1));
  EXPECT_EQ(d.getSize(), 54u);
  d.serialize(recs, data);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].fileno, 1u);
  EXPECT_EQ(recs[0].offset, 0u);
  EXPECT_EQ(recs[1].fileno, 2u);
  EXPECT_EQ(recs[1].offset, 10u);
  EXPECT_EQ(data.size(), 30u);

  std::vector<uint8_t> r = record(9, {});
  Directory own(r.data(), uint32_t(r.size()));
  EXPECT_EQ(own.getSize(), 12u);
  EXPECT_EQ(r16(&own.record[8]), 0);
}

TEST(TreeIterator, FlatWalk) {
  auto root = std::make_shared<Directory>();
  FileIterator empty(root);
  EXPECT_EQ(empty.firstFile(), "");
  EXPECT_EQ(empty.nextFile(), "");  // nothing at the position
  EXPECT_EQ(empty.nextFile(), "");

  root->addFile("", file_of("b", 1));
  root->addFile("", file_of("a", 1));
  FileIterator it(root);
  EXPECT_EQ(it.nextFile(), "b");  // construction stands at the first child
  EXPECT_EQ(it.firstFile(), "a");
  EXPECT_EQ(it.nextFile(), "b");
  root->addFile("", file_of("c", 1));
  EXPECT_EQ(it.nextFile(), "c");
  EXPECT_EQ(it.nextFile(), "");
  EXPECT_EQ(it.nextFile(), "");

  // Every file deleted after the walk stood on the last one.
  root->children.clear();
  EXPECT_EQ(it.nextFile(), "");
  EXPECT_EQ(it.firstFile(), "");
  EXPECT_EQ(it.nextFile(), "");

  FileIterator leaf(file_of("f", 1));
  EXPECT_EQ(leaf.current, nullptr);
  EXPECT_EQ(leaf.firstFile(), "");
  EXPECT_EQ(leaf.nextFile(), "");
}

TEST(TreeIterator, NestedWalkDescendsAndClimbs) {
  // Hand-built nested tree with parents and paths set, as no library
  // operation does: root { d1 { x, y }, f, d2 { } }.
  auto root = std::make_shared<Directory>();
  auto d1 = std::make_shared<Directory>();
  std::memcpy(d1->name, "d1", 2);
  auto d2 = std::make_shared<Directory>();
  std::memcpy(d2->name, "d2", 2);
  auto x = file_of("x", 1);
  auto y = file_of("y", 1);
  x->path = "d1";
  y->path = "d1";
  d1->children = {x, y};
  d1->parent = root.get();
  d2->parent = root.get();
  root->children = {d1, file_of("f", 1), d2};
  FileIterator it(root);
  EXPECT_EQ(it.firstFile(), "d1");
  EXPECT_EQ(it.nextFile(), "d1/x");
  EXPECT_EQ(it.nextFile(), "d1/y");
  EXPECT_EQ(it.nextFile(), "f");
  EXPECT_EQ(it.nextFile(), "d2");
  EXPECT_EQ(it.nextFile(), "");
  EXPECT_EQ(it.nextFile(), "");
}

}  // namespace
