// Export marking for the shared library. Everything is hidden by default;
// KELVRA_API marks the functions and data that the library exports by name.
// The macros are defined by the host's header, which the library's own
// headers include so that every declaration a host sees is the one the
// library is built against.
#pragma once

#include "include/KelvraStorageLib.h"
