// A system-call filter (seccomp, through libseccomp) that refuses what
// Landlock leaves open to a hijacked run: sockets of other families (the
// pathname UNIX sockets of agents, buses and daemons among them), raw and
// packet sockets, keystrokes pushed into a terminal, changes of file
// metadata, reaching into other processes (their limits, priorities,
// memory, and signals on kernels before Landlock scoped them), and kernel
// interfaces a lookup never uses.
//
// It is a deny-list: everything it does not name is allowed, so that a
// libc or library update that calls something new never kills a run. Each
// refused call fails with an error; only a call through another
// architecture's system-call table ends the process.
#ifndef IPWHERE_SYSCALL_FILTER_HPP_
#define IPWHERE_SYSCALL_FILTER_HPP_

namespace ipwhere {

// Whether this build has the filter (Linux with libseccomp).
bool syscall_filter_built() noexcept;

// What the filter lets through that it would otherwise refuse.
struct FilterAllowance {
  bool ptrace = false;        // LeakSanitizer stops the threads with it
  bool unix_sockets = false;  // a SOCKS proxy reached through one
};

// Installs the filter for the calling thread and every thread it starts
// afterwards, for the rest of their lives; signals may go to the calling
// process alone. Needs no_new_privs or
// CAP_SYS_ADMIN. Returns whether the filter applies.
bool install_syscall_filter(const FilterAllowance& allowance) noexcept;

}  // namespace ipwhere

#endif  // IPWHERE_SYSCALL_FILTER_HPP_
