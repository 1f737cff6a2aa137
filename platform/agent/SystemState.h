#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tarvo::platform::SystemState {

// How often the machine has hibernated; -1 when that can't be read. Linux
// keeps no such count, so this is always -1 here: after hibernation the
// disk's own passphrase is asked before the lock screen shows, and the
// 48-hour rule still stands.
std::int32_t hibernationCount();

// Whether the system's own biometric unlock is locked out and wants the
// password. Linux has no such state.
bool biometryLockedOut();

// Time since boot, counting suspended and hibernated time, which the user
// can't set: how long ago the password was typed, measured so that moving
// the wall clock back can't extend it.
std::chrono::nanoseconds sinceBoot();

// This boot's identifier (the kernel's random boot_id); empty when unreadable.
std::string bootId();

} // namespace tarvo::platform::SystemState
