// Check values of the flash translation layer: crc16 binds a 64-byte page to
// its logical page number, crc14 scrambles log-unit page-map entries, crc8
// protects the first 16 bytes of an erase-unit header.
#pragma once

#include <cstdint>

#include "common/export.h"

KELVRA_EXTERN_C KELVRA_API uint16_t crc16(const uint8_t* buf, int32_t len, const uint8_t* two);
KELVRA_EXTERN_C KELVRA_API uint16_t crc14(const uint8_t* buf, int32_t len);
KELVRA_EXTERN_C KELVRA_API uint8_t crc8(const uint8_t* buf, uint32_t len);

namespace kelvra {
namespace afs {
// CRC-16 table, polynomial 0x1021, most significant bit first.
extern const uint16_t crc16_table[256];
extern const uint8_t gCrc8_high[16];
extern const uint8_t gCrc8_low[16];
}  // namespace afs
}  // namespace kelvra
