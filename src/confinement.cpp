#include "confinement.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "library_path.hpp"
#include "paths.hpp"
#include "syscall_filter.hpp"

#ifdef __linux__
#include <sys/syscall.h>
#endif
#if defined(IPWHERE_CONFINEMENT) && defined(__linux__)
#define IPWHERE_LINUX_CONFINEMENT 1
#include <dirent.h>
#include <grp.h>
#include <linux/capability.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>
#include <utility>
#endif

// GCC has no __has_feature; Clang names its sanitizers only there.
#ifndef __has_feature
#define __has_feature(x) 0
#endif

namespace ipwhere {

void open_standard_descriptors() noexcept {
  // Standard input goes on /dev/null whatever it was: nothing is read from
  // it, and the caller's pipe or terminal there could otherwise be opened
  // again through /proc/self/fd/0, as a descriptor no rule covers.
  const int null_input = open("/dev/null", O_RDONLY);
  if (null_input > 0) {
    static_cast<void>(dup2(null_input, STDIN_FILENO));
    // Unless it took the place of a closed standard descriptor.
    if (null_input > 2) close(null_input);
  }
  for (int fd = 1; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one, as the lower ones are open.
    const int opened = open("/dev/null", O_RDONLY);
    if (opened > 2) close(opened);
  }
}

void close_inherited_descriptors() noexcept {
#if defined(__linux__) && defined(SYS_close_range)
  if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#elif defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__) || \
    defined(__DragonFly__)
  closefrom(3);
  return;
#endif
  // Kernels before Linux 5.9, and macOS: one by one, up to the limit on
  // descriptors (a descriptor is always below it).
  rlimit limit = {};
  int last = 1024;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    last = limit.rlim_cur < 65536 ? static_cast<int>(limit.rlim_cur) : 65536;
  for (int fd = 3; fd < last; ++fd) close(fd);
}

namespace {

// The environment, read before any thread of ours starts.
const char* environment(const char* name) {
  return std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
}

// The libraries named in LD_PRELOAD and in /etc/ld.so.preload, as the
// loader reads them: separated by spaces, tabs or colons (and lines in the
// file), where '#' in the file starts a comment.
std::vector<std::string> preloaded_libraries() {
  std::vector<std::string> names;
  const auto add_words = [&names](const std::string& list) {
    const char* const separators = " \t\n:";
    for (std::size_t start = list.find_first_not_of(separators);
         start != std::string::npos;
         start = list.find_first_not_of(separators, start)) {
      const std::size_t end =
          std::min(list.find_first_of(separators, start), list.size());
      names.push_back(list.substr(start, end - start));
      start = end;
    }
  };
  const char* preload = environment("LD_PRELOAD");
  if (preload != nullptr) add_words(preload);
  std::string file = read_small_file("/etc/ld.so.preload");
  for (std::size_t hash = file.find('#'); hash != std::string::npos;
       hash = file.find('#', hash)) {
    file.erase(hash, std::min(file.find('\n', hash), file.size()) - hash);
  }
  add_words(file);
  return names;
}

}  // namespace

// The sanitizer runtimes' entry points: defined when the runtime is in the
// process, null otherwise. A sanitizer given to the linker alone, GCC's
// leak-only or UBSan builds among them, shows in no compiler macro.
extern "C" {
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
__attribute__((weak)) void __asan_init();
__attribute__((weak)) void __lsan_do_leak_check();
__attribute__((weak)) void __tsan_init();
__attribute__((weak)) void __msan_init();
__attribute__((weak)) void __ubsan_handle_add_overflow();
__attribute__((weak)) void __gcov_merge_add();
__attribute__((weak)) int __llvm_profile_write_file();
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
}

// What the compiler says it instruments: GCC defines __SANITIZE_*__ for
// AddressSanitizer and ThreadSanitizer only, Clang answers __has_feature.
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer) || \
    __has_feature(leak_sanitizer)
constexpr bool kLeakCheckerCompiledIn = true;
#else
constexpr bool kLeakCheckerCompiledIn = false;
#endif
#if defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer) ||                                 \
    __has_feature(undefined_behavior_sanitizer)
constexpr bool kSanitizerCompiledIn = true;
#else
constexpr bool kSanitizerCompiledIn = false;
#endif

