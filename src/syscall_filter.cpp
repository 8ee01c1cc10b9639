#include "syscall_filter.hpp"

#ifdef IPWHERE_SECCOMP
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string_view>
#include <vector>
#endif

namespace ipwhere {

#ifdef IPWHERE_SECCOMP
namespace {

// The numbers of calls that libseccomp releases older than the kernel do
// not know. Calls from 424 on have one number on every architecture but
// Alpha and MIPS, whose tables are offset; there only the names count.
struct NewCall {
  const char* name;  // cppcheck-suppress unusedStructMember
  int number;        // cppcheck-suppress unusedStructMember
};
const NewCall kNewCalls[] = {{"pidfd_send_signal", 424},
                             {"io_uring_setup", 425},
                             {"io_uring_enter", 426},
                             {"io_uring_register", 427},
                             {"open_tree", 428},
                             {"move_mount", 429},
                             {"fsopen", 430},
                             {"fsconfig", 431},
                             {"fsmount", 432},
                             {"fspick", 433},
                             {"pidfd_open", 434},
                             {"clone3", 435},
                             {"pidfd_getfd", 438},
                             {"faccessat2", 439},
                             {"process_madvise", 440},
                             {"epoll_pwait2", 441},
                             {"mount_setattr", 442},
                             {"quotactl_fd", 443},
                             {"memfd_secret", 447},
                             {"fchmodat2", 452},
                             {"setxattrat", 463},
                             {"getxattrat", 464},
                             {"listxattrat", 465},
                             {"removexattrat", 466},
                             {"open_tree_attr", 467},
                             {"file_getattr", 468},
                             {"file_setattr", 469}};

int number_of(const char* name) {
  const int number = seccomp_syscall_resolve_name(name);
#if !defined(__alpha__) && !defined(__mips__)
  if (number == __NR_SCMP_ERROR) {
    for (const NewCall& call : kNewCalls) {
      if (std::string_view(call.name) == name) return call.number;
    }
  }
#endif
  return number;
}

// What a lookup calls: libc, libcurl with its threaded resolver, OpenSSL,
// the name-service modules and the C++ runtime, as strace shows them, and
// the siblings another libc or kernel may pick for the same job. Calls
// with argument rules come below.
const char* const kAllowed[] = {
    // Files: the resolver's, the CA certificates, name-service modules.
    "openat", "open", "close", "read", "pread64", "readv", "preadv", "preadv2",
    "write", "writev", "lseek", "dup", "dup2", "dup3", "fstat", "stat", "lstat",
    "newfstatat", "fstatat64", "statx", "access", "faccessat", "faccessat2",
    // Memory. No mapping becomes writable and executable (see MDWE).
    "mmap", "mmap2", "mprotect", "munmap", "mremap", "madvise", "brk",
    // Threads, their signals and their end.
    "futex", "futex_time64", "set_robust_list", "rseq", "set_tid_address",
    "exit", "exit_group", "rt_sigaction", "rt_sigprocmask", "rt_sigreturn",
    "sigaltstack", "restart_syscall", "sched_yield", "sched_getaffinity",
    "gettid", "getpid", "getuid", "geteuid", "getgid", "getegid", "uname",
    "sysinfo", "getrandom",
    // Time and waiting.
    "clock_gettime", "clock_gettime64", "clock_getres", "gettimeofday", "time",
    "nanosleep", "clock_nanosleep", "clock_nanosleep_time64", "poll", "ppoll",
    "ppoll_time64", "select", "pselect6", "pselect6_time64", "epoll_create",
    "epoll_create1", "epoll_ctl", "epoll_wait", "epoll_pwait", "epoll_pwait2",
    "pipe", "pipe2", "eventfd", "eventfd2",
    // The network (socket kinds: see the refusals; socket options: below).
    // musl binds its resolver's UDP socket; Landlock refuses TCP binds.
    "socket", "socketpair", "bind", "connect", "getsockname", "getpeername",
    "getsockopt", "shutdown", "sendto", "sendmsg", "sendmmsg", "recvfrom",
    // This process alone (see the refusals).
    "kill", "tgkill", "prlimit64"};

// Refused by name with EPERM, whatever the list above grows to: a lookup
// never needs them, and each reaches beyond the run.
const char* const kRefused[] = {
    // Inbound connections: listen() binds an ephemeral port itself.
    "listen", "accept", "accept4",
    // Receiving descriptors (SCM_RIGHTS) through a socket pair: a second
    // descriptor for the terminal would escape the rules on 0 to 2. The
    // resolver reads with recvfrom(); glibc's routing-table query, which
    // uses recvmsg(), assumes both families when it fails.
    "recvmsg", "recvmmsg", "recvmmsg_time64",
    // New processes, which would outlive the run; new sessions and groups.
    "fork", "vfork", "execve", "execveat", "setsid", "setpgid",
    // Moving data between descriptors, which a lookup has no need of
    // (reading descriptors 0 to 2: see the refusals).
    "splice", "tee", "vmsplice", "sendfile", "sendfile64", "copy_file_range",
    // Other processes of the same user: their IPC objects, memory, state.
    "msgget", "msgsnd", "msgrcv", "msgctl", "semget", "semop", "semtimedop",
    "semctl", "shmget", "shmat", "shmdt", "shmctl", "mq_open", "mq_unlink",
    "mq_timedsend", "mq_timedreceive", "mq_notify", "mq_getsetattr",
    "pidfd_open", "pidfd_send_signal", "pidfd_getfd", "kcmp", "get_robust_list",
    "move_pages", "migrate_pages", "process_vm_readv", "process_vm_writev",
    "process_madvise", "ptrace", "tkill", "rt_sigqueueinfo",
    "rt_tgsigqueueinfo",
    // Watching and identifying files, their attributes and metadata.
    "inotify_init", "inotify_init1", "inotify_add_watch", "inotify_rm_watch",
    "fanotify_init", "fanotify_mark", "name_to_handle_at", "open_by_handle_at",
    "getxattr", "lgetxattr", "fgetxattr", "getxattrat", "listxattr",
    "llistxattr", "flistxattr", "listxattrat", "setxattr", "lsetxattr",
    "fsetxattr", "setxattrat", "removexattr", "lremovexattr", "fremovexattr",
    "removexattrat", "file_getattr", "file_setattr", "chmod", "fchmod",
    "fchmodat", "fchmodat2", "chown", "fchown", "lchown", "fchownat", "utime",
    "utimes", "utimensat", "futimesat",
    // Removing files, which Landlock refuses too: a preloaded library's
    // clean-up at exit (libfaketime's) fails, and the run goes on.
    "unlink", "unlinkat",
    // Kernel surfaces: memory mapped twice (writable, then executable),
    // the LDT, BPF, io_uring, key rings, namespaces, mounts, modules.
    "memfd_create", "memfd_secret", "modify_ldt", "userfaultfd", "bpf",
    "perf_event_open", "io_uring_setup", "io_uring_enter", "io_uring_register",
    "add_key", "request_key", "keyctl", "unshare", "setns", "mount", "umount2",
    "mount_setattr", "move_mount", "open_tree", "open_tree_attr", "fsopen",
    "fsconfig", "fsmount", "fspick", "chroot", "pivot_root", "init_module",
    "finit_module", "delete_module", "kexec_load", "kexec_file_load", "reboot",
    "swapon", "swapoff", "acct", "quotactl", "quotactl_fd"};

// What a sanitizer runtime calls besides: the leak checker's helper, which
// shares the run's memory, stops each thread with ptrace; reports read
// /proc.
const char* const kSanitizerCalls[] = {"ptrace",   "wait4",      "waitid",
                                       "getppid",  "getdents",   "getdents64",
                                       "readlink", "readlinkat", "mincore"};

// What a coverage runtime calls at exit to write its counters.
const char* const kCoverageCalls[] = {"mkdir",     "mkdirat", "flock",
                                      "ftruncate", "getcwd",  "fsync"};

// A rule holds when every comparison of one of its sets holds.
using Comparisons = std::vector<scmp_arg_cmp>;
using Alternatives = std::vector<Comparisons>;

// The kernel reads an int argument (a descriptor, a family, an ioctl
// request) from the low 32 bits of its register, while a filter compares
// all 64: equalities are masked to the low 32 bits, so that a high bit set
// by the caller cannot walk past a rule. Comparisons by size take all 64
// bits on purpose: any high bit then counts as large.
constexpr scmp_datum_t kLow32 = 0xFFFFFFFFU;

Alternatives low32_in(unsigned arg, const std::vector<scmp_datum_t>& values) {
  Alternatives sets(values.size());
  std::transform(values.begin(), values.end(), sets.begin(),
                 [arg](scmp_datum_t value) {
                   return Comparisons{{arg, SCMP_CMP_MASKED_EQ, kLow32, value}};
                 });
  return sets;
}

// The standard descriptors and the terminals among the others.
Alternatives guarded_descriptor(unsigned arg,
                                const std::vector<int>& terminals) {
  std::vector<scmp_datum_t> guarded = {0, 1, 2};
  for (const int fd : terminals)
    if (fd > 2) guarded.push_back(static_cast<scmp_datum_t>(fd));
  return low32_in(arg, guarded);
}

Alternatives masked(unsigned arg, scmp_datum_t mask, scmp_datum_t value) {
  return {{{arg, SCMP_CMP_MASKED_EQ, mask, value}}};
}

Alternatives greater_than(unsigned arg, scmp_datum_t value) {
  return {{{arg, SCMP_CMP_GT, value, 0}}};
}

Alternatives less_than(unsigned arg, scmp_datum_t value) {
  return {{{arg, SCMP_CMP_LT, value, 0}}};
}

// The values from `low` to `high` of the bits `field` of `arg`, as aligned
// blocks, one masked equality each.
void add_blocks(Alternatives& sets, unsigned arg, scmp_datum_t field,
                scmp_datum_t low, scmp_datum_t high) {
  while (low <= high) {
    scmp_datum_t size = 1;
    while (low % (size * 2) == 0 && low + size * 2 - 1 <= high) size *= 2;
    sets.push_back({{arg, SCMP_CMP_MASKED_EQ, field & ~(size - 1), low}});
    if (low + size - 1 == high) break;
    low += size;
  }
}

// Every value of the bits `field` of `arg` but those of `kept`. With every
// bit (the default), values below the lowest and above the highest of
// `kept` are one comparison by size each, and any high bit counts as
// above.
Alternatives other_than(unsigned arg, std::vector<scmp_datum_t> kept,
                        scmp_datum_t field = ~scmp_datum_t{0}) {
  std::sort(kept.begin(), kept.end());
  const bool whole = field == ~scmp_datum_t{0};
  Alternatives sets;
  if (whole && kept.front() > 0)
    sets.push_back(less_than(arg, kept.front())[0]);
  scmp_datum_t next = whole ? kept.front() + 1 : 0;
  for (const scmp_datum_t value : kept) {
    if (value > next) add_blocks(sets, arg, field, next, value - 1);
    next = std::max(next, value + 1);
  }
  if (whole) {
    sets.push_back(greater_than(arg, kept.back())[0]);
  } else if (next <= field) {
    add_blocks(sets, arg, field, next, field);
  }
  return sets;
}

// Both conditions: each set of one joined with each set of the other.
Alternatives both(const Alternatives& left, const Alternatives& right) {
  Alternatives sets;
  for (const Comparisons& a : left) {
    for (const Comparisons& b : right) {
      Comparisons joined = a;
      joined.insert(joined.end(), b.begin(), b.end());
      sets.push_back(joined);
    }
  }
  return sets;
}

class Filter {
 public:
  explicit Filter(std::uint32_t default_action)
      : context_(seccomp_init(default_action)),
        default_action_(default_action) {
    // A call through another table (the 32-bit entry or x32 on x86-64)
    // ends the whole process; libseccomp's default would end only the
    // calling thread and leave a multi-threaded run hanging. No other
    // architecture is added: for 32-bit x86, libseccomp would turn the
    // socket rules into an unconditional socketcall rule. Threads that
    // exist already take the filter too.
    ok_ = context_ != nullptr &&
          seccomp_attr_set(context_, SCMP_FLTATR_ACT_BADARCH,
                           SCMP_ACT_KILL_PROCESS) == 0 &&
          seccomp_attr_set(context_, SCMP_FLTATR_CTL_TSYNC, 1) == 0;
  }
  ~Filter() {
    if (context_ != nullptr) seccomp_release(context_);
  }
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  // Gives `call` the action when one set of `when` holds (always, for one
  // empty set). A call this architecture does not have needs no rule.
  void add(const char* name, std::uint32_t action,
           const Alternatives& when = {{}}) {
    const int number = number_of(name);
    // libseccomp refuses a rule that says what the default says already.
    if (number == __NR_SCMP_ERROR || !ok_ || action == default_action_) return;
    for (const Comparisons& set : when) {
      const int result =
          seccomp_rule_add_array(context_, action, number,
                                 static_cast<unsigned>(set.size()), set.data());
      // -EDOM: a call that exists on another architecture only.
      if (result != 0 && result != -EDOM) ok_ = false;
    }
  }

