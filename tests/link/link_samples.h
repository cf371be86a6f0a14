/* Minimal host inputs for the programs that use the library as a host does,
 * built byte by byte in C from the stored formats: a file table with one SKU,
 * one NVAR and an EFST section, and a vendor table holding that NVAR. */
#ifndef KELVRA_LINK_SAMPLES_H
#define KELVRA_LINK_SAMPLES_H

#include <KelvraStorageLib.h>

#define LINK_SKU 7u
#define LINK_FTBL_SIZE 1024u
#define LINK_NVAR "/home/net/mtu"
#define LINK_NVAR_FILENO 0x103u
#define LINK_NVAR_MAX 8u
/* The EFS geometry of the EFST record: block maps, valid and spare blocks,
 * file count, wear-levelling threshold, layout id; and one file record. */
#define LINK_EFS_BM 3u
#define LINK_EFS_VALID 9u
#define LINK_EFS_SPARE 4u
#define LINK_EFS_FILES 5u
#define LINK_EFS_THRESHOLD 77u
#define LINK_EFS_LAYOUT 2u
#define LINK_EFS_FILE_INDEX 1u
#define LINK_EFS_FILE_BLOCK 2u
#define LINK_EFS_FILE_OFFSET 16u
#define LINK_EFS_FILE_MAX 64u

/* The vendor table: one record holding the value 0x05DC (1500). */
#define LINK_VENDOR_SIZE 18u
extern const uint8_t link_vendor_table[LINK_VENDOR_SIZE];

/* Fills `ftbl` (LINK_FTBL_SIZE bytes) with the file table and `vendor`
 * (LINK_VENDOR_SIZE bytes) with the vendor table, and `tables` with the
 * inputs of an init over just these two. */
void link_input_tables(KelvraInputTables* tables, uint8_t* ftbl, uint8_t* vendor);

#endif
