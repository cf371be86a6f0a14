// Exported entry points of the storage front end: initialisation, NVAR
// access and state queries, termination with write-back. They are declared
// with the host's interface; the front end builds against that declaration.
#pragma once

#include "include/KelvraStorageLib.h"
#include "frontend/report.h"
