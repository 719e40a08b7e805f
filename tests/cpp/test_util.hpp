// test_util.hpp: short spellings of commands and terms for the core tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "kterm/builder.hpp"
#include "kterm/construct.hpp"
#include "kterm/kterm.hpp"
#include "kterm/node_alloc.hpp"
#include "port/port.hpp"

namespace kovel::testing {

inline CmdOrHole W(std::string s) { return CmdOrHole(CmdKind::Write, std::move(s)); }
inline CmdOrHole P(std::string s) { return CmdOrHole(CmdKind::Push, std::move(s)); }
inline const CmdOrHole NLc{CmdKind::NL, ""};
inline const CmdOrHole POPc{CmdKind::POP, ""};
inline const CmdOrHole H{};

using Cmds = std::vector<CmdOrHole>;
using Kids = std::vector<KTermRef>;

/// Counts the nodes made and not yet freed while it is installed. Blocks still come from
/// malloc, so a node made before it may be freed under it (the count then goes below zero).
class LiveNodes {
 public:
  LiveNodes() : saved_(node_allocator()) {
    live() = 0;
    made() = 0;
    largest() = 0;
    trimmed() = 0;
    held() = 0;
    grants() = -1;
    refused() = 0;
    set_node_allocator({allocate, release, trim});
  }
  ~LiveNodes() { set_node_allocator(saved_); }
  LiveNodes(const LiveNodes&) = delete;
  LiveNodes& operator=(const LiveNodes&) = delete;
  int64_t count() const { return live().load(); }
  /// The bytes of every block made while it is installed.
  size_t bytes() const { return made().load(); }
  /// The largest block asked for, and how often a release trimmed the allocator.
  size_t largest_block() const { return largest().load(); }
  int trims() const { return trimmed().load(); }
  /// The bytes of the blocks made under it and not yet freed, as the C library counts them.
  int64_t live_bytes() const { return held().load(); }
  /// Refuses the one allocation after the next n; and how many it refused.
  void fail_after(int64_t n) { grants() = n; }
  int64_t refusals() const { return refused().load(); }

 private:
  static std::atomic<int64_t>& live() {
    static std::atomic<int64_t> n{0};
    return n;
  }
  static std::atomic<size_t>& made() {
    static std::atomic<size_t> n{0};
    return n;
  }
  static std::atomic<size_t>& largest() {
    static std::atomic<size_t> n{0};
    return n;
  }
  static std::atomic<int64_t>& held() {
    static std::atomic<int64_t> n{0};
    return n;
  }
  static std::atomic<int>& trimmed() {
    static std::atomic<int> n{0};
    return n;
  }
  static std::atomic<int64_t>& grants() {
    static std::atomic<int64_t> n{-1};
    return n;
  }
  static std::atomic<int64_t>& refused() {
    static std::atomic<int64_t> n{0};
    return n;
  }
  static void trim() noexcept { ++trimmed(); }
  static void* allocate(size_t n) noexcept {
    if (grants() >= 0 && grants()-- == 0) {
      ++refused();
      return nullptr;
    }
    if (n > largest()) largest() = n;
    void* p = std::malloc(n);
    if (p) {
      ++live();
      made() += n;
      held() += static_cast<int64_t>(port::usable_size(p));
    }
    return p;
  }
  static void release(void* p) noexcept {
    --live();
    held() -= static_cast<int64_t>(port::usable_size(p));
    std::free(p);
  }
  NodeAllocator saved_;
};

inline std::vector<CmdOrHole> cmds_of(const KTerm& t) {
  std::vector<CmdOrHole> out;
  for (CmdView c : t.cmds()) out.push_back(c.owned());
  return out;
}

inline std::string hex(std::string_view s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(d[c >> 4]);
    out.push_back(d[c & 15]);
  }
  return out;
}

inline std::string unhex(std::string_view h) {
  std::string out;
  int hi = -1;
  for (char c : h) {
    int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
    if (v < 0) continue;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<char>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

}  // namespace kovel::testing
