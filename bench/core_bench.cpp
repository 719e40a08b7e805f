// core_bench.cpp: speed and heap cost of the term core, each next to a plain-C++ baseline.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "kterm/builder.hpp"
#include "kterm/construct.hpp"
#include "kterm/kterm.hpp"
#include "kterm/postcard.hpp"
#include "port/port.hpp"
#include "term/sterm.hpp"

// Allocation counting. The build links with --wrap for the malloc family, so calls from this
// file and from the static core land here; operator new is routed to malloc below.
namespace {

struct HeapCount {
  uint64_t calls = 0;
  uint64_t requested = 0;
  uint64_t usable = 0;
};

bool g_counting = false;
HeapCount g_heap;

void* counted(void* p, size_t n) {
  if (g_counting && p) {
    ++g_heap.calls;
    g_heap.requested += n;
    g_heap.usable += kovel::port::usable_size(p);
  }
  return p;
}

}  // namespace

extern "C" {
void* __real_malloc(size_t n);
void* __real_calloc(size_t k, size_t n);
void* __real_realloc(void* p, size_t n);
void* __real_aligned_alloc(size_t a, size_t n);

void* __wrap_malloc(size_t n) { return counted(__real_malloc(n), n); }
void* __wrap_calloc(size_t k, size_t n) { return counted(__real_calloc(k, n), k * n); }
void* __wrap_realloc(void* p, size_t n) { return counted(__real_realloc(p, n), n); }
void* __wrap_aligned_alloc(size_t a, size_t n) { return counted(__real_aligned_alloc(a, n), n); }
}

