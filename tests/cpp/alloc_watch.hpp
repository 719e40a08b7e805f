// alloc_watch.hpp: the largest single allocation made while a watch is alive.
#pragma once

#include <cstddef>

namespace kovel::testing {

/// Arms the test binary's operator new for its lifetime (one watch at a time).
class AllocationWatch {
 public:
  AllocationWatch();
  ~AllocationWatch();
  size_t largest() const;
};

}  // namespace kovel::testing
