#include "http_client.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>

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

TEST(FetchError, IsARuntimeErrorCarryingItsMessage) {
  try {
    throw FetchError("HTTP status code 503");
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "HTTP status code 503");
  }
}

}  // namespace
