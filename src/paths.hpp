// Paths and files as the confinement reads them before it applies: where
// a file's folder is, where a chain of links ends, whether one path lies
// beneath another, small files read whole, and directory listings that
// close themselves.
#ifndef IPWHERE_PATHS_HPP_
#define IPWHERE_PATHS_HPP_

#include <dirent.h>

#include <cstddef>
#include <memory>
#include <string>

namespace ipwhere {

// The folder of `path` by its text: "/" for a name at the root, "." for a
// name without a slash.
std::string parent_of(const std::string& path);

// `path` with every link followed and no . or .. left; empty when it does
// not exist or cannot be resolved.
std::string real_path(const std::string& path);

// Where the chain of symbolic links that starts at `link` ends, whether
// that exists or not; empty when `link` is no link or the chain loops.
std::string final_target(std::string link);

// Whether `path` is `directory` or lies beneath it, by their text.
bool beneath(const std::string& path, const std::string& directory);

// The file at `path` whole, when it holds at most `limit` bytes; empty
// when it is larger or cannot be read.
std::string read_small_file(const std::string& path,
                            std::size_t limit = std::size_t{1} << 16);

struct DirectoryCloser {
  void operator()(DIR* directory) const { closedir(directory); }
};
using DirectoryListing = std::unique_ptr<DIR, DirectoryCloser>;

}  // namespace ipwhere

#endif  // IPWHERE_PATHS_HPP_
