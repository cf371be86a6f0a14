/* A C host linked directly against the shared library (no dlopen): it shares
 * the library's exported data, reads the state the library sets and runs one
 * init, get and term through the public header alone. */
#include <KelvraStorageLib.h>

#include <stdio.h>
#include <string.h>

#include "link_samples.h"

/* The flash driver is not part of the host's interface; the program declares
 * it for the one check that needs it. */
extern int SpiDrvRead(uint32_t address, uint32_t length, void* destination);

static int failures;
#define CHECK(c)                                                            \
  do {                                                                      \
    if (!(c)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c); \
      ++failures;                                                           \
    }                                                                       \
  } while (0)

static int reports;
static void onStatus(ErrorLevel level, ImageToolsErrorName name, const char* text, const char* msg) {
  ++reports;
  fprintf(stderr, "report: level %d, name %d \"%s\": \"%s\"\n", (int)level, (int)name, text, msg);
}

/* The program's view of gpBuffer is the library's: the driver reads what the
 * program pointed it at. */
static void flash_buffer_is_shared(void) {
  uint8_t flash[256], out[16];
  unsigned i;
  for (i = 0; i < sizeof(flash); ++i) flash[i] = (uint8_t)(i * 7 + 1);
  gpBuffer = flash;
  memset(out, 0, sizeof(out));
  CHECK(SpiDrvRead(100, sizeof(out), out) == 0);
  CHECK(memcmp(out, flash + 100, sizeof(out)) == 0);
  gpBuffer = NULL;
}

static void session(void) {
  uint8_t ftbl[LINK_FTBL_SIZE], vendor[LINK_VENDOR_SIZE];
  KelvraInputTables tables;
  uint8_t* data = NULL;
  uint8_t* oem = NULL;
  uint32_t size = 0, maxSize = 0, oemSize = 0;
  bool editable = false;

  link_input_tables(&tables, ftbl, vendor);

  CHECK(zebMfsKelvraInit(&tables, onStatus));
  CHECK(zebFcsIsInitialized());
  CHECK(!zebMfsIsInitialized()); /* no MFS image */

  /* The file table and the EFS geometry that the file-table load set. */
  CHECK(g_dfs_sku == LINK_SKU);
  CHECK(g_table_num_files == 1);
  CHECK(g_table_buf != NULL && strcmp(g_table_buf[0].name, LINK_NVAR) == 0);
  CHECK(g_table_buf != NULL && g_table_buf[0].fileno == LINK_NVAR_FILENO);
  CHECK(g_efs_bm_num == LINK_EFS_BM);
  CHECK(g_efs_valid_block_num == LINK_EFS_VALID);
  CHECK(g_efs_non_valid_block_num == LINK_EFS_SPARE);
  CHECK(g_efs_files_num == LINK_EFS_FILES);
  CHECK(g_efs_wear_leveling_threshold == LINK_EFS_THRESHOLD);
  CHECK(g_efs_layout_id == LINK_EFS_LAYOUT);
  CHECK(g_efs_autogen_data_loaded != 0);
  CHECK(EFS_files != NULL && EFS_files[LINK_EFS_FILE_INDEX].max_size == LINK_EFS_FILE_MAX);
  CHECK(EFS_files != NULL && EFS_files[LINK_EFS_FILE_INDEX].offset == LINK_EFS_FILE_OFFSET);
  CHECK(zebMfsGetEfsSize() == (LINK_EFS_BM + LINK_EFS_VALID + LINK_EFS_SPARE) * 4096u);

  /* The path without "/home/" names the same NVAR. */
  CHECK(zebmfsCheckNvarExists("net/mtu", FCS_FILE_CURRENT_VALUES));
  CHECK(zebMfsNvarGet("net/mtu", &data, &size, FCS_FILE_CURRENT_VALUES, &editable, &maxSize));
  CHECK(size == 2 && data != NULL && data[0] == 0xDC && data[1] == 0x05);
  CHECK(editable && maxSize == LINK_NVAR_MAX);

  /* Without a deployed MFS the term only serialises the table: the one
   * record comes back as the vendor table held it. */
  CHECK(zebMfsNvarTerm(true));
  CHECK(zebMfsGetBuildPlimCfgFcsBuffer(&oem, &oemSize));
  CHECK(oemSize == LINK_VENDOR_SIZE && oem != NULL && memcmp(oem, link_vendor_table, oemSize) == 0);
  CHECK(zebMfsNvarTerm(false));
  CHECK(!zebFcsIsInitialized());
  CHECK(reports == 0);
}

int main(void) {
  flash_buffer_is_shared();
  session();
  if (failures != 0) {
    fprintf(stderr, "%d checks failed\n", failures);
    return 1;
  }
  printf("direct link: all checks passed\n");
  return 0;
}
