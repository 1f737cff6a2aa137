#include "platform/face/BlazeFace.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

namespace tarvo::platform::BlazeFace {
namespace {

constexpr int side = 128;
constexpr float minimumScore = 0.5f;
constexpr float overlapLimit = 0.3f;

struct Anchor {
    float x, y;
};

// Two anchors on each cell of the 16 x 16 grid, then six on each of the
// 8 x 8 grid, in the order of the network's two pairs of outputs.
const std::vector<Anchor>& anchors() {
    static const std::vector<Anchor> all = [] {
        std::vector<Anchor> out;
        for (auto [grid, perCell] : {std::pair{16, 2}, std::pair{8, 6}})
            for (int y = 0; y < grid; ++y)
                for (int x = 0; x < grid; ++x)
                    for (int k = 0; k < perCell; ++k)
                        out.push_back({(x + 0.5f) / grid, (y + 0.5f) / grid});
        return out;
    }();
    return all;
}

struct Loaded {
    std::mutex lock; // a network runs one inference at a time
    cv::dnn::Net net;
    std::vector<std::string> outputs;
    std::filesystem::path path;
};

std::mutex loading;
std::shared_ptr<Loaded> current;
std::filesystem::path chosen; // what to load again after a release

float iou(const cv::Rect2f& a, const cv::Rect2f& b) {
    float shared = (a & b).area();
    return shared / std::max(a.area() + b.area() - shared, 1e-6f);
}

// The frame scaled into the middle of the square input, RGB in [-1, 1].
cv::Mat input(const cv::Mat& frame, float& scale, cv::Point2f& offset) {
    scale = static_cast<float>(side) / static_cast<float>(std::max(frame.cols, frame.rows));
    int width = std::max(1, static_cast<int>(std::lround(frame.cols * scale)));
    int height = std::max(1, static_cast<int>(std::lround(frame.rows * scale)));
    cv::Mat square(side, side, CV_8UC3, cv::Scalar::all(0)), fitted;
    cv::resize(frame, fitted, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    offset = {(side - width) / 2.0f, (side - height) / 2.0f};
    fitted.copyTo(
        square(cv::Rect(static_cast<int>(offset.x), static_cast<int>(offset.y), width, height)));
    cv::cvtColor(square, square, cv::COLOR_BGR2RGB);
    cv::Mat blob(std::vector<int>{1, side, side, 3}, CV_32F);
    square.convertTo(cv::Mat(side, side, CV_32FC3, blob.data), CV_32F, 1 / 127.5, -1);
    return blob;
}

std::vector<Face> decode(const std::vector<cv::Mat>& outs, float scale, cv::Point2f offset) {
    std::vector<Face> faces;
    size_t first = 0;
    for (int part = 0; part < 2; ++part) {
        const cv::Mat &scores = outs[part], &boxes = outs[part + 2];
        int count = scores.size[1];
        for (int i = 0; i < count; ++i) {
            float raw = std::clamp(scores.ptr<float>()[i], -100.0f, 100.0f);
            float score = 1 / (1 + std::exp(-raw));
            if (score < minimumScore) continue;
            const float* r = boxes.ptr<float>() + size_t(i) * 16;
            const Anchor& a = anchors()[first + i];
            float cx = (r[0] / side + a.x) * side, cy = (r[1] / side + a.y) * side;
            float w = r[2], h = r[3];
            auto inFrame = [&](float x, float y) {
                return cv::Point2f((x - offset.x) / scale, (y - offset.y) / scale);
            };
            Face face{cv::Rect2f(inFrame(cx - w / 2, cy - h / 2), cv::Size2f(w / scale, h / scale)),
                      score,
                      {}};
            for (int k = 0; k < 6; ++k)
                face.keypoints[k] = inFrame(r[4 + 2 * k] + a.x * side, r[5 + 2 * k] + a.y * side);
            faces.push_back(face);
        }
        first += static_cast<size_t>(count);
    }
    std::sort(faces.begin(), faces.end(), [](auto& a, auto& b) { return a.score > b.score; });
    std::vector<Face> kept;
    for (const auto& face : faces)
        if (std::none_of(kept.begin(), kept.end(),
                         [&](const Face& k) { return iou(k.box, face.box) > overlapLimit; }))
            kept.push_back(face);
    return kept;
}

} // namespace

namespace {

Result<void> loadLocked(const std::filesystem::path& model) {
    if (current && current->path == model) return {};
    auto loaded = std::make_shared<Loaded>();
    try {
        loaded->net = cv::dnn::readNetFromONNX(model.string());
        // OpenCV 4.10's fusion of this network's layers breaks its pooling
        // (an assertion in forward()); unfused, 4.6 and 4.10 give the same.
        loaded->net.enableFusion(false);
        loaded->outputs = loaded->net.getUnconnectedOutLayersNames();
    } catch (const cv::Exception& error) {
        return fail("face detection model " + model.string() + " cannot be loaded: " + error.msg);
    }
    if (loaded->outputs.size() != 4)
        return fail("face detection model " + model.string() + " is not BlazeFace");
    loaded->path = model;
    current = loaded;
    chosen = model;
    return {};
}

} // namespace

Result<void> load(const std::filesystem::path& model) {
    std::lock_guard guard(loading);
    return loadLocked(model);
}

void release() {
    std::lock_guard guard(loading);
    current.reset();
}

Result<std::vector<Face>> find(const cv::Mat& frame) {
    std::shared_ptr<Loaded> loaded;
    {
        std::lock_guard guard(loading);
        if (!current && !chosen.empty())
            if (auto again = loadLocked(chosen); !again) return again.error();
        loaded = current;
    }
    if (!loaded) return fail("no face detection model loaded");
    if (frame.empty()) return {std::vector<Face>{}};
    float scale = 1;
    cv::Point2f offset;
    cv::Mat blob = input(frame, scale, offset);
    std::vector<cv::Mat> outs;
    try {
        std::lock_guard guard(loaded->lock);
        loaded->net.setInput(blob);
        loaded->net.forward(outs, loaded->outputs);
    } catch (const cv::Exception& error) {
        return fail("face detection failed: " + error.msg);
    }
    auto expect = [&](int k, int rows, int width) {
        return outs[k].total() == size_t(rows) * size_t(width) && outs[k].dims == 3 &&
               outs[k].size[1] == rows;
    };
    if (!expect(0, 512, 1) || !expect(1, 384, 1) || !expect(2, 512, 16) || !expect(3, 384, 16))
        return fail("face detection model gave outputs of another shape");
    return {decode(outs, scale, offset)};
}

} // namespace tarvo::platform::BlazeFace
