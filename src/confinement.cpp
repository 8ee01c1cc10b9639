#include "confinement.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#if defined(IPWHERE_CONFINEMENT) && defined(__linux__)
#define IPWHERE_LANDLOCK 1
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#endif

namespace ipwhere {

void open_standard_descriptors() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one, as the lower ones are open.
    const int opened = open("/dev/null", O_RDONLY);
    if (opened > 2) close(opened);
  }
}

#ifdef IPWHERE_LANDLOCK
namespace {

// The kernel's Landlock interface. Older system headers stop at its first
// versions, so the values are spelled out here; they are the same on every
// architecture.
#ifdef SYS_landlock_create_ruleset
constexpr long kSysCreateRuleset = SYS_landlock_create_ruleset;
constexpr long kSysAddRule = SYS_landlock_add_rule;
constexpr long kSysRestrictSelf = SYS_landlock_restrict_self;
#else
constexpr long kSysCreateRuleset = 444;
constexpr long kSysAddRule = 445;
constexpr long kSysRestrictSelf = 446;
#endif
constexpr unsigned kCreateRulesetVersion = 1U << 0;
constexpr int kRulePathBeneath = 1;
constexpr int kRuleNetPort = 2;

// File-system rights, with the ABI version that brought each.
constexpr std::uint64_t kExecute = 1ULL << 0;
constexpr std::uint64_t kWriteFile = 1ULL << 1;
constexpr std::uint64_t kReadFile = 1ULL << 2;
constexpr std::uint64_t kReadDir = 1ULL << 3;
constexpr std::uint64_t kAbi1Rights = (1ULL << 13) - 1;  // EXECUTE..MAKE_SYM
constexpr std::uint64_t kRefer = 1ULL << 13;             // ABI 2
constexpr std::uint64_t kTruncate = 1ULL << 14;          // ABI 3
constexpr std::uint64_t kIoctlDev = 1ULL << 15;          // ABI 5
// The rights that a rule for a file, not a directory, may name.
constexpr std::uint64_t kFileRights =
    kExecute | kWriteFile | kReadFile | kTruncate | kIoctlDev;

constexpr std::uint64_t kBindTcp = 1ULL << 0;                  // ABI 4
constexpr std::uint64_t kConnectTcp = 1ULL << 1;               // ABI 4
constexpr std::uint64_t kScopeAbstractUnixSocket = 1ULL << 0;  // ABI 6
constexpr std::uint64_t kScopeSignal = 1ULL << 1;              // ABI 6

// The newest ABI whose rights are used (and tested) here. ABI 7 only adds
// audit logging.
constexpr int kNewestAbi = 6;

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

// HTTPS, and DNS over TCP, which the resolver falls back to for answers
// too large for UDP. Landlock does not cover UDP.
constexpr std::uint64_t kPorts[] = {443, 53};

// Readable for every run: where the system keeps libraries, name-service
// modules, TLS configuration and certificates, on the usual layouts.
const char* const kSystemLocations[] = {
    "/etc", "/usr",  "/lib", "/lib32",     "/lib64",    "/libx32",
    "/bin", "/sbin", "/opt", "/nix/store", "/gnu/store"};
// What the resolver reads, wherever the links in /etc lead (into /run on
// systems with a local resolver service). A file it cannot read counts as
// missing, without an error, so it must stay readable.
const char* const kResolverFiles[] = {"/etc/resolv.conf", "/etc/hosts",
                                      "/etc/nsswitch.conf", "/etc/host.conf",
                                      "/etc/gai.conf"};

#ifdef IPWHERE_SANITIZED
// Sanitizer runtimes read /proc (the leak check lists threads and
// mappings, and mappings are read again when a library is loaded) and run
// a symbolizer program for their reports: allowed in those builds alone.
constexpr std::uint64_t kSystemRights = kReadFile | kReadDir | kExecute;
const char* const kSanitizerLocations[] = {"/proc"};
#else
constexpr std::uint64_t kSystemRights = kReadFile | kReadDir;
#endif

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

RulesetAttr ruleset_for(int abi, bool connect_any_port) {
  RulesetAttr attr = {kAbi1Rights, 0, 0};
  if (abi >= 2) attr.handled_access_fs |= kRefer;
  if (abi >= 3) attr.handled_access_fs |= kTruncate;
  if (abi >= 5) attr.handled_access_fs |= kIoctlDev;
  if (abi >= 4)
    attr.handled_access_net = kBindTcp | (connect_any_port ? 0 : kConnectTcp);
  if (abi >= 6) attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
  return attr;
}

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

const char* c_str(const char* path) { return path; }
const char* c_str(const std::string& path) { return path.c_str(); }

template <typename Paths>
bool allow_paths(int ruleset, const Paths& paths, std::uint64_t rights) {
  return std::all_of(std::begin(paths), std::end(paths), [&](const auto& path) {
    return allow_path(ruleset, c_str(path), rights);
  });
}

bool add_rules(int ruleset, const RulesetAttr& attr,
               const Allowance& allowance) {
  if (!allow_paths(ruleset, kSystemLocations,
                   kSystemRights & attr.handled_access_fs) ||
      !allow_paths(ruleset, kResolverFiles, kReadFile) ||
      !allow_paths(ruleset, allowance.readable, kReadFile | kReadDir))
    return false;
#ifdef IPWHERE_SANITIZED
  if (!allow_paths(ruleset, kSanitizerLocations, kReadFile | kReadDir))
    return false;
#endif
  if ((attr.handled_access_net & kConnectTcp) != 0) {
    for (const std::uint64_t port : kPorts) {
      const NetPortAttr rule = {kConnectTcp, port};
      if (syscall(kSysAddRule, ruleset, kRuleNetPort, &rule, 0U) != 0)
        return false;
    }
  }
  return true;
}

}  // namespace

int confinement_abi() noexcept {
  // ENOSYS: no Landlock; EOPNOTSUPP: disabled at boot; EPERM: a system-call
  // filter (a container's, say) refuses it. All mean: none.
  const long abi =
      syscall(kSysCreateRuleset, nullptr, 0U, kCreateRulesetVersion);
  if (abi <= 0) return 0;
  return abi < kNewestAbi ? static_cast<int>(abi) : kNewestAbi;
}

bool confine(const Allowance& allowance) noexcept {
  int abi = confinement_abi();
  if (abi == 0) return false;
  if (prctl(PR_SET_NO_NEW_PRIVS, 1L, 0L, 0L, 0L) != 0) return false;
  // Some kernels report an ABI but refuse one of its rights (RHEL 9's
  // report 6 and reject the signal scope): step down until one is taken.
  for (; abi >= 1; --abi) {
    const RulesetAttr attr = ruleset_for(abi, allowance.connect_any_port);
    const Descriptor ruleset(
        syscall(kSysCreateRuleset, &attr, sizeof attr, 0U));
    if (ruleset.get() < 0) {
      if (errno == EINVAL) continue;
      return false;
    }
    // A rule the kernel refuses would leave a needed file unreadable: stay
    // unconfined rather than fail the lookups.
    if (!add_rules(ruleset.get(), attr, allowance)) return false;
    return syscall(kSysRestrictSelf, ruleset.get(), 0U) == 0;
  }
  return false;
}

#else  // no Landlock

int confinement_abi() noexcept { return 0; }

bool confine(const Allowance& /*allowance*/) noexcept { return false; }

#endif

}  // namespace ipwhere
