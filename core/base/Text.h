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

// A float as the double of its shortest decimal text, so JSON shows 0.1
// rather than 0.10000000149011612 and reads back to the same float.
double shortestDecimal(float value);

// Whether JSON text nests arrays and objects no deeper than `limit` (brackets
// inside strings don't count). Checked before parsing anything read from
// disk: a file of nothing but brackets costs a parser memory by the level.
bool nestingWithin(std::string_view json, int limit = 16);

// The local date of a moment in Unix seconds, as 2026-12-09.
std::string localDay(double unixSeconds);

} // namespace tarvo::Text
