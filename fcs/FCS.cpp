// FCS handles, the FCS buffer reader and the writer.

#include "fcs/FCS.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/le.h"
#include "fcs/Directory.h"
#include "fcs/File.h"
#include "fcs/FileIterator.h"

using namespace kelvra;
using image_editor::Directory;
using image_editor::File;
using image_editor::FileIterator;
using image_editor::IFile;

namespace kelvra {
namespace fcs {

uint32_t g_fail_file_creations = 0;
uint32_t g_fail_handle_creations = 0;

bool fcs_buffer_size(uint64_t count, uint64_t payload, uint32_t* needed) {
  // count is bounded by memory, so 12 x count cannot wrap 64 bits.
  const uint64_t total = 4 + 12 * count + payload;
  if (count > 0xFFFFFFFFu || payload > 0xFFFFFFFFu || total > 0xFFFFFFFFu) return false;
  *needed = static_cast<uint32_t>(total);
  return true;
}

}  // namespace fcs
}  // namespace kelvra

namespace {

// The object behind an FCS handle. The root is released after the iterator,
// which shares it.
struct FcsHandle {
  std::shared_ptr<IFile> root;
  std::shared_ptr<FileIterator> iterator;
};

FcsHandle* as_handle(void* handle) { return static_cast<FcsHandle*>(handle); }

// The name as a tree node will store it: at most 48 characters.
std::string stored_name(const char* name) {
  size_t n = 0;
  while (n < FTBL_NAME_SIZE && name[n] != '\0') ++n;
  return std::string(name, n);
}

const file_table_entry_t* table_entry_by_name(const char* name) { return fcs::find_entry_by_name(name); }

const file_table_entry_t* table_entry_by_number(fileno_t number) { return fcs::find_entry_by_number(number); }

std::shared_ptr<IFile> find_in_root(FcsHandle* h, const char* name) {
  std::shared_ptr<IFile> node;
  if (h->root == nullptr || !h->root->getFile(std::string(name), &node)) return nullptr;
  return node;
}

void rewind_walk(FcsHandle* h) {
  if (h->iterator != nullptr) (void)h->iterator->firstFile();
}

int hand_out_name(const std::string& name, char* out) {
  if (name.empty()) return FCS_NO_MORE_FILES;
  std::memcpy(out, name.c_str(), name.size() + 1);
  return FCS_OK;
}

}  // namespace

int createHandle(void** slot) {
  if (slot == nullptr) return FCS_NULL_ARGUMENT;
  FcsHandle* h = nullptr;
  if (fcs::g_fail_handle_creations > 0) {
    --fcs::g_fail_handle_creations;
  } else {
    h = new (std::nothrow) FcsHandle();
  }
  if (h == nullptr) return FCS_CREATE_FAILED;
  void* previous = *slot;
  *slot = h;
  try {
    h->root = std::make_shared<Directory>();
    h->iterator = std::make_shared<FileIterator>(h->root);
  } catch (const std::bad_alloc&) {
    // No half-built handle is left behind: the slot gets its old value back.
    delete h;
    *slot = previous;
    return FCS_CREATE_FAILED;
  }
  return FCS_OK;
}

int closeHandle(void** slot) {
  if (slot == nullptr) return FCS_NULL_ARGUMENT;
  FcsHandle* h = as_handle(*slot);
  if (h == nullptr) return FCS_NULL_HANDLE;
  h->iterator.reset();
  h->root.reset();
  delete h;
  *slot = nullptr;
  return FCS_OK;
}

int getFirstFileInRoot(void* handle, char* name) {
  FcsHandle* h = as_handle(handle);
  if (h == nullptr) return FCS_NULL_HANDLE;
  if (name == nullptr) return FCS_NULL_ARGUMENT;
  if (h->iterator == nullptr) return FCS_NO_MORE_FILES;
  return hand_out_name(h->iterator->firstFile(), name);
}

int getNextFile(void* handle, char* name) {
  FcsHandle* h = as_handle(handle);
  if (h == nullptr) return FCS_NULL_HANDLE;
  if (name == nullptr) return FCS_NULL_ARGUMENT;
  if (h->iterator == nullptr) return FCS_NO_MORE_FILES;
  return hand_out_name(h->iterator->nextFile(), name);
}

