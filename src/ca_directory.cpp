#include "ca_directory.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <utility>

#include "paths.hpp"

namespace ipwhere {
namespace {

// <8 hex digits>.<digits>, or .r<digits> for revocation lists.
bool hashed_name(const char* name) {
  int i = 0;
  for (; i < 8; ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  if (name[i++] != '.') return false;
  if (name[i] == 'r') ++i;
  if (name[i] == '\0') return false;
  for (; name[i] != '\0'; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

// Whether others may search `directory` and every directory above it;
// remembered per directory.
class SearchableDirectories {
 public:
  bool operator()(const std::string& directory) {
    if (directory.empty() || directory == "/" || directory == ".") return true;
    const auto known = known_.find(directory);
    if (known != known_.end()) return known->second;
    struct stat status = {};
    const bool searchable = stat(directory.c_str(), &status) == 0 &&
                            (status.st_mode & S_IXOTH) != 0 &&
                            (*this)(parent_of(directory));
    known_[directory] = searchable;
    return searchable;
  }

 private:
  std::map<std::string, bool> known_;
};

// An open directory, for calls relative to it: on Debian's /etc/ssl/certs
// every certificate is two links deep, and each call counts.
class Directory {
 public:
  // `listed`: the links among its entries are listed once (none, for a
  // folder of certificates), rather than asked of each entry.
  Directory(std::string path, bool listed)
      : path_(std::move(path)),
        fd_(open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
        listed_(listed) {
    if (!listed_) return;
    const int copy = fd_ < 0 ? -1 : dup(fd_);
    const DirectoryListing listing(copy < 0 ? nullptr : fdopendir(copy));
    if (!listing) {
      if (copy >= 0) close(copy);
      return;
    }
    // NOLINTNEXTLINE(concurrency-mt-unsafe): a stream of its own
    while (const dirent* entry = readdir(listing.get())) {
      if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN)
        links_.emplace_back(entry->d_name);
    }
    std::sort(links_.begin(), links_.end());
  }
  ~Directory() {
    if (fd_ >= 0) close(fd_);
  }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] int fd() const { return fd_; }

  // Reads the link `name` into `target`; false when it is no link.
  bool target(const std::string& name, std::string& target) const {
    if (listed_ && !std::binary_search(links_.begin(), links_.end(), name))
      return false;
    char buffer[PATH_MAX];
    const ssize_t length = readlinkat(fd_, name.c_str(), buffer, sizeof buffer);
    if (length < 0 && errno == EINVAL) return false;
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
      target.clear();
      return true;
    }
    target.assign(buffer, static_cast<std::size_t>(length));
    return true;
  }

  // The file `name` here, followed through links; false where there is
  // none to be read.
  bool status(const std::string& name, struct stat& status) const {
    return fstatat(fd_, name.c_str(), &status, 0) == 0;
  }

 private:
  std::string path_;
  int fd_;
  bool listed_;
  std::vector<std::string> links_;
};

// The directories links lead to, each opened once.
class Directories {
 public:
  const Directory& of(std::string_view path, bool listed = true) {
    const auto found = std::find_if(
        opened_.begin(), opened_.end(),
        [&](const auto& directory) { return directory->path() == path; });
    if (found != opened_.end()) return **found;
    opened_.push_back(std::make_unique<Directory>(std::string(path), listed));
    return *opened_.back();
  }

 private:
  std::vector<std::unique_ptr<Directory>> opened_;
};

// Follows the chain of links from `name` in `directory` to the file it
// ends at: returns the directory that holds it and leaves its name in
// `name`; null when the chain dangles, loops or cannot be read. Each
// directory it passes through goes to `passed`. `next` is room for the
// links read, kept from one call to the next: every allocation is a call
// under a tracer.
const Directory* final_target(const Directory& start, std::string& name,
                              std::string& next, Directories& directories,
                              std::vector<const Directory*>& passed) {
  const Directory* directory = &start;
  for (int hop = 0; hop < 40; ++hop) {
    if (!directory->target(name, next)) return directory;
    if (next.empty()) return nullptr;
    passed.push_back(directory);
    const std::size_t slash = next.find_last_of('/');
    if (slash == std::string::npos) {  // beside the link, the usual case
      name.swap(next);
      continue;
    }
    std::string_view holder = std::string_view(next).substr(0, slash);
    std::string joined;
    if (slash == 0) {
      holder = "/";
    } else if (next[0] != '/') {
      joined = directory->path() + "/" + std::string(holder);
      holder = joined;
    }
    directory = &directories.of(holder);
    name.assign(next, slash + 1, std::string::npos);
  }
  return nullptr;
}

}  // namespace

CaDirectory scan_ca_directory(const std::string& directory,
                              const std::vector<std::string>& covered,
                              bool check_readable) {
  CaDirectory result;
  if (directory.empty()) return result;
  Directories directories;
  const Directory& start = directories.of(directory, false);
  const int copy = start.fd() < 0 ? -1 : dup(start.fd());
  const DirectoryListing listing(copy < 0 ? nullptr : fdopendir(copy));
  if (!listing) {
    if (copy >= 0) close(copy);
    return result;
  }
  std::vector<std::string> real_covered;
  for (const std::string& path : covered) {
    std::string real = real_path(path);
    if (!real.empty()) real_covered.push_back(std::move(real));
  }
  SearchableDirectories searchable;
  // Each directory's answer by its object: the same few hold every
  // certificate, and a comparison of paths is a call under a tracer.
  std::vector<std::pair<const Directory*, bool>> searched;
  const auto searchable_directory = [&](const Directory* directory) {
    const auto known =
        std::find_if(searched.begin(), searched.end(),
                     [&](const auto& s) { return s.first == directory; });
    if (known != searched.end()) return known->second;
    const bool answer = searchable(directory->path());
    searched.emplace_back(directory, answer);
    return answer;
  };
  std::vector<std::pair<const Directory*, bool>> seen;  // covered or not
  std::vector<const Directory*> passed;
  std::string name;
  std::string next;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): a stream of its own
  while (const dirent* entry = readdir(listing.get())) {
    if (!hashed_name(entry->d_name)) continue;
    passed.clear();
    name = entry->d_name;
    const Directory* holder =
        final_target(start, name, next, directories, passed);
    if (holder == nullptr) continue;
    auto known = std::find_if(seen.begin(), seen.end(),
                              [&](const auto& s) { return s.first == holder; });
    if (known == seen.end()) {
      const std::string real = real_path(holder->path());
      const bool inside =
          real.empty() ||
          std::any_of(real_covered.begin(), real_covered.end(),
                      [&](const std::string& c) { return beneath(real, c); });
      if (!inside) result.link_directories.push_back(real);
      seen.emplace_back(holder, inside);
    }
    if (!check_readable || !result.readable_by_everyone) continue;
    // A name that leads nowhere (a CA removed without hashing the
    // directory again) is read by no one, root included.
    struct stat status = {};
    if (!holder->status(name, status)) continue;
    result.readable_by_everyone =
        (status.st_mode & S_IROTH) != 0 && searchable_directory(holder) &&
        std::all_of(passed.begin(), passed.end(), searchable_directory);
  }
  return result;
}

bool readable_by_everyone(const std::string& path) {
  const std::string target = real_path(path);
  if (target.empty()) return true;
  struct stat status = {};
  if (stat(target.c_str(), &status) != 0) return true;
  const mode_t needed = S_ISDIR(status.st_mode) ? S_IROTH | S_IXOTH : S_IROTH;
  if ((status.st_mode & needed) != needed) return false;
  SearchableDirectories searchable;
  return searchable(parent_of(target)) && searchable(parent_of(path));
}

}  // namespace ipwhere
