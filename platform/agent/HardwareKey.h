#pragma once

#include "platform/Result.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::platform::HardwareKey {

// A P-256 key-agreement key whose private half never leaves this machine's
// TPM. `blob` is the TPM-wrapped key (public and private areas, marshalled):
// only the TPM that made it can load it again.
using Point = std::array<std::uint8_t, 64>; // X then Y, big-endian
using Secret = std::array<std::uint8_t, 32>;

struct Key {
    std::vector<std::uint8_t> blob;
    Point publicPoint{};
};

// Why a call failed, in words for the user.
struct Error {
    bool noDevice = false; // no TPM can be reached by this user
    std::string text;
};

// Whether this user can use a TPM, and if not, why: none on this machine,
// a device this user may not open (`device` names it), or one that did not
// answer (`text` says how). The TPM is reached through tpm2-tss's TCTI
// loader: the configuration in TPM2TOOLS_TCTI or TCTI (as tpm2-tools reads
// them), else its default order (/dev/tpmrm0, /dev/tpm0, ...). The
// library's own log lines are off unless TSS2_LOG asks for them: what went
// wrong reaches the user in our words.
struct Availability {
    enum class Kind { ready, noDevice, notAllowed, unreachable };
    Kind kind = Kind::noDevice;
    std::string device, text;
};
Availability availability();

// A new key under the storage hierarchy's primary key.
Result<Key, Error> create();

// The ECDH shared secret (the X coordinate, 32 bytes) of the key in `blob`
// with a peer's public point, computed inside the TPM.
Result<Secret, Error> sharedSecret(const std::vector<std::uint8_t>& blob, const Point& peerPoint);

} // namespace tarvo::platform::HardwareKey
