// Runs commands one after the other, each as a child of this small process,
// with standard output sent to /dev/null, and prints one line: wall time in
// microseconds from the first start to the last exit, user + system CPU
// time of the children in microseconds, and their largest peak RSS in KiB.
//
// Usage: measure COMMAND [ARG...] [';' COMMAND [ARG...]]...
//
// A process forked from a large one (Python, say) carries that process's
// resident size into its own peak, so the children must come from here.
#include <fcntl.h>
#include <sys/resource.h>
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
      execvp(command[0], command.data());
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
