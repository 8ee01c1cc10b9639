#include "http_client.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>

#include "lookup_threads.hpp"
#include "tls_context.hpp"

namespace ipwhere {
namespace {

const char kUserAgent[] = "ipwhereagent/1.0";

// Time bounds of one request, so that no peer decides how long the tool
// runs. Connecting (name resolution, TCP and TLS handshake) normally takes
// well under a second; 10 s leaves room for a slow link while cutting a
// dropped SYN short long before the kernel's own retries give up (about
// two minutes). The whole request may take 20 s: an answer that a busy
// service sends after several seconds still counts. With the fallback
// host, a family takes at most 40 s.
constexpr long kConnectTimeoutMs = 10000;
constexpr long kTotalTimeoutMs = 20000;

// Owns one easy handle for the duration of one request.
struct EasyHandleDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleDeleter>;

// The host names are ASCII, so each wide character is one byte.
std::string narrow(const std::wstring& wide) {
  std::string narrowed(wide.size(), '\0');
  std::transform(wide.begin(), wide.end(), narrowed.begin(),
                 [](wchar_t c) { return static_cast<char>(c); });
  return narrowed;
}

// Whether size * count more bytes keep `used` (at most `cap`) within
// `cap`. libcurl passes size == 1; the division guards the product anyway.
bool fits(std::size_t size, std::size_t count, std::size_t used,
          std::size_t cap) {
  if (size != 0 && count > cap / size) return false;
  return size * count <= cap - used;
}

}  // namespace

// The service hosts, primary and fallback (its mirror) per family. Each is
// meant to be reached over its own family alone.
//                                  primary        fallback
const Endpoints kIpv4Endpoints = {L"4.ident.me", L"4.tnedi.me"};
const Endpoints kIpv6Endpoints = {L"6.ident.me", L"6.tnedi.me"};

FetchError::FetchError(const std::string& message)
    : std::runtime_error(message) {}

FetchError::~FetchError() = default;

HttpClient::HttpClient(std::string ca_bundle)
    : ca_bundle_(std::move(ca_bundle)) {}

std::size_t header_callback(char* /*data*/, std::size_t size,
                            std::size_t nitems, void* received) noexcept {
  auto& total = *static_cast<std::size_t*>(received);
  if (!fits(size, nitems, total, kMaxHeaderBytes)) return 0;
  const std::size_t count = size * nitems;
  total += count;
  return count;
}

std::size_t write_callback(char* data, std::size_t size, std::size_t nmemb,
                           void* body) noexcept {
  auto& text = *static_cast<std::string*>(body);
  if (!fits(size, nmemb, text.size(), kMaxBodyBytes)) return 0;
  const std::size_t count = size * nmemb;
  try {
    text.append(data, count);
  } catch (...) {
    // Out of memory: fail the transfer rather than unwind through libcurl.
    return 0;
  }
  return count;
}

std::string HttpClient::fetch(const std::wstring& host) {
  const std::string url = "https://" + narrow(host) + "/json";
  std::string body;
  std::size_t header_bytes = 0;

  EasyHandle handle(curl_easy_init());
  if (!handle) throw FetchError("Failed to initialize cURL");

  curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, write_callback);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(handle.get(), CURLOPT_HEADERFUNCTION, header_callback);
  curl_easy_setopt(handle.get(), CURLOPT_HEADERDATA, &header_bytes);
  curl_easy_setopt(handle.get(), CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT_MS, kTotalTimeoutMs);
  // Two transfers run on two threads: libcurl must not time out a name
  // lookup with SIGALRM and siglongjmp, which is unsafe in a threaded
  // process. The threaded resolver (AsynchDNS) honours the bounds without
  // signals; a build with the blocking resolver then cannot cut the lookup
  // short, which is the lesser harm.
  curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
#if LIBCURL_VERSION_NUM >= 0x074D00
  // Certificates read before the run gave up the right to read the file.
  // The client outlives the request, so libcurl need not copy them.
  curl_blob ca_bundle = {const_cast<char*>(ca_bundle_.data()),
                         ca_bundle_.size(), CURL_BLOB_NOCOPY};
  if (!ca_bundle_.empty())
    curl_easy_setopt(handle.get(), CURLOPT_CAINFO_BLOB, &ca_bundle);
#endif
#if LIBCURL_VERSION_NUM >= 0x075700
  // When the connect bound runs out during name resolution, libcurl would
  // otherwise wait for its resolver thread, which sits in getaddrinfo until
  // the system resolver gives up (10 s a name server by default, much
  // longer with several, with search domains or with longer time-outs).
  // Quick exit lets that thread finish on its own instead. libcurl means
  // it for programs about to exit; it is safe here all the same: the
  // thread frees what it holds when getaddrinfo returns and touches
  // nothing of ours, and a run leaves at most four such threads and ends
  // within 40 s, which ends them. A libcurl older than these headers
  // refuses the option, harmlessly, and waits as before.
  curl_easy_setopt(handle.get(), CURLOPT_QUICK_EXIT, 1L);
#endif

  const CURLcode result = curl_easy_perform(handle.get());
  if (result != CURLE_OK) {
    handle.reset();
    throw FetchError(std::string("cURL request failed: ") +
                     curl_easy_strerror(result));
  }

