// Status reporting through the host's callback.
#include "frontend/report.h"

namespace {

KelvraStatusCallback s_kelvraStatusCallback = nullptr;

}  // namespace

void zebMfsSetStatusCallback(KelvraStatusCallback callback) { s_kelvraStatusCallback = callback; }

KelvraStatusCallback zebMfsGetStatusCallback() { return s_kelvraStatusCallback; }

void zebMfsLogMessage(ErrorLevel /*level*/, ImageToolsErrorName name, const std::string& message) {
  if (s_kelvraStatusCallback == nullptr) {
    return;
  }
  // Name 0 carries an empty name text rather than its catalogue text; a name
  // the catalogue lacks carries "General Error".
  const std::string nameText =
      name == PLIM_ERR_NO_ERROR ? std::string() : PlimErrors::getErrorNameString(name);
  s_kelvraStatusCallback(ERROR_LEVEL_ERROR, name, nameText.c_str(), message.c_str());
}

void setLibError(ImageToolsErrorName name, int32_t status) {
  // std::to_string gives plain signed decimal: no padding, '-' for negatives.
  const std::string message = KELVRA_LIB_STATUS_PREFIX + std::to_string(status);
  zebMfsLogMessage(ERROR_LEVEL_ERROR, name, message);
}

void zebMfsAssert(const char* text) {
  if (s_kelvraStatusCallback == nullptr) {
    return;
  }
  // A null text is reported as an empty message rather than passed through.
  s_kelvraStatusCallback(ERROR_LEVEL_ERROR, PLIM_ERR_NO_ERROR, "", text != nullptr ? text : "");
}
