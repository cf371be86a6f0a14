// Tree nodes: the shared part of every node and the leaf that keeps a record.

#include "fcs/File.h"

#include <cstring>

#include "common/le.h"

using kelvra::FCS_HEADER_SIZE;
namespace le = kelvra::le;
namespace fcs_off = kelvra::fcs_off;

namespace image_editor {

IFile::IFile() : record(), header(nullptr), path(), parent(nullptr) {
  std::memset(name, 0, sizeof name);
}

IFile::~IFile() = default;

std::string IFile::nameString() const {
  size_t n = 0;
  while (n < sizeof name && name[n] != '\0') ++n;
  return std::string(name, n);
}

std::string IFile::getFullPath() {
  if (path.empty()) return nameString();
  return path + "/" + nameString();
}

void IFile::setRecord(const void* data, uint32_t size) {
  // A record shorter than its header is never made (the API refuses it
  // first); a null or short input leaves a zeroed header rather than reading
  // outside the caller's memory.
  record.assign(size < FCS_HEADER_SIZE ? FCS_HEADER_SIZE : size, 0);
  if (data != nullptr) std::memcpy(record.data(), data, size);
  // The packed header type has alignment 1, so the pointer is always valid;
  // the library itself reads the fields through le:: below.
  header = reinterpret_cast<_cfg_file_entry_t*>(record.data());
  le::put16(record.data() + fcs_off::SIZE, static_cast<uint16_t>(record.size() - FCS_HEADER_SIZE));
}

uint16_t IFile::payloadSize() const {
  return record.size() < FCS_HEADER_SIZE ? 0 : le::get16(record.data() + fcs_off::SIZE);
}

File::File(void* data, uint32_t size, const char* file_name) : IFile() {
  if (file_name != nullptr) {
    size_t n = 0;
    while (n < sizeof name && file_name[n] != '\0') ++n;
    std::memcpy(name, file_name, n);
  }
  setRecord(data, size);
}

File::~File() = default;

bool File::isDirectory() { return false; }

uint32_t File::getSize() { return static_cast<uint32_t>(record.size()); }

bool File::addFile(std::string, std::shared_ptr<IFile>) { return false; }

bool File::deleteFile(std::string) { return false; }

bool File::getFile(std::string, std::shared_ptr<IFile>*) { return false; }

void File::serialize(std::vector<_cfg_file_entry_t>& records, std::vector<uint8_t>& data) {
  uint8_t* h = record.data();
  le::put32(h + fcs_off::OFFSET, static_cast<uint32_t>(data.size()));
  _cfg_file_entry_t copy;
  copy.fileno = le::get32(h + fcs_off::FILENO);
  copy.offset = le::get32(h + fcs_off::OFFSET);
  copy.size = le::get16(h + fcs_off::SIZE);
  copy.flags = le::get16(h + fcs_off::FLAGS);
  records.push_back(copy);
  const size_t payload = payloadSize();
  data.insert(data.end(), record.begin() + FCS_HEADER_SIZE,
              record.begin() + FCS_HEADER_SIZE + payload);
}

}  // namespace image_editor
