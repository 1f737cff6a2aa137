#pragma once

#include <string>

// The desktop's clipboard. The application's shell supplies the backend
// (its toolkit owns the selection); the model only hands text to it.
namespace tarvo::platform {

class Clipboard {
  public:
    virtual ~Clipboard() = default;
    // Replaces the clipboard's contents with plain text.
    virtual void setText(const std::string& text) = 0;
};

} // namespace tarvo::platform
