// A user may drop any file in as the embedding model; reading it and
// building the network from it must fail cleanly, never crash.
#include "core/face/EmbeddingModel.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        tarvo::buildNetwork(tarvo::Tflite::parse(bytes));
    } catch (const tarvo::Tflite::ParseError&) {
    } catch (const tarvo::ModelError&) {
    }
    return 0;
}
