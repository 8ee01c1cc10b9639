// Where the dynamic loader looks for a library opened while a run goes on:
// a name-service module is opened by dlopen() at the first lookup, from
// wherever the loader's search path leads (a vendor's module under /opt,
// found through /etc/ld.so.conf.d).
#ifndef IPWHERE_LIBRARY_PATH_HPP_
#define IPWHERE_LIBRARY_PATH_HPP_

#include <string>
#include <vector>

namespace ipwhere {

// The directories named in the loader's configuration `file`
// (/etc/ld.so.conf), one a line, and in the files its `include` lines
// name (shell patterns, relative to the including file's folder), in the
// order the loader's cache is built from them.
std::vector<std::string> configured_library_directories(
    const std::string& file);

// The directories the loader searches for this program before its cache:
// LD_LIBRARY_PATH and the program's RPATH or RUNPATH, expanded, as the
// loader reports them; empty where it cannot say (musl, macOS).
std::vector<std::string> program_search_path();

// Both of the above (for /etc/ld.so.conf) as real paths, each once: those
// that exist and are not the root, leaving out relative entries (an empty
// entry of LD_LIBRARY_PATH means the working directory) and those at or
// beneath one of `covered`.
std::vector<std::string> library_directories(
    const std::vector<std::string>& covered);

}  // namespace ipwhere

#endif  // IPWHERE_LIBRARY_PATH_HPP_
