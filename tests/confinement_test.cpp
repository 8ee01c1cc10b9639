#include "confinement.hpp"

#include <gtest/gtest.h>

#include "landlock.hpp"
#include "library_path.hpp"
#include "syscall_filter.hpp"
#include "syscall_program.hpp"

#ifdef __linux__
#include <fcntl.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#endif

namespace ipwhere {
namespace {

// Every right of each Landlock ABI, as the kernel documents them: the
// file-system rights EXECUTE to MAKE_SYM (ABI 1), REFER (2), TRUNCATE (3),
// IOCTL_DEV (5); TCP bind and connect (4); both scopes (6). ABI 7 adds
// nothing a run uses.
const LandlockRights kRightsOfAbi[] = {
    {0, 0, 0},      {0x1FFF, 0, 0}, {0x3FFF, 0, 0}, {0x7FFF, 0, 0},
    {0x7FFF, 3, 0}, {0xFFFF, 3, 0}, {0xFFFF, 3, 3}, {0xFFFF, 3, 3}};

TEST(LandlockRights, EveryAbiHandsOverWhatItKnows) {
  for (int abi = 0; abi <= 7; ++abi) {
    const LandlockRights rights = landlock_rights(abi, true);
    EXPECT_EQ(rights, kRightsOfAbi[abi]) << "ABI " << abi;
    // A proxy leaves connect unhandled, never bind.
    EXPECT_EQ(landlock_rights(abi, false).net, rights.net & 1) << "ABI " << abi;
  }
}

// A kernel that refuses some parts with EINVAL loses only those.
TEST(LandlockRights, ARefusedPartIsLeftOutAlone) {
  const LandlockRights full = landlock_rights(6, true);
  struct Case {
    const char* kernel;
    std::function<bool(const LandlockRights&)> refuses;
    LandlockRights taken;
  };
  const Case cases[] = {
      {"refuses the signal scope (RHEL 9)",
       [](const LandlockRights& r) { return (r.scoped & 2) != 0; },
       {0xFFFF, 3, 1}},
      {"refuses IOCTL_DEV and the signal scope",
       [](const LandlockRights& r) {
         return (r.scoped & 2) != 0 || (r.fs & 0x8000) != 0;
       },
       {0x7FFF, 3, 1}},
      {"refuses network rights",
       [](const LandlockRights& r) { return r.net != 0; },
       {0xFFFF, 0, 3}},
      {"takes everything", [](const LandlockRights&) { return false; }, full}};
  for (const Case& c : cases) {
    LandlockRights rights = full;
    int calls = 0;
    const int fd = create_ruleset(rights, [&](const LandlockRights& trial) {
      ++calls;
      if (!c.refuses(trial)) return 7;
      errno = EINVAL;
      return -1;
    });
    EXPECT_EQ(fd, 7) << c.kernel;
    EXPECT_EQ(rights, c.taken) << c.kernel;
    EXPECT_LE(calls, 64) << c.kernel;
  }
  // Any other error is not a refused right: nothing is left out or tried.
  LandlockRights rights = full;
  int calls = 0;
  EXPECT_EQ(create_ruleset(rights,
                           [&](const LandlockRights&) {
                             ++calls;
                             errno = EPERM;
                             return -1;
                           }),
            -1);
  EXPECT_EQ(calls, 1);
}

#ifdef __linux__
// The outcome of one call: 0 if it succeeded, else its errno.
int outcome(long result) { return result >= 0 ? 0 : errno; }

// `error` if the call met it, else 0: whether a connection that was let
// through found a listener does not matter here.
int only(int error, int result) { return result == error ? error : 0; }

// Binds a new TCP socket to, or connects it with (`call`), 127.0.0.1:port.
int tcp(int (*call)(int, const sockaddr*, socklen_t), std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int result =
      outcome(call(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
  close(fd);
  return result;
}

// An abstract UNIX socket address named after `name`.
sockaddr_un abstract_address(const std::string& name, socklen_t& size) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::min(name.size(), sizeof address.sun_path - 1);
  std::memcpy(address.sun_path + 1, name.data(), length);
  size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  return address;
}

// Landlock scopes a connection only when there is a listener to reach.
int listen_abstract_unix(const std::string& name) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  socklen_t size = 0;
  sockaddr_un address = abstract_address(name, size);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      listen(fd, 1) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int connect_abstract_unix(const std::string& name) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  socklen_t size = 0;
  sockaddr_un address = abstract_address(name, size);
  const int result =
      outcome(connect(fd, reinterpret_cast<sockaddr*>(&address), size));
  close(fd);
  return result;
}

int open_file(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
  return outcome(fd);
}

int run_program() {
  const pid_t child = fork();
  if (child == 0) {
    char* const argv[] = {const_cast<char*>("true"), nullptr};
    execv("/bin/true", argv);
    _exit(errno);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `body` in a child process and returns what it wrote to the pipe it
// is given: one line per check.
std::string in_child(const std::function<std::string()>& body) {
  int report[2];
  if (pipe(report) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    const std::string lines = body();
    const bool written = write(report[1], lines.data(), lines.size()) ==
                         static_cast<ssize_t>(lines.size());
    _exit(written ? 0 : 1);
  }
  close(report[1]);
  std::string lines;
  char buffer[4096];
  for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;)
    lines.append(buffer, static_cast<std::size_t>(n));
  close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status))
    lines +=
        "child killed by signal " + std::to_string(WTERMSIG(status)) + "\n";
  return lines;
}

std::string line(const char* what, int outcome) {
  return std::string(what) + " " + std::to_string(outcome) + "\n";
}

// Each check of a process under Landlock: what it tries, the ABI from which
// the kernel refuses it, and whether a proxy setting that could not be read
// lets it through.
struct Check {
  const char* what;
  int abi;
  int (*attempt)(const std::string& scratch);
  bool any_port_allows = false;
  bool sanitizers_allow = false;  // they run their symbolizer
};

const Check kForbidden[] = {
    {"read a file outside the system locations", 1,
     [](const std::string& scratch) {
       return open_file(scratch + "/secret", O_RDONLY);
     }},
    {"list a directory outside them", 1,
     [](const std::string& scratch) {
       return open_file(scratch, O_RDONLY | O_DIRECTORY);
     }},
    {"write a file", 1,
     [](const std::string& scratch) {
       return open_file(scratch + "/secret", O_WRONLY);
     }},
    {"create a file", 1,
     [](const std::string& scratch) {
       return open_file(scratch + "/new", O_WRONLY | O_CREAT);
     }},
    {"remove a file", 1,
     [](const std::string& scratch) {
       return outcome(unlink((scratch + "/secret").c_str()));
     }},
    {"run a program", 1, [](const std::string&) { return run_program(); },
     false, true},
    {"truncate a file", 3,
     [](const std::string& scratch) {
       return outcome(truncate((scratch + "/secret").c_str(), 0));
     }},
    {"bind a TCP port", 4, [](const std::string&) { return tcp(bind, 0); }},
    {"connect to TCP port 8080", 4,
     [](const std::string&) { return only(EACCES, tcp(connect, 8080)); }, true},
    {"connect to an abstract UNIX socket", 6,
     [](const std::string& scratch) { return connect_abstract_unix(scratch); }},
    {"signal the parent process", 6,
     [](const std::string&) { return outcome(kill(getppid(), 0)); }},
};

// Applies Landlock alone in a child process, then every check.
std::string landlock_outcomes(const LandlockAllowance& allowance,
                              const std::string& scratch) {
  return in_child([&] {
    prctl(PR_SET_NO_NEW_PRIVS, 1L, 0L, 0L, 0L);
    const LandlockRights rights = apply_landlock(allowance);
    std::string lines = rights.fs != 0 ? "confined\n" : "not confined\n";
    lines += line("read /etc/hosts", open_file("/etc/hosts", O_RDONLY));
    lines += line("list /usr", open_file("/usr", O_RDONLY | O_DIRECTORY));
    lines += line("connect to TCP port 443", only(EACCES, tcp(connect, 443)));
    lines += line("connect to TCP port 3128", only(EACCES, tcp(connect, 3128)));
    for (const Check& check : kForbidden)
      lines += line(check.what, check.attempt(scratch));
    return lines;
  });
}

std::string expected_outcomes(int abi, const LandlockAllowance& allowance) {
  const bool proxy_port_refused = abi >= 4 && !allowance.connect_any_port &&
                                  allowance.connect_ports.size() < 3;
  std::string lines =
      "confined\nread /etc/hosts 0\nlist /usr 0\n"
      "connect to TCP port 443 0\n" +
      line("connect to TCP port 3128", proxy_port_refused ? EACCES : 0);
  for (const Check& check : kForbidden) {
    const bool refused =
        abi >= check.abi &&
        !(check.any_port_allows && allowance.connect_any_port) &&
        !(check.sanitizers_allow && allowance.sanitizer);
    // Landlock refuses scoped calls with EPERM, everything else with
    // EACCES.
    lines += line(check.what, !refused ? 0 : check.abi >= 6 ? EPERM : EACCES);
  }
  return lines;
}

class Confinement : public ::testing::Test {
 protected:
  void SetUp() override {
    abi_ = landlock_abi();
    if (abi_ == 0)
      GTEST_SKIP() << "no Landlock in this kernel (or a build without it): "
                      "the tool runs unconfined";
    char scratch[] = "/tmp/ipwhere-confinement-XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    scratch_ = scratch;
    // Open to everyone, as the files of another user would be: what a
    // process that became nobody cannot reach is then Landlock's doing.
    ASSERT_EQ(chmod(scratch, 0755), 0);
    std::FILE* secret = std::fopen((scratch_ + "/secret").c_str(), "w");
    ASSERT_NE(secret, nullptr);
    ASSERT_GE(std::fputs("secret", secret), 0);
    ASSERT_EQ(std::fclose(secret), 0);
    ASSERT_EQ(chmod((scratch_ + "/secret").c_str(), 0644), 0);
    listener_ = listen_abstract_unix(scratch_);
    ASSERT_GE(listener_, 0);
  }
  void TearDown() override {
    if (listener_ >= 0) close(listener_);
    if (scratch_.empty()) return;
    unlink((scratch_ + "/secret").c_str());
    unlink((scratch_ + "/new").c_str());
    rmdir(scratch_.c_str());
  }
  [[nodiscard]] LandlockAllowance allowance() const {
    LandlockAllowance allowance;
    allowance.connect_ports = {443, 53};
    allowance.sanitizer = detect_occupants().sanitizer;
    return allowance;
  }
  int abi_ = 0;
  std::string scratch_;  // a directory, also the name of the UNIX socket
  int listener_ = -1;
};

TEST_F(Confinement, LandlockRefusesEveryRightTheKernelKnows) {
  LandlockAllowance allowed = allowance();
  EXPECT_EQ(landlock_outcomes(allowed, scratch_),
            expected_outcomes(abi_, allowed));
  // A proxy's port is added to 443 and 53; a proxy setting that could not
  // be read leaves every port open, and bind closed.
  allowed.connect_ports.push_back(3128);
  EXPECT_EQ(landlock_outcomes(allowed, scratch_),
            expected_outcomes(abi_, allowed));
  allowed.connect_any_port = true;
  EXPECT_EQ(landlock_outcomes(allowed, scratch_),
            expected_outcomes(abi_, allowed));
}

TEST_F(Confinement, NamedFilesStayReadableThroughSymbolicLinks) {
  const std::string link = scratch_ + "/link";
  ASSERT_EQ(symlink((scratch_ + "/secret").c_str(), link.c_str()), 0);
  LandlockAllowance allowed = allowance();
  allowed.readable = {link};
  const std::string lines = landlock_outcomes(allowed, scratch_);
  unlink(link.c_str());
  EXPECT_NE(lines.find("read a file outside the system locations 0\n"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find("write a file 13\n"), std::string::npos) << lines;
}

// The system-call filter, rule by rule: what it refuses fails with the
// error chosen for it, what a lookup needs still works (0), and what it
// lets through meets the kernel's own answer.
struct FilterCheck {
  const char* what;
  int expected;  // with the filter
  long (*attempt)(const std::string& scratch);
};

long sys_socket(long family, long type, long protocol) {
  const long fd = syscall(SYS_socket, family, type, protocol);
  if (fd >= 0) close(static_cast<int>(fd));
  return fd;
}

const FilterCheck kFilterChecks[] = {
    {"socket AF_INET stream", 0,
     [](const std::string&) { return sys_socket(AF_INET, SOCK_STREAM, 0); }},
    {"socket AF_INET6 datagram", 0,
     [](const std::string&) {
       return sys_socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
                         IPPROTO_UDP);
     }},
    {"socket AF_NETLINK route", 0,
     [](const std::string&) {
       return sys_socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
     }},
    {"socket AF_UNIX", EAFNOSUPPORT,
     [](const std::string&) { return sys_socket(AF_UNIX, SOCK_STREAM, 0); }},
    {"socket AF_UNIX datagram", EAFNOSUPPORT,
     [](const std::string&) { return sys_socket(AF_UNIX, SOCK_DGRAM, 0); }},
    {"socket AF_UNIX with a high bit", EAFNOSUPPORT,
     [](const std::string&) {
       return sys_socket(AF_UNIX | (1L << 32), SOCK_STREAM, 0);
     }},
    {"socket AF_PACKET", EAFNOSUPPORT,
     [](const std::string&) { return sys_socket(17, SOCK_RAW, 0); }},
    {"socket family 200", EAFNOSUPPORT,
     [](const std::string&) { return sys_socket(200, SOCK_STREAM, 0); }},
    {"socket AF_INET raw", EPERM,
     [](const std::string&) {
       return sys_socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
     }},
    {"socket AF_INET6 SCTP", EPERM,
     [](const std::string&) {
       return sys_socket(AF_INET6, SOCK_STREAM, IPPROTO_SCTP);
     }},
    {"socket AF_NETLINK audit", EPERM,
     [](const std::string&) { return sys_socket(AF_NETLINK, SOCK_RAW, 9); }},
    {"socketpair stream", 0,
     [](const std::string&) {
       int pair[2];
       const long result = socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
       if (result == 0) close(pair[0]), close(pair[1]);
       return result;
     }},
    {"socketpair datagram", EPERM,
     [](const std::string&) {
       int pair[2];
       return static_cast<long>(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair));
     }},
    {"ioctl TCGETS on a terminal", 0,
     [](const std::string&) {
       const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
       termios settings = {};
       const long result = syscall(SYS_ioctl, fd, TCGETS, &settings);
       close(fd);
       return result;
     }},
    {"ioctl TIOCSTI", EPERM,
     [](const std::string&) {
       const char c = ' ';
       return syscall(SYS_ioctl, 0, TIOCSTI, &c);
     }},
    {"ioctl TIOCSTI with a high bit", EPERM,
     [](const std::string&) {
       const char c = ' ';
       return syscall(SYS_ioctl, 0, TIOCSTI | (1L << 32), &c);
     }},
    {"ioctl TIOCLINUX", EPERM,
     [](const std::string&) {
       char c = 0;
       return syscall(SYS_ioctl, 0, TIOCLINUX, &c);
     }},
    {"unlink", EPERM,
     [](const std::string& scratch) {
       return static_cast<long>(unlink((scratch + "/secret").c_str()));
     }},
    {"unlinkat", EPERM,
     [](const std::string& scratch) {
       return static_cast<long>(
           unlinkat(AT_FDCWD, (scratch + "/secret").c_str(), 0));
     }},
    {"chmod", EPERM,
     [](const std::string& scratch) {
       return static_cast<long>(chmod((scratch + "/secret").c_str(), 0600));
     }},
    {"chown", EPERM,
     [](const std::string& scratch) {
       return static_cast<long>(chown((scratch + "/secret").c_str(), 0, 0));
     }},
    {"utimensat", EPERM,
     [](const std::string& scratch) {
       return static_cast<long>(
           utimensat(AT_FDCWD, (scratch + "/secret").c_str(), nullptr, 0));
     }},
    {"setxattr", EPERM,
     [](const std::string& scratch) {
       return syscall(SYS_setxattr, (scratch + "/secret").c_str(), "user.test",
                      "x", 1, 0);
     }},
    {"prlimit64 of this process", 0,
     [](const std::string&) {
       rlimit limit = {};
       return syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, &limit);
     }},
    {"prlimit64 of the parent", EPERM,
     [](const std::string&) {
       rlimit limit = {};
       return syscall(SYS_prlimit64, getppid(), RLIMIT_NOFILE, nullptr, &limit);
     }},
    {"getrusage of this process", 0,
     [](const std::string&) {
       rusage usage = {};
       return syscall(SYS_getrusage, RUSAGE_SELF, &usage);
     }},
    {"getrusage of this thread", 0,
     [](const std::string&) {
       rusage usage = {};
       return syscall(SYS_getrusage, RUSAGE_THREAD, &usage);
     }},
    {"getrusage of the children", ENOSYS,
     [](const std::string&) {
       rusage usage = {};
       return syscall(SYS_getrusage, RUSAGE_CHILDREN, &usage);
     }},
    {"setpriority of the user's processes (not on the list)", ENOSYS,
     [](const std::string&) {
       return static_cast<long>(setpriority(PRIO_USER, 0, 0));
     }},
    {"signal this process", 0,
     [](const std::string&) { return syscall(SYS_kill, getpid(), 0); }},
    {"signal this thread", 0,
     [](const std::string&) {
       return syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), 0);
     }},
    {"signal the parent", EPERM,
     [](const std::string&) { return syscall(SYS_kill, getppid(), 0); }},
    {"signal the process group", EPERM,
     [](const std::string&) { return syscall(SYS_kill, 0, 0); }},
    {"signal a thread of the parent", EPERM,
     [](const std::string&) { return syscall(SYS_tkill, getppid(), 0); }},
    {"ptrace", EPERM,  // ESRCH without the filter
     [](const std::string&) {
       return syscall(SYS_ptrace, PTRACE_PEEKDATA, 0x3FFFFFFF, 0, 0);
     }},
    {"memfd_create", EPERM,
     [](const std::string&) {
       const long fd = syscall(SYS_memfd_create, "x", 0);
       if (fd >= 0) close(static_cast<int>(fd));
       return fd;
     }},
    {"unshare a user namespace", EPERM,
     [](const std::string&) { return syscall(SYS_unshare, 0x10000000); }},
    {"setsockopt TCP_NODELAY", 0,
     [](const std::string&) {
       const int fd = socket(AF_INET, SOCK_STREAM, 0);
       const int on = 1;
       const long result =
           setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
       close(fd);
       return result;
     }},
    {"clone3", ENOSYS,
     [](const std::string&) { return syscall(435, nullptr, 0); }},
    {"start a thread", 0,
     [](const std::string&) {
       std::thread([] {}).join();
       return 0L;
     }},
};

