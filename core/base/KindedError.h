#pragma once

#include <stdexcept>
#include <string>

namespace tarvo {

// The error of a component whose failures its callers tell apart: the text
// is the exact message shown or logged, the kind what they switch on. Where
// nobody tells them apart, a component's error is a plain runtime_error of
// its own, with a named constructor for each message.
template <typename KindType> class KindedError : public std::runtime_error {
  public:
    using Kind = KindType;
    KindedError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

} // namespace tarvo
