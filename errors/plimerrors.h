// Error catalogue: the fixed English text of every error name and the module
// tag of every module category. The front end puts a name's text beside each
// report it hands to the host; the host may also read both maps directly.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "common/export.h"

// Error names, 0 to 413; 0 means no error. Only the names that this library
// reports have enumerators of their own; every other value in the range is a
// valid name too and is used by converting the number.
enum ImageToolsErrorName : int32_t {
  PLIM_ERR_NO_ERROR = 0,
  PLIM_ERR_INITIALIZE = 1,
  PLIM_ERR_FILE_NOT_FOUND = 38,
  PLIM_ERR_WRITING_FILE = 101,
  PLIM_ERR_BUFFER_PARSING = 115,
  PLIM_ERR_INVALID_DATA_POINTER = 322,
  PLIM_ERR_OUT_OF_MEMORY = 323,
  PLIM_ERR_FCS_NOT_INITIALIZED = 326,
  PLIM_ERR_FCS_PROCESS_ENTRIES = 327,
  PLIM_ERR_DUPLICATE_SPECIAL_LABEL = 328,
  PLIM_ERR_FILE_ENTRY_IN_USE = 329,
  PLIM_ERR_FCS_CREATE_HANDLE = 330,
  PLIM_ERR_FCS_GET_FILE = 331,
  PLIM_ERR_FCS_GET_ATTRIBUTES = 332,
  PLIM_ERR_FCS_FLUSH = 335,
  PLIM_ERR_INVALID_FCS_FILE = 336,
  PLIM_ERR_MFS_GET_FILE_SIZE = 338,
  PLIM_ERR_MFS_INIT = 341,
  PLIM_ERR_EFS_INIT = 342,
  PLIM_ERR_VARNOK_LOAD = 343,
  PLIM_ERR_CURRENTS_CREATE = 345,
  PLIM_ERR_CURRENTS_GENERATE = 346,
  PLIM_ERR_PLIM_CFG_CREATE = 347,
  PLIM_ERR_NVAR_ACCESS = 348,
  PLIM_ERR_CORRUPTED_BUFFER = 400,
  PLIM_ERR_FTBL_LOAD = 403,
  PLIM_ERR_INVALID_KELVRA_METADATA = 413,

  PLIM_ERR_NAME_FIRST = 0,
  PLIM_ERR_NAME_LAST = 413,
};

// Module categories, 0 to 29.
enum ImageToolsErrorType : int32_t {
  PLIM_MOD_NO_ERROR = 0,
  PLIM_MOD_ACTION_PROCESSOR = 1,
  PLIM_MOD_BIN_ACTIONS = 2,
  PLIM_MOD_PLIM_CONVERTER = 3,
  PLIM_MOD_TALUNA_BINARY_GEN = 4,
  PLIM_MOD_PLIM_ACTIONS = 5,
  PLIM_MOD_PLIM_FILE_IO = 6,
  PLIM_MOD_PLIM_UTILS = 7,
  PLIM_MOD_FRAMEWORK_C_LIB = 8,
  PLIM_MOD_ZEB_UTIL = 9,
  PLIM_MOD_XML_PROCESSOR = 10,
  PLIM_MOD_PLIM = 11,
  PLIM_MOD_FASQ_UTILS = 12,
  PLIM_MOD_LUMAQ_ACTIONS = 13,
  PLIM_MOD_IMR_ACTIONS = 14,
  PLIM_MOD_WENDO_CONTROLLER = 15,
  PLIM_MOD_GPIO_ACTIONS = 16,
  PLIM_MOD_ZEB_MFS = 17,
  PLIM_MOD_NVAR_ACTIONS = 18,
  PLIM_MOD_MANIFEST = 19,
  PLIM_MOD_MANIFEST_ACTIONS = 20,
  PLIM_MOD_CRYPTO_ACTIONS = 21,
  PLIM_MOD_TALUNA_ACTIONS = 22,
  PLIM_MOD_ELF_ACTIONS = 23,
  PLIM_MOD_HUFFMAN_UTILS = 24,
  PLIM_MOD_SYSTEM_RESOURCES = 25,
  PLIM_MOD_SYSCALL_ACTIONS = 26,
  PLIM_MOD_IMAGE_UTILS = 27,
  PLIM_MOD_IMAGE_METADATA_GENERATOR = 28,
  PLIM_MOD_KELVRA_METADATA = 29,

  PLIM_MOD_FIRST = 0,
  PLIM_MOD_LAST = 29,
};

static_assert(sizeof(ImageToolsErrorName) == 4, "error names are 32-bit");
static_assert(sizeof(ImageToolsErrorType) == 4, "module categories are 32-bit");

// The text that every name without an entry reads, and every name while the
// name map is empty. It is not an entry of the map.
#define PLIM_GENERAL_ERROR_TEXT "General Error"

// Static members only; never instantiated.
class PlimErrors {
 public:
  PlimErrors() = delete;

  // Rebuilds both maps; always true.
  KELVRA_API static bool init();
  // Empties both maps and fills them again from the fixed tables.
  KELVRA_API static void initStringMaps();
  // A copy of the name's text, or "General Error".
  KELVRA_API static std::string getErrorNameString(ImageToolsErrorName name);

  KELVRA_API static std::map<ImageToolsErrorName, std::string> s_imageToolsErrorNameStringMap;
  KELVRA_API static std::map<ImageToolsErrorType, std::string> s_imageToolsErrorTypeStringMap;
};
