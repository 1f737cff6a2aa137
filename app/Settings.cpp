#include "app/Settings.h"

#include <algorithm>

namespace tarvo::app::settings {
namespace {

template <typename Change> Config stored(Change change) {
    Config config = Config::load();
    change(config);
    config.save();
    return config;
}

} // namespace

Config setSensitivity(double sensitivity) {
    return stored(
        [&](Config& config) { config.setSensitivity(std::clamp(sensitivity, 0.0, 1.0)); });
}

Config setLiveness(Config::Liveness liveness) {
    return stored([&](Config& config) { config.liveness = liveness; });
}

Config setWarmWithDisplay(bool on) {
    return stored([&](Config& config) { config.warmWithDisplay = on; });
}

Config setCamera(const std::string& name) {
    return stored([&](Config& config) { config.camera = name; });
}

} // namespace tarvo::app::settings