namespace {

// The open descriptors above 2 that lead to a terminal: those listed in
// /proc, or without it those below 1024.
std::vector<int> terminals_above_standard() {
  std::vector<int> terminals;
  const DirectoryListing listing(opendir("/proc/self/fd"));
  if (!listing) {
    for (int fd = 3; fd < 1024; ++fd) {
      if (isatty(fd) != 0) terminals.push_back(fd);
    }
    return terminals;
  }
  // NOLINTNEXTLINE(concurrency-mt-unsafe): a stream of its own
  while (const dirent* entry = readdir(listing.get())) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd <= 2 || fd > INT_MAX ||
        fd == dirfd(listing.get()))
      continue;
    if (isatty(static_cast<int>(fd)) != 0)
      terminals.push_back(static_cast<int>(fd));
  }
  return terminals;
}

}  // namespace

Occupants detect_occupants() noexcept {
  Occupants occupants;
  try {
    occupants.root = getuid() == 0 || geteuid() == 0;
    occupants.preloads = preloaded_libraries();
    occupants.preloaded = !occupants.preloads.empty();
    if (occupants.preloaded) occupants.terminals = terminals_above_standard();
  } catch (...) {
    occupants.preloaded = true;  // out of memory: keep what may be theirs
  }
  // Valgrind preloads its core library into every program it runs. (Code
  // that names a library so could do as it likes before confine() anyway.)
  occupants.valgrind = std::any_of(
      occupants.preloads.begin(), occupants.preloads.end(),
      [](const std::string& library) {
        return library.find("/vgpreload_core-") != std::string::npos;
      });
  // Every function gcov instruments adds to its counters through
  // __gcov_merge_add; LLVM's runtime writes them with the other.
  occupants.coverage =
      __gcov_merge_add != nullptr || __llvm_profile_write_file != nullptr;
  // AddressSanitizer brings LeakSanitizer, which stops the threads with
  // ptrace from a helper process and reads /proc to check for leaks at
  // exit. gperftools' heap checker (HEAPCHECK, in a preloaded tcmalloc)
  // does the same.
  const bool leak_sanitizer = kLeakCheckerCompiledIn ||
                              __asan_init != nullptr ||
                              __lsan_do_leak_check != nullptr;
  const char* heap_check = environment("HEAPCHECK");
  occupants.leak_checker =
      leak_sanitizer ||
      (occupants.preloaded && heap_check != nullptr && *heap_check != '\0');
  // Every sanitizer runtime reads /proc/self/maps and runs a symbolizer
  // program for the stack traces of its reports.
  occupants.sanitizer = leak_sanitizer || kSanitizerCompiledIn ||
                        __tsan_init != nullptr || __msan_init != nullptr ||
                        __ubsan_handle_add_overflow != nullptr;
  return occupants;
}

std::string ca_bundle_to_hold(const std::string& bundle,
                              const Occupants& occupants) {
  if (bundle.empty() || !occupants.root || occupants.valgrind ||
      occupants.coverage || readable_by_everyone(bundle))
    return {};
  // Far larger than any bundle a system ships (Debian's: 220 KiB).
  return read_small_file(bundle, std::size_t{1} << 26);
}

