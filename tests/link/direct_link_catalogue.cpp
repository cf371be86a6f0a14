// A C++ host linked directly against the shared library: the catalogue's two
// maps that it iterates are the ones the library built.
#include <cstdio>
#include <string>

#include "errors/plimerrors.h"

int main() {
  int failures = 0;
  auto check = [&failures](bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "check failed: %s\n", what);
      ++failures;
    }
  };
  check(PlimErrors::init(), "init");
  size_t names = 0, types = 0;
  for (const auto& entry : PlimErrors::s_imageToolsErrorNameStringMap) {
    ++names;
    if (entry.second != PlimErrors::getErrorNameString(entry.first)) {
      std::fprintf(stderr, "name %d: map and lookup differ\n", static_cast<int>(entry.first));
      ++failures;
    }
  }
  for (const auto& entry : PlimErrors::s_imageToolsErrorTypeStringMap) {
    ++types;
    check(entry.first >= 0 && entry.first < 30 && !entry.second.empty(), "module tag");
  }
  check(names == 413, "413 error texts");
  check(types == 30, "30 module tags");
  check(PlimErrors::s_imageToolsErrorNameStringMap.count(static_cast<ImageToolsErrorName>(49)) == 0,
        "name 49 has no text");
  if (failures != 0) return 1;
  std::printf("direct link: catalogue maps shared (%zu texts, %zu tags)\n", names, types);
  return 0;
}
