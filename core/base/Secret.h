#pragma once

#include <string.h>
#include <string>

namespace tarvo {

// Overwrites a secret's bytes in a way the optimiser may not drop, then
// empties it. Strings that ever held a password go through here.
inline void wipe(std::string& secret) {
    explicit_bzero(secret.data(), secret.capacity());
    secret.clear();
}

} // namespace tarvo
