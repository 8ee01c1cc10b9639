#include "syscall_filter.hpp"

#include "syscall_program.hpp"

#ifdef IPWHERE_SECCOMP
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>
#endif

namespace ipwhere {

#ifdef IPWHERE_SECCOMP
namespace {

static_assert(sizeof(BpfInstruction) == sizeof(sock_filter),
              "the programs are laid out as the kernel reads them");

bool relaxed(const FilterAllowance& allowance, std::uint32_t relaxation) {
  switch (relaxation) {
    case kSanitizer:
      return allowance.sanitizer;
    case kLeakChecker:
      return allowance.leak_checker;
    case kCoverage:
      return allowance.coverage;
    case kUnixSockets:
      return allowance.unix_sockets;
    case kUnixDatagrams:
      return allowance.unix_sockets || allowance.leak_checker;
    default:
      return false;
  }
}

// The action a stand-in stands for in this run.
std::uint32_t action_for(const FilterAllowance& allowance, std::uint32_t data) {
  if (relaxed(allowance, data >> 8U)) return SECCOMP_RET_ALLOW;
  switch (data & 0xFFU) {
    case kFallbackEperm:
      return SECCOMP_RET_ERRNO | EPERM;
    case kFallbackEafnosupport:
      return SECCOMP_RET_ERRNO | EAFNOSUPPORT;
    default:
      return allowance.kill_unlisted ? SECCOMP_RET_KILL_PROCESS
                                     : SECCOMP_RET_ERRNO | ENOSYS;
  }
}

// The program with this run's values in place of the stand-ins.
std::vector<sock_filter> filled_in(const BpfProgram& program,
                                   const FilterAllowance& allowance) {
  std::vector<sock_filter> code(program.length);
  const auto pid = static_cast<std::uint32_t>(getpid());
  for (std::size_t i = 0; i < program.length; ++i) {
    const BpfInstruction& from = program.code[i];
    sock_filter& to = code[i];
    to = {from.code, from.jt, from.jf, from.k};
    if (BPF_CLASS(from.code) == BPF_RET &&
        (from.k & SECCOMP_RET_ACTION_FULL) == kActionStandIn) {
      to.k = action_for(allowance, from.k & SECCOMP_RET_DATA);
    } else if (BPF_CLASS(from.code) == BPF_JMP && BPF_SRC(from.code) == BPF_K) {
      if (from.k == kPidStandIn) to.k = pid;
      const std::uint32_t slot = from.k - kTerminalStandIn;
      if (from.k >= kTerminalStandIn && slot < kTerminalSlots) {
        const std::vector<int>& terminals = allowance.terminals;
        to.k = slot < terminals.size()
                   ? static_cast<std::uint32_t>(terminals[slot])
                   : 0;
      }
    }
  }
  return code;
}

// Loads `code` on every thread of the process.
bool load(std::vector<sock_filter>& code) {
  const sock_fprog program = {static_cast<unsigned short>(code.size()),
                              code.data()};
  return code.size() <= BPF_MAXINSNS &&
         syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
                 SECCOMP_FILTER_FLAG_TSYNC, &program) == 0;
}

}  // namespace

bool syscall_filter_built() noexcept { return true; }

bool install_syscall_filter(const FilterAllowance& allowance) noexcept {
  // The kernel runs both and takes the stricter answer: an error over
  // letting a call through. The refusals go first, as the allow-list
  // refuses seccomp() itself.
  const bool terminals = !allowance.terminals.empty();
  try {
    std::vector<sock_filter> refusals =
        filled_in(refusals_program(terminals), allowance);
    std::vector<sock_filter> allow_list =
        filled_in(allow_list_program(terminals), allowance);
    return load(refusals) && load(allow_list);
  } catch (...) {
    return false;  // out of memory while filling in the programs
  }
}

#else  // no filter programs: not Linux, or built without libseccomp

bool syscall_filter_built() noexcept { return false; }

const RefusedCall* calls_refused_by_name(std::size_t& count) noexcept {
  count = 0;
  return nullptr;
}

bool install_syscall_filter(const FilterAllowance& /*allowance*/) noexcept {
  return false;
}

#endif

}  // namespace ipwhere
