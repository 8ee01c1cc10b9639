// HTTPS lookups of the caller's public address, one per address family.
//
// HttpClient fetches the body of GET https://<host>/json from the
// address-echo service; query_addresses runs the IPv4 and the IPv6 lookup
// on threads of their own and hands the bodies back through futures.
#ifndef IPWHERE_HTTP_CLIENT_HPP_
#define IPWHERE_HTTP_CLIENT_HPP_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ipwhere {

// The one exception type of the lookup and parsing layers.
class FetchError : public std::runtime_error {
 public:
  explicit FetchError(const std::string& message);
  ~FetchError() override;
};

// Largest response body accepted. A larger body fails the transfer, so a
// peer cannot make the tool hold unbounded memory.
constexpr std::size_t kMaxBodyBytes = 1048576;

// Largest sum of header and trailer bytes of one request's answers (status
// lines and blank lines included, interim answers too), for the same
// reason: libcurl stores every field it receives. 300 KiB is the header
// block libcurl itself accepts, to the byte, so no answer it takes is
// refused here; the cap adds the trailers, which libcurl does not count.
constexpr std::size_t kMaxHeaderBytes = 307200;  // 300 KiB

// libcurl write function, of exactly the type libcurl calls; `body` is the
// std::string the body goes to. Appends size * nmemb bytes to it and
// returns that count. Returns 0 (which makes libcurl abort the transfer
// with a write error) when the body would grow beyond kMaxBodyBytes or
// cannot be stored; nothing is thrown into libcurl.
std::size_t write_callback(char* data, std::size_t size, std::size_t nmemb,
                           void* body) noexcept;

// libcurl header function, of exactly the type libcurl calls; `received`
// is the std::size_t that counts the bytes. Adds size * nitems to it and
// returns that count, or 0 (a write error that aborts the transfer) once
// the sum would exceed kMaxHeaderBytes.
std::size_t header_callback(char* data, std::size_t size, std::size_t nitems,
                            void* received) noexcept;

// HTTPS client without mutable state; one instance may serve several
// threads at once. libcurl's global state must be initialised before the
// first call.
class HttpClient {
 public:
  HttpClient() = default;
  // Verifies servers with the CA certificates of `ca_bundle` (PEM, held in
  // memory) instead of the bundle file libcurl reads by default; the CA
  // directory is read as usual. Empty: the default bundle.
  explicit HttpClient(std::string ca_bundle);

  // One GET of https://<host>/json. Returns the body of a 2xx answer;
  // throws FetchError on a transfer error or any other status.
  std::string fetch(const std::wstring& host);

  // fetch(primary); on any failure fetch(fallback), whose exception, if
  // any, propagates.
  std::string fetch_with_fallback(const std::wstring& primary,
                                  const std::wstring& fallback);

 private:
  std::string ca_bundle_;
};

// The CA bundle and CA directory that libcurl reads to verify the
// service's certificate, those it names (libcurl 7.84 and later; empty
// before, or where it has none). libcurl's global state must be
// initialised.
struct CaLocations {
  std::string bundle;
  std::string directory;
};
CaLocations ca_locations();

// The proxies that the environment names for these requests (https_proxy,
// HTTPS_PROXY, all_proxy, ALL_PROXY; empty values count as unset), read
// as libcurl reads them.
struct ProxyPorts {
  // Each proxy's TCP port, or the one libcurl takes when the value names
  // none: 443 for an https:// proxy, else 1080.
  std::vector<std::uint16_t> ports;
  // A value libcurl's URL parser does not take: any port may be used.
  bool unreadable = false;
  // A SOCKS proxy reached through a pathname UNIX socket.
  bool unix_socket = false;
};
ProxyPorts proxy_ports();

// Service endpoints. The family of an answer follows only from the host
// asked: each IPv4 host is reachable over IPv4 alone, each IPv6 host over
// IPv6 alone.
struct Endpoints {
  const wchar_t* primary;
  const wchar_t* fallback;
};
extern const Endpoints kIpv4Endpoints;
extern const Endpoints kIpv6Endpoints;

// One family's lookup: the body of the answer for that family's endpoints.
using FamilyLookup = std::function<std::string(const Endpoints&)>;

// The pending lookups of one run. A future is empty when its family was
// not requested; get() yields the body or throws the lookup's exception.
// The lookup threads are joined when the queries are destroyed.
class AddressQueries {
 public:
  AddressQueries();
  AddressQueries(AddressQueries&& other) noexcept;
  AddressQueries& operator=(AddressQueries&& other) noexcept;
  AddressQueries(const AddressQueries&) = delete;
  AddressQueries& operator=(const AddressQueries&) = delete;
  ~AddressQueries();

  std::optional<std::future<std::string>> ipv4_future;
  std::optional<std::future<std::string>> ipv6_future;

  // Readable each time a lookup has finished, for poll(); -1 when the
  // system gave no descriptor for it.
  [[nodiscard]] int finished_fd() const;

 private:
  friend AddressQueries start_queries(const FamilyLookup& lookup,
                                      bool ipv4_only, bool ipv6_only);
  struct Workers;
  std::unique_ptr<Workers> workers_;  // last, so joined first
};

// Starts the IPv4 lookup unless ipv6_only, then the IPv6 lookup unless
// ipv4_only, each on a thread of its own, and returns at once. If a thread
// cannot be started, that family's future holds the std::system_error, so
// the caller sees an ordinary failed lookup. `client` must outlive the
// returned queries. Call it while no other thread uses OpenSSL.
AddressQueries query_addresses(HttpClient& client, bool ipv4_only,
                               bool ipv6_only);

// query_addresses with `lookup(endpoints)` as each family's lookup in
// place of the client's fetch_with_fallback. With both families, each
// lookup runs on an OpenSSL library context of its own
// (TlsContext::for_libcurl), both made before either thread starts; a
// lookup alone runs on the thread's default context.
AddressQueries start_queries(const FamilyLookup& lookup, bool ipv4_only,
                             bool ipv6_only);

}  // namespace ipwhere

#endif  // IPWHERE_HTTP_CLIENT_HPP_
