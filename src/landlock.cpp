#include "landlock.hpp"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "paths.hpp"

#if defined(IPWHERE_CONFINEMENT) && defined(__linux__)
#define IPWHERE_LANDLOCK 1
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#endif

namespace ipwhere {
namespace {

// File-system rights, with the ABI version that brought each. Older system
// headers stop at the first versions, so the kernel's values are spelled
// out here; they are the same on every architecture.
constexpr std::uint64_t kAbi1Rights = (1ULL << 13) - 1;  // EXECUTE..MAKE_SYM
constexpr std::uint64_t kRefer = 1ULL << 13;             // ABI 2
constexpr std::uint64_t kTruncate = 1ULL << 14;          // ABI 3
constexpr std::uint64_t kIoctlDev = 1ULL << 15;          // ABI 5
constexpr std::uint64_t kBindTcp = 1ULL << 0;            // ABI 4
constexpr std::uint64_t kConnectTcp = 1ULL << 1;         // ABI 4
constexpr std::uint64_t kScopeAbstractUnix = 1ULL << 0;  // ABI 6
constexpr std::uint64_t kScopeSignal = 1ULL << 1;        // ABI 6

// The parts of a ruleset that one kernel may refuse on its own, newest
// first: what create_ruleset leaves out, fewest first.
const LandlockRights kParts[] = {
    {0, 0, kScopeSignal}, {0, 0, kScopeAbstractUnix},
    {kIoctlDev, 0, 0},    {0, kBindTcp | kConnectTcp, 0},
    {kTruncate, 0, 0},    {kRefer, 0, 0}};
constexpr unsigned kPartCount = std::size(kParts);

LandlockRights without(LandlockRights rights, const LandlockRights& part) {
  rights.fs &= ~part.fs;
  rights.net &= ~part.net;
  rights.scoped &= ~part.scoped;
  return rights;
}

bool holds(const LandlockRights& rights, const LandlockRights& part) {
  return ((rights.fs & part.fs) | (rights.net & part.net) |
          (rights.scoped & part.scoped)) != 0;
}

unsigned bit_count(unsigned bits) {
  unsigned count = 0;
  for (; bits != 0; bits &= bits - 1) ++count;
  return count;
}

}  // namespace

LandlockRights landlock_rights(int abi, bool connect_handled) {
  LandlockRights rights;
  if (abi < 1) return rights;
  rights.fs = kAbi1Rights;
  if (abi >= 2) rights.fs |= kRefer;
  if (abi >= 3) rights.fs |= kTruncate;
  if (abi >= 5) rights.fs |= kIoctlDev;
  if (abi >= 4) rights.net = kBindTcp | (connect_handled ? kConnectTcp : 0);
  if (abi >= 6) rights.scoped = kScopeAbstractUnix | kScopeSignal;
  return rights;
}

int create_ruleset(LandlockRights& rights,
                   const std::function<int(const LandlockRights&)>& create) {
  const int fd = create(rights);
  if (fd >= 0 || errno != EINVAL) return fd;
  // Every choice of parts to leave out, the fewest first; among as many,
  // the newest parts first (the lowest bits of `left_out`). A choice that
  // names a part `rights` lacks was tried already with fewer.
  for (unsigned count = 1; count <= kPartCount; ++count) {
    for (unsigned left_out = 1; left_out < (1U << kPartCount); ++left_out) {
      if (bit_count(left_out) != count) continue;
      LandlockRights trial = rights;
      bool lacking = false;
      for (unsigned i = 0; i < kPartCount; ++i) {
        if ((left_out & (1U << i)) == 0) continue;
        lacking = lacking || !holds(rights, kParts[i]);
        trial = without(trial, kParts[i]);
      }
      if (lacking) continue;
      const int taken = create(trial);
      if (taken >= 0) {
        rights = trial;
        return taken;
      }
      if (errno != EINVAL) return -1;
    }
  }
  return -1;
}

#ifdef IPWHERE_LANDLOCK
namespace {

constexpr std::uint64_t kExecute = 1ULL << 0;
constexpr std::uint64_t kWriteFile = 1ULL << 1;
constexpr std::uint64_t kReadFile = 1ULL << 2;
constexpr std::uint64_t kReadDir = 1ULL << 3;

#ifdef SYS_landlock_create_ruleset
constexpr long kSysCreateRuleset = SYS_landlock_create_ruleset;
constexpr long kSysAddRule = SYS_landlock_add_rule;
constexpr long kSysRestrictSelf = SYS_landlock_restrict_self;
#else
// The same on every architecture but Alpha, which Landlock's numbers put
// 110 higher (554 to 556), as all its newer system calls.
constexpr long kSysCreateRuleset = 444;
constexpr long kSysAddRule = 445;
constexpr long kSysRestrictSelf = 446;
#endif
constexpr unsigned kCreateRulesetVersion = 1U << 0;
constexpr int kRulePathBeneath = 1;
constexpr int kRuleNetPort = 2;

// The rights that a rule for a file, not a directory, may name.
constexpr std::uint64_t kFileRights =
    kExecute | kWriteFile | kReadFile | kTruncate | kIoctlDev;

struct RulesetAttr {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;
  std::uint64_t scoped;
};
struct __attribute__((packed)) PathBeneathAttr {
  std::uint64_t allowed_access;
  std::int32_t parent_fd;
};
struct NetPortAttr {
  std::uint64_t allowed_access;
  std::uint64_t port;
};
// The kernel reads these structures by size: they must match its own.
static_assert(sizeof(RulesetAttr) == 24, "landlock_ruleset_attr");
static_assert(sizeof(PathBeneathAttr) == 12, "landlock_path_beneath_attr");
static_assert(sizeof(NetPortAttr) == 16, "landlock_net_port_attr");

// Readable for every run: where the system keeps libraries, name-service
// modules, TLS configuration and certificates, on the usual layouts. /bin,
// /sbin and /opt are not read once a run has started.
const char* const kSystemLocations[] = {"/etc",       "/usr",      "/lib",
                                        "/lib32",     "/lib64",    "/libx32",
                                        "/nix/store", "/gnu/store"};
// What the resolver reads: it must stay readable wherever the links in
// /etc lead (into /run on systems with a local resolver service).
const char* const kResolverFiles[] = {"/etc/resolv.conf", "/etc/hosts",
                                      "/etc/nsswitch.conf", "/etc/host.conf",
                                      "/etc/gai.conf"};

// A descriptor closed with its scope.
class Descriptor {
 public:
  explicit Descriptor(long fd) : fd_(static_cast<int>(fd)) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  [[nodiscard]] int get() const { return fd_; }

