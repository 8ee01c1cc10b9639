// The system-call filter as the kernel runs it: two BPF programs, compiled
// from the table in syscall_table.cpp when the tool is built, and the
// stand-ins in them that a run fills in before loading them. Building the
// programs takes libseccomp milliseconds; filling them in takes
// microseconds, and no library.
#ifndef IPWHERE_SYSCALL_PROGRAM_HPP_
#define IPWHERE_SYSCALL_PROGRAM_HPP_

#include <cstddef>
#include <cstdint>

namespace ipwhere {

// One instruction, laid out as the kernel's struct sock_filter.
struct BpfInstruction {
  std::uint16_t code;
  std::uint8_t jt;
  std::uint8_t jf;
  std::uint32_t k;
};

struct BpfProgram {
  const BpfInstruction* code;
  std::size_t length;
};

// The allow-list (its default: the placeholder default action) and the
// refusals (default: allow), as compiled for this build's architecture.
// The kernel runs both and takes the stricter answer. With `terminals`,
// they hold the kTerminalSlots slots below; without, none.
BpfProgram allow_list_program(bool terminals) noexcept;
BpfProgram refusals_program(bool terminals) noexcept;

// A call the allow-list refuses by name, whatever its arguments.
struct RefusedCall {
  const char* name;
  int number;
};
// Every such call, for the tests that make each one.
const RefusedCall* calls_refused_by_name(std::size_t& count) noexcept;

// Values known only at run time, compiled in as stand-ins that lie far
// above any process id or descriptor (and below 2^31, so that no
// comparison of theirs depends on a sign): the run's process id, and the
// descriptors of up to kTerminalSlots terminals kept open for a preloaded
// library (unused slots become 0, standard input, guarded anyway).
constexpr std::uint32_t kPidStandIn = 0x7A110000;
constexpr std::uint32_t kTerminalSlots = 8;
constexpr std::uint32_t kTerminalStandIn = 0x7A120000;  // plus the slot

// What may be in the process and widens the filter where it is.
enum Relaxation : std::uint32_t {
  kNoRelaxation = 0,
  kSanitizer = 1,    // a sanitizer runtime: /proc, its own helper calls
  kLeakChecker = 2,  // the leak checker's helper, which traces the threads
  kCoverage = 3,     // a coverage runtime writing its counters at exit
  kUnixSockets = 4,  // a SOCKS proxy reached through a UNIX socket
  // UNIX datagram sockets: the above, or a leak checker that marks its
  // helper with one (gperftools')
  kUnixDatagrams = 5,
};

// What an action that depends on a relaxation becomes without it.
enum Fallback : std::uint32_t {
  kFallbackDefault = 0,  // the filter's default action
  kFallbackEperm = 1,
  kFallbackEafnosupport = 2,
};

// Actions that depend on the run, compiled in as SECCOMP_RET_TRACE (which
// the filter never means) with the relaxation and fallback as its data:
// "allow where the relaxation holds, else the fallback". The default
// action is one too, as it is ENOSYS or, in test builds, the end of the
// process.
constexpr std::uint32_t kActionStandIn = 0x7FF00000U;
constexpr std::uint32_t action_stand_in(Relaxation relaxation,
                                        Fallback fallback) {
  return kActionStandIn | static_cast<std::uint32_t>(relaxation) << 8U |
         static_cast<std::uint32_t>(fallback);
}
constexpr std::uint32_t kDefaultActionStandIn =
    action_stand_in(kNoRelaxation, kFallbackDefault);

}  // namespace ipwhere

#endif  // IPWHERE_SYSCALL_PROGRAM_HPP_
