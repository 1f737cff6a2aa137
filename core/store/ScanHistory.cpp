#include "core/store/ScanHistory.h"

#include "core/base/Text.h"
#include "core/store/Damage.h"
#include "core/store/DataFile.h"
#include "core/store/Paths.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace tarvo::ScanHistory {
namespace {

using Json = nlohmann::ordered_json;
constexpr std::int64_t version = 1;
constexpr std::array<std::string_view, 4> names = {"unlocked", "notSeen", "notRecognized",
                                                   "passwordAfterMiss"};
constexpr double day = 86400;

std::optional<Outcome> outcomeNamed(std::string_view name) {
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return Outcome(i);
    return std::nullopt;
}

std::optional<Entry> entry(const nlohmann::json& json) {
    if (!json.is_object()) return std::nullopt;
    auto at = json.find("at"), outcome = json.find("outcome"), seconds = json.find("seconds");
    if (at == json.end() || !at->is_number() || outcome == json.end() || !outcome->is_string() ||
        seconds == json.end() || !seconds->is_number())
        return std::nullopt;
    auto kind = outcomeNamed(outcome->get<std::string>());
    Entry e{at->get<double>(), kind.value_or(Outcome::notSeen), seconds->get<double>()};
    if (!kind || !std::isfinite(e.at) || !std::isfinite(e.seconds) || e.seconds < 0)
        return std::nullopt;
    return e;
}

} // namespace

std::string encode(const std::vector<Entry>& list) {
    Json array = Json::array();
    for (const auto& e : list)
        array.push_back(Json{{"at", e.at},
                             {"outcome", names[std::size_t(e.outcome)]},
                             {"seconds", Text::shortestDecimal(float(e.seconds))}});
    return Json{{"version", version}, {"scans", array}}.dump();
}

std::optional<std::vector<Entry>> decode(std::string_view text) {
    if (!Text::nestingWithin(text)) return std::nullopt;
    auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) return std::nullopt;
    auto v = json.find("version"), list = json.find("scans");
    if (v == json.end() || !v->is_number_integer() || v->get<std::int64_t>() != version ||
        list == json.end() || !list->is_array())
        return std::nullopt;
    std::vector<Entry> out;
    for (const auto& item : *list) {
        auto e = entry(item);
        if (!e) return std::nullopt;
        out.push_back(*e);
    }
    return out;
}

std::vector<Entry> entries() {
    try {
        auto text = DataFile::readOwn(Paths::scanHistory(), 1 << 20);
        if (!text) return {};
        return decode(*text).value_or(std::vector<Entry>{});
    } catch (const DataFile::FileError&) {
        return {};
    }
}

bool damaged() {
    if (!Damage::present(Paths::scanHistory())) return false;
    try {
        auto text = DataFile::readOwn(Paths::scanHistory(), 1 << 20);
        return !text || !decode(*text);
    } catch (const DataFile::FileError&) {
        return true;
    }
}

void add(const Entry& added) {
    std::vector<Entry> list;
    auto text = DataFile::readOwn(Paths::scanHistory(), 1 << 20);
    auto decoded = text ? decode(*text) : std::nullopt;
    if (decoded)
        list = std::move(*decoded);
    else if (Damage::present(Paths::scanHistory()))
        Damage::setAside(Paths::scanHistory());
    std::erase_if(list, [&](const Entry& e) { return e.at < added.at - keptDays * day; });
    list.push_back(added);
    if (list.size() > kept)
        list.erase(list.begin(), list.end() - static_cast<std::ptrdiff_t>(kept));
    DataFile::writeOwn(Paths::scanHistory(), encode(list));
}

Figures figures(const std::vector<Entry>& list, double now, double days) {
    Figures f;
    std::vector<double> times;
    for (const auto& e : list) {
        if (e.at < now - days * day || e.at > now + day) continue;
        if (e.outcome == Outcome::unlocked) times.push_back(e.seconds);
        if (e.outcome == Outcome::unlocked || e.outcome == Outcome::passwordAfterMiss) ++f.unlocks;
    }
    f.byFace = static_cast<int>(times.size());
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        auto n = times.size();
        f.medianSeconds = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    }
    return f;
}

std::optional<std::string> summary(double now) {
    auto f = figures(entries(), now);
    if (f.unlocks == 0) return std::nullopt;
    char text[160];
    int n = std::snprintf(text, sizeof text, "Unlocked by face %d of %d times in the last 30 days",
                          f.byFace, f.unlocks);
    if (f.medianSeconds && n > 0 && std::size_t(n) < sizeof text)
        std::snprintf(text + n, sizeof text - std::size_t(n), ", median %.1f s", *f.medianSeconds);
    return std::string(text);
}

} // namespace tarvo::ScanHistory
