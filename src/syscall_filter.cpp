#include "syscall_filter.hpp"

#ifdef IPWHERE_SECCOMP
#include <seccomp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#endif

namespace ipwhere {

#ifdef IPWHERE_SECCOMP
namespace {

// The kernel reads an int argument (a family, a type, an ioctl request, a
// pid) from the low 32 bits of its register, while a filter compares all
// 64: every equality is masked to the low 32 bits, so that a high bit set
// by the caller cannot walk past a rule. "Greater than" compares all 64
// bits on purpose: any high bit then counts as greater, and is refused.
constexpr scmp_datum_t kLow32 = 0xFFFFFFFFU;
constexpr scmp_datum_t kTypeMask = 0xF;  // SOCK_CLOEXEC etc. lie above
constexpr int kIpProtoTcp = 6;
constexpr int kIpProtoUdp = 17;
constexpr int kTiocsti = 0x5412;
constexpr int kTioclinux = 0x541C;
// Namespace flags of clone(); CLONE_NEWTIME shares its bit with the exit
// signal there and is taken by unshare() and clone3() only.
constexpr scmp_datum_t kCloneNewNamespaceFlags[] = {
    0x00020000, 0x02000000, 0x04000000, 0x08000000,
    0x10000000, 0x20000000, 0x40000000};
// clone()'s flags are its first argument, but its second on s390.
#if defined(__s390__)
constexpr unsigned kCloneFlagsArg = 1;
#else
constexpr unsigned kCloneFlagsArg = 0;
#endif

// A system call by name, with its number for the calls that libseccomp
// releases older than the kernel do not know. Calls from 424 on have one
// number on every architecture but Alpha and MIPS, whose tables are
// offset; there only the names count.
struct Call {
  const char* name;
  int number;  // cppcheck-suppress unusedStructMember
};

int number_of(const Call& call) {
  const int number = seccomp_syscall_resolve_name(call.name);
#if !defined(__alpha__) && !defined(__mips__)
  if (number == __NR_SCMP_ERROR) return call.number;
#endif
  return number;
}

// Changes of file metadata, which Landlock does not cover.
const Call kMetadataCalls[] = {
    {"chmod", -1},          {"fchmod", -1},       {"fchmodat", -1},
    {"fchmodat2", 452},     {"chown", -1},        {"fchown", -1},
    {"lchown", -1},         {"fchownat", -1},     {"setxattr", -1},
    {"lsetxattr", -1},      {"fsetxattr", -1},    {"setxattrat", 463},
    {"removexattr", -1},    {"lremovexattr", -1}, {"fremovexattr", -1},
    {"removexattrat", 466}, {"utime", -1},        {"utimes", -1},
    {"utimensat", -1},      {"futimesat", -1}};

// Kernel surfaces a lookup never uses: other processes' memory, BPF,
// performance counters, io_uring, key rings, namespaces, mounts, modules,
// and memory that could be mapped twice (once writable, once executable).
const Call kUnusedCalls[] = {{"process_vm_readv", -1},
                             {"process_vm_writev", -1},
                             {"process_madvise", 440},
                             {"pidfd_getfd", 438},
                             {"bpf", -1},
                             {"perf_event_open", -1},
                             {"userfaultfd", -1},
                             {"io_uring_setup", 425},
                             {"io_uring_enter", 426},
                             {"io_uring_register", 427},
                             {"add_key", -1},
                             {"request_key", -1},
                             {"keyctl", -1},
                             {"unshare", -1},
                             {"setns", -1},
                             {"mount", -1},
                             {"umount", -1},
                             {"umount2", -1},
                             {"mount_setattr", 442},
                             {"move_mount", 429},
                             {"open_tree", 428},
                             {"fsopen", 430},
                             {"fsconfig", 431},
                             {"fsmount", 432},
                             {"fspick", 433},
                             {"chroot", -1},
                             {"pivot_root", -1},
                             {"init_module", -1},
                             {"finit_module", -1},
                             {"delete_module", -1},
                             {"kexec_load", -1},
                             {"kexec_file_load", -1},
                             {"swapon", -1},
                             {"swapoff", -1},
                             {"reboot", -1},
                             {"acct", -1},
                             {"quotactl", -1},
                             {"quotactl_fd", 443},
                             {"memfd_create", -1},
                             {"memfd_secret", 447},
                             {"shmget", -1},
                             {"shmat", -1}};

// Calls that may name another process, allowed for the caller alone: the
// argument that names the process (index) must be 0.
struct ProcessCall {
  Call call;
  unsigned pid_arg;
};
const ProcessCall kProcessCalls[] = {
    {{"prlimit64", -1}, 0},          {{"sched_setparam", -1}, 0},
    {{"sched_setscheduler", -1}, 0}, {{"sched_setaffinity", -1}, 0},
    {{"sched_setattr", -1}, 0},      {{"setpriority", -1}, 1},
    {{"ioprio_set", -1}, 1}};

// Calls that signal a process, or open one to signal it later, named by
// their first argument.
const Call kSignalCalls[] = {{"kill", -1},
                             {"tgkill", -1},
                             {"rt_sigqueueinfo", -1},
                             {"rt_tgsigqueueinfo", -1},
                             {"pidfd_open", 434}};

class Filter {
 public:
  Filter() : context_(seccomp_init(SCMP_ACT_ALLOW)) {}
  ~Filter() {
    if (context_ != nullptr) seccomp_release(context_);
  }
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  [[nodiscard]] scmp_filter_ctx get() const { return context_; }
  [[nodiscard]] bool ok() const { return context_ != nullptr && ok_; }

