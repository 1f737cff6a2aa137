#include "core/store/Enrollment.h"

#include "core/base/Text.h"
#include "core/store/DataFile.h"
#include "core/store/Paths.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>

namespace tarvo::Enrollment {
namespace {

using Json = nlohmann::ordered_json;
constexpr std::int64_t currentVersion = 3;
// Version 2 dated faces from 2001-01-01 and learned nothing; it is read
// and written back as this version.
constexpr std::int64_t datedFrom2001 = 2;
constexpr double unixSecondsIn2001 = 978307200;

std::string newUuid() {
    std::random_device random;
    std::uint8_t bytes[16];
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    bytes[6] = (bytes[6] & 0x0F) | 0x40; // version 4
    bytes[8] = (bytes[8] & 0x3F) | 0x80; // RFC 4122 variant
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

bool isUuid(const std::string& text) {
    static const std::regex pattern(
        "[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}");
    return std::regex_match(text, pattern);
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), ::toupper);
    return text;
}

std::string folded(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), ::tolower);
    return text;
}

// A sample as the embedder writes it: finite numbers of unit length. A
// sample of any other length would weigh differently against a probe; one
// scaled up by a large factor, for one, would make every face close.
std::optional<Descriptor> descriptor(const nlohmann::json& json) {
    if (!json.is_object()) return std::nullopt;
    auto it = json.find("vector");
    if (it == json.end() || !it->is_array() || it->empty()) return std::nullopt;
    Descriptor d;
    double squares = 0;
    for (const auto& v : *it) {
        if (!v.is_number()) return std::nullopt;
        d.vector.push_back(v.get<float>());
        squares += double(d.vector.back()) * double(d.vector.back());
    }
    if (!std::isfinite(squares) || std::fabs(std::sqrt(squares) - 1) > 1e-3) return std::nullopt;
    return d;
}

std::optional<double> number(const nlohmann::json& json, const char* key) {
    auto it = json.find(key);
    if (it == json.end() || !it->is_number() || !std::isfinite(it->get<double>()))
        return std::nullopt;
    return it->get<double>();
}

std::optional<Learned> learned(const nlohmann::json& json) {
    auto sample = descriptor(json);
    if (!sample) return std::nullopt;
    auto at = number(json, "learnedAt"), distance = number(json, "distance");
    if (!at || !distance || *distance < 0 || *distance > 2) return std::nullopt;
    return Learned{std::move(*sample), *at, float(*distance)};
}

std::optional<Face> face(const nlohmann::json& json, std::int64_t version) {
    if (!json.is_object()) return std::nullopt;
    auto id = json.find("id"), name = json.find("name"), samples = json.find("samples");
    auto added = number(json, "addedAt");
    if (id == json.end() || !id->is_string() || !isUuid(id->get<std::string>()) ||
        name == json.end() || !name->is_string() || samples == json.end() || !samples->is_array() ||
        !added)
        return std::nullopt;
    if (version == datedFrom2001) *added += unixSecondsIn2001;
    Face f{upper(id->get<std::string>()), name->get<std::string>(), {}, *added, {}};
    for (const auto& sample : *samples) {
        auto d = descriptor(sample);
        if (!d) return std::nullopt;
        f.samples.push_back(std::move(*d));
    }
    auto taught = json.find("learned");
    if (version == datedFrom2001 || taught == json.end()) return f;
    if (!taught->is_array()) return std::nullopt;
    for (const auto& entry : *taught) {
        auto l = learned(entry);
        if (!l) return std::nullopt;
        f.learned.push_back(std::move(*l));
    }
    return f;
}

bool readable(std::int64_t version) {
    return version == currentVersion || version == datedFrom2001;
}

// Why an undecodable file can't be used: another version's, or damaged.
EnrollError problemOf(std::string_view text) {
    if (Text::nestingWithin(text)) {
        auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
        auto version = json.is_object() ? json.find("version") : json.end();
        if (json.is_object() && version != json.end() && version->is_number_integer() &&
            !readable(version->get<std::int64_t>()))
            return EnrollError::corrupt(
                version->get<std::int64_t>() < currentVersion ? olderVersion : newerVersion);
    }
    return EnrollError::damaged();
}

// The stored faces; none when there is no file. A file that is there but
// can't be used throws EnrollError with the reason: writing over it would
// lose every face it holds.
std::vector<Face> stored() {
    if (!Damage::present(Paths::enrolled())) return {};
    // A folder or file that isn't the user's own throws FileError, unchanged.
    auto text = DataFile::readOwn(Paths::enrolled());
    if (!text) throw EnrollError::damaged();
    auto list = decode(*text);
    if (!list) throw problemOf(*text);
    return *list;
}

