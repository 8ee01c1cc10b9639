// Least privilege for a run: once libcurl is set up, the process gives up
// what a lookup does not need, so that a fault in a parser of network data
// (TLS, HTTP, JSON) cannot be turned against the user's files, services or
// terminal.
//
// On Linux, each step as far as the running kernel has it:
//  - a run started as root becomes the unprivileged user nobody, with no
//    capabilities left;
//  - Landlock: reading only system locations, no writing, creating,
//    removing or executing of files, TCP connections only to the ports a
//    request needs, no abstract UNIX sockets, no signals to others;
//  - a system-call filter (see syscall_filter.hpp);
//  - no memory that is writable and executable, or becomes executable.
// Every step is best effort: a step the system refuses is left out, and
// the run goes on. Elsewhere, and in builds with IPWHERE_CONFINEMENT off,
// confine() does nothing.
#ifndef IPWHERE_CONFINEMENT_HPP_
#define IPWHERE_CONFINEMENT_HPP_

#include <cstdint>
#include <string>
#include <vector>

#include "landlock.hpp"

namespace ipwhere {

// Opens /dev/null, read-only, on whichever of descriptors 0, 1 and 2 is
// closed, so that no file or socket opened later becomes standard input,
// output or error. Writes to a standard output that was closed still fail.
// Call first, before anything opens a descriptor.
void open_standard_descriptors() noexcept;

// Closes every descriptor above 2, so that nothing the parent left open (a
// socket, a file opened as another user) stays reachable from the run.
// Call at start, before anything opens a descriptor of its own.
void close_inherited_descriptors() noexcept;

// What a confined process may do besides reading the system's locations
// (/etc, /usr, the library directories, ...) and the files the resolver
// reads.
struct Allowance {
  // Further files or directories to read (the CA bundle and directory),
  // followed through symbolic links; those that do not exist are skipped.
  std::vector<std::string> readable;
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
  bool unprivileged = false;  // a run as root now runs as nobody
  int landlock_abi = 0;       // the kernel's, capped at what is used here
  LandlockRights landlock;    // the Landlock rights handled
  bool syscall_filter = false;
  bool no_exec_gain = false;  // no writable-and-executable memory
  int trials = 0;             // child processes that tried the steps first
};

// Which sanitizer runtimes are in this process, however the build asked
// for them (a project option, the compiler flags, the linker flags alone).
struct SanitizerRuntimes {
  bool any = false;   // reads /proc, runs a symbolizer for its reports
  bool leak = false;  // LeakSanitizer, also part of AddressSanitizer
};
SanitizerRuntimes sanitizer_runtimes() noexcept;

// Confines the calling thread and every thread it starts afterwards (not
// threads that exist already), for the rest of their lives. Best effort,
// prints nothing. When the process already runs under a system-call filter
// (a service manager's), which might kill it for a call made here, the
// steps are first tried in a child process and only those the child
// survived are taken.
ConfinementReport confine(const Allowance& allowance) noexcept;

}  // namespace ipwhere

#endif  // IPWHERE_CONFINEMENT_HPP_