  // Refuses `call` with `error` when every comparison holds. A call this
  // architecture does not have needs no rule.
  void refuse(const Call& call, int error,
              std::initializer_list<scmp_arg_cmp> comparisons = {}) {
    const int number = number_of(call);
    if (number == __NR_SCMP_ERROR) return;
    const int result = seccomp_rule_add_array(
        context_, SCMP_ACT_ERRNO(static_cast<std::uint32_t>(error)), number,
        static_cast<unsigned>(comparisons.size()), comparisons.begin());
    // -EDOM: a call that exists on another architecture only.
    if (result != 0 && result != -EDOM) ok_ = false;
  }

 private:
  scmp_filter_ctx context_;
  bool ok_ = true;
};

scmp_arg_cmp low32_is(unsigned arg, scmp_datum_t value) {
  return {arg, SCMP_CMP_MASKED_EQ, kLow32, value};
}
scmp_arg_cmp type_is(unsigned arg, scmp_datum_t type) {
  return {arg, SCMP_CMP_MASKED_EQ, kTypeMask, type};
}
scmp_arg_cmp greater_than(unsigned arg, scmp_datum_t value) {
  return {arg, SCMP_CMP_GT, value, 0};
}

// socket(): IPv4 and IPv6 for TCP and UDP, and netlink for the routing
// table (the resolver asks the kernel for the machine's addresses). Every
// other family fails as unsupported; a name-service module that asks a
// daemon over a UNIX socket (nscd, resolve, sss) then reports itself
// unavailable and the next source answers.
void add_socket_rules(Filter& filter, bool unix_sockets) {
  const Call socket_call = {"socket", -1};
  constexpr scmp_datum_t kLastFamily = 63;  // AF_MAX is 46 on Linux 6.18
  for (scmp_datum_t family = 0; family <= kLastFamily; ++family) {
    if (family == AF_INET || family == AF_INET6 || family == AF_NETLINK ||
        (family == AF_UNIX && unix_sockets))
      continue;
    filter.refuse(socket_call, EAFNOSUPPORT, {low32_is(0, family)});
  }
  filter.refuse(socket_call, EAFNOSUPPORT, {greater_than(0, kLastFamily)});
  // Netlink for the routing table only.
  filter.refuse(socket_call, EPERM,
                {low32_is(0, AF_NETLINK), greater_than(2, 0)});
  // No raw or packet sockets, nor other protocols (SCTP, MPTCP) that
  // Landlock's TCP rules would not see.
  for (const scmp_datum_t family : {AF_INET, AF_INET6}) {
    for (scmp_datum_t type = 0; type <= kTypeMask; ++type) {
      if (type == SOCK_STREAM || type == SOCK_DGRAM) continue;
      filter.refuse(socket_call, EPERM,
                    {low32_is(0, family), type_is(1, type)});
    }
    for (scmp_datum_t protocol = 1; protocol < kIpProtoUdp; ++protocol) {
      if (protocol == kIpProtoTcp) continue;
      filter.refuse(socket_call, EPERM,
                    {low32_is(0, family), low32_is(2, protocol)});
    }
    filter.refuse(socket_call, EPERM,
                  {low32_is(0, family), greater_than(2, kIpProtoUdp)});
  }
  // socketpair(): stream pairs only (libcurl's resolver uses one); a
  // datagram pair could send to any pathname socket.
  for (scmp_datum_t type = 0; type <= kTypeMask; ++type) {
    if (type == SOCK_STREAM) continue;
    filter.refuse({"socketpair", -1}, EPERM, {type_is(1, type)});
  }
}

}  // namespace

bool syscall_filter_built() noexcept { return true; }

bool install_syscall_filter(const FilterAllowance& allowance) noexcept {
  Filter filter;
  if (filter.get() == nullptr) return false;
  // A call through another table (the 32-bit entry or x32 on x86-64) ends
  // the whole process; libseccomp's default would end only the calling
  // thread and leave a multi-threaded run hanging. No other architecture
  // is added: for 32-bit x86, libseccomp would turn the socket rules into
  // an unconditional socketcall rule.
  if (seccomp_attr_set(filter.get(), SCMP_FLTATR_ACT_BADARCH,
                       SCMP_ACT_KILL_PROCESS) != 0)
    return false;

  add_socket_rules(filter, allowance.unix_sockets);
  // Pushing keystrokes into the terminal, or the console's own requests.
  for (const scmp_datum_t request : {kTiocsti, kTioclinux})
    filter.refuse({"ioctl", -1}, EPERM, {low32_is(1, request)});
  for (const Call& call : kMetadataCalls) filter.refuse(call, EPERM);
  for (const ProcessCall& call : kProcessCalls)
    filter.refuse(call.call, EPERM, {greater_than(call.pid_arg, 0)});
  // setpriority() and ioprio_set() name the kind of target first: only
  // "a process" (0 and 1) with pid 0 is the caller.
  filter.refuse({"setpriority", -1}, EPERM, {greater_than(0, 0)});
  filter.refuse({"ioprio_set", -1}, EPERM, {greater_than(0, 1)});
  for (const Call& call : kUnusedCalls) filter.refuse(call, EPERM);
  if (!allowance.ptrace) filter.refuse({"ptrace", -1}, EPERM);
  for (const scmp_datum_t flag : kCloneNewNamespaceFlags) {
    filter.refuse({"clone", -1}, EPERM,
                  {{kCloneFlagsArg, SCMP_CMP_MASKED_EQ, flag, flag}});
  }
  // Signals to this process alone: Landlock scopes them from Linux 6.12
  // only. The thread-directed calls name this process first; tkill() names
  // a thread of any process, and glibc uses tgkill() instead.
  const auto self = static_cast<scmp_datum_t>(getpid());
  for (const Call& call : kSignalCalls) {
    filter.refuse(call, EPERM, {greater_than(0, self)});
    filter.refuse(call, EPERM, {{0, SCMP_CMP_LT, self, 0}});
  }
  filter.refuse({"tkill", -1}, EPERM);
  // clone3() passes its flags in memory, which a filter cannot read. glibc
  // falls back to clone() on ENOSYS, and on ENOSYS alone.
  filter.refuse({"clone3", 435}, ENOSYS);

  return filter.ok() && seccomp_load(filter.get()) == 0;
}

#else  // no libseccomp, or not Linux

bool syscall_filter_built() noexcept { return false; }

bool install_syscall_filter(const FilterAllowance& /*allowance*/) noexcept {
  return false;
}

#endif

}  // namespace ipwhere
