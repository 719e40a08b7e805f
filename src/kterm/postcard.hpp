// postcard.hpp: a term's byte form, written and read without recursion.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "kterm/kterm.hpp"
#include "wire/wire.hpp"

namespace kovel {

/// Appends the encoding of t to out.
void encode(const KTerm& t, std::string& out);
/// The encoding of t.
std::string postcard_bytes(const KTerm& t);

/// A decoded term, or the error that stopped decoding.
struct Decoded {
  KTermRef term;
  wire::DecodeError error = wire::DecodeError::None;
  bool ok() const noexcept { return error == wire::DecodeError::None; }
  std::string_view message() const noexcept { return wire::message(error); }
};

/// Reads one term from the start of in; trailing bytes are ignored.
Decoded from_postcard_bytes(std::string_view in);

}  // namespace kovel
