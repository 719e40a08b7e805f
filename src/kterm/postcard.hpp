// postcard.hpp: a term's byte form, written and read without recursion.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "kterm/kterm.hpp"
#include "poll/poll.hpp"
#include "wire/wire.hpp"

namespace kovel {

/// Appends the encoding of t to out. A shared subtree is written once per occurrence, so the
/// output can outgrow the term many times over: poll is called now and then and may throw.
void encode(const KTerm& t, std::string& out, Poll poll = nullptr);
/// The encoding of t.
std::string postcard_bytes(const KTerm& t, Poll poll = nullptr);

/// A decoded term, or the error that stopped decoding.
struct Decoded {
  KTermRef term;
  wire::DecodeError error = wire::DecodeError::None;
  size_t read = 0;  // the bytes the term took, when it decoded
  bool ok() const noexcept { return error == wire::DecodeError::None; }
  std::string_view message() const noexcept { return wire::message(error); }
};

/// Reads one term from the start of in; trailing bytes are ignored. poll is called now and
/// then and may throw; nothing decoded survives it.
Decoded from_postcard_bytes(std::string_view in, Poll poll = nullptr);

/// The bytes of stack room the calling thread keeps for its next decode (at most 1 MiB for
/// each of its two stacks); for tests and diagnostics.
size_t decoder_kept_bytes() noexcept;

}  // namespace kovel
