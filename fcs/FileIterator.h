// Walks an image file tree depth first and hands out one name per step.
// Every FCS handle has one over its root; in the flat tree of a handle the
// walk yields the root's files in name order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/export.h"
#include "fcs/Directory.h"

namespace image_editor {

class FileIterator {
 public:
  // Keeps `root` and rewinds at once (firstFile, name dropped).
  KELVRA_API explicit FileIterator(std::shared_ptr<IFile> root);
  KELVRA_API ~FileIterator();

  // Name of the root's first child, or "".
  KELVRA_API std::string firstFile();
  // Full path of the next node of the walk, or "" at the end (and whenever
  // nothing stands at the current position).
  KELVRA_API std::string nextFile();

  // Members, in this order.
  std::shared_ptr<IFile> root;
  Directory* current;  // not owning
  int32_t index;

  FileIterator(const FileIterator&) = delete;
  FileIterator& operator=(const FileIterator&) = delete;
};

}  // namespace image_editor