void write(const std::vector<Face>& list) {
    DataFile::writeOwn(Paths::enrolled(), encode(list));
    std::error_code ignored;
    std::filesystem::remove(Paths::legacyEnrolled(), ignored);
}

} // namespace

double unixSeconds(std::chrono::system_clock::time_point when) {
    return std::chrono::duration<double>(when.time_since_epoch()).count();
}

namespace {

Json vectorOf(const Descriptor& sample) {
    Json vector = Json::array();
    for (float v : sample.vector)
        vector.push_back(Text::shortestDecimal(v));
    return vector;
}

} // namespace

std::string encode(const std::vector<Face>& list) {
    Json array = Json::array();
    for (const auto& f : list) {
        Json samples = Json::array(), taught = Json::array();
        for (const auto& s : f.samples)
            samples.push_back(Json{{"vector", vectorOf(s)}});
        for (const auto& l : f.learned)
            taught.push_back(Json{{"vector", vectorOf(l.sample)},
                                  {"learnedAt", l.learnedAt},
                                  {"distance", Text::shortestDecimal(l.distance)}});
        array.push_back(Json{{"id", f.id},
                             {"name", f.name},
                             {"samples", samples},
                             {"addedAt", f.addedAt},
                             {"learned", taught}});
    }
    return Json{{"version", currentVersion}, {"faces", array}}.dump();
}

std::optional<std::vector<Face>> decode(std::string_view text) {
    if (!Text::nestingWithin(text)) return std::nullopt;
    auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) return std::nullopt;
    auto version = json.find("version"), list = json.find("faces");
    if (version == json.end() || !version->is_number_integer() || list == json.end() ||
        !list->is_array() || !readable(version->get<std::int64_t>()))
        return std::nullopt;
    std::vector<Face> out;
    for (const auto& entry : *list) {
        auto f = face(entry, version->get<std::int64_t>());
        if (!f) return std::nullopt;
        out.push_back(std::move(*f));
    }
    return out;
}

std::vector<Face> faces() {
    try {
        return stored();
    } catch (const EnrollError&) {
        return {};
    }
}

std::optional<EnrollError> problem() {
    try {
        stored();
    } catch (const EnrollError& error) {
        return error;
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> setAsideDamaged() {
    auto found = problem();
    if (!found || found->kind() != EnrollErrorKind::damaged) return std::nullopt;
    return Damage::setAside(Paths::enrolled());
}

std::vector<Descriptor> load() {
    std::error_code ec;
    if (!std::filesystem::exists(Paths::enrolled(), ec) &&
        std::filesystem::exists(Paths::legacyEnrolled(), ec))
        throw EnrollError::corrupt(olderFormat);
    std::vector<Descriptor> samples;
    for (const auto& f : stored()) {
        samples.insert(samples.end(), f.samples.begin(), f.samples.end());
        for (const auto& l : f.learned)
            samples.push_back(l.sample);
    }
    if (samples.empty()) throw EnrollError::nothingEnrolled();
    return samples;
}

void add(const std::string& name, const std::vector<Descriptor>& samples) {
    std::vector<Face> list = stored();
    std::string trimmed(Text::trim(name));
    if (trimmed.empty()) trimmed = "Face " + std::to_string(list.size() + 1);
    std::erase_if(list, [&](const Face& f) { return folded(f.name) == folded(trimmed); });
    list.push_back(
        {newUuid(), trimmed, samples, unixSeconds(std::chrono::system_clock::now()), {}});
    write(list);
}

void remove(const std::string& id) {
    std::vector<Face> list = stored();
    std::erase_if(list, [&](const Face& f) { return f.id == upper(id); });
    write(list);
}

void setLearned(const std::string& id, const std::vector<Learned>& learned) {
    std::vector<Face> list = stored();
    auto it =
        std::find_if(list.begin(), list.end(), [&](const Face& f) { return f.id == upper(id); });
    if (it == list.end()) return;
    it->learned = learned;
    write(list);
}

std::size_t forgetLearned() {
    std::vector<Face> list = stored();
    std::size_t forgotten = 0;
    for (auto& f : list)
        forgotten += std::exchange(f.learned, {}).size();
    if (forgotten > 0) write(list);
    return forgotten;
}

void clear() {
    std::error_code ignored;
    try {
        stored();
    } catch (const EnrollError&) {
        // Starting over keeps what couldn't be read, aside.
        auto aside = Paths::enrolled();
        aside += ".unreadable";
        std::filesystem::rename(Paths::enrolled(), aside, ignored);
    }
    std::filesystem::remove(Paths::enrolled(), ignored);
    std::filesystem::remove(Paths::legacyEnrolled(), ignored);
}

} // namespace tarvo::Enrollment
