// What another thread of this process is doing, as the kernel reports it: for tests that must
// know a thread has blocked before they go on, rather than sleep and hope it has.
#pragma once

#include <sys/types.h>

#include <chrono>

namespace testing_support {

// The calling thread's id, as the kernel numbers it.
pid_t currentThreadId();

// Waits until thread `tid` of this process sleeps in the system call `call` (SYS_futex for a
// condition variable, SYS_read for a read). False when `limit` passes first or the thread ends.
bool waitUntilBlockedIn(pid_t tid, long call,
                        std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace testing_support
