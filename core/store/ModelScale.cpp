#include "core/store/ModelScale.h"

#include "core/base/Text.h"
#include "core/store/Paths.h"

#include <cmath>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

namespace tarvo {
namespace {

using Json = nlohmann::json;

std::optional<Json> parse(std::string_view text) {
    if (!Text::nestingWithin(text)) return std::nullopt;
    Json json = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) return std::nullopt;
    return json;
}

bool sound(const ModelScale& s) {
    auto fraction = [](double v) { return std::isfinite(v) && v >= 0 && v <= 2; };
    if (!fraction(s.strictest) || !fraction(s.loosest) || !fraction(s.closestStranger) ||
        s.strictest > s.loosest || s.strangerPairs < 0)
        return false;
    for (double percent : s.acceptance)
        if (!std::isfinite(percent) || percent < 0 || percent > 100) return false;
    return true;
}

ModelScale readCurrent(const std::optional<std::filesystem::path>& model) {
    if (!model) return {};
    auto path = *model;
    std::ifstream file(path.replace_extension(".json"), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return ModelScale::decode(text.str()).value_or(ModelScale{});
}

} // namespace

const ModelScale& ModelScale::current() {
    static std::mutex lock;
    static std::map<std::filesystem::path, ModelScale> read;
    auto model = Paths::model();
    std::lock_guard guard(lock);
    auto key = model.value_or("");
    auto found = read.find(key);
    if (found == read.end()) found = read.emplace(key, readCurrent(model)).first;
    return found->second;
}

std::optional<std::string> ModelScale::problem() {
    auto model = Paths::model();
    if (!model)
        return "no face model found (FaceEmbedding.tflite in " TARVO_DATA_INSTALL_DIR
               " or beside this program, or TARVO_MODEL): no face can match";
    if (!(current() == ModelScale{})) return std::nullopt;
    auto description = *model;
    description.replace_extension(".json");
    return "the face model's scale is missing (no measured figures in " + description.string() +
           "): no face can match";
}

std::optional<ModelScale> ModelScale::decode(std::string_view description) {
    auto json = parse(description);
    if (!json) return std::nullopt;
    auto measured = json->find("measured");
    if (measured == json->end() || !measured->is_object()) return std::nullopt;
    try {
        ModelScale s;
        s.strictest = measured->at("strictest").get<float>();
        s.loosest = measured->at("loosest").get<float>();
        s.closestStranger = measured->at("closestStranger").get<float>();
        s.strangerPairs = measured->at("strangerPairs").get<std::int64_t>();
        const auto& acceptance = measured->at("acceptance");
        if (!acceptance.is_array() || acceptance.size() != steps) return std::nullopt;
        for (int k = 0; k < steps; ++k)
            s.acceptance[k] = acceptance[k].get<double>();
        if (!sound(s)) return std::nullopt;
        return s;
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> ModelScale::into(std::string_view description) const {
    auto json = parse(description);
    if (!json) return std::nullopt;
    Json acceptanceList = Json::array();
    for (double percent : acceptance)
        acceptanceList.push_back(std::round(percent * 10) / 10);
    (*json)["measured"] = {{"strictest", Text::shortestDecimal(strictest)},
                           {"loosest", Text::shortestDecimal(loosest)},
                           {"closestStranger", Text::shortestDecimal(closestStranger)},
                           {"strangerPairs", strangerPairs},
                           {"acceptance", acceptanceList}};
    return json->dump(2) + "\n";
}

float ModelScale::threshold(int step) const {
    float fraction = static_cast<float>(step) / static_cast<float>(steps - 1);
    return strictest + fraction * (loosest - strictest);
}

} // namespace tarvo
