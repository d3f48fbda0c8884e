// The guard that ends every player program's process group when the process that started
// them ends, however it ends (SIGKILL included, where no handler of ours could run).
//
// How: a small watchdog process per host process, started on the first guarded group. It is
// forked twice, so it is no child of the host (nothing for the host to reap) and sits in a
// session of its own (a kill of the host's group or a closed terminal does not take it
// with it). It holds one end of a socket pair whose other end only the host holds (closed on
// exec, and closed in any child the host forks), and learns from it which process groups to
// guard. When the host's end closes, which the kernel does whenever the host dies, it sends
// SIGKILL to every group it still guards and exits.
//
// Groups are registered before the program can run (the child waits at a gate until then)
// and released only after the leader is reaped, so a released number is never one the
// kernel could have handed to somebody else while still registered.
#pragma once

#include <sys/types.h>

namespace veltrix::arena::watchdog {

// Registers the process group `pgid` with this process's watchdog, starting one when there
// is none yet (or when this process is a fork of the one that started it). False when no
// watchdog could be started: the group then runs unguarded.
bool guard_group(pid_t pgid);

// Tells the watchdog that `pgid` is no longer ours to end (its leader has been reaped).
void release_group(pid_t pgid);

}  // namespace veltrix::arena::watchdog
