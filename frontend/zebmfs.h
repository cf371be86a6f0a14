// Exported entry points of the storage front end: initialisation, NVAR
// access and state queries, termination with write-back.
#pragma once

#include <cstdint>

#include "common/export.h"
#include "frontend/kelvra_input_tables.h"
#include "frontend/report.h"

extern "C" {

// Loads the tables, mounts the MFS image, starts EFS and pulls the NVAR values
// from a deployed MFS. False after the failure has been reported.
KELVRA_API bool zebMfsKelvraInit(const KelvraInputTables* tables, KelvraStatusCallback callback);

// Hands out the library's copy of an NVAR's value from the named table.
// editable and maxSize may be null.
KELVRA_API bool zebMfsNvarGet(const char* path, uint8_t** data, uint32_t* size, FcsFileName table,
                              bool* editable, uint32_t* maxSize);

// Resizes an NVAR of the current values; the host writes the bytes into *newData.
KELVRA_API bool zebMfsNvarResize(const char* path, uint8_t** newData, uint32_t size);

KELVRA_API bool zebmfsCheckNvarExists(const char* path, FcsFileName table);
KELVRA_API FcsFileName zebMfsGetFcsFileNameMapping(uint32_t index);
KELVRA_API bool zebMfsIsInitialized(void);
KELVRA_API bool zebFcsIsInitialized(void);
KELVRA_API uint32_t zebMfsGetEfsSize(void);
KELVRA_API bool zebMfsGetBuildPlimCfgFcsBuffer(uint8_t** buffer, uint32_t* size);

// Builds the new OEM table, writes the NVARs back and serialises the table.
KELVRA_API bool zebMfsNvarTerm(bool keep);

}  // extern "C"

// True when the MFS is mounted and its deploy marker file is not empty.
// Exported with C++ linkage.
KELVRA_API bool zebMfsIsVfsDeployed();