 private:
  int fd_;
};

// Allows `rights` on `path` and beneath it, the path followed through
// symbolic links to where it really is. A path that does not exist needs
// no rule. False when the kernel refuses the rule.
bool allow_path(int ruleset, const char* path, std::uint64_t rights) {
  const Descriptor object(open(path, O_PATH | O_CLOEXEC));
  struct stat status = {};
  if (object.get() < 0 || fstat(object.get(), &status) != 0) return true;
  if (!S_ISDIR(status.st_mode)) rights &= kFileRights;
  const PathBeneathAttr rule = {rights, object.get()};
  return syscall(kSysAddRule, ruleset, kRulePathBeneath, &rule, 0U) == 0;
}

// The directory that holds the file a resolver link leads to, so that a
// file replaced there by rename (as resolver services and DHCP clients
// write it), or one that appears only later, is read as without
// confinement. When the directory does not exist yet, the nearest one
// above it that does, but never the root or a directory just beneath it
// (/run), which hold far more than resolver files. Empty for no link.
std::string resolver_directory(const char* file) {
  const std::string target = final_target(file);
  if (target.empty()) return {};
  for (std::string directory = parent_of(target);;
       directory = parent_of(directory)) {
    std::string resolved = real_path(directory);
    if (resolved.empty()) {
      if (directory == "/" || directory == ".") return {};
      continue;
    }
    if (std::count(resolved.begin(), resolved.end(), '/') < 2) return {};
    return resolved;
  }
}

const char* c_str(const char* path) { return path; }
const char* c_str(const std::string& path) { return path.c_str(); }

template <typename Paths>
bool allow_paths(int ruleset, const Paths& paths, std::uint64_t rights) {
  return std::all_of(std::begin(paths), std::end(paths), [&](const auto& path) {
    return allow_path(ruleset, c_str(path), rights);
  });
}

bool add_port_rules(int ruleset, const LandlockRights& handled,
                    const LandlockAllowance& allowance) {
  if ((handled.net & kConnectTcp) == 0) return true;
  for (const std::uint16_t port : allowance.connect_ports) {
    const NetPortAttr rule = {kConnectTcp, port};
    if (syscall(kSysAddRule, ruleset, kRuleNetPort, &rule, 0U) != 0)
      return false;
  }
  return true;
}

bool add_rules(int ruleset, const LandlockRights& handled,
               const LandlockAllowance& allowance) {
  // Sanitizer runtimes read /proc (the leak check lists threads and
  // mappings, and mappings are read again when a library is loaded) and
  // run a symbolizer program for their reports.
  const std::uint64_t system_rights =
      (kReadFile | kReadDir | (allowance.sanitizer ? kExecute : 0)) &
      handled.fs;
  std::vector<std::string> directories;
  if (handled.fs == 0) return add_port_rules(ruleset, handled, allowance);
  for (const char* file : kResolverFiles) {
    std::string directory = resolver_directory(file);
    if (!directory.empty()) directories.push_back(std::move(directory));
  }
  if (!allow_paths(ruleset, kSystemLocations, system_rights) ||
      !allow_paths(ruleset, kResolverFiles, kReadFile) ||
      !allow_paths(ruleset, directories, kReadFile | kReadDir) ||
      !allow_paths(ruleset, allowance.readable, kReadFile | kReadDir))
    return false;
  if ((allowance.sanitizer || allowance.leak_checker) &&
      !allow_path(ruleset, "/proc", kReadFile | kReadDir))
    return false;
  return add_port_rules(ruleset, handled, allowance);
}

}  // namespace

std::vector<std::string> resolver_files() {
  return {std::begin(kResolverFiles), std::end(kResolverFiles)};
}

std::vector<std::string> landlock_system_locations() {
  return {std::begin(kSystemLocations), std::end(kSystemLocations)};
}

int landlock_abi() noexcept {
  // ENOSYS: no Landlock; EOPNOTSUPP: disabled at boot; EPERM: a system-call
  // filter (a container's, say) refuses it. All mean: none.
  const long abi =
      syscall(kSysCreateRuleset, nullptr, 0U, kCreateRulesetVersion);
  if (abi <= 0) return 0;
  return abi < kNewestLandlockAbi ? static_cast<int>(abi) : kNewestLandlockAbi;
}

LandlockRights apply_landlock(const LandlockAllowance& allowance) noexcept {
  try {
    LandlockRights rights =
        landlock_rights(landlock_abi(), !allowance.connect_any_port);
    if (allowance.coverage) rights.fs = 0;
    if (rights == LandlockRights{}) return {};
    const Descriptor ruleset(
        create_ruleset(rights, [](const LandlockRights& trial) {
          const RulesetAttr attr = {trial.fs, trial.net, trial.scoped};
          return static_cast<int>(
              syscall(kSysCreateRuleset, &attr, sizeof attr, 0U));
        }));
    if (ruleset.get() < 0) return {};
    // A rule the kernel refuses would leave a needed file unreadable: stay
    // unconfined rather than fail the lookups.
    if (!add_rules(ruleset.get(), rights, allowance) ||
        syscall(kSysRestrictSelf, ruleset.get(), 0U) != 0)
      return {};
    return rights;
  } catch (...) {
    // Out of memory while listing the paths: unconfined, as without
    // Landlock.
    return {};
  }
}

#else  // no Landlock

std::vector<std::string> resolver_files() { return {}; }

std::vector<std::string> landlock_system_locations() { return {}; }

int landlock_abi() noexcept { return 0; }

LandlockRights apply_landlock(const LandlockAllowance& /*allowance*/) noexcept {
  return {};
}

#endif

}  // namespace ipwhere