// Calls refused for their arguments: each made with arguments that the
// kernel would take (0 where the call would do harm if let through), and
// refused with EPERM before the kernel sees them. Descriptors: 0 to 2 are
// the user's terminal or pipes, kOwn a pipe of the run's own. Every call
// refused by name is made too, with arguments no kernel takes (-1).
struct ArgumentRefusal {
  const char* what;
  long number;
  long args[6];
};
constexpr long kHigh = 1L << 32;  // a high bit the kernel ignores
constexpr int kOwn = 100;
constexpr long kClone = SYS_clone;
const ArgumentRefusal kRefusedCalls[] = {
    {"clone without CLONE_THREAD (fork)", kClone, {SIGCHLD}},
    {"read descriptor 0", SYS_read, {0, 0, 0}},
    {"read descriptor 0 with a high bit", SYS_read, {kHigh, 0, 0}},
    {"pread64 descriptor 2", SYS_pread64, {2, 0, 0, 0}},
    {"recvfrom descriptor 1", SYS_recvfrom, {1, 0, 0, 0, 0, 0}},
    {"write descriptor 0", SYS_write, {0, 0, 0}},
    {"readv descriptor 0", SYS_readv, {0, 0, 0}},
    {"lseek descriptor 0", SYS_lseek, {0, 0, SEEK_CUR}},
    {"dup descriptor 0", SYS_dup, {0}},
    {"dup3 descriptor 1", SYS_dup3, {1, 9, 0}},
    {"fcntl F_DUPFD_CLOEXEC of descriptor 2",
     SYS_fcntl,
     {2, F_DUPFD_CLOEXEC, 3}},
    {"fcntl F_SETFL of descriptor 1 (non-blocking)",
     SYS_fcntl,
     {1, F_SETFL, O_NONBLOCK}},
    {"ioctl TCSETS on descriptor 0", SYS_ioctl, {0, TCSETS, 0}},
    {"ioctl TCSETS with a high bit", SYS_ioctl, {0, TCSETS | kHigh, 0}},
    {"ioctl TCGETS with a high bit", SYS_ioctl, {0, TCGETS | kHigh, 0}},
    {"ioctl TIOCSWINSZ on descriptor 1", SYS_ioctl, {1, TIOCSWINSZ, 0}},
    {"ioctl TIOCEXCL on descriptor 2", SYS_ioctl, {2, TIOCEXCL}},
    {"ioctl TIOCSETD on descriptor 0", SYS_ioctl, {0, TIOCSETD, 0}},
    {"ioctl FIONBIO on descriptor 0", SYS_ioctl, {0, FIONBIO, 0}},
    {"fcntl F_SETOWN", SYS_fcntl, {kOwn, F_SETOWN, 1}},
    {"fcntl F_SETSIG", SYS_fcntl, {kOwn, F_SETSIG, 0}},
    {"fcntl F_SETFL with O_ASYNC", SYS_fcntl, {kOwn, F_SETFL, O_ASYNC}},
    // A second view of executable memory.
    {"mmap shared and executable",
     SYS_mmap,
     {0, 4096, PROT_READ | PROT_EXEC, MAP_SHARED | MAP_ANONYMOUS, -1, 0}},
    {"mremap with an old size of 0", SYS_mremap, {0, 0, 4096, MREMAP_MAYMOVE}},
    {"mremap keeping the old mapping",
     SYS_mremap,
     {0, 4096, 4096, MREMAP_MAYMOVE | 4 /* MREMAP_DONTUNMAP */}},
    // Socket options that reach kernel code a lookup never uses.
    {"setsockopt TCP_ULP", SYS_setsockopt, {kOwn, IPPROTO_TCP, TCP_ULP, 0, 0}},
    {"setsockopt SO_ATTACH_FILTER",
     SYS_setsockopt,
     {kOwn, SOL_SOCKET, SO_ATTACH_FILTER, 0, 0}},
    {"setsockopt SO_BINDTODEVICE",
     SYS_setsockopt,
     {kOwn, SOL_SOCKET, SO_BINDTODEVICE, 0, 0}},
    {"setsockopt of an unknown level",
     SYS_setsockopt,
     {kOwn, SOL_PACKET, 1, 0, 0}},
    {"setsockopt TCP_ULP with a high bit",
     SYS_setsockopt,
     {kOwn, IPPROTO_TCP, TCP_ULP | kHigh, 0, 0}},
    {"personality other than a query", SYS_personality, {8}},
};

