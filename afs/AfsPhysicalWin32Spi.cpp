#include "afs/AfsPhysicalWin32Spi.h"

#include <cstring>

#include "common/flash_fault.h"

uint8_t* gpBuffer = nullptr;

int SpiFlashDrvInitialize(uint8_t* buffer) {
  gpBuffer = buffer;
  return 0;
}

void SpiFlashDrvDeinitialize(void) {
  // The driver keeps addressing the same buffer.
}

int SpiDrvRead(uint32_t address, uint32_t length, void* destination) {
  if (length == 0) return 0;
  std::memcpy(destination, gpBuffer + address, length);
  kelvra::fault::after_read(static_cast<uint8_t*>(destination), length);
  return 0;
}

int SpiDrvWrite(uint32_t address, uint32_t length, const void* source) {
  // Programming overwrites: a 0 bit becomes 1 again without an erase.
  uint32_t n = kelvra::fault::program_bytes(length);
  if (n != 0) std::memcpy(gpBuffer + address, source, n);
  return 0;
}

int SpiDrvEraseBlock(uint32_t address) {
  // The address is used as given, neither aligned nor checked.
  uint32_t n = kelvra::fault::erase_bytes(SPI_ERASE_BLOCK_SIZE);
  if (n != 0) std::memset(gpBuffer + address, 0xFF, n);
  return 0;
}

int mg_copyfrom(void*, void* base, uint32_t offset, void* destination, uint32_t, uint32_t length) {
  if (length != 0) std::memcpy(destination, static_cast<uint8_t*>(base) + offset, length);
  return 0;
}

int mg_copyto(void*, void* base, uint32_t offset, const void* source, uint32_t, uint32_t length) {
  if (length != 0) std::memcpy(static_cast<uint8_t*>(base) + offset, source, length);
  return 0;
}