  [[nodiscard]] bool ready() const { return ok_; }
  [[nodiscard]] bool load() { return ok_ && seccomp_load(context_) == 0; }

 private:
  scmp_filter_ctx context_;
  std::uint32_t default_action_;
  bool ok_ = false;
};

const std::uint32_t kAllow = SCMP_ACT_ALLOW;
const std::uint32_t kRefuse = SCMP_ACT_ERRNO(EPERM);
constexpr scmp_datum_t kCloneThread = 0x00010000;
constexpr scmp_datum_t kCloneVm = 0x00000100;
// clone()'s flags are its first argument, but its second on s390.
#if defined(__s390__)
constexpr unsigned kCloneFlagsArg = 1;
#else
constexpr unsigned kCloneFlagsArg = 0;
#endif
// prctl() options a library may ask of its own thread: PR_GET_DUMPABLE,
// PR_SET_NAME, PR_GET_NAME, PR_GET_SECCOMP, PR_CAPBSET_READ,
// PR_GET_NO_NEW_PRIVS, PR_GET_MDWE, PR_SET_VMA (naming its own mappings).
const std::vector<scmp_datum_t> kPrctlOptions = {3,  15, 16, 21,
                                                 23, 39, 66, 0x53564d41};
// The leak checker's helper: PR_SET_PDEATHSIG, PR_SET_DUMPABLE,
// PR_SET_PTRACER.
const std::vector<scmp_datum_t> kSanitizerPrctlOptions = {1, 4, 0x59616d61};
constexpr scmp_datum_t kPersonalityQuery = 0xFFFFFFFF;

// setsockopt(): the options the resolver (error queues), libcurl (no
// delay, keep-alive, IPv6 only), c-ares (buffer sizes) and musl (IPv6
// only) set, by level. Others reach kernel code a lookup never uses:
// kernel TLS (TCP_ULP), the classic-BPF translator (SO_ATTACH_FILTER),
// binding to a device.
struct SocketOptions {
  scmp_datum_t level;
  std::vector<scmp_datum_t> names;
};
const SocketOptions kSocketOptions[] = {
    {SOL_SOCKET, {SO_KEEPALIVE, SO_SNDBUF, SO_RCVBUF}},
    {IPPROTO_TCP, {TCP_NODELAY, TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT}},
    {IPPROTO_IP, {IP_RECVERR}},
    {IPPROTO_IPV6, {IPV6_RECVERR, IPV6_V6ONLY}}};

// Those options, and EPERM for any other: in this filter, as the newer
// filter's errno is the one a caller sees.
void add_socket_options(Filter& filter) {
  std::vector<scmp_datum_t> levels;
  for (const SocketOptions& options : kSocketOptions) {
    const Alternatives level = low32_in(1, {options.level});
    filter.add("setsockopt", kAllow, both(level, low32_in(2, options.names)));
    filter.add("setsockopt", kRefuse,
               both(level, other_than(2, options.names)));
    levels.push_back(options.level);
  }
  filter.add("setsockopt", kRefuse, other_than(1, levels));
}

// The allow-list, and the calls it refuses by name or for their
// arguments. Anything else meets the filter's default action.
void add_allow_list(Filter& filter, const FilterAllowance& allowance) {
  // The sanitizer runtimes' calls, some of which are otherwise refused.
  const auto sanitizer_allows = [&](std::string_view name) {
    if (!allowance.sanitizer || (name == "ptrace" && !allowance.leak_checker))
      return false;
    return std::any_of(std::begin(kSanitizerCalls), std::end(kSanitizerCalls),
                       [&](const char* call) { return name == call; });
  };
  for (const char* call : kAllowed) filter.add(call, kAllow);
  for (const char* call : kSanitizerCalls) {
    if (sanitizer_allows(call)) filter.add(call, kAllow);
  }
  if (allowance.coverage) {
    for (const char* call : kCoverageCalls) filter.add(call, kAllow);
  }
  for (const char* call : kRefused) {
    if (!sanitizer_allows(call)) filter.add(call, kRefuse);
  }

  // Threads only, no processes (which would outlive the run); a leak
  // checker's helper shares the run's memory and dies with it. (A
  // sanitizer's symbolizer, a process of its own, is not started: reports
  // show addresses.)
  const scmp_datum_t shared = allowance.leak_checker ? kCloneVm : kCloneThread;
  filter.add("clone", kAllow, masked(kCloneFlagsArg, shared, shared));
  filter.add("clone", kRefuse, masked(kCloneFlagsArg, shared, 0));
  // clone3() passes its flags in memory, which a filter cannot read. glibc
  // falls back to clone() on ENOSYS, and on ENOSYS alone.
  filter.add("clone3", SCMP_ACT_ERRNO(ENOSYS));

  // ioctl(): terminal queries, and the byte count and blocking mode of a
  // socket; any request on the standard descriptors and other terminals,
  // which the refusals narrow down.
  filter.add("ioctl", kAllow,
             low32_in(1, {TCGETS, TIOCGWINSZ, FIONREAD, FIONBIO}));
  filter.add("ioctl", kAllow, guarded_descriptor(0, allowance.terminals));
  // fcntl(): descriptor and status flags; locks for a coverage runtime.
  // Signals on I/O (to any process) are refused.
  filter.add("fcntl", kAllow,
             low32_in(1, {F_GETFD, F_SETFD, F_GETFL, F_SETFL, F_DUPFD,
                          F_DUPFD_CLOEXEC}));
  if (allowance.coverage) {
    filter.add("fcntl", kAllow,
               low32_in(1, {F_GETLK, F_SETLK, F_SETLKW, F_OFD_GETLK,
                            F_OFD_SETLK, F_OFD_SETLKW}));
  }
  filter.add("fcntl", kRefuse, low32_in(1, {F_SETOWN, F_SETOWN_EX, F_SETSIG}));
  add_socket_options(filter);
  // getrusage(): this process's or this thread's own use (RUSAGE_SELF,
  // RUSAGE_THREAD), which allocators show in their statistics.
  filter.add("getrusage", kAllow, low32_in(0, {RUSAGE_SELF, RUSAGE_THREAD}));
  filter.add("prctl", kAllow, low32_in(0, kPrctlOptions));
  if (allowance.sanitizer)
    filter.add("prctl", kAllow, low32_in(0, kSanitizerPrctlOptions));
  // personality(): the query alone.
  filter.add("personality", kAllow, {{{0, SCMP_CMP_EQ, kPersonalityQuery, 0}}});
  filter.add("personality", kRefuse,
             {{{0, SCMP_CMP_NE, kPersonalityQuery, 0}}});
}

constexpr scmp_datum_t kTypeMask = 0xF;  // SOCK_CLOEXEC etc. lie above
constexpr scmp_datum_t kIpProtoTcp = 6;
constexpr scmp_datum_t kIpProtoUdp = 17;

// socket(): IPv4 and IPv6 for TCP and UDP, and netlink for the routing
// table (the resolver asks the kernel for the machine's addresses). Every
// other family fails as unsupported; a name-service module that asks a
// daemon over a UNIX socket (nscd, resolve, sss) then reports itself
// unavailable and the next source answers.
void add_socket_rules(Filter& filter, const FilterAllowance& allowance) {
  std::vector<scmp_datum_t> families = {AF_INET, AF_INET6, AF_NETLINK};
  if (allowance.unix_sockets || allowance.leak_checker)
    families.push_back(AF_UNIX);
  filter.add("socket", SCMP_ACT_ERRNO(EAFNOSUPPORT), other_than(0, families));
  // gperftools' leak checker marks its helper with a UNIX datagram socket:
  // no other kind.
  if (!allowance.unix_sockets && allowance.leak_checker) {
    filter.add(
        "socket", SCMP_ACT_ERRNO(EAFNOSUPPORT),
        both(low32_in(0, {AF_UNIX}), other_than(1, {SOCK_DGRAM}, kTypeMask)));
  }
  // Netlink for the routing table only.
  filter.add("socket", kRefuse,
             both(low32_in(0, {AF_NETLINK}), greater_than(2, 0)));
  // No raw or packet sockets, nor other protocols (SCTP, MPTCP) that
  // Landlock's TCP rules would not see.
  const Alternatives internet = low32_in(0, {AF_INET, AF_INET6});
  filter.add(
      "socket", kRefuse,
      both(internet, other_than(1, {SOCK_STREAM, SOCK_DGRAM}, kTypeMask)));
  filter.add("socket", kRefuse,
             both(internet, other_than(2, {0, kIpProtoTcp, kIpProtoUdp})));
  // socketpair(): stream pairs only (libcurl's resolver uses one); a
  // datagram pair could send to any pathname socket.
  filter.add("socketpair", kRefuse, other_than(1, {SOCK_STREAM}, kTypeMask));
}

// Keeps the old mapping where mremap() moves one (Linux 5.7); older
// headers lack the name.
constexpr scmp_datum_t kMremapDontUnmap = 4;

// Namespace flags of clone(); CLONE_NEWTIME shares its bit with the exit
// signal there and is taken by unshare() and clone3() only.
constexpr scmp_datum_t kCloneNewNamespaceFlags[] = {
    0x00020000, 0x02000000, 0x04000000, 0x08000000,
    0x10000000, 0x20000000, 0x40000000};

// The refusals: calls of the allow-list, with the arguments that do harm.
void add_refusals(Filter& filter, const FilterAllowance& allowance) {
  add_socket_rules(filter, allowance);

  // The terminal and whatever else descriptors 0 to 2 are, shared with
  // the user's shell, and any other terminal the run kept: no reading
  // (typed-ahead input), no moving the offset, no mapping, no duplicating,
  // no changing the status flags (non-blocking), and of ioctl() only the
  // size and settings queries.
  const std::vector<int>& terminals = allowance.terminals;
  for (const char* name : {"read", "pread64", "readv", "preadv", "preadv2",
                           "recvfrom", "lseek", "dup", "dup2", "dup3"})
    filter.add(name, kRefuse, guarded_descriptor(0, terminals));
  filter.add("mmap", kRefuse, guarded_descriptor(4, terminals));
  // No second view of executable memory, which would sidestep MDWE: code
  // written through a writable view of shared pages would run through an
  // executable one. Libraries are mapped private; mremap() with an old
  // size of 0 (or keeping the old mapping) duplicates shared pages.
  filter.add(
      "mmap", kRefuse,
      both(masked(2, PROT_EXEC, PROT_EXEC), masked(3, MAP_SHARED, MAP_SHARED)));
  filter.add("mremap", kRefuse, {{{1, SCMP_CMP_EQ, 0, 0}}});
  filter.add("mremap", kRefuse, masked(3, kMremapDontUnmap, kMremapDontUnmap));
  // Standard input is written to by no one: a terminal there would take
  // escape sequences (a title, queries it answers into the shell's input).
  for (const char* name : {"write", "writev", "pwrite64", "pwritev"})
    filter.add(name, kRefuse, low32_in(0, {0}));
  filter.add("ioctl", kRefuse,
             both(guarded_descriptor(0, terminals),
                  other_than(1, {TCGETS, TIOCGWINSZ})));
  filter.add("fcntl", kRefuse,
             both(guarded_descriptor(0, terminals),
                  low32_in(1, {F_SETFL, F_DUPFD, F_DUPFD_CLOEXEC})));
  // Signals on I/O, to any process.
  filter.add("fcntl", kRefuse,
             both(low32_in(1, {F_SETFL}), masked(2, O_ASYNC, O_ASYNC)));

  // This process alone: its own limits (pid 0), and signals to itself.
  // Landlock scopes signals from Linux 6.12 only.
  filter.add("prlimit64", kRefuse, greater_than(0, 0));
  const auto self = static_cast<scmp_datum_t>(getpid());
  for (const char* name : {"kill", "tgkill"}) {
    filter.add(name, kRefuse, greater_than(0, self));
    filter.add(name, kRefuse, less_than(0, self));
  }
  for (const scmp_datum_t flag : kCloneNewNamespaceFlags)
    filter.add("clone", kRefuse, masked(kCloneFlagsArg, flag, flag));
}

}  // namespace

bool syscall_filter_built() noexcept { return true; }

bool install_syscall_filter(const FilterAllowance& allowance) noexcept {
  // The kernel runs both and takes the stricter answer: an error over
  // letting a call through. Both are built before either is loaded, the
  // refusals first, as the allow-list refuses seccomp() itself.
  try {
    Filter allow_list(allowance.kill_unlisted ? SCMP_ACT_KILL_PROCESS
                                              : SCMP_ACT_ERRNO(ENOSYS));
    add_allow_list(allow_list, allowance);
    Filter refusals(SCMP_ACT_ALLOW);
    add_refusals(refusals, allowance);
    return allow_list.ready() && refusals.ready() && refusals.load() &&
           allow_list.load();
  } catch (...) {
    return false;  // out of memory while building the rules
  }
}

#else  // no libseccomp, or not Linux

bool syscall_filter_built() noexcept { return false; }

bool install_syscall_filter(const FilterAllowance& /*allowance*/) noexcept {
  return false;
}

#endif

}  // namespace ipwhere
