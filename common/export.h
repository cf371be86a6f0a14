// Export marking for the shared library. Everything is hidden by default;
// KELVRA_API marks the functions and data that the library exports by name.
#pragma once

#if defined(_WIN32)
#  if defined(KELVRA_BUILDING_LIBRARY)
#    define KELVRA_API __declspec(dllexport)
#  else
#    define KELVRA_API __declspec(dllimport)
#  endif
#else
#  define KELVRA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#  define KELVRA_EXTERN_C extern "C"
#else
#  define KELVRA_EXTERN_C
#endif
