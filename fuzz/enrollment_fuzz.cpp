// The enrolled faces are read by the agent on every VERIFY; no content may
// crash the reader, and what decodes must survive its own encoding.
#include "core/store/Enrollment.h"

#include <cmath>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto faces =
        tarvo::Enrollment::decode(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!faces) return 0;
    for (const auto& face : *faces)
        for (const auto& sample : face.samples)
            for (float v : sample.vector)
                if (!std::isfinite(v)) return 0;
    auto again = tarvo::Enrollment::decode(tarvo::Enrollment::encode(*faces));
    if (!again || again->size() != faces->size()) __builtin_trap();
    return 0;
}
