#include "ca_directory.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>

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

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string real_path(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> real(
      realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : std::string();
}

struct DirectoryCloser {
  void operator()(DIR* directory) const { closedir(directory); }
};

bool beneath(const std::string& path, const std::string& directory) {
  if (directory == "/") return true;
  return path.compare(0, directory.size(), directory) == 0 &&
         (path.size() == directory.size() || path[directory.size()] == '/');
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

// Where the chain of links from `path` ends: empty when it dangles,
// loops or cannot be read. Each directory it passes through goes to
// `passed`.
std::string final_target(std::string path, std::vector<std::string>& passed) {
  for (int hop = 0; hop < 40; ++hop) {
    char buffer[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
    if (length < 0) return errno == EINVAL ? path : std::string();
    if (static_cast<std::size_t>(length) >= sizeof buffer) return {};
    passed.push_back(parent_of(path));
    std::string next(buffer, static_cast<std::size_t>(length));
    if (next.empty()) return {};
    path = next[0] == '/' ? next : parent_of(path) + "/" + next;
  }
  return {};
}

}  // namespace

CaDirectory scan_ca_directory(const std::string& directory,
                              const std::vector<std::string>& covered,
                              bool check_readable) {
  CaDirectory result;
  const std::unique_ptr<DIR, DirectoryCloser> listing(
      opendir(directory.c_str()));
  if (!listing) return result;
  SearchableDirectories searchable;
  std::map<std::string, bool> seen;  // a target's directory: covered?
  std::vector<std::string> passed;
  while (const dirent* entry = readdir(listing.get())) {
    if (!hashed_name(entry->d_name)) continue;
    passed.clear();
    const std::string target =
        final_target(directory + "/" + entry->d_name, passed);
    if (target.empty()) continue;
    const std::string holder = parent_of(target);
    auto known = seen.find(holder);
    if (known == seen.end()) {
      const std::string real = real_path(holder);
      const bool inside =
          real.empty() ||
          std::any_of(covered.begin(), covered.end(),
                      [&](const std::string& c) { return beneath(real, c); });
      known = seen.emplace(holder, inside).first;
      if (!inside && std::find(result.link_directories.begin(),
                               result.link_directories.end(),
                               real) == result.link_directories.end())
        result.link_directories.push_back(real);
    }
    if (!check_readable || !result.readable_by_everyone) continue;
    struct stat status = {};
    const bool readable =
        stat(target.c_str(), &status) != 0 ||
        ((status.st_mode & S_IROTH) != 0 && searchable(holder) &&
         std::all_of(passed.begin(), passed.end(), std::ref(searchable)));
    result.readable_by_everyone = readable;
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
