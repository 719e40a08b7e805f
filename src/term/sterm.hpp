// sterm.hpp: the source-term interface, coparse, and the core's internal fault.
#pragma once

#include <concepts>
#include <exception>
#include <string>
#include <utility>

#include "strcmd/strcmd.hpp"

namespace kovel {

/// A broken invariant inside the core (a Tuple with more HOLE entries than children).
/// Derives from std::exception and keeps its own text: std::logic_error's constructors
/// would tie the extension to a newer libstdc++ than the portable wheel may require.
class InternalFault : public std::exception {
 public:
  explicit InternalFault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

/// A source term: something that can emit its commands into a prefix writer.
template <class T>
concept STerm = requires(const T& t, PrefixWriter& w) {
  { write(t, w) } -> std::same_as<void>;
};

/// Emits t into out with a fresh writer: coparse without the final copy, for a caller that
/// turns the bytes into something else. Throws as coparse does.
template <STerm T>
void coparse_into(const T& t, ByteBuffer& out, Poll poll = nullptr) {
  PrefixWriter w(out, poll);
  write(t, w);
}

/// "Serialize the term back to source code." Throws InternalFault on a broken term, and
/// whatever poll throws.
template <STerm T>
std::string coparse(const T& t, Poll poll = nullptr) {
  ByteBuffer out;
  coparse_into(t, out, poll);
  return std::string(out.view());  // whole UTF-8 texts and newlines only: valid by construction
}

}  // namespace kovel
