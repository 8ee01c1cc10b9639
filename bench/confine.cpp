// The cost of confine() itself, apart from TLS and the server: each round
// forks one child per CA directory given, which confines itself as a run
// would (bundle readable, the directory to read) and exits. Prints, per
// directory, the median wall time (fork to reaped) and CPU time (the
// child's user + system) in milliseconds, and the mean paired difference
// of each against the first directory, with its 95% interval.
//
//   c++ -O2 -std=c++17 -Isrc bench/confine.cpp \
//       build/release/libipwhere_core.a -lpthread \
//       -o build/confine-bench
//   build/confine-bench ROUNDS BUNDLE DIRECTORY...
//
// An empty folder as the first directory gives the cost of reading the
// others. Run as root to include the switch to nobody.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "confinement.hpp"

namespace {

struct Sample {
  double wall_ms;
  double cpu_ms;
};

double ms(const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; }

Sample confine_in_child(const ipwhere::Allowance& allowance) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    static_cast<void>(ipwhere::confine(allowance, ipwhere::detect_occupants()));
    _exit(0);
  }
  int status = 0;
  rusage usage = {};
  wait4(child, &status, 0, &usage);
  const double wall = std::chrono::duration<double, std::milli>(
                          std::chrono::steady_clock::now() - start)
                          .count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::exit(1);
  return {wall, ms(usage.ru_utime) + ms(usage.ru_stime)};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void print_difference(const char* what, const std::vector<double>& d) {
  double mean = 0;
  for (const double v : d) mean += v;
  mean /= static_cast<double>(d.size());
  double variance = 0;
  for (const double v : d) variance += (v - mean) * (v - mean);
  variance /= static_cast<double>(d.size() - 1);
  std::printf("  %s %+.3f ± %.3f ms", what, mean,
              1.96 * std::sqrt(variance / static_cast<double>(d.size())));
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s ROUNDS BUNDLE DIRECTORY...\n", argv[0]);
    return 2;
  }
  const int rounds = std::atoi(argv[1]);
  const int directories = argc - 3;
  std::vector<std::vector<Sample>> samples(directories);
  for (int round = -5; round < rounds; ++round) {  // five to warm up
    for (int d = 0; d < directories; ++d) {
      ipwhere::Allowance allowance;
      allowance.readable.push_back(argv[2]);
      allowance.ca_directory = argv[3 + d];
      const Sample sample = confine_in_child(allowance);
      if (round >= 0) samples[d].push_back(sample);
    }
  }
  for (int d = 0; d < directories; ++d) {
    std::vector<double> wall, cpu, wall_diff, cpu_diff;
    for (int i = 0; i < rounds; ++i) {
      wall.push_back(samples[d][i].wall_ms);
      cpu.push_back(samples[d][i].cpu_ms);
      wall_diff.push_back(samples[d][i].wall_ms - samples[0][i].wall_ms);
      cpu_diff.push_back(samples[d][i].cpu_ms - samples[0][i].cpu_ms);
    }
    std::printf("%-24s wall %.3f ms, CPU %.3f ms (medians)", argv[3 + d],
                median(wall), median(cpu));
    if (d > 0) {
      print_difference("wall", wall_diff);
      print_difference("CPU", cpu_diff);
    }
    std::printf("\n");
  }
  return 0;
}
