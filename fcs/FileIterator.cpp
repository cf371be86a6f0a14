// Depth-first walk over an image file tree.

#include "fcs/FileIterator.h"

namespace image_editor {

namespace {

// The child at `index` of `dir`, or null when the position holds nothing.
std::shared_ptr<IFile> child_at(Directory* dir, int64_t index) {
  if (dir == nullptr || index < 0 || static_cast<uint64_t>(index) >= dir->children.size()) {
    return nullptr;
  }
  return dir->children[static_cast<size_t>(index)];
}

Directory* as_directory(const std::shared_ptr<IFile>& node) {
  if (node == nullptr || !node->isDirectory()) return nullptr;
  return dynamic_cast<Directory*>(node.get());
}

}  // namespace

FileIterator::FileIterator(std::shared_ptr<IFile> r) : root(std::move(r)), current(nullptr), index(0) {
  (void)firstFile();
}

FileIterator::~FileIterator() = default;

std::string FileIterator::firstFile() {
  Directory* dir = as_directory(root);
  if (dir == nullptr) return std::string();
  current = dir;
  if (dir->children.empty()) return std::string();
  index = 0;
  return dir->children.front()->nameString();
}

std::string FileIterator::nextFile() {
  // Nothing at the position (an empty root, or every file deleted since the
  // last rewind): the walk is over.
  std::shared_ptr<IFile> c = child_at(current, index);
  if (c == nullptr) return std::string();

  // Descend into a directory that has children.
  Directory* sub = as_directory(c);
  if (sub != nullptr && !sub->children.empty()) {
    current = sub;
    index = 0;
    return sub->children.front()->getFullPath();
  }

  // Next sibling.
  if (static_cast<uint64_t>(index) + 1 < current->children.size()) {
    ++index;
    return current->children[static_cast<size_t>(index)]->getFullPath();
  }

  // Climb until a parent has a sibling after the directory just finished.
  for (;;) {
    Directory* p = current->parent;
    if (p == nullptr) return std::string();
    index = -1;
    const std::string own = current->nameString();
    for (size_t k = 0; k < p->children.size(); ++k) {
      if (p->children[k]->nameString() == own) {
        index = static_cast<int32_t>(k);
        break;
      }
    }
    if (index < 0) return std::string();
    current = p;
    if (static_cast<uint64_t>(index) + 1 < p->children.size()) {
      ++index;
      return p->children[static_cast<size_t>(index)]->getFullPath();
    }
  }
}

}  // namespace image_editor
