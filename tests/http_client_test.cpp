#include "http_client.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "lookup_threads.hpp"

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
  JoiningThread started_worker;
  JoiningThread refused_worker;
  std::future<std::string> started =
      start_lookup([] { return std::string("body"); }, started_worker);
  std::future<std::string> refused = start_lookup(
      [] { return std::string("never run"); }, refused_worker,
      [](auto&& /*body*/) -> std::thread {
        throw std::system_error(
            std::make_error_code(std::errc::resource_unavailable_try_again));
      });
  EXPECT_THROW(refused.get(), std::system_error);
  EXPECT_EQ(started.get(), "body");
}

}  // namespace
}  // namespace ipwhere