#ifdef IPWHERE_LINUX_CONFINEMENT
namespace {

// Values that Debian 12's headers lack (Linux 6.3).
constexpr int kPrSetMdwe = 65;
constexpr unsigned long kMdweRefuseExecGain = 1;

// HTTPS, and DNS over TCP, which the resolver falls back to for answers
// too large for UDP. Landlock does not cover UDP.
constexpr std::uint16_t kPorts[] = {443, 53};

// The user a run as root becomes when the system has no "nobody".
constexpr uid_t kNobody = 65534;

// Everything the steps need, worked out before any of them runs (and
// before a trial child is made).
// What the steps take, worked out from the allowance and the occupants
// before any of them runs (and before a trial child is made).
struct Plan {
  Occupants occupants;
  bool nobody_reads_enough = false;  // what a lookup reads, as nobody
  uid_t uid = kNobody;
  gid_t gid = kNobody;
  int last_capability = 63;
  LandlockAllowance landlock;
  FilterAllowance filter;
};

// The name a preloaded library's own variables begin with: its file name
// without "lib" and from the first dot on, in capitals (FAKETIME for
// libfaketime.so.1).
std::string variable_prefix(const std::string& library) {
  std::string name = library.substr(library.find_last_of('/') + 1);
  if (name.rfind("lib", 0) == 0) name.erase(0, 3);
  name.erase(std::min(name.find('.'), name.size()));
  std::transform(name.begin(), name.end(), name.begin(), [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  });
  return name;
}

// The regular files that the own variables of `libraries` name, which
// such a library may read again at any time: the variables whose name, up
// to its first '_', begins one's prefix (FAKETIME_TIMESTAMP_FILE for
// libfaketime.so.1 and libfaketimeMT.so.1). Shorter words than four
// letters (LD_) name no library.
std::vector<std::string> files_of_preloaded(
    const std::vector<std::string>& libraries) {
  std::vector<std::string> files;
  if (libraries.empty()) return files;
  std::vector<std::string> prefixes(libraries.size());
  std::transform(libraries.begin(), libraries.end(), prefixes.begin(),
                 variable_prefix);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view variable = *entry;
    const std::size_t equals = variable.find('=');
    const std::size_t underscore = variable.find('_');
    if (underscore < 4 || underscore >= equals) continue;
    const std::string_view word = variable.substr(0, underscore);
    if (std::none_of(
            prefixes.begin(), prefixes.end(), [&](const std::string& prefix) {
              return std::string_view(prefix).substr(0, word.size()) == word;
            }))
      continue;
    std::string value(variable.substr(equals + 1));
    struct stat status = {};
    if (stat(value.c_str(), &status) == 0 && S_ISREG(status.st_mode))
      files.push_back(std::move(value));
  }
  return files;
}

Plan make_plan(const Allowance& allowance, const Occupants& occupants) {
  Plan plan;
  plan.occupants = occupants;
  if (occupants.root) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread of ours yet
    if (const passwd* nobody = getpwnam("nobody")) {
      plan.uid = nobody->pw_uid;
      plan.gid = nobody->pw_gid;
    }
  }
  const std::string last = read_small_file("/proc/sys/kernel/cap_last_cap");
  const long value = std::strtol(last.c_str(), nullptr, 10);
  if (value > 0 && value < 64) plan.last_capability = static_cast<int>(value);

  plan.landlock.readable = allowance.readable;
  // Hashed CA files may lead anywhere (a CA installed by hand): their
  // folders stay readable, unless Landlock's rules cover them already.
  // Every link read is a call, so not for a coverage run, which neither
  // restricts files nor changes its user.
  const CaDirectory ca =
      occupants.coverage
          ? CaDirectory{}
          : scan_ca_directory(allowance.ca_directory,
                              landlock_system_locations(), occupants.root);
  if (!allowance.ca_directory.empty())
    plan.landlock.readable.push_back(allowance.ca_directory);
  plan.landlock.readable.insert(plan.landlock.readable.end(),
                                ca.link_directories.begin(),
                                ca.link_directories.end());
  // A library opened once the run goes on (a name-service module, at the
  // first lookup) may come from wherever the loader's search path leads.
  const std::vector<std::string> libraries =
      library_directories(landlock_system_locations());
  plan.landlock.readable.insert(plan.landlock.readable.end(), libraries.begin(),
                                libraries.end());
  // Preloaded code (a clock faker) may read again the files its own
  // variables name.
  const std::vector<std::string> files = files_of_preloaded(occupants.preloads);
  plan.landlock.readable.insert(plan.landlock.readable.end(), files.begin(),
                                files.end());
  if (occupants.root) {
    std::vector<std::string> needed = resolver_files();
    needed.insert(needed.end(), plan.landlock.readable.begin(),
                  plan.landlock.readable.end());
    // Systems keep these readable for everyone. Where one is not (a CA
    // file of mode 0600, say), nobody could not read it: the run then
    // stays root, with no capabilities, rather than fail its lookups.
    plan.nobody_reads_enough =
        ca.readable_by_everyone &&
        std::all_of(needed.begin(), needed.end(), readable_by_everyone);
  }
  plan.landlock.connect_ports.assign(std::begin(kPorts), std::end(kPorts));
  plan.landlock.connect_ports.insert(plan.landlock.connect_ports.end(),
                                     allowance.proxy_ports.begin(),
                                     allowance.proxy_ports.end());
  // Preloaded code (torsocks, proxychains) sends connections to a proxy
  // of its own configuration.
  plan.landlock.connect_any_port =
      allowance.connect_any_port || occupants.preloaded;
  plan.landlock.sanitizer = occupants.sanitizer;
  plan.landlock.leak_checker = occupants.leak_checker;
  plan.landlock.coverage = occupants.coverage;
  plan.filter.terminals = occupants.terminals;
  plan.filter.sanitizer = occupants.sanitizer || occupants.leak_checker;
  plan.filter.leak_checker = occupants.leak_checker;
  plan.filter.coverage = occupants.coverage;
  plan.filter.unix_sockets = allowance.unix_sockets;
