// Idempotent closers: every owner can release unconditionally.
#include "OvClosers.h"

#include <unistd.h>

void FdClose(int* fd) {
  if (*fd < 0) {
    return;
  }
  close(*fd);
  *fd = -1;
}
