#include "confinement.hpp"

#include <gtest/gtest.h>

#ifdef __linux__
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#endif

namespace ipwhere {
namespace {

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

// Each check of a confined process: what it tries, the ABI from which the
// kernel refuses it, and whether a proxy in the environment lets it through.
struct Check {
  const char* what;
  int abi;
  int (*attempt)(const std::string& scratch);
  bool proxy_allows = false;
};

#ifdef IPWHERE_SANITIZED  // sanitizer builds may run their symbolizer
constexpr int kRunRefusedFrom = 99;
#else
constexpr int kRunRefusedFrom = 1;
#endif

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
    {"run a program", kRunRefusedFrom,
     [](const std::string&) { return run_program(); }},
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

// Runs confine(allowance) in a child process, then every check, and
// returns one line per check: its text and the errno it met (0: allowed).
std::string confined_outcomes(const Allowance& allowance,
                              const std::string& scratch) {
  int report[2];
  if (pipe(report) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    std::string lines =
        confine(allowance) ? "confined\n" : "confinement refused\n";
    lines += "no new privileges " +
             std::to_string(prctl(PR_GET_NO_NEW_PRIVS, 0L, 0L, 0L, 0L)) + "\n";
    lines += "read /etc/hosts " +
             std::to_string(open_file("/etc/hosts", O_RDONLY)) + "\n";
    lines += "list /usr " +
             std::to_string(open_file("/usr", O_RDONLY | O_DIRECTORY)) + "\n";
    lines += "connect to TCP port 443 " +
             std::to_string(only(EACCES, tcp(connect, 443))) + "\n";
    for (const Check& check : kForbidden)
      lines += std::string(check.what) + " " +
               std::to_string(check.attempt(scratch)) + "\n";
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
  waitpid(child, nullptr, 0);
  return lines;
}

std::string expected_outcomes(int abi, bool connect_any_port) {
  std::string lines =
      "confined\nno new privileges 1\nread /etc/hosts 0\nlist /usr 0\n"
      "connect to TCP port 443 0\n";
  for (const Check& check : kForbidden) {
    const bool refused =
        abi >= check.abi && !(check.proxy_allows && connect_any_port);
    // Landlock refuses scoped calls with EPERM, everything else with
    // EACCES.
    const int expected = !refused ? 0 : check.abi >= 6 ? EPERM : EACCES;
    lines += std::string(check.what) + " " + std::to_string(expected) + "\n";
  }
  return lines;
}

class Confinement : public ::testing::Test {
 protected:
  void SetUp() override {
    abi_ = confinement_abi();
    if (abi_ == 0)
      GTEST_SKIP() << "no Landlock in this kernel (or a build without it): "
                      "the tool runs unconfined";
    char scratch[] = "/tmp/ipwhere-confinement-XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    scratch_ = scratch;
    std::FILE* secret = std::fopen((scratch_ + "/secret").c_str(), "w");
    ASSERT_NE(secret, nullptr);
    ASSERT_GE(std::fputs("secret", secret), 0);
    ASSERT_EQ(std::fclose(secret), 0);
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
  int abi_ = 0;
  std::string scratch_;  // a directory, also the name of the UNIX socket
  int listener_ = -1;
};

TEST_F(Confinement, RefusesEveryRightTheKernelKnows) {
  EXPECT_EQ(confined_outcomes({}, scratch_), expected_outcomes(abi_, false));
}

TEST_F(Confinement, AProxyLeavesEveryPortOpenAndBindClosed) {
  EXPECT_EQ(confined_outcomes({{}, true}, scratch_),
            expected_outcomes(abi_, true));
}

TEST_F(Confinement, NamedFilesStayReadableThroughSymbolicLinks) {
  const std::string link = scratch_ + "/link";
  ASSERT_EQ(symlink((scratch_ + "/secret").c_str(), link.c_str()), 0);
  const std::string lines = confined_outcomes({{link}, false}, scratch_);
  unlink(link.c_str());
  EXPECT_NE(lines.find("read a file outside the system locations 0\n"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find("write a file 13\n"), std::string::npos) << lines;
}
#endif

}  // namespace
}  // namespace ipwhere
