// Nodes of the in-memory tree that holds one FCS table: the abstract node
// IFile and the leaf File, which keeps one file's record (its 12-byte
// _cfg_file_entry_t header followed directly by the payload).
//
// Nodes live only behind shared pointers and are never copied or moved, so
// `header` (which points into `record`) stays valid for a node's life.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/export.h"
#include "fcs/FcsTypes.h"

namespace image_editor {

class Directory;

class IFile {
 public:
  // Virtual slots, in this order: isDirectory, getSize, addFile, deleteFile,
  // getFile, serialize, destructor.
  virtual bool isDirectory() = 0;
  virtual uint32_t getSize() = 0;
  virtual bool addFile(std::string path, std::shared_ptr<IFile> file) = 0;
  virtual bool deleteFile(std::string path) = 0;
  virtual bool getFile(std::string name, std::shared_ptr<IFile>* out) = 0;
  virtual void serialize(std::vector<_cfg_file_entry_t>& records, std::vector<uint8_t>& data) = 0;
  KELVRA_API virtual ~IFile();

  // The name when `path` is empty, else path + "/" + name.
  KELVRA_API std::string getFullPath();

  // The name as read everywhere: the bytes of `name` up to the first NUL or
  // the end of the 48-byte field.
  std::string nameString() const;

  // Members, in this order.
  std::vector<uint8_t> record;     // header + payload; empty for a bare directory
  char name[48];                   // NUL padded
  _cfg_file_entry_t* header;       // start of `record`, or null
  std::string path;                // always empty in this system
  Directory* parent;               // not owning; always null in this system

 protected:
  IFile();
  IFile(const IFile&) = delete;
  IFile& operator=(const IFile&) = delete;

  // Copies `size` bytes of `data` into `record`, points `header` at it and
  // stores size - 12 (cut to 16 bits) as the header's payload size.
  void setRecord(const void* data, uint32_t size);
  // Payload length held in the stored header.
  uint16_t payloadSize() const;
};

class File : public IFile {
 public:
  // Copies `size` (at least 12) bytes of the record at `data`; keeps at most
  // 48 characters of `name`.
  KELVRA_API File(void* data, uint32_t size, const char* name);
  KELVRA_API ~File() override;

  KELVRA_API bool isDirectory() override;
  KELVRA_API uint32_t getSize() override;
  KELVRA_API bool addFile(std::string path, std::shared_ptr<IFile> file) override;
  KELVRA_API bool deleteFile(std::string path) override;
  KELVRA_API bool getFile(std::string name, std::shared_ptr<IFile>* out) override;
  // Sets the stored header's offset to data.size(), appends the header to
  // `records` and the payload to `data`.
  KELVRA_API void serialize(std::vector<_cfg_file_entry_t>& records,
                            std::vector<uint8_t>& data) override;
};

}  // namespace image_editor
