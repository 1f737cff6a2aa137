#include "platform/agent/SystemState.h"

#include <ctime>
#include <fstream>

namespace tarvo::platform::SystemState {

std::chrono::nanoseconds sinceBoot() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

std::string bootId() {
    std::ifstream file("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(file, id);
    return id.size() == 36 ? id : std::string();
}

} // namespace tarvo::platform::SystemState
