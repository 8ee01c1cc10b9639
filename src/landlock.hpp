// Landlock, the Linux security module that lets an unprivileged process
// give up access to files, TCP ports and other processes: the rules a run
// keeps, and how they are put in place on kernels that each know a
// different set of rights.
#ifndef IPWHERE_LANDLOCK_HPP_
#define IPWHERE_LANDLOCK_HPP_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ipwhere {

// A set of Landlock rights: those a ruleset handles (refuses unless a rule
// allows them), in the kernel's own bit values.
struct LandlockRights {
  std::uint64_t fs = 0;      // file-system rights, EXECUTE (1) to IOCTL_DEV
  std::uint64_t net = 0;     // TCP bind (1) and connect (2)
  std::uint64_t scoped = 0;  // abstract UNIX sockets (1), signals (2)

  bool operator==(const LandlockRights& other) const {
    return fs == other.fs && net == other.net && scoped == other.scoped;
  }
  bool operator!=(const LandlockRights& other) const {
    return !(*this == other);
  }
};

// The newest Landlock ABI whose rights are used here. ABI 7 adds only
// audit logging; ABI 9 adds a right for pathname UNIX sockets, left out as
// no kernel here can test it (the system-call filter covers those).
constexpr int kNewestLandlockAbi = 6;

// The rights a run hands over at `abi` (capped at kNewestLandlockAbi):
// every file-system right that ABI knows, TCP bind and connect from ABI 4
// (connect only when `connect_handled`), both scopes from ABI 6.
LandlockRights landlock_rights(int abi, bool connect_handled);

// The Landlock ABI of the running kernel, capped at kNewestLandlockAbi; 0
// when Landlock is missing, disabled or blocked by a system-call filter.
int landlock_abi() noexcept;

// Creates a ruleset through `create` (which returns a descriptor, or -1
// with errno set) for `rights`. A kernel that reports an ABI may still
// refuse one of its rights with EINVAL (RHEL 9 refuses the signal scope at
// ABI 6): then the fewest parts of `rights` are left out that make the
// kernel take the rest, the newest first, and `rights` says what was
// taken. Returns the descriptor, or -1.
int create_ruleset(LandlockRights& rights,
                   const std::function<int(const LandlockRights&)>& create);

// What a confined run may still do, beyond reading the system's locations.
struct LandlockAllowance {
  // Files or directories to read, followed through symbolic links; those
  // that do not exist are skipped.
  std::vector<std::string> readable;
  // The TCP ports it may connect to; `connect_any_port` leaves TCP connect
  // unhandled altogether.
  std::vector<std::uint16_t> connect_ports;
  bool connect_any_port = false;
  // What is in the process (see Occupants in confinement.hpp): a
  // sanitizer runtime reads /proc and runs its symbolizer; a leak checker
  // reads /proc from a helper process (the threads, the memory map); a
  // coverage runtime writes its counters where the build put them, so no
  // file-system right is handled (TCP and the scopes stay).
  bool sanitizer = false;
  bool leak_checker = false;
  bool coverage = false;
};

// The files the resolver reads, where the system keeps them (some may not
// exist). A file it cannot read counts as missing, without an error.
std::vector<std::string> resolver_files();

// The system locations every run may read (some may not exist).
std::vector<std::string> landlock_system_locations();

// Restricts the calling thread, and threads and processes it starts
// afterwards, to `allowance` with every right the kernel knows. Returns
// the rights handled, all zero when nothing applied. Needs no_new_privs.
LandlockRights apply_landlock(const LandlockAllowance& allowance) noexcept;

}  // namespace ipwhere

#endif  // IPWHERE_LANDLOCK_HPP_