TEST_F(Confinement, TheFilterRefusesEachCallItNames) {
  if (!syscall_filter_built())
    GTEST_SKIP() << "built without libseccomp: no system-call filter";
  std::string expected;
  for (const FilterCheck& check : kFilterChecks)
    expected += line(check.what, check.expected);
  for (const ArgumentRefusal& call : kRefusedCalls)
    expected += line(call.what, EPERM);
  std::size_t count = 0;
  const RefusedCall* by_name = calls_refused_by_name(count);
  for (std::size_t i = 0; i < count; ++i)
    expected += line(by_name[i].name, EPERM);
  expected += "personality query 0\nfcntl F_SETFL of the run's own pipe 0\n";
  // Both programs a run may load: without terminal slots, and with one
  // kept terminal, guarded as 0 to 2 are.
  FilterAllowance with_terminal;
  with_terminal.terminals = {kOwn + 1};
  for (const FilterAllowance& allowance : {FilterAllowance{}, with_terminal}) {
    const bool kept = !allowance.terminals.empty();
    EXPECT_EQ(
        in_child([&] {
          int pipe_ends[2];
          if (pipe(pipe_ends) != 0 || dup2(pipe_ends[0], kOwn) != kOwn)
            return std::string("no pipe");
          prctl(PR_SET_NO_NEW_PRIVS, 1L, 0L, 0L, 0L);
          if (!install_syscall_filter(allowance))
            return std::string("no filter");
          std::string lines;
          for (const FilterCheck& check : kFilterChecks) {
            errno = 0;
            lines += line(check.what, check.attempt(scratch_) >= 0 ? 0 : errno);
          }
          for (const ArgumentRefusal& call : kRefusedCalls) {
            const long* a = call.args;
            lines += line(call.what, outcome(syscall(call.number, a[0], a[1],
                                                     a[2], a[3], a[4], a[5])));
          }
          for (std::size_t i = 0; i < count; ++i)
            lines += line(by_name[i].name,
                          outcome(syscall(by_name[i].number, -1L, -1L, -1L, -1L,
                                          -1L, -1L)));
          lines += line("personality query",
                        outcome(syscall(SYS_personality, 0xFFFFFFFFL)));
          lines += line("fcntl F_SETFL of the run's own pipe",
                        outcome(fcntl(kOwn, F_SETFL, O_NONBLOCK)));
          if (kept)
            lines += line("read the kept terminal",
                          outcome(syscall(SYS_read, kOwn + 1L, 0L, 0L)));
          return lines;
        }),
        expected + (kept ? line("read the kept terminal", EPERM) : ""))
        << (kept ? "with a kept terminal" : "without");
  }
}