#ifdef IPWHERE_FILTER_KILLS
  plan.filter.kill_unlisted = true;
#endif
  return plan;
}

// The variables a lookup still reads once it runs: the proxy settings
// (libcurl, at each request), the resolver's (at each reload), OpenSSL's
// configuration and certificate locations, the key log, and what the
// sanitizer and coverage runtimes read as the run ends. Besides these,
// every name that starts with OPENSSL_ or ends in SAN_OPTIONS.
const char* const kLookupVariables[] = {
    "http_proxy",    "HTTP_PROXY",        "https_proxy",
    "HTTPS_PROXY",   "all_proxy",         "ALL_PROXY",
    "no_proxy",      "NO_PROXY",          "LOCALDOMAIN",
    "RES_OPTIONS",   "HOSTALIASES",       "SSLKEYLOGFILE",
    "SSL_CERT_FILE", "SSL_CERT_DIR",      "CURL_SSL_BACKEND",
    "GCOV_PREFIX",   "GCOV_PREFIX_STRIP", "LLVM_PROFILE_FILE"};

bool read_during_lookup(std::string_view entry) {
  const std::string_view name = entry.substr(0, entry.find('='));
  const std::string_view suffix = "SAN_OPTIONS";
  return name.rfind("OPENSSL_", 0) == 0 ||
         (name.size() >= suffix.size() &&
          name.substr(name.size() - suffix.size()) == suffix) ||
         std::any_of(std::begin(kLookupVariables), std::end(kLookupVariables),
                     [&](const char* kept) { return name == kept; });
}

// Where the kernel put the environment's strings, from /proc/self/stat
// (its fields 50 and 51); empty when unknown.
std::pair<std::uintptr_t, std::uintptr_t> environment_block() {
  const std::string stat = read_small_file("/proc/self/stat");
  // The command name, the second field, may hold spaces and parentheses.
  std::size_t at = stat.rfind(") ");
  if (at == std::string::npos) return {};
  at += 2;
  std::uintptr_t fields[2] = {};
  for (int field = 3; field <= 51 && at < stat.size(); ++field) {
    const std::size_t end = std::min(stat.find(' ', at), stat.size());
    if (field >= 50)
      fields[field - 50] = std::strtoull(stat.c_str() + at, nullptr, 10);
    at = end + 1;
  }
  if (fields[0] == 0 || fields[1] <= fields[0]) return {};
  return {fields[0], fields[1]};
}

// Zeroes the environment's strings where the kernel put them, but for
// the variables a lookup still reads, and leaves those alone in environ: a
// token or password there (GITHUB_TOKEN, AWS_SECRET_ACCESS_KEY) would
// otherwise sit in the run's memory for code hijacked inside it to send
// away. Strings unset or replaced earlier are zeroed too. Returns whether
// the strings could be found.
bool wipe_environment() {
  const auto [start, end] = environment_block();
  if (start == 0) return false;
  std::vector<std::pair<std::uintptr_t, std::uintptr_t>> kept;
  char** out = environ;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!read_during_lookup(*entry)) continue;
    *out++ = *entry;
    const auto address = reinterpret_cast<std::uintptr_t>(*entry);
    kept.emplace_back(address, address + std::strlen(*entry) + 1);
  }
  *out = nullptr;
  std::sort(kept.begin(), kept.end());
  std::uintptr_t next = start;
  kept.emplace_back(end, end);
  for (const auto& [from, to] : kept) {
    if (from > next && next < end) {
      // NOLINTNEXTLINE(performance-no-int-to-ptr): the kernel's address
      std::memset(reinterpret_cast<char*>(next), 0, std::min(from, end) - next);
    }
    next = std::max(next, to);
  }
  return true;
}

