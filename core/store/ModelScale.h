#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo {

// Where the embedding model in use puts one person and another: the
// figures tools/measure-model measured on the pinned photo sets, kept under
// "measured" in the model's description file (FaceEmbedding.json). Every
// threshold of the system lies on this model's own scale.
struct ModelScale {
    static constexpr int steps = 26;

    float strictest = 0; // the threshold at sensitivity 0
    float loosest = 0;   // at sensitivity 1: the closest stranger pair less a margin
    float closestStranger = 0;
    std::int64_t strangerPairs = 0; // pairs of different people measured
    // Genuine acceptance in percent at each of the steps from the strictest
    // threshold to the loosest.
    std::array<double, steps> acceptance{};

    // The figures beside the model in use, read once per model path. A
    // model without them has no known scale: every figure is 0, so nothing
    // but an identical face is accepted.
    static const ModelScale& current();
    // Why the model in use has no scale, naming where it looked (then
    // nothing but an identical face can match); nothing when it has one.
    static std::optional<std::string> problem();
    // The "measured" object of a description file; nothing when it is
    // missing, damaged, or its figures are out of order.
    static std::optional<ModelScale> decode(std::string_view description);
    // `description` with these figures under "measured", every other key
    // kept; nothing when `description` is not a JSON object.
    std::optional<std::string> into(std::string_view description) const;

    float threshold(int step) const;
    bool operator==(const ModelScale&) const = default;
};

} // namespace tarvo
