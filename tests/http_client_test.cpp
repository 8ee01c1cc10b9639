#include "http_client.hpp"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <cstdint>
#include <cstdlib>
#include <future>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "lookup_threads.hpp"
#include "tls_context.hpp"

// ThreadSanitizer's runtime defines operator new itself, so the test
// that needs a failing one is left out there.
#if defined(__SANITIZE_THREAD__)
#define FAILING_NEW_UNAVAILABLE 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FAILING_NEW_UNAVAILABLE 1
#endif
#endif

namespace {
// While set, every allocation of this test program fails.
bool allocations_fail = false;
}  // namespace

#ifndef FAILING_NEW_UNAVAILABLE
void* operator new(std::size_t size) {
  if (!allocations_fail) {
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  }
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t /*size*/) noexcept {
  std::free(block);
}
#endif

namespace ipwhere {
namespace {

TEST(WriteCallback, AppendsUpToTheCap) {
  std::string body = "ab";
  char data[] = "cdef";
  EXPECT_EQ(write_callback(data, 1, 4, &body), 4u);
  EXPECT_EQ(body, "abcdef");
  EXPECT_EQ(write_callback(data, 1, 0, &body), 0u);
  EXPECT_EQ(body, "abcdef");

  // Exactly the cap is accepted, one byte beyond it is refused whole.
  const std::string chunk(kMaxBodyBytes - body.size(), 'x');
  std::string filled = body;
  std::string copy = chunk;
  EXPECT_EQ(write_callback(copy.data(), 1, copy.size(), &filled), copy.size());
  EXPECT_EQ(filled.size(), kMaxBodyBytes);
  EXPECT_EQ(write_callback(data, 1, 1, &filled), 0u);
  EXPECT_EQ(filled.size(), kMaxBodyBytes);

  std::string over = body;
  std::string big = chunk + "y";
  EXPECT_EQ(write_callback(big.data(), 1, big.size(), &over), 0u);
  EXPECT_EQ(over, body);
}

TEST(WriteCallback, RefusesProductsThatWouldOverflow) {
  std::string body;
  char data[] = "x";
  EXPECT_EQ(
      write_callback(data, 2, std::numeric_limits<std::size_t>::max() / 2 + 1,
                     &body),
      0u);
  EXPECT_EQ(write_callback(data, kMaxBodyBytes, 2, &body), 0u);
  EXPECT_TRUE(body.empty());
}

TEST(HeaderCallback, CountsHeaderAndTrailerBytesUpToTheCap) {
  std::size_t received = 0;
  char line[] = "HTTP/1.1 200 OK\r\n";
  EXPECT_EQ(header_callback(line, 1, 17, &received), 17u);
  EXPECT_EQ(header_callback(line, 1, 0, &received), 0u);
  EXPECT_EQ(received, 17u);

  // Exactly the cap is accepted; a field beyond it fails the transfer and
  // is not counted, nor is a product that would overflow.
  EXPECT_EQ(header_callback(line, 1, kMaxHeaderBytes - 18, &received),
            kMaxHeaderBytes - 18);
  EXPECT_EQ(header_callback(line, 1, 2, &received), 0u);
  EXPECT_EQ(header_callback(line, 1, 1, &received), 1u);
  EXPECT_EQ(received, kMaxHeaderBytes);
  EXPECT_EQ(header_callback(line, 1, 1, &received), 0u);
  std::size_t fresh = 0;
  EXPECT_EQ(
      header_callback(line, 2, std::numeric_limits<std::size_t>::max() / 2 + 1,
                      &fresh),
      0u);
  EXPECT_EQ(fresh, 0u);
}

TEST(WriteCallback, OutOfMemoryFailsTheTransferInsteadOfThrowing) {
#ifdef FAILING_NEW_UNAVAILABLE
  GTEST_SKIP() << "no replaceable operator new under ThreadSanitizer";
#endif
  std::string body;
  std::string data(100, 'x');  // beyond any small-string buffer
  allocations_fail = true;
  const std::size_t written =
      write_callback(data.data(), 1, data.size(), &body);
  allocations_fail = false;
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(body.empty());
}

TEST(StartLookup, AThreadThatCannotStartFailsOnlyItsOwnLookup) {
  const FinishSignal finished;
  JoiningThread started_worker;
  JoiningThread refused_worker;
  std::future<std::string> started = start_lookup(
      [] { return std::string("body"); }, started_worker, &finished);
  std::future<std::string> refused = start_lookup(
      [] { return std::string("never run"); }, refused_worker, &finished,
      [](auto&& /*body*/) -> std::thread {
        throw std::system_error(
            std::make_error_code(std::errc::resource_unavailable_try_again));
      });
  EXPECT_THROW(refused.get(), std::system_error);
  EXPECT_EQ(started.get(), "body");
  // The finished lookup says so to a thread that polls.
  pollfd event = {finished.fd(), POLLIN, 0};
  EXPECT_EQ(poll(&event, 1, 5000), 1);
}

// Two lookups at once run each on an OpenSSL context of its own, neither
// the main thread's, so that they do not contend for one context's locks;
// one alone runs on the thread's default, as ever.
TEST(StartQueries, TwoLookupsRunOnTlsContextsOfTheirOwn) {
  if (TlsContext::in_use() == nullptr)
    GTEST_SKIP() << "built without libcrypto of OpenSSL 3";
  const char* tls_library = curl_version_info(CURLVERSION_NOW)->ssl_version;
  const std::string library = tls_library ? tls_library : "no TLS library";
  if (library.rfind("OpenSSL/3", 0) != 0)
    GTEST_SKIP() << "libcurl runs on " << library;
  const auto context_in_use = [](const Endpoints& /*endpoints*/) {
    return std::to_string(
        reinterpret_cast<std::uintptr_t>(TlsContext::in_use()));
  };
  const std::string main_context = context_in_use(kIpv4Endpoints);
  curl_global_init(CURL_GLOBAL_ALL);
  {
    AddressQueries both = start_queries(context_in_use, false, false);
    const std::string ipv4 = both.ipv4_future->get();
    const std::string ipv6 = both.ipv6_future->get();
    EXPECT_NE(ipv4, main_context);
    EXPECT_NE(ipv6, main_context);
    EXPECT_NE(ipv4, ipv6);
    AddressQueries alone = start_queries(context_in_use, true, false);
    EXPECT_EQ(alone.ipv4_future->get(), main_context);
  }
  EXPECT_EQ(context_in_use(kIpv4Endpoints), main_context);
  curl_global_cleanup();
}

// Each proxy setting as libcurl reads it: its port, or libcurl's default.
TEST(ProxyPorts, PortsAsLibcurlTakesThem) {
  struct Case {
    const char* variable;
    const char* value;
    std::vector<std::uint16_t> ports;
    bool unreadable;
    bool unix_socket;
  };
  const Case cases[] = {
      {"https_proxy", "", {}, false, false},
      {"https_proxy", "http://127.0.0.1:3128", {3128}, false, false},
      {"HTTPS_PROXY", "proxy.example", {1080}, false, false},
      {"all_proxy", "https://proxy.example", {443}, false, false},
      {"ALL_PROXY", "socks5h://localhost/run/proxy.sock", {1080}, false, true},
      {"https_proxy", "http://[::1", {}, true, false},
      {"https_proxy", "http://proxy.example:99999", {}, true, false},
      {"http_proxy", "http://127.0.0.1:8080", {}, false, false},  // not HTTPS
  };
  const char* const names[] = {"https_proxy", "HTTPS_PROXY", "all_proxy",
                               "ALL_PROXY", "http_proxy"};
  curl_global_init(CURL_GLOBAL_ALL);
  for (const Case& c : cases) {
    for (const char* name : names) unsetenv(name);
    setenv(c.variable, c.value, 1);
    const ProxyPorts proxies = proxy_ports();
    EXPECT_EQ(proxies.ports, c.ports) << c.value;
    EXPECT_EQ(proxies.unreadable, c.unreadable) << c.value;
    EXPECT_EQ(proxies.unix_socket, c.unix_socket) << c.value;
  }
  for (const char* name : names) unsetenv(name);
  curl_global_cleanup();
}

}  // namespace
}  // namespace ipwhere