int getFileData(void* handle, const char* name, uint8_t* out, uint32_t* room) {
  FcsHandle* h = as_handle(handle);
  if (h == nullptr) return FCS_NULL_HANDLE;
  if (out == nullptr || room == nullptr || name == nullptr) return FCS_NULL_ARGUMENT;
  std::shared_ptr<IFile> node = find_in_root(h, name);
  if (node == nullptr) return FCS_NOT_IN_TREE;
  // Records hold at most 65535 bytes, so the size fits the room word.
  const uint32_t needed = static_cast<uint32_t>(node->record.size());
  if (*room < needed) {
    *room = needed;
    return FCS_TOO_SMALL;
  }
  if (needed != 0) std::memcpy(out, node->record.data(), needed);
  *room = needed;
  return FCS_OK;
}

int getFileAttributes(void* handle, const char* name, file_attribute_record_t* out) {
  FcsHandle* h = as_handle(handle);
  if (h == nullptr) return FCS_NULL_HANDLE;
  if (out == nullptr || name == nullptr) return FCS_NULL_ARGUMENT;
  std::shared_ptr<IFile> node = find_in_root(h, name);
  if (node == nullptr) return FCS_NOT_IN_TREE;
  if (node->record.size() < FCS_HEADER_SIZE) return FCS_NOT_IN_FILE_TABLE;
  // The caller's record is written in its stored (little-endian) form.
  uint8_t* o = reinterpret_cast<uint8_t*>(out);
  std::memcpy(o, node->record.data(), FCS_HEADER_SIZE);
  const file_table_entry_t* e = table_entry_by_name(name);
  if (e == nullptr) return FCS_NOT_IN_FILE_TABLE;
  le::put16(o + offsetof(file_attribute_record_t, attributes), e->attributes);
  le::put32(o + offsetof(file_attribute_record_t, max_size), e->max_size);
  return FCS_OK;
}

int addNewFile(void* handle, const char* directory, const char* name, void* record, uint32_t size,
               bool checkMax) {
  FcsHandle* h = as_handle(handle);
  if (h == nullptr) return FCS_NULL_HANDLE;
  // The size is taken whole: a record of 65536 bytes or more is refused
  // below rather than cut to 16 bits and silently truncated.
  if (size < FCS_HEADER_SIZE) return FCS_TOO_SMALL;
  if (record == nullptr || name == nullptr || directory == nullptr) return FCS_NULL_ARGUMENT;
  uint8_t* rec = static_cast<uint8_t*>(record);

  // File number 0: take the number of the file-table entry of that name and
  // write it into the caller's record at once (it stays there whatever
  // follows).
  fileno_t number = le::get32(rec + fcs_off::FILENO);
  if (number == 0) {
    const file_table_entry_t* by_name = table_entry_by_name(name);
    if (by_name == nullptr) return FCS_NAME_NOT_IN_TABLE;
    number = by_name->fileno;
    le::put32(rec + fcs_off::FILENO, number);
  }

  const file_table_entry_t* entry = table_entry_by_number(number);
  if (entry == nullptr) return FCS_NOT_IN_FILE_TABLE;

  if (size > FCS_MAX_RECORD) return FCS_RECORD_TOO_LARGE;
  if (checkMax && static_cast<uint64_t>(size) > static_cast<uint64_t>(entry->max_size) + FCS_HEADER_SIZE) {
    return FCS_RECORD_TOO_LARGE;
  }

  // The duplicate test uses the name as the node will store it (at most 48
  // characters), so two names that store alike cannot both enter the tree.
  const std::string stored = stored_name(name);
  if (find_in_root(h, stored.c_str()) != nullptr) return FCS_ALREADY_PRESENT;
  // An empty name would read as the end of every walk, hiding the files
  // that follow it: the root refuses it.
  if (stored.empty() || h->root == nullptr) return FCS_NOT_IN_TREE;

  std::shared_ptr<IFile> file;
  try {
    if (fcs::g_fail_file_creations > 0) {
      --fcs::g_fail_file_creations;
      throw std::bad_alloc();
    }
    file = std::make_shared<File>(rec, size, name);
  } catch (const std::exception&) {
    return FCS_CREATE_FAILED;
  }
  if (!h->root->addFile(std::string(directory), file)) return FCS_NOT_IN_TREE;
  rewind_walk(h);
  return FCS_OK;
}

