/* Loads the library, runs a session, unloads it and checks that it is really
 * gone (its static state is destroyed at unload), then loads it again for a
 * second session on fresh state. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <KelvraStorageLib.h>

#include "link_samples.h"

typedef bool (*InitFn)(const KelvraInputTables*, KelvraStatusCallback);
typedef bool (*TermFn)(bool);
typedef bool (*GetFn)(const char*, uint8_t**, uint32_t*, FcsFileName, bool*, uint32_t*);

static int session(void* lib) {
  uint8_t ftbl[LINK_FTBL_SIZE], vendor[LINK_VENDOR_SIZE];
  KelvraInputTables tables;
  InitFn init;
  TermFn term;
  GetFn get;
  uint8_t* data = NULL;
  uint32_t size = 0;
  int ok;

  /* POSIX lets a data pointer from dlsym convert to a function pointer. */
  *(void**)&init = dlsym(lib, "zebMfsKelvraInit");
  *(void**)&term = dlsym(lib, "zebMfsNvarTerm");
  *(void**)&get = dlsym(lib, "zebMfsNvarGet");
  if (init == NULL || term == NULL || get == NULL) return 0;
  link_input_tables(&tables, ftbl, vendor);
  ok = init(&tables, NULL) && get(LINK_NVAR, &data, &size, FCS_FILE_CURRENT_VALUES, NULL, NULL) &&
       size == 2 && data[0] == 0xDC && term(true) && term(false);
  return ok;
}

int main(int argc, char** argv) {
  void* lib;
  const uint32_t* sku;
  if (argc != 2) {
    fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
    return 2;
  }
  lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL || !session(lib)) {
    fprintf(stderr, "first load: %s\n", lib == NULL ? dlerror() : "session failed");
    return 1;
  }
  if (dlclose(lib) != 0) {
    fprintf(stderr, "dlclose: %s\n", dlerror());
    return 1;
  }
  if (dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD) != NULL) {
    fprintf(stderr, "the library stayed loaded after its last dlclose\n");
    return 1;
  }
  lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) {
    fprintf(stderr, "second load: %s\n", dlerror());
    return 1;
  }
  /* A fresh load starts from the state at load: no SKU selected yet. */
  sku = (const uint32_t*)dlsym(lib, "g_dfs_sku");
  if (sku == NULL || *sku != 0xFFFFFFFFu) {
    fprintf(stderr, "second load: the state of the first load survived the unload\n");
    return 1;
  }
  if (!session(lib)) {
    fprintf(stderr, "second load: session failed\n");
    return 1;
  }
  dlclose(lib);
  printf("unload: unloaded and loaded again\n");
  return 0;
}