// Test builds end the process for a call on no list, so that a call a
// lookup needs and the list lacks fails the suites.
TEST_F(Confinement, AnUnlistedCallEndsTheProcessWhereAsked) {
  if (!syscall_filter_built())
    GTEST_SKIP() << "built without libseccomp: no system-call filter";
  FilterAllowance allowance;
  allowance.kill_unlisted = true;
  EXPECT_EQ(in_child([&] {
              prctl(PR_SET_NO_NEW_PRIVS, 1L, 0L, 0L, 0L);
              if (!install_syscall_filter(allowance)) return std::string();
              char directory[64];
              syscall(SYS_getcwd, directory, sizeof directory);
              return std::string("survived\n");
            }),
            "child killed by signal " + std::to_string(SIGSYS) + "\n");
}

// Whether this kernel refuses writable-and-executable memory on request.
bool mdwe_supported() {
  return prctl(66 /* PR_GET_MDWE */, 0L, 0L, 0L, 0L) >= 0;
}

TEST_F(Confinement, ARunTakesEveryStepTheSystemOffers) {
  const bool as_root = getuid() == 0;
  const std::string lines = in_child([&] {
    const ConfinementReport report = confine({}, detect_occupants());
    std::string text =
        line("unprivileged", report.unprivileged) +
        line("landlock abi", report.landlock_abi) +
        line("fs", static_cast<int>(report.landlock.fs)) +
        line("net", static_cast<int>(report.landlock.net)) +
        line("scoped", static_cast<int>(report.landlock.scoped)) +
        line("filter", report.syscall_filter) +
        line("no exec gain", report.no_exec_gain) +
        line("environment wiped", report.environment_wiped) +
        line("trials", report.trials);
    void* memory = mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    text +=
        line("map writable and executable", memory == MAP_FAILED ? errno : 0);
    text += line("read /etc/shadow", open_file("/etc/shadow", O_RDONLY));
    text += line("read /etc/hosts", open_file("/etc/hosts", O_RDONLY));
    text += line("user", static_cast<int>(getuid()));
    return text;
  });
  const LandlockRights& rights = kRightsOfAbi[abi_];
  const bool mdwe = mdwe_supported();
  const std::string expected =
      line("unprivileged", as_root) + line("landlock abi", abi_) +
      line("fs", static_cast<int>(rights.fs)) +
      line("net", static_cast<int>(rights.net)) +
      line("scoped", static_cast<int>(rights.scoped)) +
      line("filter", syscall_filter_built()) + line("no exec gain", mdwe) +
      line("environment wiped", true) + line("trials", 0) +
      line("map writable and executable", mdwe ? EACCES : 0) +
      line("read /etc/shadow", EACCES) + line("read /etc/hosts", 0) +
      line("user", as_root ? 65534 : static_cast<int>(getuid()));
  EXPECT_EQ(lines, expected);
}

