// The cost of reading the CA directory's links, as a run does before it
// confines itself: wall and CPU time per scan, warm (the scan repeated in
// one process). For a cold run, time one scan per process instead, with
// `perf stat -r 300 build/ca_scan 0 1` against `build/ca_scan 0 0`.
//
//   c++ -O2 -std=c++17 -Isrc bench/ca_scan.cpp src/ca_directory.cpp \
//       -o build/ca_scan && build/ca_scan [check [runs [directory]]]
//
// `check` 1 also checks that every user may read each file, as a run
// started as root does.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "ca_directory.hpp"

int main(int argc, char* argv[]) {
  const bool check = argc > 1 && std::atoi(argv[1]) != 0;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 1000;
  const std::string directory = argc > 3 ? argv[3] : "/etc/ssl/certs";
  const std::vector<std::string> covered = {"/etc", "/usr", "/lib", "/lib64"};
  std::size_t links = 0;
  const std::clock_t cpu = std::clock();
  const auto wall = std::chrono::steady_clock::now();
  for (int i = 0; i < runs; ++i)
    links += ipwhere::scan_ca_directory(directory, covered, check)
                 .link_directories.size();
  const double wall_ms = std::chrono::duration<double, std::milli>(
                             std::chrono::steady_clock::now() - wall)
                             .count();
  const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu) /
                        CLOCKS_PER_SEC;
  if (runs > 0)
    std::printf("%s, check %d: %.3f ms wall, %.3f ms CPU per scan (%zu)\n",
                directory.c_str(), check, wall_ms / runs, cpu_ms / runs,
                links / static_cast<std::size_t>(runs));
  return 0;
}