  long status = 0;
  curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
  handle.reset();

  if (status < 200 || status > 299)
    throw FetchError("HTTP status code " + std::to_string(status));
  return body;
}

CaLocations ca_locations() {
  CaLocations locations;
#if LIBCURL_VERSION_NUM >= 0x075400
  const EasyHandle handle(curl_easy_init());
  if (!handle) return locations;
  const std::pair<CURLINFO, std::string*> asked[] = {
      {CURLINFO_CAINFO, &locations.bundle},
      {CURLINFO_CAPATH, &locations.directory}};
  for (const auto& [info, location] : asked) {
    char* path = nullptr;
    if (curl_easy_getinfo(handle.get(), info, &path) == CURLE_OK && path)
      *location = path;
  }
#endif
  return locations;
}

namespace {

// Frees what libcurl's URL API allocated.
struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct PartDeleter {
  void operator()(char* part) const { curl_free(part); }
};
using Part = std::unique_ptr<char, PartDeleter>;

Part url_part(CURLU* url, CURLUPart which) {
  char* part = nullptr;
  if (curl_url_get(url, which, &part, 0) != CURLUE_OK) return {};
  return Part(part);
}

// Adds the port of one proxy setting to `proxies`.
void add_proxy(const char* value, ProxyPorts& proxies) {
  const std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, value,
                           CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME) !=
                  CURLUE_OK) {
    proxies.unreadable = true;
    return;
  }
  const Part scheme = url_part(url.get(), CURLUPART_SCHEME);
  const std::string name = scheme ? scheme.get() : "";
  const Part path = url_part(url.get(), CURLUPART_PATH);
  if (name.compare(0, 5, "socks") == 0 && path &&
      std::string(path.get()) != "/")
    proxies.unix_socket = true;
  if (const Part port = url_part(url.get(), CURLUPART_PORT)) {
    char* end = nullptr;
    const unsigned long number = std::strtoul(port.get(), &end, 10);
    if (*end != '\0' || number == 0 || number > 65535) {
      proxies.unreadable = true;
      return;
    }
    proxies.ports.push_back(static_cast<std::uint16_t>(number));
    return;
  }
  proxies.ports.push_back(name == "https" ? 443 : 1080);
}

}  // namespace

ProxyPorts proxy_ports() {
  ProxyPorts proxies;
  // libcurl uses the first of these that is set; each is allowed, so that
  // what libcurl takes is always among them.
  for (const char* name :
       {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    // Read before the lookup threads start; nothing here sets variables.
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
    if (value && *value) add_proxy(value, proxies);
  }
  return proxies;
}

std::string HttpClient::fetch_with_fallback(const std::wstring& primary,
                                            const std::wstring& fallback) {
  try {
    return fetch(primary);
  } catch (...) {
    // Any failure of the primary host is answered by asking the fallback.
  }
  return fetch(fallback);
}

struct AddressQueries::Workers {
  FinishSignal finished;  // first, so it outlives the threads
  TlsContext ipv4_tls;    // then these, freed once the threads are joined
  TlsContext ipv6_tls;
  JoiningThread ipv4;
  JoiningThread ipv6;
};

int AddressQueries::finished_fd() const {
  return workers_ ? workers_->finished.fd() : -1;
}

AddressQueries::AddressQueries() : workers_(std::make_unique<Workers>()) {}
AddressQueries::AddressQueries(AddressQueries&&) noexcept = default;
AddressQueries& AddressQueries::operator=(AddressQueries&&) noexcept = default;
AddressQueries::~AddressQueries() = default;

AddressQueries start_queries(const FamilyLookup& lookup, bool ipv4_only,
                             bool ipv6_only) {
  AddressQueries queries;
  AddressQueries::Workers& workers = *queries.workers_;
  // Two lookups on OpenSSL 3.0's shared default context would contend for
  // its locks; one alone contends with none and keeps it. Both contexts
  // are made before either thread starts: each configuration load rebuilds
  // OpenSSL 3.0's process-wide TLS settings, which a request reads.
  if (!ipv4_only && !ipv6_only) {
    workers.ipv4_tls = TlsContext::for_libcurl();
    workers.ipv6_tls = TlsContext::for_libcurl();
  }
  const auto start = [&lookup, &workers](const Endpoints& endpoints,
                                         const TlsContext& tls,
                                         JoiningThread& worker) {
    return start_lookup(
        [lookup, &endpoints, &tls] {
          const TlsContext::Use use(tls);
          return lookup(endpoints);
        },
        worker, &workers.finished);
  };
  if (!ipv6_only)
    queries.ipv4_future = start(kIpv4Endpoints, workers.ipv4_tls, workers.ipv4);
  if (!ipv4_only)
    queries.ipv6_future = start(kIpv6Endpoints, workers.ipv6_tls, workers.ipv6);
  return queries;
}

AddressQueries query_addresses(HttpClient& client, bool ipv4_only,
                               bool ipv6_only) {
  return start_queries(
      [&client](const Endpoints& endpoints) {
        return client.fetch_with_fallback(endpoints.primary,
                                          endpoints.fallback);
      },
      ipv4_only, ipv6_only);
}

}  // namespace ipwhere
