#pragma once

#include "platform/Result.h"

#include <string>

// The login keyring, as the Secret Service on the session bus keeps it
// (gnome-keyring, KeePassXC, KWallet's bridge...).
namespace tarvo::platform::Keyring {

enum class State {
    unlocked,
    locked,
    absent, // no Secret Service, or no default collection: nothing to unlock
};

State loginState();

// Unlocks the default collection with the password, as gnome-keyring allows
// through its master-password interface; succeeds when it is unlocked
// afterwards.
Result<void> unlock(const std::string& password);

} // namespace tarvo::platform::Keyring
