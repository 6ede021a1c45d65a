// A descriptor that one thread owns and another borrows for short, bounded
// calls: the send thread owns its UART descriptor (opens it, replaces it
// after a hang-up or a reload, closes it), and the CTS thread borrows it to
// write a queued frame. Closing under a borrower would let the number be
// reused (by accept, say) and the frame go to whoever got it.
//
// Phases of one lease, all transitions through the two atomics:
//   Empty    (fd -1)                -> Open      owner: FdLeasePublish
//   Open     (fd >= 0)              -> Lent      borrower: FdLeaseBorrow (borrowers + 1)
//   Lent                            -> Open      borrower: FdLeaseReturn (borrowers - 1)
//   Open or Lent                    -> Retiring  owner: FdLeaseRetire swaps fd to -1
//   Retiring (fd -1, borrowers > 0) -> Empty     last borrower returns; the owner then closes
// A borrower raises the count before it reads fd, and the owner clears fd
// before it reads the count (both sequentially consistent), so either the
// borrower sees -1 or the owner sees it and waits. Borrowers must bound
// their calls (IoWriteAllWithin): the owner waits for them.
#pragma once
#include <atomic>

struct tFdLease {
  std::atomic<int> fd{-1};
  std::atomic<int> borrowers{0};
};

// Owner: publishes an open descriptor; the lease must be empty.
void FdLeasePublish(tFdLease* lease, int fd);
// Owner: the descriptor in force (-1 when empty), for its own polls.
int FdLeaseOwned(const tFdLease* lease);
// Owner: empties the lease, waits until no borrower holds the old
// descriptor, then closes it. Idempotent.
void FdLeaseRetire(tFdLease* lease);
// Borrower: the descriptor to use, or -1 when there is none. Every call is
// paired with FdLeaseReturn, whatever it answered.
int FdLeaseBorrow(tFdLease* lease);
void FdLeaseReturn(tFdLease* lease);
