#include "syscall_table.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <map>
#include <string_view>
#include <utility>

namespace ipwhere {
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

// --- Conditions on the arguments -------------------------------------------

// The kernel reads an int argument (a descriptor, a family, an ioctl
// request) from the low 32 bits of its register, while a filter compares
// all 64: equalities are masked to the low 32 bits, so that a high bit set
// by the caller cannot walk past a clause. Comparisons by size take all 64
// bits on purpose: any high bit then counts as large.
constexpr scmp_datum_t kLow32 = 0xFFFFFFFFU;

Alternatives always() { return {{}}; }

Alternatives low32_in(unsigned arg, const std::vector<scmp_datum_t>& values) {
  Alternatives sets(values.size());
  std::transform(values.begin(), values.end(), sets.begin(),
                 [arg](scmp_datum_t value) {
                   return Comparisons{{arg, SCMP_CMP_MASKED_EQ, kLow32, value}};
                 });
  return sets;
}

// The standard descriptors (0 and 1 in one comparison), and `slots` slots
// for terminals kept open for a preloaded library.
Alternatives guarded_descriptors(unsigned arg, std::uint32_t slots) {
  std::vector<scmp_datum_t> descriptors = {2};
  for (std::uint32_t slot = 0; slot < slots; ++slot)
    descriptors.push_back(kTerminalStandIn + slot);
  Alternatives sets = low32_in(arg, descriptors);
  sets.push_back({{arg, SCMP_CMP_MASKED_EQ, kLow32 & ~scmp_datum_t{1}, 0}});
  return sets;
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

// --- Clauses
// ------------------------------------------------------------------

Clause allow(Alternatives when = always()) {
  return {Verdict::kAllow, std::move(when), 0, kNoRelaxation};
}
Clause allow_with(Relaxation relaxation, Alternatives when = always()) {
  return {Verdict::kAllow, std::move(when), 0, relaxation};
}
Clause refuse(Alternatives when = always(), int error = EPERM) {
  return {Verdict::kRefuse, std::move(when), error, kNoRelaxation};
}
Clause refuse_unless(Relaxation relaxation, Alternatives when = always()) {
  return {Verdict::kRefuse, std::move(when), EPERM, relaxation};
}
Clause narrow(Alternatives when, int error = EPERM) {
  return {Verdict::kNarrow, std::move(when), error, kNoRelaxation};
}
Clause narrow_unless(Relaxation relaxation, Alternatives when, int error) {
  return {Verdict::kNarrow, std::move(when), error, relaxation};
}

// --- Values
// --------------------------------------------------------------------

constexpr scmp_datum_t kCloneThread = 0x00010000;
constexpr scmp_datum_t kCloneVm = 0x00000100;
// clone()'s flags are its first argument, but its second on s390.
#if defined(__s390__)
constexpr unsigned kCloneFlags = 1;
#else
constexpr unsigned kCloneFlags = 0;
#endif
// Namespace flags of clone(); CLONE_NEWTIME shares its bit with the exit
// signal there and is taken by unshare() and clone3() only.
const std::vector<scmp_datum_t> kCloneNewNamespace = {
    0x00020000, 0x02000000, 0x04000000, 0x08000000,
    0x10000000, 0x20000000, 0x40000000};
// prctl() options a library may ask of its own thread: PR_GET_DUMPABLE,
// PR_SET_NAME, PR_GET_NAME, PR_GET_SECCOMP, PR_CAPBSET_READ,
// PR_GET_NO_NEW_PRIVS, PR_GET_MDWE, PR_SET_VMA (naming its own mappings).
const std::vector<scmp_datum_t> kPrctlOptions = {3,  15, 16, 21,
                                                 23, 39, 66, 0x53564d41};
// The leak checker's helper: PR_SET_PDEATHSIG, PR_GET_PDEATHSIG (gperftools
// 2.16), PR_SET_DUMPABLE, PR_SET_PTRACER.
const std::vector<scmp_datum_t> kSanitizerPrctlOptions = {1, 2, 4, 0x59616d61};
constexpr scmp_datum_t kPersonalityQuery = 0xFFFFFFFF;
// Keeps the old mapping where mremap() moves one (Linux 5.7); older
// headers lack the name.
constexpr scmp_datum_t kMremapDontUnmap = 4;
constexpr scmp_datum_t kSocketType = 0xF;  // SOCK_CLOEXEC etc. lie above

// setsockopt(): the options the resolver (error queues), libcurl (no
// delay, keep-alive, IPv6 only), c-ares (buffer sizes) and musl (IPv6
// only) set, by level. Others reach kernel code a lookup never uses:
// kernel TLS (TCP_ULP), the classic-BPF translator (SO_ATTACH_FILTER),
// binding to a device.
const std::pair<scmp_datum_t, std::vector<scmp_datum_t>> kSocketOptions[] = {
    {SOL_SOCKET, {SO_KEEPALIVE, SO_SNDBUF, SO_RCVBUF}},
    {IPPROTO_TCP, {TCP_NODELAY, TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT}},
    {IPPROTO_IP, {IP_RECVERR}},
    {IPPROTO_IPV6, {IPV6_RECVERR, IPV6_V6ONLY}}};

// Those options, and EPERM for any other, in the allow-list itself: where
// both programs give an error, the allow-list's is the one a caller sees.
std::vector<Clause> socket_options() {
  std::vector<Clause> clauses;
  std::vector<scmp_datum_t> levels;
  for (const auto& [level, names] : kSocketOptions) {
    clauses.push_back(allow(both(low32_in(1, {level}), low32_in(2, names))));
    clauses.push_back(refuse(both(low32_in(1, {level}), other_than(2, names))));
    levels.push_back(level);
  }
  clauses.push_back(refuse(other_than(1, levels)));
  return clauses;
}

// --- The table -----------------------------------------------------------

// Allowed whatever the arguments: what a lookup calls (libc, libcurl with
// its threaded resolver, OpenSSL, the name-service modules, the C++
// runtime, as strace shows them) and the siblings another libc or kernel
// may pick for the same job.
const char* const kAllowed[] = {
    // Files: the resolver's, the CA certificates, name-service modules.
    "openat", "open", "close", "fstat", "stat", "lstat", "newfstatat",
    "fstatat64", "statx", "access", "faccessat", "faccessat2",
    // Memory. No mapping becomes writable and executable (see MDWE).
    "mmap2", "mprotect", "munmap", "madvise", "brk",
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
    // The network.
    "connect", "getsockname", "getpeername", "getsockopt", "shutdown", "sendto",
    "sendmsg", "sendmmsg"};

// Refused by name with EPERM: a lookup never needs them, and each reaches
// beyond the run.
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
    // Moving data between descriptors, which a lookup has no need of.
    "splice", "tee", "vmsplice", "sendfile", "sendfile64", "copy_file_range",
    // Other processes of the same user: their IPC objects, memory, state.
    "msgget", "msgsnd", "msgrcv", "msgctl", "semget", "semop", "semtimedop",
    "semctl", "shmget", "shmat", "shmdt", "shmctl", "mq_open", "mq_unlink",
    "mq_timedsend", "mq_timedreceive", "mq_notify", "mq_getsetattr",
    "pidfd_open", "pidfd_send_signal", "pidfd_getfd", "kcmp", "get_robust_list",
    "move_pages", "migrate_pages", "process_vm_readv", "process_vm_writev",
    "process_madvise", "tkill", "rt_sigqueueinfo", "rt_tgsigqueueinfo",
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

// What a sanitizer runtime calls besides: its reports list /proc and wait
// for the leak checker's helper.
const char* const kSanitizerCalls[] = {"wait4",      "waitid",     "getppid",
                                       "getdents",   "getdents64", "readlink",
                                       "readlinkat", "mincore"};

// What a coverage runtime calls at exit to write its counters.
const char* const kCoverageCalls[] = {"mkdir",     "mkdirat", "flock",
                                      "ftruncate", "getcwd",  "fsync"};

// The calls decided by their arguments, each in one entry.
std::vector<CallEntry> calls_with_clauses(std::uint32_t terminal_slots) {
  const auto guarded = [terminal_slots](unsigned arg) {
    return guarded_descriptors(arg, terminal_slots);
  };
  const Alternatives internet = low32_in(0, {AF_INET, AF_INET6});
  // One comparison per argument and clause, as libseccomp wants.
  constexpr scmp_datum_t kThreadOrVm = kCloneThread | kCloneVm;
  std::vector<Clause> clone = {
      // Threads only, no processes (which would outlive the run); a leak
      // checker's helper shares the run's memory and dies with it.
      allow(masked(kCloneFlags, kCloneThread, kCloneThread)),
      refuse_unless(kLeakChecker, masked(kCloneFlags, kThreadOrVm, kCloneVm)),
      refuse(masked(kCloneFlags, kThreadOrVm, 0))};
  std::transform(kCloneNewNamespace.begin(), kCloneNewNamespace.end(),
                 std::back_inserter(clone), [](scmp_datum_t flag) {
                   return narrow(masked(kCloneFlags, flag, flag));
                 });
  // The terminal and whatever else descriptors 0 to 2 are, shared with the
  // user's shell, and any other terminal the run kept: no reading (typed-
  // ahead input), no moving the offset, no mapping, no duplicating.
  const Clause no_guarded = narrow(guarded(0));
  // Standard input is written to by no one: a terminal there would take
  // escape sequences (a title, queries it answers into the shell's input).
  const Clause not_to_input = narrow(low32_in(0, {0}));
  // This process alone: signals to itself (Landlock scopes them from
  // Linux 6.12 only).
  const std::vector<Clause> self = {allow(),
                                    narrow(greater_than(0, kPidStandIn)),
                                    narrow(less_than(0, kPidStandIn))};
  return {
      {"read", {allow(), no_guarded}},
      {"pread64", {allow(), no_guarded}},
      {"readv", {allow(), no_guarded}},
      {"preadv", {allow(), no_guarded}},
      {"preadv2", {allow(), no_guarded}},
      {"recvfrom", {allow(), no_guarded}},
      {"lseek", {allow(), no_guarded}},
      {"dup", {allow(), no_guarded}},
      {"dup2", {allow(), no_guarded}},
      {"dup3", {allow(), no_guarded}},
      {"write", {allow(), not_to_input}},
      {"writev", {allow(), not_to_input}},
      // Terminal queries, and the byte count and blocking mode of a
      // socket; on the guarded descriptors, the queries of settings and
      // size alone.
      {"ioctl",
       {allow(low32_in(1, {TCGETS, TIOCGWINSZ, FIONREAD, FIONBIO})),
        allow(guarded(0)),
        narrow(both(guarded(0), other_than(1, {TCGETS, TIOCGWINSZ})))}},
      // Descriptor and status flags; locks for a coverage runtime. No
      // signals on I/O (to any process); no changing or duplicating the
      // guarded descriptors.
      {"fcntl",
       {allow(low32_in(
            1, {F_GETFD, F_SETFD, F_GETFL, F_SETFL, F_DUPFD, F_DUPFD_CLOEXEC})),
        allow_with(kCoverage,
                   low32_in(1, {F_GETLK, F_SETLK, F_SETLKW, F_OFD_GETLK,
                                F_OFD_SETLK, F_OFD_SETLKW})),
        refuse(low32_in(1, {F_SETOWN, F_SETOWN_EX, F_SETSIG})),
        narrow(
            both(guarded(0), low32_in(1, {F_SETFL, F_DUPFD, F_DUPFD_CLOEXEC}))),
        narrow(both(low32_in(1, {F_SETFL}), masked(2, O_ASYNC, O_ASYNC)))}},
      // No second view of executable memory, which would sidestep MDWE:
      // code written through a writable view of shared pages would run
      // through an executable one. Libraries are mapped private; mremap()
      // with an old size of 0 (or keeping the old mapping) duplicates
      // shared pages.
      {"mmap",
       {allow(), narrow(guarded(4)),
        narrow(both(masked(2, PROT_EXEC, PROT_EXEC),
                    masked(3, MAP_SHARED, MAP_SHARED)))}},
      {"mremap",
       {allow(), narrow({{{1, SCMP_CMP_EQ, 0, 0}}}),
        narrow(masked(3, kMremapDontUnmap, kMremapDontUnmap))}},
      {"clone", clone},
      // clone3() passes its flags in memory, which a filter cannot read.
      // glibc falls back to clone() on ENOSYS, and on ENOSYS alone.
      {"clone3", {refuse(always(), ENOSYS)}},
      {"prctl",
       {allow(low32_in(0, kPrctlOptions)),
        allow_with(kSanitizer, low32_in(0, kSanitizerPrctlOptions))}},
      {"personality",
       {allow({{{0, SCMP_CMP_EQ, kPersonalityQuery, 0}}}),
        refuse({{{0, SCMP_CMP_NE, kPersonalityQuery, 0}}})}},
      // The leak checker's helper stops each thread with ptrace.
      {"ptrace", {refuse_unless(kLeakChecker)}},
      // Its own use (allocators' statistics, sanitizers).
      {"getrusage", {allow(low32_in(0, {RUSAGE_SELF, RUSAGE_THREAD}))}},
      // IPv4 and IPv6 for TCP and UDP, and netlink for the routing table
      // (the resolver asks the kernel for the machine's addresses). Every
      // other family fails as unsupported; a name-service module that asks
      // a daemon over a UNIX socket (nscd, resolve, sss) then reports
      // itself unavailable and the next source answers. No raw or packet
      // sockets, nor other protocols (SCTP, MPTCP) that Landlock's TCP
      // rules would not see.
      {"socket",
       {allow(),
        narrow(other_than(0, {AF_UNIX, AF_INET, AF_INET6, AF_NETLINK}),
               EAFNOSUPPORT),
        // UNIX sockets for a proxy reached through one; datagrams alone
        // for gperftools' heap checker, which marks its helper with one.
        narrow_unless(kUnixSockets,
                      both(low32_in(0, {AF_UNIX}),
                           other_than(1, {SOCK_DGRAM}, kSocketType)),
                      EAFNOSUPPORT),
        narrow_unless(
            kUnixDatagrams,
            both(low32_in(0, {AF_UNIX}), masked(1, kSocketType, SOCK_DGRAM)),
            EAFNOSUPPORT),
        narrow(both(low32_in(0, {AF_NETLINK}), greater_than(2, 0))),
        narrow(both(internet,
                    other_than(1, {SOCK_STREAM, SOCK_DGRAM}, kSocketType))),
        narrow(both(internet, other_than(2, {0, IPPROTO_TCP, IPPROTO_UDP})))}},
#ifdef __GLIBC__
      // No address for any socket: glibc's resolver binds none, and a
      // bound UNIX socket (of a pair) would take an abstract name that a
      // service of the machine may want.
      {"bind", {refuse()}},
#else
      // musl binds its resolver's UDP socket to the wildcard address; a
      // UNIX address of the same size (an abstract name of 13 or 25
      // bytes) is let through too, TCP is Landlock's to refuse.
      {"bind",
       {allow(low32_in(2, {sizeof(sockaddr_in), sizeof(sockaddr_in6)})),
        refuse(other_than(2, {sizeof(sockaddr_in), sizeof(sockaddr_in6)}))}},
#endif
      // Stream pairs only (libcurl's resolver uses one); a datagram pair
      // could send to any pathname socket.
      {"socketpair",
       {allow(), narrow(other_than(1, {SOCK_STREAM}, kSocketType))}},
      {"setsockopt", socket_options()},
      {"kill", self},
      {"tgkill", self},
      // Its own limits (pid 0) alone.
      {"prlimit64", {allow(), narrow(greater_than(0, 0))}},
  };
}

}  // namespace

bool holds_always(const Clause& clause) {
  return clause.when.size() == 1 && clause.when.front().empty();
}

// An entry of `clause` alone for each of `calls`.
template <std::size_t N>
void add_each(std::vector<CallEntry>& table, const char* const (&calls)[N],
              const Clause& clause) {
  std::transform(std::begin(calls), std::end(calls), std::back_inserter(table),
                 [&](const char* call) {
                   return CallEntry{call, {clause}};
                 });
}

std::vector<CallEntry> syscall_table(std::uint32_t terminal_slots) {
  std::vector<CallEntry> table = calls_with_clauses(terminal_slots);
  add_each(table, kAllowed, allow());
  add_each(table, kSanitizerCalls, allow_with(kSanitizer));
  add_each(table, kCoverageCalls, allow_with(kCoverage));
  add_each(table, kRefused, refuse());
  return table;
}

std::vector<std::string> table_faults(const std::vector<CallEntry>& table) {
  std::vector<std::string> faults;
  std::map<std::string_view, int> entries;
  for (const CallEntry& entry : table) {
    if (++entries[entry.call] == 2)
      faults.push_back(std::string(entry.call) + ": more than one entry");
    const auto always_with = [&](Verdict verdict) {
      return std::any_of(
          entry.clauses.begin(), entry.clauses.end(), [&](const Clause& c) {
            return c.verdict == verdict && c.relaxed_by == kNoRelaxation &&
                   holds_always(c);
          });
    };
    const auto in_allow_list = std::count_if(
        entry.clauses.begin(), entry.clauses.end(),
        [](const Clause& c) { return c.verdict != Verdict::kNarrow; });
    if (always_with(Verdict::kRefuse) && in_allow_list > 1)
      faults.push_back(std::string(entry.call) +
                       ": refused by name, and decided otherwise too");
    if (always_with(Verdict::kAllow) && in_allow_list > 1)
      faults.push_back(std::string(entry.call) +
                       ": allowed always, and decided otherwise too");
  }
  return faults;
}

int call_number(const char* name) {
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

}  // namespace ipwhere
