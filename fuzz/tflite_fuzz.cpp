// A user may drop any file in as the embedding model; reading it and
// building the network from it must fail cleanly, never crash.
#include "platform/EmbeddingModel.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto graph = tarvo::platform::Tflite::parse(bytes, error);
    if (!graph) {
        if (error.empty()) __builtin_trap();
        return 0;
    }
    if (!tarvo::platform::buildNetwork(*graph, error) && error.empty()) __builtin_trap();
    return 0;
}
