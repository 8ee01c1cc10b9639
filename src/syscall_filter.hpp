// The system-call filter (seccomp) of a confined run: an allow-list of the
// calls a lookup makes, so that code hijacked inside a run reaches nothing
// else the kernel offers, today's calls and those a later kernel adds
// alike. Its table (syscall_table.cpp) is compiled into BPF when the tool
// is built; a run fills in its own values and loads the programs.
//
// Two filters, which the kernel runs both, the stricter answer winning:
//  - the allow-list: the calls a lookup makes, some only with the
//    arguments a lookup passes; calls refused by name (listening, new
//    processes, other processes' IPC, watches on files, ...) fail with
//    EPERM, every other call with ENOSYS, as on a kernel that lacks it, so
//    that a libc trying a newer call first falls back;
//  - the refusals: calls on that list whose arguments do harm (reading the
//    terminal, changing its settings, sockets of other kinds, signals to
//    other processes, new namespaces) fail with an error.
// A call through another architecture's system-call table ends the
// process.
#ifndef IPWHERE_SYSCALL_FILTER_HPP_
#define IPWHERE_SYSCALL_FILTER_HPP_

#include <vector>

namespace ipwhere {

// Whether this build has the filter (Linux, built with libseccomp).
bool syscall_filter_built() noexcept;

// What the filter lets through besides a lookup's own calls.
struct FilterAllowance {
  // Sanitizer runtimes: the leak checker stops the threads with ptrace
  // from a process that shares the run's memory, and reads /proc; so does
  // gperftools' heap checker, which marks its helper with a UNIX datagram
  // socket.
  bool sanitizer = false;
  bool leak_checker = false;
  // A coverage runtime writes its counters at exit: directories, locks.
  bool coverage = false;
  bool unix_sockets = false;  // a SOCKS proxy reached through one
  // Descriptors above 2 that lead to a terminal, kept open for a
  // preloaded library: guarded as 0 to 2 are, the first kTerminalSlots
  // (8) of them.
  std::vector<int> terminals;
  // A call on no list ends the process instead of failing with ENOSYS:
  // for test builds, where a call missing from the list must show.
  bool kill_unlisted = false;
};

// Installs the filters on every thread of the process, those that exist
// already (a preloaded library's, a sanitizer runtime's) included, and
// every thread started afterwards, for the rest of their lives. Signals
// may go to this process alone. Needs no_new_privs or CAP_SYS_ADMIN.
// Returns whether the filters apply.
bool install_syscall_filter(const FilterAllowance& allowance) noexcept;

}  // namespace ipwhere

#endif  // IPWHERE_SYSCALL_FILTER_HPP_
