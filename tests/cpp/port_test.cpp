// port_test.cpp: the C library queries behind port/port.hpp.
#include "port/port.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kovel {
namespace {

TEST(Port, UsableSizeCoversTheBlockAskedFor) {
  for (size_t n : {1, 24, 100, 4096, 1 << 20}) {
    void* p = std::malloc(n);
    ASSERT_NE(p, nullptr);
    if constexpr (port::kHaveUsableSize)
      EXPECT_GE(port::usable_size(p), n) << n;
    else
      EXPECT_EQ(port::usable_size(p), 0u) << n;
    std::free(p);
  }
  EXPECT_EQ(port::usable_size(nullptr), 0u);
}

}  // namespace
}  // namespace kovel
