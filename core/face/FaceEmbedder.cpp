#include "core/face/FaceEmbedder.h"

#include "core/face/EmbeddingModel.h"
#include "core/store/Paths.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <unistd.h>

namespace tarvo::FaceEmbedder {
namespace {

// The model, loaded at the first face after a start or a release and
// shared with the embeddings under way, or why there is none.
std::mutex modelLock;
std::shared_ptr<EmbeddingModel> loadedModel; // guarded by modelLock

std::shared_ptr<EmbeddingModel> model() {
    std::lock_guard guard(modelLock);
    if (loadedModel) return loadedModel;
    auto path = Paths::model();
    if (!path) throw EmbedError::modelMissing();
    try {
        loadedModel = EmbeddingModel::load(*path);
    } catch (const ModelError& failure) {
        throw EmbedError::modelMissing(failure.what());
    }
    return loadedModel;
}

std::optional<Point> centroid(const std::vector<Point>& points) {
    if (points.empty()) return std::nullopt;
    Point sum;
    for (const auto& p : points)
        sum.x += p.x, sum.y += p.y;
    return Point{sum.x / points.size(), sum.y / points.size()};
}

} // namespace

void prepare() {
    try {
        model()->embed(Image(112, 112, CV_8UC3, cv::Scalar::all(128)));
    } catch (const std::exception&) {
        // A model that can't be loaded or run says so at the first face.
    }
}

void release() {
    std::lock_guard guard(modelLock);
    loadedModel.reset();
}

std::optional<std::array<Point, 5>> fivePoints(const Observation& face, int width, int height) {
    if (!face.landmarks) return std::nullopt;
    const auto& marks = *face.landmarks;
    // A region's points with a top-left origin; empty when it is missing.
    auto points = [&](const std::optional<platform::FaceDetector::Region>& region) {
        std::vector<Point> out;
        if (!region) return out;
        for (auto p : face.pointsInImage(*region, width, height))
            out.push_back({p.x, height - p.y});
        return out;
    };
    // The eyes' centres stand for the pupils, which the landmarks lack.
    auto leftEye = centroid(points(marks.leftEye));
    auto rightEye = centroid(points(marks.rightEye));
    if (!leftEye || !rightEye) return std::nullopt;
    if (rightEye->x < leftEye->x) std::swap(leftEye, rightEye);

    auto nose = points(marks.nose), lips = points(marks.outerLips);
    if (nose.empty() || lips.size() < 2) return std::nullopt;
    Point tip = nose[0];
    for (const auto& p : nose)
        if (p.y > tip.y) tip = p;
    Point mouthLeft = lips[0], mouthRight = lips[0];
    for (const auto& p : lips) {
        if (p.x < mouthLeft.x) mouthLeft = p;
        if (p.x > mouthRight.x) mouthRight = p;
    }
    return std::array<Point, 5>{*leftEye, *rightEye, tip, mouthLeft, mouthRight};
}

std::optional<Similarity> similarityTransform(const std::vector<Point>& from,
                                              const std::vector<Point>& to) {
    size_t n = from.size();
    if (n < 2 || to.size() != n) return std::nullopt;
    double mx = 0, my = 0, ux = 0, uy = 0;
    for (size_t i = 0; i < n; ++i)
        mx += from[i].x, my += from[i].y, ux += to[i].x, uy += to[i].y;
    mx /= n, my /= n, ux /= n, uy /= n;
    double den = 0, p = 0, q = 0;
    for (size_t i = 0; i < n; ++i) {
        double sx = from[i].x - mx, sy = from[i].y - my, dx = to[i].x - ux, dy = to[i].y - uy;
        den += sx * sx + sy * sy;
        p += sx * dx + sy * dy;
        q += sx * dy - sy * dx;
    }
    if (!(den > 1e-9)) return std::nullopt;
    Similarity t{p / den, q / den, 0, 0};
    t.tx = ux - (mx * t.a - my * t.b);
    t.ty = uy - (mx * t.b + my * t.a);
    return t;
}

namespace {

// The crop sampled from the frame through a low-pass of the crop's own
// scale. A face larger than the crop (a laptop's camera at arm's length)
// is sampled down: warping straight from the frame would read four of its
// pixels per crop pixel and keep all of the sensor's noise (and alias the
// rest); averaging them first is what a smaller camera would have seen.
Image sampled(const Image& image, Similarity t) {
    double shrink = 1 / std::hypot(t.a, t.b); // frame pixels per crop pixel
    double sigma = shrink > 1 ? 0.5 * std::sqrt(shrink * shrink - 1) : 0;
    Image region = image;
    if (sigma > 0.3) {
        // Only the part of the frame the crop reaches, with room for the
        // filter: the whole frame would cost more than the rest together.
        double det = t.a * t.a + t.b * t.b;
        double left = INFINITY, top = INFINITY, right = -INFINITY, bottom = -INFINITY;
        for (double x : {0.0, double(cropSize)})
            for (double y : {0.0, double(cropSize)}) {
                double u = (t.a * (x - t.tx) + t.b * (y - t.ty)) / det;
                double v = (-t.b * (x - t.tx) + t.a * (y - t.ty)) / det;
                left = std::min(left, u), right = std::max(right, u);
                top = std::min(top, v), bottom = std::max(bottom, v);
            }
        int pad = int(std::ceil(3 * sigma)) + 2;
        cv::Rect roi =
            cv::Rect(cv::Point(int(std::floor(left)) - pad, int(std::floor(top)) - pad),
                     cv::Point(int(std::ceil(right)) + pad, int(std::ceil(bottom)) + pad)) &
            cv::Rect(0, 0, image.cols, image.rows);
        if (!roi.empty()) {
            cv::GaussianBlur(image(roi), region, cv::Size(), sigma);
            t.tx += t.a * roi.x - t.b * roi.y;
            t.ty += t.b * roi.x + t.a * roi.y;
        }
    }
    Image crop;
    cv::warpAffine(region, crop, cv::Matx23d(t.a, -t.b, t.tx, t.b, t.a, t.ty),
                   cv::Size(cropSize, cropSize), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                   cv::Scalar::all(0));
    return crop;
}

// A face in a dark room, or against a bright window, reaches the model
// with a fraction of its contrast, and the model was made for faces in
// good light: the face's brightness is stretched to a common spread and
// centred, up to a gain of four. A face in good light is only centred.
void evenContrast(Image& crop) {
    constexpr double spread = 50, maximumGain = 4;
    cv::Mat grey;
    cv::cvtColor(crop(cv::Rect(24, 24, 64, 80)), grey,
                 crop.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    cv::Scalar mean, deviation;
    cv::meanStdDev(grey, mean, deviation);
    double gain = std::clamp(spread / std::max(deviation[0], 1.0), 1.0, maximumGain);
    crop.convertTo(crop, -1, gain, 128 - gain * mean[0]);
}

} // namespace

Image alignedCrop(const Image& image, const Observation& face) {
    auto points = fivePoints(face, image.cols, image.rows);
    if (!points) throw EmbedError::landmarksMissing();
    auto t = similarityTransform({points->begin(), points->end()},
                                 {templatePoints.begin(), templatePoints.end()});
    if (!t || image.empty()) throw EmbedError::alignmentFailed();
    Image crop = sampled(image, *t);
    evenContrast(crop);
    return crop;
}

std::vector<float> normalized(std::vector<float> vector) {
    float sum = 0;
    for (float v : vector)
        sum += v * v;
    float norm = std::sqrt(sum);
    if (vector.empty() || !(norm > 1e-9f)) return vector;
    for (float& v : vector)
        v /= norm;
    return vector;
}

std::vector<float> embed(const Image& image, const Observation& face) {
    auto embedding = model();
    Image crop = alignedCrop(image, face);
    try {
        return normalized(embedding->embed(crop));
    } catch (const ModelError& error) {
        throw EmbedError::inferenceFailed(error.what());
    }
}

} // namespace tarvo::FaceEmbedder
