// node_alloc.hpp: where term nodes get their memory.
//
// A node is one block, taken when it is made and given back when its last reference goes.
// The host may supply the allocator: the Python binding hands in the interpreter's own
// general allocator, which keeps size classes, hands empty arenas back to the system and is
// safe across fork, and under which every node is made and freed (each entry point holds the
// interpreter lock, and so does every place a last reference drops). Without a host, as in
// the core's own tests and the fuzzer, blocks come from malloc.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

namespace kovel {

/// A block allocator for nodes. allocate returns null when memory runs out; release takes
/// back a block allocate gave; trim, if set, is called after the release of a large term
/// (kTrimBytes of blocks or more at once), so that the host can hand the memory of a
/// dropped peak back to the system.
struct NodeAllocator {
  void* (*allocate)(size_t n) noexcept;
  void (*release)(void* p) noexcept;
  void (*trim)() noexcept = nullptr;
};

/// The blocks one release must free before the allocator is trimmed. A release that large
/// takes milliseconds itself, and trimming costs a fraction of that.
inline constexpr size_t kTrimBytes = size_t{32} << 20;

namespace node_alloc {

inline void* system_allocate(size_t n) noexcept { return std::malloc(n); }
inline void system_release(void* p) noexcept { std::free(p); }

/// The allocator in use; read on every node made and freed.
extern NodeAllocator current;

/// A block of n bytes, aligned for a node; throws std::bad_alloc when memory runs out.
inline void* allocate(size_t n) {
  if (void* p = current.allocate(n)) return p;
  throw std::bad_alloc();
}
inline void release(void* p) noexcept { current.release(p); }

}  // namespace node_alloc

/// Makes a the allocator of every node made from now on. Only while no node exists: a node
/// goes back to the allocator it came from, and no record says which that was.
void set_node_allocator(const NodeAllocator& a) noexcept;
/// The allocator in use.
NodeAllocator node_allocator() noexcept;

}  // namespace kovel
