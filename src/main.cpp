// ipwhere: shows the public IPv4 and IPv6 addresses of this machine and
// what the address-echo service knows about them.

#include <curl/curl.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "address_info.hpp"
#include "confinement.hpp"
#include "http_client.hpp"
#include "json_report.hpp"
#include "lookup_threads.hpp"

namespace ipwhere {
namespace {

struct Options {
  bool show_help = false;
  bool json_output = false;
  bool ipv4_only = false;
  bool ipv6_only = false;
};

// Whole, case-sensitive matches only; anything else is ignored.
Options parse_options(int argc, const char* const argv[]) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h")
      options.show_help = true;
    else if (arg == "--json")
      options.json_output = true;
    else if (arg == "-4")
      options.ipv4_only = true;
    else if (arg == "-6")
      options.ipv6_only = true;
  }
  return options;
}

const char kUsage[] =
    "Usage: ipwhere [options]\n\n"
    "Options:\n"
    "  --help     Show this help message\n"
    "  --json     Output results in JSON format\n"
    "  -4         Query IPv4 information only\n"
    "  -6         Query IPv6 information only\n";

// Holds libcurl's global state for the lifetime of the object.
class CurlGlobal {
 public:
  CurlGlobal() { curl_global_init(CURL_GLOBAL_ALL); }
  ~CurlGlobal() { curl_global_cleanup(); }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};

// The body of one family's lookup as a record; empty on any failure.
std::optional<AddressInfo> collect(
    std::optional<std::future<std::string>>& query) {
  if (!query) return std::nullopt;
  try {
    return parse_address_info(query->get());
  } catch (...) {
    return std::nullopt;
  }
}

void write_out(const std::string& text) {
  // A short write shows in ferror(stdout), checked by output_status.
  static_cast<void>(std::fwrite(text.data(), 1, text.size(), stdout));
}

void write_error(const char* line) {
  static_cast<void>(std::fputs(line, stderr));
}

// 0 if everything written to standard output got out, else 1 and a line
// on standard error: a report that was cut short is not a success.
int output_status() {
  const bool flushed = std::fflush(stdout) == 0;
  if (flushed && !std::ferror(stdout)) return 0;
  write_error("Error: Failed to write output.\n");
  return 1;
}

// The text report after the IPv4 block, which `ipv4_shown` says was
// written already.
void print_text_report(const Options& options,
                       const std::optional<AddressInfo>& ipv4,
                       const std::optional<AddressInfo>& ipv6,
                       bool ipv4_shown) {
  if (ipv4) {
    if (!ipv4_shown) print_address_info("IPv4", *ipv4);
  } else if (!options.ipv6_only) {
    write_out("IPv4 not available.\n");
  }
  if (ipv6)
    print_address_info("IPv6", *ipv6);
  else if (!options.ipv4_only)
    write_out("IPv6 not available.\n");
}

// Confines the run to what its requests need, after libcurl has read its
// configuration and before the first lookup thread starts. Returns the
// client the requests go through.
HttpClient confine_run(const Occupants& occupants) {
  const CaLocations ca = ca_locations();
  // A run as root that goes on as nobody, where nobody may not read the CA
  // bundle, reads it first.
  std::string held_bundle = ca_bundle_to_hold(ca.bundle, occupants);
  const ProxyPorts proxies = proxy_ports();
  Allowance allowance;
  if (held_bundle.empty() && !ca.bundle.empty())
    allowance.readable.push_back(ca.bundle);
  allowance.ca_directory = ca.directory;
  allowance.proxy_ports = proxies.ports;
  allowance.connect_any_port = proxies.unreadable;
  allowance.unix_sockets = proxies.unix_socket;
  static_cast<void>(confine(allowance, occupants));
  return HttpClient(std::move(held_bundle));
}

int run(const Options& options, const Occupants& occupants) {
  CurlGlobal curl;
  HttpClient client = confine_run(occupants);
  std::optional<AddressInfo> ipv4;
  std::optional<AddressInfo> ipv6;
  bool ipv4_shown = false;
  {
    AddressQueries queries =
        query_addresses(client, options.ipv4_only, options.ipv6_only);
    ipv4 = collect(queries.ipv4_future);
    // The IPv4 block comes first in every text report that has one, so it
    // is shown at once rather than after a slow or dead IPv6 lookup. A
    // failed write stays in ferror(stdout) for output_status.
    if (ipv4 && !options.json_output && queries.ipv6_future) {
      print_address_info("IPv4", *ipv4);
      static_cast<void>(std::fflush(stdout));
      ipv4_shown = true;
      // A reader that has gone (`ipwhere | head -n 1`) ends the run now.
      wait_watching_output(*queries.ipv6_future, queries.finished_fd(),
                           STDOUT_FILENO);
    }
    ipv6 = collect(queries.ipv6_future);
  }

  if (!ipv4 && !ipv6) {
    if (options.ipv4_only)
      write_error("Failed to retrieve IPv4 address.\n");
    else if (options.ipv6_only)
      write_error("Failed to retrieve IPv6 address.\n");
    else
      write_error("Failed to retrieve any IP addresses.\n");
    return 1;
  }
  if (options.json_output)
    write_out(json_report(ipv4, ipv6));
  else
    print_text_report(options, ipv4, ipv6, ipv4_shown);
  return output_status();
}

int run_command_line(int argc, const char* const argv[],
                     const Occupants& occupants) {
  const Options options = parse_options(argc, argv);
  if (options.show_help) {
    write_out(kUsage);
    return output_status();
  }
  if (options.ipv4_only && options.ipv6_only) {
    write_error("Error: Cannot specify both -4 and -6\n");
    return 1;
  }
  return run(options, occupants);
}

}  // namespace
}  // namespace ipwhere

int main(int argc, char* argv[]) {
  ipwhere::open_standard_descriptors();
  const ipwhere::Occupants occupants = ipwhere::detect_occupants();
  // Code the user preloaded (torsocks, proxychains, a profiler) may have
  // opened descriptors of its own already.
  if (!occupants.preloaded) ipwhere::close_inherited_descriptors();
  // Only running out of memory (while writing the report, say) can throw
  // out of a run. It ends with status 1, as every other failure does, not
  // with std::terminate; no fixed line says what happened, and writing one
  // could fail the same way, so none is written.
  try {
    return ipwhere::run_command_line(argc, argv, occupants);
  } catch (...) {
    return 1;
  }
}
