// Flash driver over the host's MFS buffer, which the file system treats as
// SPI NOR flash: reads and programs are plain copies, an erase fills one
// 4096-byte block with 0xFF. The driver keeps no length; its callers keep
// every address inside the buffer.
#pragma once

#include <cstdint>

#include "common/export.h"

#define SPI_ERASE_BLOCK_SIZE 4096u

// gpBuffer, the buffer the driver works on, is declared with the host's interface.

KELVRA_EXTERN_C KELVRA_API int SpiFlashDrvInitialize(uint8_t* buffer);
KELVRA_EXTERN_C KELVRA_API void SpiFlashDrvDeinitialize(void);
KELVRA_EXTERN_C KELVRA_API int SpiDrvRead(uint32_t address, uint32_t length, void* destination);
KELVRA_EXTERN_C KELVRA_API int SpiDrvWrite(uint32_t address, uint32_t length, const void* source);
KELVRA_EXTERN_C KELVRA_API int SpiDrvEraseBlock(uint32_t address);

// Plain memory copies at base + offset; the context and reserved arguments
// carry nothing.
KELVRA_EXTERN_C KELVRA_API int mg_copyfrom(void* context, void* base, uint32_t offset,
                                           void* destination, uint32_t reserved, uint32_t length);
KELVRA_EXTERN_C KELVRA_API int mg_copyto(void* context, void* base, uint32_t offset,
                                         const void* source, uint32_t reserved, uint32_t length);
