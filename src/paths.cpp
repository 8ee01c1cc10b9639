#include "paths.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace ipwhere {

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

std::string final_target(std::string link) {
  std::string target;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat status = {};
    if (lstat(link.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
      return target;
    char buffer[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer)
      return {};
    std::string next(buffer, static_cast<std::size_t>(length));
    if (next[0] != '/') next.insert(0, parent_of(link) + "/");
    link = target = next;
  }
  return {};
}

std::string read_small_file(const std::string& path, std::size_t limit) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  for (ssize_t n;
       text.size() <= limit && (n = read(fd, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  if (text.size() > limit) text.clear();
  return text;
}

bool beneath(const std::string& path, const std::string& directory) {
  if (directory == "/") return true;
  return path.compare(0, directory.size(), directory) == 0 &&
         (path.size() == directory.size() || path[directory.size()] == '/');
}

}  // namespace ipwhere
