// Settings files are read by the agent and the app alike; no content may
// crash a reader, and what decodes must survive its own encoding.
#include "core/store/Config.h"

#include <cmath>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto config =
        tarvo::Config::decode(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!config || !std::isfinite(config->openEyeAspectRatio) ||
        !std::isfinite(config->sensitivity))
        return 0;
    auto again = tarvo::Config::decode(config->encode());
    if (!again || !(*again == *config)) __builtin_trap();
    return 0;
}
