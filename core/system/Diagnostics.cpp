#include "core/system/Diagnostics.h"

#include "core/agent/Agent.h"
#include "core/agent/StoredPassword.h"
#include "core/base/AppIdentity.h"
#include "core/base/Text.h"
#include "core/face/FaceEngine.h"
#include "core/store/Config.h"
#include "core/store/Enrollment.h"
#include "core/store/Paths.h"
#include "core/system/LockScreen.h"

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sys/utsname.h>
#include <thread>

namespace tarvo::Diagnostics {

namespace {

using json = nlohmann::json;

bool present(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

json app() {
    return {{"version", TARVO_VERSION},
            {"build", TARVO_BUILD},
            {"application", AppIdentity::reverseDns}};
}

// The distribution's version as major.minor.patch: Debian's point release
// from /etc/debian_version, else os-release's VERSION_ID; missing parts 0.
std::string osVersion() {
    std::string text;
    std::ifstream("/etc/debian_version") >> text;
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) {
        text.clear();
        std::ifstream release("/etc/os-release");
        for (std::string line; std::getline(release, line);)
            if (line.rfind("VERSION_ID=", 0) == 0) text = line.substr(11);
        std::erase(text, '"');
    }
    int parts[3] = {0, 0, 0};
    std::sscanf(text.c_str(), "%d.%d.%d", &parts[0], &parts[1], &parts[2]);
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
           std::to_string(parts[2]);
}

json system() {
    utsname name{};
    ::uname(&name);
    return {{"os", osVersion()}, {"arch", std::string(name.machine)}};
}

json enrollment() {
    auto faces = Enrollment::faces();
    json perFace = json::array();
    std::int64_t total = 0;
    for (const auto& face : faces) {
        perFace.push_back(face.samples.size());
        total += static_cast<std::int64_t>(face.samples.size());
    }
    return {{"faces", faces.size()}, {"samplesPerFace", perFace}, {"totalSamples", total}};
}

json configuration() {
    auto config = Config::load();
    return {{"sensitivity", config.sensitivity},
            {"threshold", static_cast<double>(config.threshold)},
            {"requiredFrames", config.requiredFrames},
            {"liveness", std::string(Config::name(config.liveness))},
            {"openEyeAspectRatio", config.openEyeAspectRatio},
            {"warmWithDisplay", config.warmWithDisplay},
            // What scans stop at, not the file's old figure.
            {"scanTimeout", std::chrono::duration<double>(Agent::scanLimit).count()},
            // All zero when the model came without its measured scale.
            {"modelScale",
             {{"strictest", Text::shortestDecimal(Config::strictest())},
              {"loosest", Text::shortestDecimal(Config::loosest())},
              {"closestStranger", Text::shortestDecimal(Config::closestStranger())}}},
            {"passwordSaved", StoredPassword::isStored()},
            {"loginKeyringUnlocked", LoginKeyring::isUnlocked()}};
}

// Each lock screen's stack and whether it loads the module, then the
// module the first wired one names and how safe its path is.
json lockScreen() {
    json stacks = json::object();
    for (const auto& stack : LockScreen::stacks())
        stacks[stack.string()] = LockScreen::wiredModulePath(stack) ? "wired" : "not wired";
    auto wired = LockScreen::wiredModulePath();
    json section = {{"stacks", stacks}, {"wired", bool(wired)}};
    if (!wired) return section;
    auto problem = LockScreen::rootOnlyChainProblem(*wired);
    section["module"] = *wired;
    section["moduleExists"] = present(*wired);
    section["rootOnlyChain"] = !problem;
    if (problem) section["problem"] = *problem;
    return section;
}

json agent() {
    return {{"socketExists", present(Paths::socket())},
            {"supportDirExists", present(Paths::dir())}};
}

std::string authorization() {
    try {
        Camera::ensureUsable();
        return "authorized";
    } catch (const std::exception&) {
        return "denied";
    }
}

void describeFace(json& section, const Camera::Image& frame) {
    FaceEngine::Detection detection;
    try {
        detection = FaceEngine::analyze(frame, true);
    } catch (const std::exception& error) {
        section["faceSearch"] = FaceEngine::search();
        section["faceDetected"] = false;
        section["detectionError"] = error.what();
        return;
    }
    section["faceSearch"] = FaceEngine::search();
    section["faceDetected"] = true;
    section["eyeAspectRatio"] = detection.eyeAspectRatio;
    if (!detection.descriptor) return;
    std::vector<Descriptor> enrolled;
    try {
        enrolled = Enrollment::load();
    } catch (const std::exception&) {
        return;
    }
    auto nearest = FaceEngine::distance(*detection.descriptor, enrolled);
    if (!nearest) return;
    section["nearestDistance"] = static_cast<double>(*nearest);
    section["matched"] = *nearest <= Config::load().threshold;
}

json cameraProbe(const Camera::SourceFactory& source) {
    json section = {{"authorization", authorization()}};
    if (section["authorization"] == "denied") return section;
    Camera camera(source);
    try {
        camera.start([](const Camera::Image&) {});
    } catch (const std::exception& error) {
        section["error"] = error.what();
        return section;
    }
    // Settled after 12 frames and 0.7 s, or, within 5 s, any frame at all.
    bool settled = camera.warmUp(12, 0.7, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto delivered = camera.framesDelivered();
    auto frame = camera.latestFrame();
    camera.stop();
    section["framesDelivered"] = delivered;
    section["settled"] = settled;
    if (!frame) return section;
    section["brightness"] = Camera::meanLuminance(*frame);
    section["frameSize"] = std::to_string(frame->cols) + "x" + std::to_string(frame->rows);
    describeFace(section, *frame);
    return section;
}

} // namespace

std::string report(bool includeCamera, Camera::SourceFactory source) {
    try {
        json report = {{"tarvo", app()},
                       {"system", system()},
                       {"enrollment", enrollment()},
                       {"config", configuration()},
                       {"lockScreen", lockScreen()},
                       {"agent", agent()},
                       {"camera", includeCamera ? cameraProbe(source)
                                                : json{{"authorization", authorization()}}}};
        return report.dump(2, ' ', false, json::error_handler_t::strict);
    } catch (const std::exception&) {
        return failureText;
    }
}

} // namespace tarvo::Diagnostics
