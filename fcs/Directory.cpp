// Inner node of the image file tree.
//
// The children stand in ascending name order, so adding a file inserts it at
// its place and finding one by name is a binary search. The children are a
// public member, though, and a caller may change them directly; each
// directory's order is therefore trusted only while the children are as the
// directory's own operations left them (same count, same first and last
// child). Otherwise the old whole-list work is done: an add appends and sorts
// everything, a lookup scans from the first child.

#include "fcs/Directory.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_map>

#include "common/le.h"

using kelvra::FCS_HEADER_SIZE;
namespace le = kelvra::le;
namespace fcs_off = kelvra::fcs_off;

namespace {

using image_editor::Directory;
using image_editor::IFile;
using Child = std::shared_ptr<IFile>;

constexpr size_t NAME_FIELD = sizeof(IFile::name);

// Names compare as read everywhere: the bytes of the 48-byte field up to the
// first NUL, as unsigned values, a name before every longer name that begins
// with it. strncmp over the field does exactly that (it compares unsigned
// bytes and stops at a NUL, which orders before every other byte).
int compareNames(const char* a, const char* b) { return std::strncmp(a, b, NAME_FIELD); }

// Name order over children, with a missing node first (as fileCompare).
bool childBefore(const Child& a, const Child& b) {
  if (a == nullptr || b == nullptr) return a == nullptr && b != nullptr;
  return compareNames(a->name, b->name) < 0;
}
// The same order against a wanted name, which holds no NUL and at most 48
// bytes (no other can equal a node's name).
bool childBeforeName(const Child& c, const char* name) { return c == nullptr || compareNames(c->name, name) < 0; }
bool nameBeforeChild(const Child& file, const Child& c) { return childBefore(file, c); }
bool childNamed(const Child& c, const char* name) { return c != nullptr && compareNames(c->name, name) == 0; }
bool canBeAName(const std::string& name) {
  return name.size() <= NAME_FIELD && name.find('\0') == std::string::npos;
}

// How a directory's own operations last left its children, in name order.
struct KnownOrder {
  size_t count;
  const IFile* first;
  const IFile* last;
};

// One entry per directory whose children an operation has put in order.
// Never destroyed, so directories that outlive static destruction still find it.
std::unordered_map<const Directory*, KnownOrder>& knownOrders() {
  static auto* orders = new std::unordered_map<const Directory*, KnownOrder>();
  return *orders;
}

void noteInOrder(const Directory& dir) {
  const auto& c = dir.children;
  const KnownOrder known = {c.size(), c.empty() ? nullptr : c.front().get(), c.empty() ? nullptr : c.back().get()};
  try {
    knownOrders()[&dir] = known;
  } catch (const std::bad_alloc&) {
    // Not remembered: the next operation checks the order again.
    knownOrders().erase(&dir);
  }
}

// True when the children can be searched by name order: as the directory's
// operations left them, or found sorted now (which is then remembered).
bool inOrder(const Directory& dir) {
  const auto& c = dir.children;
  if (c.empty()) return true;
  auto& orders = knownOrders();
  const auto it = orders.find(&dir);
  if (it != orders.end() && it->second.count == c.size() && it->second.first == c.front().get() &&
      it->second.last == c.back().get()) {
    return true;
  }
  if (!std::is_sorted(c.begin(), c.end(), childBefore)) return false;
  noteInOrder(dir);
  return true;
}

// The first child whose whole name equals `wanted`, or end.
std::deque<Child>::iterator findChild(Directory& dir, const std::string& wanted) {
  auto& c = dir.children;
  if (!canBeAName(wanted)) return c.end();
  const char* name = wanted.c_str();
  if (inOrder(dir)) {
    const auto it = std::lower_bound(c.begin(), c.end(), name, childBeforeName);
    return it != c.end() && childNamed(*it, name) ? it : c.end();
  }
  return std::find_if(c.begin(), c.end(), [name](const Child& x) { return childNamed(x, name); });
}

}  // namespace

bool fileCompare(std::shared_ptr<image_editor::IFile> a, std::shared_ptr<image_editor::IFile> b) {
  // A missing node orders before every node (never seen in a tree built by
  // the library; kept total so a sort can never misbehave).
  return childBefore(a, b);
}

namespace image_editor {

Directory::Directory() : IFile(), children() {}

Directory::Directory(void* data, uint32_t size) : IFile(), children() {
  setRecord(data, size);
}

Directory::~Directory() {
  knownOrders().erase(this);
  // Children go first to last, then the members of IFile.
  while (!children.empty()) children.pop_front();
}

bool Directory::isDirectory() { return true; }

uint32_t Directory::getSize() {
  uint32_t total = static_cast<uint32_t>(record.size());
  for (const auto& c : children) total += c->getSize();
  if (name[0] != '\0') total += FCS_HEADER_SIZE;
  return total;
}

bool Directory::addFile(std::string, std::shared_ptr<IFile> file) {
  if (file == nullptr) return false;
  if (inOrder(*this)) {
    // After every child of the same name, which is where a sort of the
    // appended file would leave it.
    const auto at = std::upper_bound(children.begin(), children.end(), file, nameBeforeChild);
    children.insert(at, std::move(file));
  } else {
    children.push_back(std::move(file));
    std::sort(children.begin(), children.end(), childBefore);
  }
  noteInOrder(*this);
  return true;
}

bool Directory::getFile(std::string wanted, std::shared_ptr<IFile>* out) {
  if (out == nullptr) return false;
  const auto it = findChild(*this, wanted);
  if (it == children.end()) return false;
  *out = *it;
  return true;
}

bool Directory::deleteFile(std::string full) {
  std::string head = full;
  std::string rest;
  const size_t slash = full.find('/');
  if (!full.empty() && slash != std::string::npos) {
    head = full.substr(0, slash);
    if (slash + 1 < full.size()) rest = full.substr(slash + 1);
  }
  if (head.empty()) return false;
  const auto it = findChild(*this, head);
  if (it == children.end()) return false;
  if (rest.empty()) {
    const bool ordered = inOrder(*this);
    children.erase(it);
    if (ordered) noteInOrder(*this);
    return true;
  }
  // Keep the child alive while it works on the rest of the path.
  std::shared_ptr<IFile> child = *it;
  return child->deleteFile(rest);
}

void Directory::serialize(std::vector<_cfg_file_entry_t>& records, std::vector<uint8_t>& data) {
  if (name[0] != '\0') {
    _cfg_file_entry_t h{};
    if (record.size() >= FCS_HEADER_SIZE) {
      le::put32(record.data() + fcs_off::OFFSET, 0);
      h.fileno = le::get32(record.data() + fcs_off::FILENO);
      h.size = le::get16(record.data() + fcs_off::SIZE);
      h.flags = le::get16(record.data() + fcs_off::FLAGS);
    }
    h.offset = 0;
    records.push_back(h);
  }
  // Iterate over a snapshot: a child's serialize cannot change this list,
  // but the copy keeps every child alive for the duration regardless.
  const std::deque<std::shared_ptr<IFile>> snapshot = children;
  for (const auto& c : snapshot) c->serialize(records, data);
}

}  // namespace image_editor
