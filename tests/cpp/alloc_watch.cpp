// alloc_watch.cpp: a global operator new that can record its largest request. Kept in its
// own unit so the compiler never pairs these definitions with inlined allocations.
#include "alloc_watch.hpp"

#include <cstdlib>
#include <new>

namespace {
bool watching = false;
size_t largest_request = 0;
}  // namespace

void* operator new(size_t n) {
  if (watching && n > largest_request) largest_request = n;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace kovel::testing {

AllocationWatch::AllocationWatch() {
  largest_request = 0;
  watching = true;
}
AllocationWatch::~AllocationWatch() { watching = false; }
size_t AllocationWatch::largest() const { return largest_request; }

}  // namespace kovel::testing
