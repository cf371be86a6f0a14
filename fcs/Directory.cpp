// Inner node of the image file tree.

#include "fcs/Directory.h"

#include <algorithm>
#include <cstring>

#include "common/le.h"

using kelvra::FCS_HEADER_SIZE;
namespace le = kelvra::le;
namespace fcs_off = kelvra::fcs_off;

bool fileCompare(std::shared_ptr<image_editor::IFile> a, std::shared_ptr<image_editor::IFile> b) {
  // A missing node orders before every node (never seen in a tree built by
  // the library; kept total so a sort can never misbehave).
  if (a == nullptr || b == nullptr) return a == nullptr && b != nullptr;
  const std::string x = a->nameString();
  const std::string y = b->nameString();
  const size_t n = std::min(x.size(), y.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char cx = static_cast<unsigned char>(x[i]);
    const unsigned char cy = static_cast<unsigned char>(y[i]);
    if (cx != cy) return cx < cy;
  }
  return x.size() < y.size();
}

namespace image_editor {

Directory::Directory() : IFile(), children() {}

Directory::Directory(void* data, uint32_t size) : IFile(), children() {
  setRecord(data, size);
}

Directory::~Directory() {
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
  children.push_back(std::move(file));
  std::sort(children.begin(), children.end(), fileCompare);
  return true;
}

bool Directory::getFile(std::string wanted, std::shared_ptr<IFile>* out) {
  if (out == nullptr) return false;
  for (const auto& c : children) {
    if (c->nameString() == wanted) {
      *out = c;
      return true;
    }
  }
  return false;
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
  for (auto it = children.begin(); it != children.end(); ++it) {
    if ((*it)->nameString() != head) continue;
    if (rest.empty()) {
      children.erase(it);
      return true;
    }
    // Keep the child alive while it works on the rest of the path.
    std::shared_ptr<IFile> child = *it;
    return child->deleteFile(rest);
  }
  return false;
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
