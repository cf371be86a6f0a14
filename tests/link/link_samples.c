#include "link_samples.h"

#include <string.h>

const uint8_t link_vendor_table[LINK_VENDOR_SIZE] = {
    1, 0, 0, 0,                          /* one record */
    0x03, 0x01, 0, 0, 16, 0, 0, 0,       /* file number 0x103, payload at 16 */
    2, 0, 1, 0,                          /* 2 bytes, flags: holds a value */
    0xDC, 0x05,                          /* 1500 */
};

static void put16(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}

static void put32(uint8_t* p, uint32_t v) {
  put16(p, v & 0xFFFFu);
  put16(p + 2, v >> 16);
}

static void build_ftbl(uint8_t* b) {
  const uint32_t efst = 32, efsFiles = efst + 16 + 40, table = efsFiles + 60;
  memset(b, 0, LINK_FTBL_SIZE);
  memcpy(b, "FTBL", 4);
  put32(b + 12, 1); /* one SKU entry */
  put32(b + 16, LINK_SKU);
  put32(b + 20, table);
  put32(b + 24, 1);
  memcpy(b + efst, "EFST", 4);
  put32(b + efst + 12, 1); /* one SKU record */
  put32(b + efst + 16, LINK_SKU);
  put32(b + efst + 20, efsFiles);
  put32(b + efst + 24, 1);
  put32(b + efst + 28, 60);
  put32(b + efst + 32, LINK_EFS_BM);
  put32(b + efst + 36, LINK_EFS_VALID);
  put32(b + efst + 40, LINK_EFS_SPARE);
  put32(b + efst + 44, LINK_EFS_FILES);
  put32(b + efst + 48, LINK_EFS_THRESHOLD);
  put32(b + efst + 52, LINK_EFS_LAYOUT);
  put16(b + efsFiles, LINK_EFS_FILE_INDEX);
  put16(b + efsFiles + 50, LINK_EFS_FILE_BLOCK);
  put16(b + efsFiles + 52, LINK_EFS_FILE_OFFSET);
  put16(b + efsFiles + 54, LINK_EFS_FILE_MAX);
  memcpy(b + table, LINK_NVAR, sizeof(LINK_NVAR) - 1);
  put32(b + table + 0x30, LINK_NVAR_FILENO);
  put16(b + table + 0x3A, 3);                 /* file id */
  put32(b + table + 0x40, LINK_NVAR_MAX);
}

void link_input_tables(KelvraInputTables* tables, uint8_t* ftbl, uint8_t* vendor) {
  build_ftbl(ftbl);
  memcpy(vendor, link_vendor_table, LINK_VENDOR_SIZE);
  memset(tables, 0, sizeof(*tables));
  tables->varnokCfg.data = vendor;
  tables->varnokCfg.size = LINK_VENDOR_SIZE;
  tables->fileTable.data = ftbl;
  tables->fileTable.size = LINK_FTBL_SIZE;
  tables->skuId = LINK_SKU;
}
