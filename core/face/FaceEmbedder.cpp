#include "core/face/FaceEmbedder.h"

#include "core/face/EmbeddingModel.h"
#include "core/store/Paths.h"

#include <cmath>
#include <cstdlib>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <unistd.h>

namespace tarvo::FaceEmbedder {
namespace {

// The model, loaded once per process, or why there is none.
struct Loaded {
    std::unique_ptr<EmbeddingModel> model;
    std::optional<EmbedError> problem;
};

const Loaded& loaded() {
    static Loaded result;
    static std::once_flag once;
    std::call_once(once, [] {
        auto path = Paths::model();
        if (!path) {
            result.problem = EmbedError::modelMissing();
            return;
        }
        try {
            result.model = EmbeddingModel::load(*path);
        } catch (const ModelError& failure) {
            result.problem = EmbedError::modelMissing(failure.what());
        }
    });
    return result;
}

EmbeddingModel* model() {
    return loaded().model.get();
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
    if (auto* loaded = model()) {
        try {
            loaded->embed(Image(112, 112, CV_8UC3, cv::Scalar::all(128)));
        } catch (const ModelError&) {
            // A model that can't run says so at the first real face.
        }
    }
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

Image alignedCrop(const Image& image, const Observation& face) {
    auto points = fivePoints(face, image.cols, image.rows);
    if (!points) throw EmbedError::landmarksMissing();
    auto t = similarityTransform({points->begin(), points->end()},
                                 {templatePoints.begin(), templatePoints.end()});
    if (!t || image.empty()) throw EmbedError::alignmentFailed();
    cv::Matx23d m(t->a, -t->b, t->tx, t->b, t->a, t->ty);
    Image crop;
    cv::warpAffine(image, crop, m, cv::Size(cropSize, cropSize), cv::INTER_LINEAR,
                   cv::BORDER_CONSTANT, cv::Scalar::all(0));
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
    EmbeddingModel* embedding = model();
    if (!embedding) throw *loaded().problem;
    Image crop = alignedCrop(image, face);
    try {
        return normalized(embedding->embed(crop));
    } catch (const ModelError& error) {
        throw EmbedError::inferenceFailed(error.what());
    }
}

} // namespace tarvo::FaceEmbedder
