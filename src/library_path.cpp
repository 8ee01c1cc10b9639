#include "library_path.hpp"

#include <glob.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

#include "paths.hpp"

#ifdef IPWHERE_HAS_DLINFO_SERINFO
#include <dlfcn.h>

#include <cstddef>
#endif

namespace ipwhere {
namespace {

// Includes that include each other end here.
constexpr int kIncludeDepth = 8;

// The words of a line, which ends at '#'. Character by character: each
// call of a library function counts under a tracer (ltrace).
std::vector<std::string> words_of(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : line) {
    if (c == '#') break;
    if (c != ' ' && c != '\t' && c != '\r') {
      word += c;
    } else if (!word.empty()) {
      words.push_back(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

void read_configuration(const std::string& file, int depth,
                        std::vector<std::string>& directories) {
  const std::string text = read_small_file(file, std::size_t{1} << 20);
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::vector<std::string> words =
        words_of(std::string_view(text).substr(start, end - start));
    start = end + 1;
    if (words.empty() || words[0] == "hwcap") continue;
    if (words[0] != "include") {
      directories.push_back(std::move(words[0]));
      continue;
    }
    for (std::size_t i = 1; depth < kIncludeDepth && i < words.size(); ++i) {
      std::string& pattern = words[i];
      if (pattern[0] != '/') pattern.insert(0, "/").insert(0, parent_of(file));
      glob_t found = {};
      // NOLINTNEXTLINE(concurrency-mt-unsafe): before the lookups start
      if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
        for (std::size_t n = 0; n < found.gl_pathc; ++n)
          read_configuration(found.gl_pathv[n], depth + 1, directories);
      }
      globfree(&found);
    }
  }
}

}  // namespace

std::vector<std::string> configured_library_directories(
    const std::string& file) {
  std::vector<std::string> directories;
  read_configuration(file, 0, directories);
  return directories;
}

std::vector<std::string> program_search_path() {
  std::vector<std::string> directories;
#ifdef IPWHERE_HAS_DLINFO_SERINFO
  void* program = dlopen(nullptr, RTLD_LAZY);
  if (program == nullptr) return directories;
  Dl_serinfo size = {};
  if (dlinfo(program, RTLD_DI_SERINFOSIZE, &size) == 0) {
    // Aligned for the structure, which the loader fills with the list and
    // the strings it points to.
    std::vector<std::max_align_t> storage(
        size.dls_size / sizeof(std::max_align_t) + 1);
    auto* info = reinterpret_cast<Dl_serinfo*>(storage.data());
    *info = size;
    if (dlinfo(program, RTLD_DI_SERINFOSIZE, info) == 0 &&
        dlinfo(program, RTLD_DI_SERINFO, info) == 0) {
      const Dl_serpath* paths = info->dls_serpath;
      for (unsigned i = 0; i < info->dls_cnt; ++i)
        directories.emplace_back(paths[i].dls_name);
    }
  }
  dlclose(program);
#endif
  return directories;
}

std::vector<std::string> library_directories(
    const std::vector<std::string>& covered) {
  std::vector<std::string> real_covered;
  for (const std::string& path : covered) {
    std::string real = real_path(path);
    if (!real.empty()) real_covered.push_back(std::move(real));
  }
  std::vector<std::string> named =
      configured_library_directories("/etc/ld.so.conf");
  const std::vector<std::string> searched = program_search_path();
  named.insert(named.end(), searched.begin(), searched.end());
  std::vector<std::string> directories;
  for (const std::string& path : named) {
    if (path.empty() || path[0] != '/') continue;
    std::string real = real_path(path);
    if (real.empty() || real == "/" ||
        std::find(directories.begin(), directories.end(), real) !=
            directories.end() ||
        std::any_of(real_covered.begin(), real_covered.end(),
                    [&](const std::string& c) { return beneath(real, c); }))
      continue;
    directories.push_back(std::move(real));
  }
  return directories;
}

}  // namespace ipwhere
