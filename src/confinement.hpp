// Least privilege for a run: once libcurl is set up, the process gives up
// what a lookup does not need, so that a fault in a parser of network data
// (TLS, HTTP, JSON) cannot be turned against the user's files, services or
// terminal.
//
// On Linux, each step as far as the running kernel has it:
//  - a run started as root becomes the unprivileged user nobody;
//  - no capability is left in any set, whatever the user;
//  - Landlock: reading only system locations and the folders the loader
//    takes libraries from, no writing, creating, removing or executing of
//    files, TCP connections only to the ports a request needs, no
//    abstract UNIX sockets, no signals to others;
//  - no memory that is writable and executable, or becomes executable;
//  - a system-call filter (see syscall_filter.hpp).
// Every step is best effort: a step the system refuses is left out, and
// the run goes on. Tools the user wraps around a run keep working: what
// each needs is in Occupants below. Elsewhere, and in builds with
// IPWHERE_CONFINEMENT off, confine() does nothing.
#ifndef IPWHERE_CONFINEMENT_HPP_
#define IPWHERE_CONFINEMENT_HPP_

#include <cstdint>
#include <string>
#include <vector>

#include "ca_directory.hpp"
#include "landlock.hpp"

namespace ipwhere {

// Puts standard input on /dev/null, as nothing is read from it, and opens
// /dev/null, read-only, on whichever of descriptors 1 and 2 is closed, so
// that no file or socket opened later becomes standard output or error.
// Writes to a standard output that was closed still fail. Call first,
// before anything opens a descriptor.
void open_standard_descriptors() noexcept;

// Closes every descriptor above 2, so that nothing the parent left open (a
// socket, a file opened as another user) stays reachable from the run.
// Call at start, before anything opens a descriptor of its own, unless
// libraries are preloaded (Occupants::preloaded).
void close_inherited_descriptors() noexcept;

// What is in this process besides the tool's own code, detected once, at
// start. Each makes room in the confinement, under the same name down to
// Landlock (LandlockAllowance) and the filter (FilterAllowance):
//
//   root          goes on as nobody, where nobody can read what a lookup
//                 reads and start its threads
//   preloads      (LD_PRELOAD, /etc/ld.so.preload: torsocks, proxychains,
//                 a profiler) descriptors above 2 stay open, TCP may go to
//                 any port, the environment stays whole, files named by
//                 the libraries' own variables stay readable
//   terminals     (with preloads) descriptors above 2 that lead to a
//                 terminal: guarded as 0 to 2 are
//   valgrind      no step at all: it follows neither Landlock nor the
//                 filter, and cannot clean up after a change of user
//   coverage      (gcov, LLVM) user, capabilities and files unrestricted,
//                 and the calls that write the counters at exit
//   sanitizer     /proc readable, its symbolizer runnable, its calls
//   leak_checker  (LeakSanitizer, gperftools' heap checker) a helper that
//                 shares the memory and traces the threads, /proc
//                 readable, the process dumpable, UNIX datagram sockets
struct Occupants {
  bool root = false;
  bool preloaded = false;
  std::vector<std::string> preloads;  // the libraries, where they are known
  std::vector<int> terminals;
  bool valgrind = false;
  bool coverage = false;
  bool sanitizer = false;
  bool leak_checker = false;
};

// Looks, once: sanitizer and coverage runtimes however the build asked for
// them (a project option, the compiler flags, the linker flags alone).
// Out of memory, it answers as if libraries were preloaded, which keeps
// what may belong to them.
Occupants detect_occupants() noexcept;

// The CA bundle's contents, read now, when this run started as root will
// go on as a user who may not read the file; empty otherwise, when the
// file is read by path as usual.
std::string ca_bundle_to_hold(const std::string& bundle,
                              const Occupants& occupants);

// What a confined process may do besides reading the system's locations
// (/etc, /usr, the library directories, ...) and the files the resolver
// reads.
struct Allowance {
  // Further files or directories to read (the CA bundle, unless it is
  // held in memory), followed through symbolic links; those that do not
  // exist are skipped.
  std::vector<std::string> readable;
  // The CA directory, whose hashed files are read by path, wherever their
  // links lead.
  std::string ca_directory;
  // TCP ports to connect to besides 443 (HTTPS) and 53 (DNS over TCP):
  // those of the proxies a request may use.
  std::vector<std::uint16_t> proxy_ports;
  // TCP connections to any port (a proxy setting that could not be read).
  bool connect_any_port = false;
  // UNIX sockets (a SOCKS proxy reached through one).
  bool unix_sockets = false;
};

// What confine() put in place.
struct ConfinementReport {
  bool unprivileged = false;     // a run as root now runs as nobody
  bool partial_switch = false;   // only some of the user, group and groups
  bool no_capabilities = false;  // every capability set is empty
  int landlock_abi = 0;          // the kernel's, capped at what is used here
  LandlockRights landlock;       // the Landlock rights handled
  bool syscall_filter = false;
  bool no_exec_gain = false;  // no writable-and-executable memory
  // The strings of the variables a lookup does not read are zeroed.
  bool environment_wiped = false;
  int trials = 0;  // child processes that tried the steps first
};

// Confines the calling thread and every thread it starts afterwards (not
// threads that exist already), for the rest of their lives. Best effort,
// prints nothing. When the process already runs under a system-call filter
// (a service manager's), which might kill it for a call made here, the
// steps are first tried in a child process and only those the child
// survived are taken.
ConfinementReport confine(const Allowance& allowance,
                          const Occupants& occupants) noexcept;

}  // namespace ipwhere

#endif  // IPWHERE_CONFINEMENT_HPP_
