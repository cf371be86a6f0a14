// Inner node of the image file tree. Each FCS handle has one, the unnamed
// root, whose children are the table's files in ascending name order.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/export.h"
#include "fcs/File.h"

namespace image_editor {

class Directory : public IFile {
 public:
  KELVRA_API Directory();
  // A directory with its own record (at least 12 bytes); nothing in the
  // library makes one.
  KELVRA_API Directory(void* data, uint32_t size);
  KELVRA_API ~Directory() override;

  KELVRA_API bool isDirectory() override;
  // Own record + every child's size + 12 when named (32-bit, wraps).
  KELVRA_API uint32_t getSize() override;
  // Places the file among the children in name order (the path is not used).
  // Refuses a null file.
  KELVRA_API bool addFile(std::string path, std::shared_ptr<IFile> file) override;
  // Removes the child named by the path's first '/'-separated part, or hands
  // the rest of the path to it.
  KELVRA_API bool deleteFile(std::string path) override;
  // First direct child whose whole name equals `name`.
  KELVRA_API bool getFile(std::string name, std::shared_ptr<IFile>* out) override;
  // The header (when named), then every child in order.
  KELVRA_API void serialize(std::vector<_cfg_file_entry_t>& records,
                            std::vector<uint8_t>& data) override;

  std::deque<std::shared_ptr<IFile>> children;
};

}  // namespace image_editor

// True when a's name orders before b's: unsigned byte order, a prefix first.
KELVRA_API bool fileCompare(std::shared_ptr<image_editor::IFile> a,
                            std::shared_ptr<image_editor::IFile> b);
