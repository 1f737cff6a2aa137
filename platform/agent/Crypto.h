#pragma once

#include "platform/Result.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Software cryptography for sealing the password: P-256 ECDH, HKDF-SHA256
// and AES-256-GCM, on OpenSSL 3.
namespace tarvo::platform::Crypto {

using Bytes = std::vector<std::uint8_t>;
using Point = std::array<std::uint8_t, 64>; // X then Y, big-endian
using Secret = std::array<std::uint8_t, 32>;

// A fresh software key pair is made, agreed with `peer`, and dropped: the
// shared secret (X coordinate) and the ephemeral public point; fails when
// `peer` is not a point on the curve or the library fails.
struct Agreement {
    Secret shared{};
    Point ephemeralPublic{};
};
Result<Agreement> agreeWithEphemeralKey(const Point& peer);

// HKDF-SHA256 with empty info, 32 bytes out.
Result<Secret> hkdf(const Secret& input, std::string_view salt);

// AES-256-GCM with a fresh random 12-byte nonce and no additional data, in
// combined form: nonce, ciphertext, 16-byte tag.
Result<Bytes> seal(const Secret& key, std::string_view plaintext);
// Opens a combined box; fails if it is malformed or fails authentication.
Result<std::string> open(const Secret& key, const Bytes& box);

std::string base64(const Bytes& bytes);
// Standard alphabet with padding; nothing for anything else.
std::optional<Bytes> unbase64(std::string_view text);

} // namespace tarvo::platform::Crypto
