// Idempotent release of descriptors and heap blocks: both leave the closed
// marker behind (-1, null), so a second call does nothing.
#pragma once

#include <cstdlib>

// Closes *fd unless it is negative, then sets it to -1. Descriptor 0 is open.
void FdClose(int* fd);

// Releases *p with free unless it is null, then sets it to null. A template so
// that any typed heap pointer can be passed without casts.
template <typename T>
inline void Free(T** p) {
  if (*p == nullptr) {
    return;
  }
  free(const_cast<void*>(static_cast<const void*>(*p)));
  *p = nullptr;
}
