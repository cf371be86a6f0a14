// Status reporting to the host. Only the front end reports; the lower layers
// return status codes, which the front end hands on inside a report.
//
// Every report is one synchronous call of the host's callback with level 4,
// the error name, the name's catalogue text (empty for name 0) and a message.
// Without a callback nothing is built and nothing is reported.
#pragma once

#include <cstdint>
#include <string>

#include "errors/plimerrors.h"
#include "include/KelvraStorageLib.h"

// The report levels (ErrorLevel; the library reports at level 4) and the
// host's callback type (KelvraStatusCallback) are declared with the host's
// interface.

// The message prefix of a report that carries a lower layer's status code.
#define KELVRA_LIB_STATUS_PREFIX " Library status code: "

// The one callback in force; null at load (nothing is reported). Init stores
// its callback argument here at every call, null included.
void zebMfsSetStatusCallback(KelvraStatusCallback callback);
KelvraStatusCallback zebMfsGetStatusCallback();

// Reports `name` with `message`. The callback always receives level 4.
void zebMfsLogMessage(ErrorLevel level, ImageToolsErrorName name, const std::string& message);

// Reports `name` with the message " Library status code: <status>".
void setLibError(ImageToolsErrorName name, int32_t status);

// Reports name 0 with an empty name text and `text` as the message; neither
// stops nor returns anything, the caller goes on with its own failure path.
void zebMfsAssert(const char* text);
