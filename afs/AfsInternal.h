// Helpers shared by the volume and file sources of the AFS layer; not
// exported.
#pragma once

#include <cstdint>

#include "afs/AfsTypes.h"

// True when `value` is a cluster number of the context's volume.
bool afs_is_cluster(const afs_context_t* ctx, uint32_t value);
// Writes table entry `index` through the cache and marks its line written.
int afs_put_entry(afs_context_t* ctx, uint16_t index, uint16_t value);
