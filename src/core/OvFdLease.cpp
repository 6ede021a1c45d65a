// Lending a descriptor from its owner thread to a borrower thread.
#include "OvFdLease.h"

#include "OvClosers.h"
#include "OvIo.h"

namespace {
// The owner's pause between looks while a borrower finishes its call.
constexpr unsigned int kRetirePauseUs = 200;
}  // namespace

void FdLeasePublish(tFdLease* lease, int fd) { lease->fd.store(fd); }

int FdLeaseOwned(const tFdLease* lease) { return lease->fd.load(std::memory_order_relaxed); }

void FdLeaseRetire(tFdLease* lease) {
  int fd = lease->fd.exchange(-1);
  if (fd < 0) {
    return;
  }
  while (lease->borrowers.load() != 0) {
    IoSleepUs(kRetirePauseUs);
  }
  FdClose(&fd);
}

int FdLeaseBorrow(tFdLease* lease) {
  lease->borrowers.fetch_add(1);
  return lease->fd.load();
}

void FdLeaseReturn(tFdLease* lease) { lease->borrowers.fetch_sub(1); }
