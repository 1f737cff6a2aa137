#include "platform/agent/SystemState.h"

#include <ctime>

namespace tarvo::platform::SystemState {

std::int32_t hibernationCount() {
    return -1;
}

bool biometryLockedOut() {
    return false;
}

std::chrono::nanoseconds sinceBoot() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

} // namespace tarvo::platform::SystemState
