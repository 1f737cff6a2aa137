#include "core/store/Config.h"

#include "core/base/Text.h"
#include "core/store/Damage.h"
#include "core/store/DataFile.h"
#include "core/store/Paths.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace tarvo {
namespace {

using Json = nlohmann::json;

Config fallback() {
    Config config;
    config.threshold = Config::thresholdFor(0);
    return config;
}

// Each reader leaves the value in place for a missing key, a null, or a
// value of the wrong JSON type or range.
void readDouble(const Json& object, const char* key, double& out) {
    auto it = object.find(key);
    if (it != object.end() && it->is_number()) out = it->get<double>();
}

void readFloat(const Json& object, const char* key, float& out) {
    double value = std::numeric_limits<double>::quiet_NaN();
    readDouble(object, key, value);
    if (std::isnan(value) ||
        (std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max()))
        return;
    out = static_cast<float>(value);
}

void readInt64(const Json& object, const char* key, std::int64_t& out) {
    auto it = object.find(key);
    if (it == object.end()) return;
    if (it->is_number_integer() && !it->is_number_unsigned()) {
        out = it->get<std::int64_t>();
    } else if (it->is_number_unsigned()) {
        auto value = it->get<std::uint64_t>();
        if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            out = static_cast<std::int64_t>(value);
    } else if (it->is_number_float()) {
        // 3.0 is an integer written as a float; 3.5 is not.
        double value = it->get<double>();
        if (value == std::trunc(value) && value >= -0x1p63 && value < 0x1p63)
            out = static_cast<std::int64_t>(value);
    }
}

void readString(const Json& object, const char* key, std::string& out) {
    auto it = object.find(key);
    if (it != object.end() && it->is_string()) out = it->get<std::string>();
}

void readBool(const Json& object, const char* key, bool& out) {
    auto it = object.find(key);
    if (it != object.end() && it->is_boolean()) out = it->get<bool>();
}

// Anything but one of the two names is attention, never a failure.
Config::Liveness readLiveness(const Json& object) {
    auto it = object.find("liveness");
    if (it != object.end() && it->is_string() && it->get<std::string>() == "blink")
        return Config::Liveness::blink;
    return Config::Liveness::attention;
}

float clampedSensitivity(double sensitivity) {
    if (std::isnan(sensitivity)) return 0;
    return static_cast<float>(std::clamp(sensitivity, 0.0, 1.0));
}

} // namespace

double Config::snapped(double sensitivity) {
    return sensitivityStep * std::round(sensitivity / sensitivityStep);
}

float Config::thresholdFor(double sensitivity) {
    const auto& scale = ModelScale::current();
    return scale.strictest + clampedSensitivity(sensitivity) * (scale.loosest - scale.strictest);
}

std::string_view Config::name(Liveness liveness) {
    return liveness == Liveness::blink ? "blink" : "attention";
}

std::optional<Config> Config::decode(std::string_view text) {
    if (!Text::nestingWithin(text)) return std::nullopt;
    Json object = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!object.is_object()) return std::nullopt;
    // Key by key: one wrong-typed key keeps its default and costs no other
    // key its value (a save would otherwise reset them all).
    Config config;
    readFloat(object, "threshold", config.threshold);
    readInt64(object, "requiredFrames", config.requiredFrames);
    readDouble(object, "openEyeAspectRatio", config.openEyeAspectRatio);
    readBool(object, "warmWithDisplay", config.warmWithDisplay);
    readDouble(object, "sensitivity", config.sensitivity);
    readString(object, "camera", config.camera);
    config.liveness = readLiveness(object);
    return config;
}

std::string Config::encode() const {
    Json object = {
        {"threshold", Text::shortestDecimal(threshold)},
        {"requiredFrames", requiredFrames},
        {"liveness", name(liveness)},
        {"openEyeAspectRatio", openEyeAspectRatio},
        {"warmWithDisplay", warmWithDisplay},
        {"sensitivity", sensitivity},
    };
    // Written only when one was chosen: a file without it means the default.
    if (!camera.empty()) object["camera"] = camera;
    // Non-finite numbers have no JSON form; refuse rather than write null.
    for (const auto& [key, value] : object.items())
        if (value.is_number_float() && !std::isfinite(value.get<double>()))
            throw DataFile::FileError::notWritten("could not encode " + key +
                                                  ": not a finite number");
    return object.dump(2) + "\n";
}

namespace {

// untrusted: not the user's own (DataFile::readOwn), so never moved either.
enum class Read { missing, decoded, damaged, untrusted };

// The file at `path` as load takes it: its text and what it decodes to.
Read read(const std::filesystem::path& path, std::string& text, Config& config) {
    std::optional<std::string> found;
    try {
        found = DataFile::readOwn(path);
    } catch (const DataFile::FileError&) {
        return Read::untrusted;
    }
    if (!found) return Damage::present(path) ? Read::damaged : Read::missing;
    auto decoded = Config::decode(*found);
    if (!decoded) return Read::damaged;
    text = std::move(*found);
    config = *decoded;
    return Read::decoded;
}

Config strictestSettings() {
    Config config = fallback();
    config.liveness = Config::Liveness::blink;
    return config;
}

// A file there that won't decode is kept, under a name that says so.
void setAsideIfDamaged(const std::filesystem::path& path) {
    std::string text;
    Config ignored;
    if (read(path, text, ignored) == Read::damaged) Damage::setAside(path);
}

} // namespace

Config Config::load(Source* source) {
    Source from = Source::file;
    std::string text;
    Config config;
    switch (read(Paths::config(), text, config)) {
    case Read::decoded:
        break;
    case Read::missing:
        from = Source::defaults;
        config = fallback();
        break;
    case Read::damaged:
    case Read::untrusted:
        from = read(Paths::configLastGood(), text, config) == Read::decoded ? Source::lastGood
                                                                            : Source::strictest;
        if (from == Source::strictest) config = strictestSettings();
        break;
    }
    if (source) *source = from;
    config.applySensitivity();
    return config;
}

std::optional<std::string_view> Config::problem(Source source) {
    switch (source) {
    case Source::lastGood:
        return Damage::settingsLastGood;
    case Source::strictest:
        return Damage::settingsStrictest;
    case Source::file:
    case Source::defaults:
        break;
    }
    return std::nullopt;
}

void Config::save() const {
    std::string text = encode();
    setAsideIfDamaged(Paths::config());
    DataFile::writeOwn(Paths::config(), text);
    setAsideIfDamaged(Paths::configLastGood());
    DataFile::writeOwn(Paths::configLastGood(), text);
}

void Config::keepLastGood() {
    std::string text, copy;
    Config config;
    if (read(Paths::config(), text, config) != Read::decoded) return;
    if (read(Paths::configLastGood(), copy, config) == Read::decoded && copy == text) return;
    try {
        setAsideIfDamaged(Paths::configLastGood());
        DataFile::writeOwn(Paths::configLastGood(), text);
    } catch (const DataFile::FileError&) {
        // Without a copy a damaged file falls back to the strictest settings.
    }
}

} // namespace tarvo
