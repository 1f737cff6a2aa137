#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tarvo::platform::SystemState {

// Time since boot, counting suspended and hibernated time, which the user
// can't set: how long ago the password was typed, measured so that moving
// the wall clock back can't extend it.
std::chrono::nanoseconds sinceBoot();

// This boot's identifier (the kernel's random boot_id); empty when unreadable.
std::string bootId();

} // namespace tarvo::platform::SystemState