void* operator new(size_t n) {
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return ::operator new(n); }
void* operator new(size_t n, std::align_val_t a) {
  auto al = static_cast<size_t>(a);
  if (void* p = std::aligned_alloc(al, (n + al - 1) / al * al)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n, std::align_val_t a) { return ::operator new(n, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }

namespace kovel {
namespace {

constexpr int kReps = 9;

template <class T>
void keep(T const& v) {
  asm volatile("" : : "g"(&v) : "memory");
}

// Best wall time of kReps runs of f, in seconds; setup runs untimed before each run.
template <class Setup, class F>
double best_of(Setup setup, F f) {
  double best = 1e300;
  for (int r = 0; r < kReps; ++r) {
    setup();
    auto t0 = std::chrono::steady_clock::now();
    f();
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}
template <class F>
double best_of(F f) {
  return best_of([] {}, f);
}

template <class F>
HeapCount heap_of(F f) {
  g_heap = {};
  g_counting = true;
  f();
  g_counting = false;
  return g_heap;
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "core_bench: %s\n", what);
    std::exit(1);
  }
}

// The node an obvious design would use: one shared_ptr per node, owned strings and vectors.
struct PlainNode {
  std::string tag;
  std::vector<std::shared_ptr<const PlainNode>> children;
  std::vector<CmdOrHole> cmds;
};

void bench_leaf() {
  constexpr size_t n = 100000;
  std::vector<KTermRef> terms;
  std::vector<std::shared_ptr<const PlainNode>> plain;
  terms.reserve(n);
  plain.reserve(n);

  auto make_leaves = [&] {
    for (size_t i = 0; i < n; ++i) terms.push_back(leaf("integer", "42"));
  };
  auto make_plain = [&] {
    for (size_t i = 0; i < n; ++i) {
      plain.push_back(std::make_shared<const PlainNode>(
          PlainNode{"integer", {}, {CmdOrHole(CmdKind::Write, "42")}}));
    }
  };
  double t_leaf = best_of([&] { terms.clear(); }, make_leaves);
  double t_drop = best_of(
      [&] {
        terms.clear();
        make_leaves();
      },
      [&] { terms.clear(); });
  double t_plain = best_of([&] { plain.clear(); }, make_plain);
  terms.clear();
  plain.clear();
  HeapCount h_leaf = heap_of(make_leaves);
  HeapCount h_plain = heap_of(make_plain);
  check(coparse(*terms.back()) == "42", "leaf prints wrong");

  auto ns = [&](double t) { return t * 1e9 / n; };
  auto per = [&](uint64_t v) { return static_cast<double>(v) / n; };
  std::printf("Construction, %zu leaves, best of %d\n", n, kReps);
  std::printf("  %-34s %9s %9s %11s %10s\n", "", "ns/leaf", "allocs", "B requested", "B usable");
  std::printf("  %-34s %9.1f %9.2f %11.1f %10.1f\n", "leaf(\"integer\", \"42\")", ns(t_leaf),
              per(h_leaf.calls), per(h_leaf.requested), per(h_leaf.usable));
  std::printf("  %-34s %9.1f\n", "  release of the last reference", ns(t_drop));
  std::printf("  %-34s %9.1f %9.2f %11.1f %10.1f\n", "baseline make_shared<PlainNode>", ns(t_plain),
              per(h_plain.calls), per(h_plain.requested), per(h_plain.usable));
  std::printf("  leaf/baseline: time x%.2f, usable bytes x%.2f\n\n", t_leaf / t_plain,
              static_cast<double>(h_leaf.usable) / static_cast<double>(h_plain.usable));
}

// Adding children one by one must stay linear however many there are.
void bench_builder() {
  KTermRef x = leaf("integer", "42");
  std::printf("Builder, children added one at a time, best of %d\n", kReps);
  std::printf("  %-34s %12s %12s %8s\n", "", "ns/child", "baseline", "ratio");
  for (size_t n : {size_t{1000}, size_t{100000}, size_t{1000000}}) {
    double t_build = best_of([&] {
      KTermBuilder b = tb("block");
      for (size_t i = 0; i < n; ++i) b.child(x);
      keep(std::move(b).b());
    });
    double t_base = best_of([&] {
      std::vector<KTermRef> v;
      for (size_t i = 0; i < n; ++i) v.push_back(x);
      keep(v);
    });
    std::printf("  %-34zu %12.1f %12.1f %8.2f\n", n, t_build * 1e9 / n, t_base * 1e9 / n,
                t_build / t_base);
  }
  std::printf("  (baseline: push_back of the same reference into a std::vector)\n\n");
}

// A test term together with the pieces a hand-written printer would append for it.
struct Sample {
  const char* name;
  KTermRef term;
  uint64_t nodes;
  std::vector<std::string_view> pieces;  // point into `texts`
  std::vector<std::string> texts;
  int inner;  // runs per timing, so that tiny outputs still take measurable time
};

// A block: Push of four spaces, NL and HOLE per child, POP; each child a leaf with its text.
// With `wrapped`, each leaf sits inside a one-child statement node.
Sample block_of(const char* name, std::vector<std::string> texts, int inner, bool wrapped = false) {
  Sample s{name, {}, texts.size() * (wrapped ? 2 : 1) + 1, {}, std::move(texts), inner};
  KTermBuilder b = tb("block");
  b.push("    ");
  for (const std::string& t : s.texts) {
    KTermRef l = leaf("stmt", t);
    b.nl().child(wrapped ? tb("line").c(l).b() : l);
    s.pieces.insert(s.pieces.end(), {"\n", "    ", t});
  }
  b.pop();
  s.term = std::move(b).b();
  return s;
}

Sample wide() {
  std::vector<std::string> texts;
  for (int i = 0; i < 100000; ++i) {
    std::string n = std::to_string(i);
    texts.push_back(std::string("x").append(n).append(" = ").append(n));
  }
  return block_of("wide: block of 100000 leaves, one per indented line", std::move(texts), 1);
}

// Many children that have children of their own: the decoder's child stack must keep
// growing geometrically here, or decoding turns quadratic.
Sample wide_nested() {
  std::vector<std::string> texts;
  for (int i = 0; i < 300000; ++i) texts.push_back(std::string("s").append(std::to_string(i)));
  return block_of("wide-nested: block of 300000 one-child statements", std::move(texts), 1, true);
}

Sample text_heavy() {
  std::vector<std::string> texts;
  for (int i = 0; i < 10000; ++i) {
    std::string t(1024, 'a');
    for (size_t k = 0; k < t.size(); ++k) t[k] = static_cast<char>('a' + (k * 7 + i) % 26);
    texts.push_back(std::move(t));
  }
  return block_of("text-heavy: block of 10000 leaves of 1 KiB", std::move(texts), 1);
}

// f(f(...f(x)...)): 10000 nested calls around one leaf.
Sample deep() {
  constexpr int levels = 10000;
  Sample s{"deep: 10000 nested levels", leaf("name", "x"), levels + 1, {}, {}, 50};
  for (int i = 0; i < levels; ++i) {
    KTermBuilder b = tb("call");
    b.write("f(").child(s.term).write(")");
    s.term = std::move(b).b();
  }
  s.pieces.assign(levels, "f(");
  s.pieces.push_back("x");
  s.pieces.insert(s.pieces.end(), levels, ")");
  return s;
}

void bench_sample(const Sample& s) {
  std::string expected;
  for (std::string_view p : s.pieces) expected.append(p);
  check(coparse(*s.term) == expected, "coparse differs from the baseline pieces");
  const std::string bytes = postcard_bytes(*s.term);
  {
    Decoded d = from_postcard_bytes(bytes);
    check(d.ok() && equal(*d.term, *s.term), "round trip failed");
  }

  auto repeat = [&](auto op) {
    return [&s, op] {
      for (int i = 0; i < s.inner; ++i) op();
    };
  };
  double t_base = best_of(repeat([&] {
    std::string out;
    for (std::string_view p : s.pieces) out.append(p.data(), p.size());
    keep(out);
  }));
  double t_coparse = best_of(repeat([&] {
    std::string out = coparse(*s.term);
    keep(out);
  }));
  double t_encode = best_of(repeat([&] {
    std::string out = postcard_bytes(*s.term);
    keep(out);
  }));
  std::vector<Decoded> held;  // released after timing, so decode is measured alone
  held.reserve(static_cast<size_t>(s.inner));
  double t_decode = best_of([&] { held.clear(); },
                            [&] {
                              for (int i = 0; i < s.inner; ++i)
                                held.push_back(from_postcard_bytes(bytes));
                            });
  double t_drop = best_of(
      [&] {
        held.clear();
        for (int i = 0; i < s.inner; ++i) held.push_back(from_postcard_bytes(bytes));
      },
      [&] { held.clear(); });
  double t_copy = best_of(repeat([&] {
    std::string out(bytes);
    keep(out);
  }));

  const double runs = s.inner;
  const double out_mb = static_cast<double>(expected.size()) / 1e6;
  const double enc_mb = static_cast<double>(bytes.size()) / 1e6;
  const double nodes = static_cast<double>(s.nodes);
  const double base = out_mb * runs / t_base;
  std::printf("%s\n  %llu nodes, output %.3f MB, encoded %.3f MB\n", s.name,
              static_cast<unsigned long long>(s.nodes), out_mb, enc_mb);
  std::printf("  %-38s %10s %10s %10s\n", "", "MB/s", "Mnodes/s", "/baseline");
  auto row = [&](const char* what, double mb, double t, bool per_node) {
    double mbs = mb * runs / t;
    if (per_node) {
      std::printf("  %-38s %10.0f %10.2f %10.2f\n", what, mbs, nodes * runs / t / 1e6, mbs / base);
    } else {
      std::printf("  %-38s %10.0f %10s %10.2f\n", what, mbs, "", mbs / base);
    }
  };
  row("baseline: append pieces to std::string", out_mb, t_base, false);
  row("coparse (MB of output)", out_mb, t_coparse, true);
  row("encode (MB of bytes)", enc_mb, t_encode, true);
  row("decode (MB of bytes)", enc_mb, t_decode, true);
  row("release of decoded term (MB of bytes)", enc_mb, t_drop, true);
  row("copy of the encoded bytes (memcpy)", enc_mb, t_copy, false);
  std::printf("\n");
}

}  // namespace
}  // namespace kovel

int main() {
  std::printf("kovel core benchmark; every figure is the best of %d runs\n\n", kovel::kReps);
  kovel::bench_leaf();
  kovel::bench_builder();
  kovel::bench_sample(kovel::wide());
  kovel::bench_sample(kovel::wide_nested());
  kovel::bench_sample(kovel::deep());
  kovel::bench_sample(kovel::text_heavy());
  return 0;
}
