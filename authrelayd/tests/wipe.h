// Test fixture: checks that one watched heap block holds only zeros when it
// is freed. The test binary replaces the global array new and delete.
#pragma once

#include <cstddef>

namespace authrelay_test {

// Watches the block at p, of which the first n bytes are checked when freed.
void WatchBlock(const void *p, size_t n);
// True once the watched block was freed; *zeroed tells whether it was wiped.
bool WatchedBlockFreed(bool *zeroed);

} // namespace authrelay_test
