// The CA directory, in OpenSSL's hashed layout: verifying a certificate
// reads the file named after its issuer's hash, <8 hex digits>.<n>, which
// is mostly a link elsewhere (into /usr/share/ca-certificates on Debian,
// anywhere for a CA installed by hand and hashed with c_rehash).
#ifndef IPWHERE_CA_DIRECTORY_HPP_
#define IPWHERE_CA_DIRECTORY_HPP_

#include <string>
#include <vector>

namespace ipwhere {

struct CaDirectory {
  // The directories holding the files its hashed links lead to, each once,
  // as real paths, except those at or beneath one of `covered`.
  std::vector<std::string> link_directories;
  // Whether every user may read each hashed file by its permission bits
  // (checked only when asked).
  bool readable_by_everyone = true;
};

// Reads `directory` (nothing when it cannot). `covered`: the directories
// readable already, followed through symbolic links.
CaDirectory scan_ca_directory(const std::string& directory,
                              const std::vector<std::string>& covered,
                              bool check_readable);

// Whether every user may read `path` by its permission bits: the file or
// directory it leads to readable by others, and each directory on the way
// to it, and to the link, searchable by others. True for a path that does
// not exist, which no user reads.
bool readable_by_everyone(const std::string& path);

}  // namespace ipwhere

#endif  // IPWHERE_CA_DIRECTORY_HPP_
