// Least privilege for a run: once libcurl is set up, the process gives up
// what a lookup does not need, so that a fault in a parser of network data
// (TLS, HTTP, JSON) cannot be turned against the user's files or services.
//
// On Linux this is Landlock: reading only system locations, no writing,
// creating, removing or executing of files, no device ioctls on files
// opened later, TCP connections only to ports 443 and 53 and no TCP bind,
// no abstract UNIX sockets and no signals to other processes, each as far
// as the running kernel knows the right. Elsewhere, and in builds with
// IPWHERE_CONFINEMENT off, confine() does nothing.
#ifndef IPWHERE_CONFINEMENT_HPP_
#define IPWHERE_CONFINEMENT_HPP_

#include <string>
#include <vector>

namespace ipwhere {

// Opens /dev/null, read-only, on whichever of descriptors 0, 1 and 2 is
// closed, so that no file or socket opened later becomes standard input,
// output or error. Writes to a standard output that was closed still fail.
// Call first, before anything opens a descriptor.
void open_standard_descriptors() noexcept;

// What a confined process may do besides reading the system's locations
// (/etc, /usr, the library directories, ...) and the files the resolver
// reads.
struct Allowance {
  // Further files or directories to read (the CA bundle and directory),
  // followed through symbolic links; those that do not exist are skipped.
  std::vector<std::string> readable;
  // TCP connections to any port (a proxy may listen on any), instead of
  // only 443 (HTTPS) and 53 (DNS over TCP).
  bool connect_any_port = false;
};

// The Landlock ABI version of the running kernel, capped at the newest
// this code uses; 0 when Landlock is missing, disabled or blocked by a
// system-call filter, or the build has no confinement.
int confinement_abi() noexcept;

// Confines the calling thread and every thread it starts afterwards (not
// threads that exist already), for the rest of their lives. Best effort:
// returns whether the confinement applies; when it cannot (no Landlock, an
// older kernel that refuses a right), the process goes on unconfined or
// with the rights the kernel knows. Prints nothing.
bool confine(const Allowance& allowance) noexcept;

}  // namespace ipwhere

#endif  // IPWHERE_CONFINEMENT_HPP_