// Empties the bounding set where CAP_SETPCAP allows it (so that no program
// run later regains a capability) and the ambient set (a service's
// AmbientCapabilities=).
void drop_inherited_capabilities(const Plan& plan) {
  for (int capability = 0; capability <= plan.last_capability; ++capability)
    prctl(PR_CAPBSET_DROP, static_cast<unsigned long>(capability), 0L, 0L, 0L);
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0L, 0L, 0L);
}

// The tasks a run has at once: the main thread, two lookup threads and a
// resolver thread for each.
constexpr int kTasks = 5;

// Whether nobody may start the threads a run needs. Root is exempt from
// the limit on processes, nobody is not: its count is shared with every
// other process of nobody, and the run's threads count too. Where the
// limit could not be lifted (no CAP_SYS_RESOURCE), a thread is tried with
// nobody as the real user, which the kernel counts, and no effective
// capability, which would exempt it; the saved user stays root, to come
// back. The kernel lets a thread start while the count, with it, stays
// within the limit: one thread under a limit lowered by the run's other
// threads shows there is room for all of them. Call as root.
bool nobody_has_room(const Plan& plan) {
  rlimit limit = {};
  if (getrlimit(RLIMIT_NPROC, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return true;
  // The run's threads besides this one and the one tried.
  constexpr rlim_t kOthers = kTasks - 2;
  const rlimit lowered = {limit.rlim_cur - kOthers, limit.rlim_max};
  if (limit.rlim_cur <= kOthers || setrlimit(RLIMIT_NPROC, &lowered) != 0)
    return false;
  if (setresuid(plan.uid, plan.uid, 0) != 0) {
    static_cast<void>(setrlimit(RLIMIT_NPROC, &limit));
    return true;  // the switch fails later, or goes part of the way
  }
  pthread_t thread;
  const auto ends = [](void*) -> void* { return nullptr; };
  const bool started = pthread_create(&thread, nullptr, ends, nullptr) == 0;
  if (started) pthread_join(thread, nullptr);
  // Root again, effective capabilities back from the permitted set, and
  // the limit as it was.
  const bool root = setresuid(0, 0, 0) == 0;
  static_cast<void>(setrlimit(RLIMIT_NPROC, &limit));
  return root && started;
}

// A run as root becomes nobody, as tcpdump -Z, ntpd and dnsmasq do: the
// supplementary groups go first, then the group and the user. Root-only
// files (/etc/shadow, host and TLS keys) are then unreadable through
// ordinary permissions, while all a lookup reads is world-readable. Notes
// in `report` how far the switch went.
void become_unprivileged(const Plan& plan, ConfinementReport& report) {
  if (!plan.occupants.root || !plan.nobody_reads_enough ||
      plan.occupants.coverage)
    return;
  // The limit on processes, which root is exempt from, is lifted while
  // root may (the filter lets the run make threads only); where it may
  // not, the run stays root rather than fail to start its threads.
  const rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
  static_cast<void>(setrlimit(RLIMIT_NPROC, &unlimited));
  if (!nobody_has_room(plan)) return;
  // While CAP_SETPCAP is held.
  drop_inherited_capabilities(plan);
  // Each best effort: a container or user namespace may refuse one (an
  // unmapped nobody) and allow the next.
  const bool groups = setgroups(0, nullptr) == 0;
  const bool group = setgid(plan.gid) == 0;
  const bool user = setuid(plan.uid) == 0;
  errno = 0;
  report.unprivileged = groups && group && user && getuid() == plan.uid &&
                        geteuid() == plan.uid && plan.uid != 0;
  report.partial_switch = !report.unprivileged && (groups || group || user);
  // Changing the user makes the process undumpable, which would stop
  // LeakSanitizer's helper (another process of the same user) from
  // attaching to the threads at exit.
  if (plan.occupants.leak_checker) prctl(PR_SET_DUMPABLE, 1L, 0L, 0L, 0L);
}

// Empties every capability set: bounding and ambient, then effective,
// permitted and inheritable.
bool drop_capabilities(const Plan& plan) {
  if (plan.occupants.coverage) return false;
  drop_inherited_capabilities(plan);
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  static_cast<void>(syscall(SYS_capset, &header, data));
  __user_cap_data_struct left[_LINUX_CAPABILITY_U32S_3] = {};
  header = {_LINUX_CAPABILITY_VERSION_3, 0};
  if (syscall(SYS_capget, &header, left) != 0) return false;
  return std::all_of(
      std::begin(left), std::end(left), [](const __user_cap_data_struct& set) {
        return set.effective == 0 && set.permitted == 0 && set.inheritable == 0;
      });
}

// In the order taken: Landlock first, so that a thread started on the way
// (a sanitizer's, on the first thread the process makes) is covered too,
// and the filter last, as it refuses what the others use.
enum Step {
  kLandlock,
  kUnprivileged,
  kNoCapabilities,
  kNoExecGain,
  kSyscallFilter,
  kSteps
};

// Takes one step, noting in `report` what it put in place.
void take(Step step, const Plan& plan, ConfinementReport& report) {
  switch (step) {
    case kUnprivileged:
      become_unprivileged(plan, report);
      break;
    case kNoCapabilities:
      report.no_capabilities = drop_capabilities(plan);
      break;
    case kLandlock:
      report.landlock_abi = landlock_abi();
      if (report.landlock_abi == 0 ||
          prctl(PR_SET_NO_NEW_PRIVS, 1L, 0L, 0L, 0L) != 0)
        break;
      report.landlock = apply_landlock(plan.landlock);
      break;
    case kNoExecGain:
      report.no_exec_gain =
          prctl(kPrSetMdwe, kMdweRefuseExecGain, 0L, 0L, 0L) == 0;
      break;
    case kSyscallFilter:
      report.syscall_filter = prctl(PR_SET_NO_NEW_PRIVS, 1L, 0L, 0L, 0L) == 0 &&
                              install_syscall_filter(plan.filter);
      break;
    case kSteps:
      break;
  }
}

// Whether a system-call filter is in place already (a service manager's
// or a container's), which may kill the process for a call made here.
bool filtered_already() {
  const std::string status = read_small_file("/proc/self/status");
  if (status.empty()) return prctl(PR_GET_SECCOMP, 0L, 0L, 0L, 0L) == 2;
  return status.find("\nSeccomp:\t2") != std::string::npos;
}

// Tries the steps not in `skipped` in a child process. Returns the bit of
// the step the child was killed in, 0 when it survived them all, or every
// bit when no child could be made.
unsigned trial(const Plan& plan, unsigned skipped) {
  constexpr unsigned kEvery = (1U << kSteps) - 1;
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) return kEvery;
  const pid_t child = fork();
  if (child < 0) {
    close(channel[0]);
    close(channel[1]);
    return kEvery;
  }
  if (child == 0) {
    close(channel[0]);
    ConfinementReport ignored;
    for (int step = 0; step < kSteps; ++step) {
      if ((skipped & (1U << step)) != 0) continue;
      const char started = static_cast<char>(step);
      if (write(channel[1], &started, 1) != 1) _exit(1);
      take(static_cast<Step>(step), plan, ignored);
    }
    _exit(0);
  }
  close(channel[1]);
  char started = -1;
  for (char byte = 0; read(channel[0], &byte, 1) == 1;) started = byte;
  close(channel[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
  if (started < 0 || started >= kSteps) return kEvery;
  return 1U << static_cast<unsigned>(started);
}

}  // namespace

ConfinementReport confine(const Allowance& allowance,
                          const Occupants& occupants) noexcept {
  ConfinementReport report;
  // Valgrind follows neither Landlock nor the filter (it warns of calls it
  // does not know), dies under MDWE, and cannot remove its files once the
  // user changed: the run stays what valgrind can observe.
  if (occupants.valgrind) return report;
  try {
    const Plan plan = make_plan(allowance, occupants);
    // A preloaded library may read variables of its own at any time.
    if (!occupants.preloaded) report.environment_wiped = wipe_environment();
    unsigned skipped = 0;
    if (filtered_already()) {
      // Each trial that dies names one more step to leave out.
      for (int round = 0; round < kSteps; ++round) {
        const unsigned killed = trial(plan, skipped);
        ++report.trials;
        skipped |= killed;
        if (killed == 0) break;
      }
    }
    for (int step = 0; step < kSteps; ++step) {
      if ((skipped & (1U << step)) == 0)
        take(static_cast<Step>(step), plan, report);
    }
  } catch (...) {
    // Out of memory while planning: the run goes on as it is.
  }
  return report;
}

#else  // no confinement

ConfinementReport confine(const Allowance& /*allowance*/,
                          const Occupants& /*occupants*/) noexcept {
  return {};
}

#endif

}  // namespace ipwhere