// The child reports through its exit status, one bit a failed check, as
// every descriptor but 0 to 2 is closed in it.
TEST(Descriptors, StandardOnesAreOpenAndInheritedOnesClosed) {
  const pid_t child = fork();
  if (child == 0) {
    struct stat null_device = {};
    stat("/dev/null", &null_device);
    const int inherited = open("/dev/null", O_RDONLY | O_CLOEXEC);
    // Standard input a pipe, as in `producer | ipwhere`.
    int input[2] = {-1, -1};
    if (pipe(input) != 0 || dup2(input[0], 0) != 0) _exit(64);
    close(1);
    open_standard_descriptors();
    struct stat one = {};
    struct stat zero = {};
    int failed = 0;
    if (fstat(1, &one) != 0 || one.st_rdev != null_device.st_rdev) failed |= 1;
    if (fstat(0, &zero) != 0 || !S_ISCHR(zero.st_mode) ||
        zero.st_rdev != null_device.st_rdev)
      failed |= 32;
    if ((fcntl(1, F_GETFL) & O_ACCMODE) != O_RDONLY) failed |= 2;
    if (inherited <= 2) failed |= 4;
    close_inherited_descriptors();
    if (fcntl(inherited, F_GETFD) != -1 || errno != EBADF) failed |= 8;
    if (fcntl(0, F_GETFD) == -1 || fcntl(2, F_GETFD) == -1) failed |= 16;
    _exit(failed);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  // 1: descriptor 1 is not /dev/null; 2: not read-only; 4: the inherited
  // file took a standard one; 8: it stayed open; 16: 0 or 2 was closed;
  // 32: standard input is still the pipe.
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The loader's configuration as ldconfig reads it: comments, files
// included by pattern (relative to the including file, in name order),
// other lines ignored.
TEST(LibraryPath, TheLoadersConfigurationWithWhatItIncludes) {
  char folder[] = "/tmp/ipwhere-ld-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string root = folder;
  ASSERT_EQ(mkdir((root + "/ld.so.conf.d").c_str(), 0755), 0);
  const std::pair<const char*, const char*> files[] = {
      {"/ld.so.conf",
       "# the vendors'\ninclude ld.so.conf.d/*.conf\n  /opt/a/lib  # own\n\n"
       "hwcap 1 nosegneg\n"},
      {"/ld.so.conf.d/b.conf", "/opt/b/lib\n"},
      {"/ld.so.conf.d/a.conf", "/opt/c/lib\n/usr/local/lib\n"},
      {"/ld.so.conf.d/unused.txt", "/opt/d/lib\n"}};
  for (const auto& [name, text] : files) {
    std::FILE* file = std::fopen((root + name).c_str(), "w");
    ASSERT_NE(file, nullptr);
    ASSERT_GE(std::fputs(text, file), 0);
    ASSERT_EQ(std::fclose(file), 0);
  }
  const std::vector<std::string> directories =
      configured_library_directories(root + "/ld.so.conf");
  for (const auto& file : files) unlink((root + file.first).c_str());
  rmdir((root + "/ld.so.conf.d").c_str());
  rmdir(folder);
  EXPECT_EQ(directories,
            (std::vector<std::string>{"/opt/c/lib", "/usr/local/lib",
                                      "/opt/b/lib", "/opt/a/lib"}));
}
#endif

}  // namespace
}  // namespace ipwhere
