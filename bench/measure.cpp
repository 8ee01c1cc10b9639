// Runs commands one after the other, each as a child of this small process,
// with standard output sent to /dev/null, and prints one line: wall time in
// microseconds from the first start to the last exit, user + system CPU
// time of the children in microseconds, and their largest peak RSS in KiB.
//
// Usage: measure COMMAND [ARG...] [';' COMMAND [ARG...]]...
//
// A command that starts with --filtered runs under a system-call filter
// that refuses only acct(2), as a service manager's filter would be in
// place: the tool then tries its confinement in a child process first.
//
// A process forked from a large one (Python, say) carries that process's
// resident size into its own peak, so the children must come from here.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

long long microseconds(const timeval& t) {
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec;
}

long long now_microseconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// A filter that lets every call through but acct(2), refused with EPERM.
bool install_outer_filter() {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_acct, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
  sock_fprog program = {sizeof code / sizeof code[0], code};
  return prctl(PR_SET_NO_NEW_PRIVS, 1L, 0L, 0L, 0L) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<std::vector<char*>> commands(1);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], ";") == 0)
      commands.emplace_back();
    else
      commands.back().push_back(argv[i]);
  }
  long long cpu = 0;
  long peak = 0;
  const long long start = now_microseconds();
  for (std::vector<char*>& command : commands) {
    if (command.empty()) return 2;
    command.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return 2;
    if (pid == 0) {
      const int null = open("/dev/null", O_WRONLY);
      if (null < 0 || dup2(null, STDOUT_FILENO) < 0) _exit(127);
      char** argv_of = command.data();
      if (std::strcmp(argv_of[0], "--filtered") == 0) {
        if (!install_outer_filter()) _exit(127);
        ++argv_of;
      }
      execvp(argv_of[0], argv_of);
      _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return 2;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "measure: %s failed (status %d)\n", command[0],
                   status);
      return 1;
    }
    cpu += microseconds(usage.ru_utime) + microseconds(usage.ru_stime);
    if (usage.ru_maxrss > peak) peak = usage.ru_maxrss;
  }
  std::printf("%lld %lld %ld\n", now_microseconds() - start, cpu, peak);
  return 0;
}
