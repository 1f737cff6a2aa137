#pragma once

#include <vector>

namespace tarvo {

// A face embedding of unit length, as the face engine computes it and the
// enrolled-faces file stores it ({"vector": [...]}).
struct Descriptor {
    std::vector<float> vector;
    bool operator==(const Descriptor&) const = default;
};

} // namespace tarvo
