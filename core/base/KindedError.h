#pragma once

#include <stdexcept>
#include <string>

namespace tarvo {

// The shape every component's error shares: the text is the exact message
// shown or logged, and the kind is what callers switch on.
template <typename KindType> class KindedError : public std::runtime_error {
  public:
    using Kind = KindType;
    KindedError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

} // namespace tarvo
