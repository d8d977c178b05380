#pragma once

namespace kestro {

/// Visitor made of lambdas, one per variant alternative.
template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};

}  // namespace kestro
