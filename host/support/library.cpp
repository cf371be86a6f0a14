// Loading the library by path and resolving its entry points by name, as the
// host tool does: dlopen and dlsym on Linux, LoadLibrary and GetProcAddress
// on Windows.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "kelvra_host.h"

namespace kelvra_host {
namespace {

#ifdef _WIN32
void* load(const std::string& path, std::string* message) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) *message = "LoadLibrary error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(module);
}

using AnyFunction = void (*)(void);
AnyFunction find(void* handle, const char* symbol) {
  // Any function pointer type converts through void (*)(void).
  return reinterpret_cast<AnyFunction>(GetProcAddress(static_cast<HMODULE>(handle), symbol));
}

template <typename Fn>
Fn as(AnyFunction p) {
  return reinterpret_cast<Fn>(p);
}
#else
void* load(const std::string& path, std::string* message) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* msg = dlerror();
    *message = msg != nullptr ? msg : "unknown error";
  }
  return handle;
}

void* find(void* handle, const char* symbol) {
  dlerror();
  return dlsym(handle, symbol);
}

template <typename Fn>
Fn as(void* p) {
  // POSIX guarantees that a data pointer from dlsym converts to a function pointer.
  return reinterpret_cast<Fn>(p);
}
#endif

template <typename Fn>
bool resolve(void* handle, const char* symbol, Fn* out, std::string* error) {
  auto p = find(handle, symbol);
  if (p == nullptr) {
    if (error != nullptr) *error = std::string("entry point not found: ") + symbol;
    return false;
  }
  *out = as<Fn>(p);
  return true;
}

}  // namespace

const void* Library::address_of(const char* symbol) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<const void*>(find(handle_, symbol));
}

bool Library::open(const std::string& path, std::string* error) {
  std::string message;
  handle_ = load(path, &message);
  if (handle_ == nullptr) {
    if (error != nullptr) *error = std::string("cannot load ") + path + ": " + message;
    return false;
  }
  Api a;
  const bool ok =
      resolve(handle_, "zebMfsKelvraInit", &a.zebMfsKelvraInit, error) &&
      resolve(handle_, "zebMfsNvarGet", &a.zebMfsNvarGet, error) &&
      resolve(handle_, "zebMfsNvarResize", &a.zebMfsNvarResize, error) &&
      resolve(handle_, "zebmfsCheckNvarExists", &a.zebmfsCheckNvarExists, error) &&
      resolve(handle_, "zebMfsGetFcsFileNameMapping", &a.zebMfsGetFcsFileNameMapping, error) &&
      resolve(handle_, "zebMfsIsInitialized", &a.zebMfsIsInitialized, error) &&
      resolve(handle_, "zebFcsIsInitialized", &a.zebFcsIsInitialized, error) &&
      // The one entry point with C++ linkage: bool zebMfsIsVfsDeployed().
      resolve(handle_, "_Z19zebMfsIsVfsDeployedv", &a.zebMfsIsVfsDeployed, error) &&
      resolve(handle_, "zebMfsGetEfsSize", &a.zebMfsGetEfsSize, error) &&
      resolve(handle_, "zebMfsGetBuildPlimCfgFcsBuffer", &a.zebMfsGetBuildPlimCfgFcsBuffer, error) &&
      resolve(handle_, "zebMfsNvarTerm", &a.zebMfsNvarTerm, error) &&
      resolve(handle_, "afs_init", &a.afs_init, error) &&
      resolve(handle_, "afs_free_context", &a.afs_free_context, error) &&
      resolve(handle_, "load_file_table", &a.load_file_table, error) &&
      resolve(handle_, "pathToFileNumber", &a.pathToFileNumber, error) &&
      resolve(handle_, "dfs_init", &a.dfs_init, error) &&
      resolve(handle_, "dfs_getsize", &a.dfs_getsize, error) &&
      resolve(handle_, "dfs_read", &a.dfs_read, error) &&
      resolve(handle_, "dfs_write", &a.dfs_write, error) &&
      resolve(handle_, "EFS_init_tools", &a.EFS_init_tools, error) &&
      resolve(handle_, "EFS_do_format", &a.EFS_do_format, error) &&
      resolve(handle_, "EFS_get_efs_size", &a.EFS_get_efs_size, error);
  if (!ok) return false;
  api_ = a;
  return true;
}

}  // namespace kelvra_host
