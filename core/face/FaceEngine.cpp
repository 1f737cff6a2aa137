#include "core/face/FaceEngine.h"

#include "core/face/FaceEmbedder.h"
#include "core/store/Log.h"
#include "core/store/Paths.h"
#include "platform/face/ResidentMemory.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <malloc.h>
#include <mutex>

namespace tarvo::FaceEngine {
namespace {

std::optional<double> degrees(std::optional<double> radians) {
    if (!radians) return std::nullopt;
    return *radians * 180.0 / M_PI;
}

std::optional<double> eyeRatio(const std::optional<platform::FaceDetector::Region>& eye) {
    if (!eye || eye->normalizedPoints.size() < 4) return std::nullopt;
    auto [minX, maxX] =
        std::minmax_element(eye->normalizedPoints.begin(), eye->normalizedPoints.end(),
                            [](const auto& a, const auto& b) { return a.x < b.x; });
    auto [minY, maxY] =
        std::minmax_element(eye->normalizedPoints.begin(), eye->normalizedPoints.end(),
                            [](const auto& a, const auto& b) { return a.y < b.y; });
    double width = maxX->x - minX->x, height = maxY->y - minY->y;
    if (!(width > 0.0001)) return std::nullopt;
    return height / width;
}

} // namespace

Pose Pose::from(const Observation& landmarks, const Observation& rectangles) {
    return {degrees(rectangles.yaw ? rectangles.yaw : landmarks.yaw),
            degrees(rectangles.pitch ? rectangles.pitch : landmarks.pitch),
            degrees(rectangles.roll ? rectangles.roll : landmarks.roll)};
}

double eyeAspectRatio(const Observation& face) {
    if (!face.landmarks) return 0.0;
    double sum = 0;
    int count = 0;
    for (const auto& eye : {face.landmarks->leftEye, face.landmarks->rightEye})
        if (auto ratio = eyeRatio(eye)) sum += *ratio, ++count;
    return count ? sum / count : 0.0;
}

namespace {

std::mutex searchLock;
std::string searchState = "HOG"; // guarded by searchLock

void setSearchState(std::string state) {
    std::lock_guard guard(searchLock);
    searchState = std::move(state);
}

// BlazeFace searches the whole frame where its model lies beside the
// embedding model (it finds faces in dim rooms where HOG doesn't, in a
// fifth of the time); else, or when that model can't be loaded, HOG, and
// the log and the support report say why.
void chooseSearch() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto model = Paths::model();
        if (!model) return;
        auto blazeFace = model->parent_path() / "FaceDetection.onnx";
        std::error_code ec;
        if (!std::filesystem::exists(blazeFace, ec)) return;
        auto chosen = platform::FaceDetector::useSearchModel(blazeFace);
        setSearchState(chosen ? "BlazeFace" : "HOG: " + chosen.error().text);
        if (!chosen) Log::line(chosen.error().text + "; searching frames with HOG");
    });
}

} // namespace

void prepare() {
    chooseSearch();
    // A search that can't run fails every analysis: said once, loudly, here
    // (a library that can't run the model would otherwise only show as an
    // enrollment that never sees a face).
    if (auto ready = platform::FaceDetector::prepare(); !ready) {
        setSearchState("failed: " + ready.error().text);
        Log::line("face search can't run: " + ready.error().text);
    }
    FaceEmbedder::prepare();
}

void release() {
    platform::FaceDetector::release();
    FaceEmbedder::release();
    ::malloc_trim(0);
    platform::returnLibraryPages();
}

std::string search() {
    chooseSearch();
    std::lock_guard guard(searchLock);
    return searchState;
}

Detection analyze(const Image& image, bool wantDescriptor,
                  platform::FaceDetector::Tracker* tracker) {
    chooseSearch();
    auto found = platform::FaceDetector::detect(image, nullptr, tracker);
    if (!found) throw EngineError::detectorFailed(found.error().text);
    auto& faces = *found;
    if (faces.empty()) throw EngineError::noFace();
    if (faces.size() > 1) throw EngineError::multipleFaces(static_cast<int>(faces.size()));
    Detection detection;
    detection.observation = std::move(faces.front());
    detection.eyeAspectRatio = eyeAspectRatio(detection.observation);
    if (wantDescriptor)
        detection.descriptor = Descriptor{FaceEmbedder::embed(image, detection.observation)};
    // One detector gives landmarks and pose together: it is both observations.
    detection.pose = Pose::from(detection.observation, detection.observation);
    return detection;
}

std::optional<float> distance(const Descriptor& probe, const std::vector<Descriptor>& samples) {
    std::optional<float> best;
    for (const auto& sample : samples) {
        if (probe.vector.empty() || sample.vector.size() != probe.vector.size()) continue;
        // The cosine itself, not the dot product of what should be unit
        // vectors: no length of a stored sample can bring a face closer.
        double dot = 0, probeSquares = 0, sampleSquares = 0;
        for (size_t i = 0; i < probe.vector.size(); ++i) {
            dot += double(probe.vector[i]) * sample.vector[i];
            probeSquares += double(probe.vector[i]) * probe.vector[i];
            sampleSquares += double(sample.vector[i]) * sample.vector[i];
        }
        double lengths = std::sqrt(probeSquares * sampleSquares);
        if (!(lengths > 1e-12) || !std::isfinite(dot / lengths)) continue;
        double cosine = dot / lengths;
        float d = cosine >= 1 ? 0.0f : static_cast<float>(1 - std::max(cosine, -1.0));
        if (!best || d < *best) best = d;
    }
    return best;
}

} // namespace tarvo::FaceEngine