int deleteFile(void* handle, const char* path) {
  FcsHandle* h = as_handle(handle);
  if (h == nullptr) return FCS_NULL_HANDLE;
  if (path == nullptr || h->root == nullptr) return FCS_NOT_IN_TREE;
  if (!h->root->deleteFile(std::string(path))) return FCS_NOT_IN_TREE;
  rewind_walk(h);
  return FCS_OK;
}

bool validateAttributs(_cfg_file_entry_t* record) { return record != nullptr; }

bool loadDataFromFcsBuffer(void* handle, void* buffer, unsigned int length) {
  if (handle == nullptr || buffer == nullptr) return false;
  const uint8_t* buf = static_cast<const uint8_t*>(buffer);
  if (length < 4) return false;
  const uint32_t count = le::get32(buf);
  if (!range_fits(4, static_cast<uint64_t>(count) * FCS_HEADER_SIZE, length)) return false;
  if (count == 0) return true;

  std::vector<uint8_t> scratch;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* hdr = buf + 4 + static_cast<uint64_t>(i) * FCS_HEADER_SIZE;
    scratch.assign(hdr, hdr + FCS_HEADER_SIZE);
    const uint32_t offset = le::get32(hdr + fcs_off::OFFSET);
    const uint16_t size = le::get16(hdr + fcs_off::SIZE);
    // The offset of an empty payload is not looked at.
    if (size != 0) {
      if (!range_fits(offset, size, length)) return false;
      scratch.insert(scratch.end(), buf + offset, buf + offset + size);
    }
    const file_table_entry_t* entry = table_entry_by_number(le::get32(hdr + fcs_off::FILENO));
    if (entry == nullptr) continue;  // not a file of this SKU: dropped
    size_t n = 0;
    while (n < FTBL_NAME_SIZE && entry->name[n] != '\0') ++n;
    const std::string name(entry->name, n);
    // The record size is 16 bits wide: a payload of 65524 bytes or more
    // leaves fewer than 12 bytes, which addNewFile refuses.
    const uint16_t record_size = static_cast<uint16_t>(FCS_HEADER_SIZE + size);
    if (addNewFile(handle, "", name.c_str(), scratch.data(), record_size, false) != FCS_OK) {
      return false;
    }
  }
  return true;
}

int createHandleFromStructure(void** slot, void* buffer, uint32_t length) {
  if (slot == nullptr || buffer == nullptr) return FCS_NULL_ARGUMENT;
  const int rc = createHandle(slot);
  if (rc != FCS_OK) return rc;
  if (!loadDataFromFcsBuffer(*slot, buffer, length)) {
    (void)closeHandle(slot);
    return FCS_BUFFER_REJECTED;
  }
  return FCS_OK;
}

int flush(void* handle, uint8_t* out, uint32_t* room) {
  FcsHandle* h = as_handle(handle);
  if (h == nullptr) return FCS_NULL_HANDLE;
  if (room == nullptr) return FCS_NULL_ARGUMENT;

  std::vector<_cfg_file_entry_t> records;
  std::vector<uint8_t> data;
  if (h->root != nullptr) h->root->serialize(records, data);

  // Sizes in 64 bits: an output whose length (or any payload offset) does
  // not fit 32 bits can never be written, so no room is ever enough.
  uint32_t needed = 0;
  if (!fcs::fcs_buffer_size(records.size(), data.size(), &needed)) {
    *room = 0xFFFFFFFFu;
    return FCS_TOO_SMALL;
  }
  const uint32_t base = static_cast<uint32_t>(4 + FCS_HEADER_SIZE * records.size());
  if (*room < needed) {
    *room = needed;
    return FCS_TOO_SMALL;
  }
  if (out == nullptr) return FCS_NULL_ARGUMENT;

  le::put32(out, static_cast<uint32_t>(records.size()));
  uint8_t* p = out + 4;
  for (const _cfg_file_entry_t& r : records) {
    le::put32(p + fcs_off::FILENO, r.fileno);
    le::put32(p + fcs_off::OFFSET, r.offset + base);
    le::put16(p + fcs_off::SIZE, r.size);
    le::put16(p + fcs_off::FLAGS, r.flags);
    p += FCS_HEADER_SIZE;
  }
  if (!data.empty()) std::memcpy(p, data.data(), data.size());
  *room = needed;
  return FCS_OK;
}
