// port.hpp: what differs between compilers and C libraries, each with a plain fallback.
#pragma once

#include <cstddef>

#if defined(__linux__) || defined(_WIN32)  // glibc, musl, bionic; the Windows C runtime
#include <malloc.h>
#elif defined(__APPLE__)
#include <malloc/malloc.h>
#elif defined(__FreeBSD__)
#include <malloc_np.h>
#endif

// KOVEL_PREFETCH_W(p): a hint that *p is about to be written. The fallback evaluates p and
// does nothing else.
#if defined(__has_builtin)
#if __has_builtin(__builtin_prefetch)
#define KOVEL_PREFETCH_W(p) __builtin_prefetch((p), 1)
#endif
#elif defined(__GNUC__)
#define KOVEL_PREFETCH_W(p) __builtin_prefetch((p), 1)
#endif
#ifndef KOVEL_PREFETCH_W
#define KOVEL_PREFETCH_W(p) static_cast<void>(p)
#endif

// KOVEL_NOINLINE: keeps a function out of its callers, so that a short path beside a call to
// it needs none of its set-up. The fallback does nothing.
#if defined(__GNUC__) || defined(__clang__)
#define KOVEL_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define KOVEL_NOINLINE __declspec(noinline)
#else
#define KOVEL_NOINLINE
#endif

// KOVEL_INLINE: puts a function into each caller whatever its size, so that what a caller
// fixes folds away. The fallback is a plain inline.
#if defined(__GNUC__) || defined(__clang__)
#define KOVEL_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define KOVEL_INLINE __forceinline
#else
#define KOVEL_INLINE inline
#endif

// KOVEL_POISON(p, n) and KOVEL_UNPOISON(p, n): under AddressSanitizer, mark memory that an
// allocator of our own holds as unusable, and give it back as usable, so that reads of it
// are reported as reads of freed malloc memory are. Elsewhere they do nothing.
#if defined(__SANITIZE_ADDRESS__)
#define KOVEL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KOVEL_ASAN 1
#endif
#endif
#ifdef KOVEL_ASAN
#include <sanitizer/asan_interface.h>
#define KOVEL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define KOVEL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define KOVEL_POISON(p, n) (static_cast<void>(p), static_cast<void>(n))
#define KOVEL_UNPOISON(p, n) (static_cast<void>(p), static_cast<void>(n))
#endif

namespace kovel::port {

/// Whether KOVEL_POISON does anything: the size it is given need not be found otherwise.
#ifdef KOVEL_ASAN
inline constexpr bool kPoisoning = true;
#else
inline constexpr bool kPoisoning = false;
#endif

/// Whether usable_size knows the size of a malloc block on this C library.
#if defined(__linux__) || defined(_WIN32) || defined(__APPLE__) || defined(__FreeBSD__)
inline constexpr bool kHaveUsableSize = true;
#else
inline constexpr bool kHaveUsableSize = false;
#endif

/// The bytes usable in the block p from malloc (at least those asked for), or 0 where the C
/// library does not tell (see kHaveUsableSize) and for a null p.
inline size_t usable_size(void* p) noexcept {
#if defined(__linux__) || defined(__FreeBSD__)
  return malloc_usable_size(p);
#elif defined(__APPLE__)
  return malloc_size(p);
#elif defined(_WIN32)
  return p ? _msize(p) : 0;
#else
  static_cast<void>(p);
  return 0;
#endif
}

/// Hands the free memory of the C library's heap back to the system where the C library
/// keeps it otherwise (glibc keeps up to twice its raised mmap threshold, up to 64 MiB);
/// elsewhere does nothing.
inline void trim_heap() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace kovel::port
