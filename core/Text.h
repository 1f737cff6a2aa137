#pragma once

#include <string>
#include <string_view>

namespace tarvo::Text {

// Drops white space and line breaks (Unicode White_Space, UTF-8 encoded) at
// both ends.
std::string_view trim(std::string_view text);

// The bytes as valid UTF-8: every ill-formed sequence becomes U+FFFD.
std::string decodeLossy(std::string_view bytes);

bool isValidUtf8(std::string_view bytes);

} // namespace tarvo::Text
