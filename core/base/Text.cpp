#include "core/base/Text.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <ctime>

namespace tarvo::Text {
namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at the start of `s`, 0 if none,
// and its code point.
size_t decodeOne(std::string_view s, char32_t& cp) {
    auto byte = [&](size_t i) { return static_cast<std::uint8_t>(s[i]); };
    std::uint8_t lead = byte(0);
    if (lead < 0x80) return cp = lead, 1;
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || s.size() < length) return 0;
    cp = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i) & 0x3F);
    }
    bool overlong = (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
    bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    if (overlong || surrogate || cp > 0x10FFFF) return 0;
    return length;
}

bool isWhiteSpace(char32_t cp) {
    static constexpr std::array<char32_t, 8> others = {0x85,   0xA0,   0x1680, 0x2028,
                                                       0x2029, 0x202F, 0x205F, 0x3000};
    if ((cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || (cp >= 0x2000 && cp <= 0x200A)) return true;
    for (char32_t other : others)
        if (cp == other) return true;
    return false;
}

// Length of the white-space character at the start or the end of `s`, 0 if
// there is none.
size_t spaceAtFront(std::string_view s) {
    char32_t cp = 0;
    size_t length = decodeOne(s, cp);
    return length && isWhiteSpace(cp) ? length : 0;
}

size_t spaceAtBack(std::string_view s) {
    for (size_t length = 1; length <= 3 && length <= s.size(); ++length) {
        std::string_view tail = s.substr(s.size() - length);
        char32_t cp = 0;
        if (decodeOne(tail, cp) == length) return isWhiteSpace(cp) ? length : 0;
    }
    return 0;
}

} // namespace

std::string_view trim(std::string_view text) {
    while (size_t n = text.empty() ? 0 : spaceAtFront(text))
        text.remove_prefix(n);
    while (size_t n = text.empty() ? 0 : spaceAtBack(text))
        text.remove_suffix(n);
    return text;
}

std::string decodeLossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        char32_t cp = 0;
        size_t length = decodeOne(bytes, cp);
        if (length == 0) {
            out += replacement;
            length = 1;
        } else {
            out.append(bytes.substr(0, length));
        }
        bytes.remove_prefix(length);
    }
    return out;
}

bool isValidUtf8(std::string_view bytes) {
    while (!bytes.empty()) {
        char32_t cp = 0;
        size_t length = decodeOne(bytes, cp);
        if (length == 0) return false;
        bytes.remove_prefix(length);
    }
    return true;
}

double shortestDecimal(float value) {
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    if (error != std::errc()) return value;
    double decimal = value;
    std::from_chars(text, end, decimal);
    return decimal;
}

bool nestingWithin(std::string_view json, int limit) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : json) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

std::string localDay(double unixSeconds) {
    auto when = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    char day[32] = "";
    if (localtime_r(&when, &local)) std::strftime(day, sizeof day, "%Y-%m-%d", &local);
    return day;
}

} // namespace tarvo::Text
