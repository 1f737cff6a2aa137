#include "tools/Rooms.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

namespace tarvo::Rooms {
namespace {

cv::Mat asFloat(const cv::Mat& frame) {
    cv::Mat f;
    frame.convertTo(f, CV_32F);
    return f;
}

cv::Mat noise(const cv::Mat& like, double sigma, std::uint64_t seed) {
    cv::Mat n(like.size(), CV_32FC(like.channels()));
    cv::RNG rng(seed * 2654435761u + 1);
    rng.fill(n, cv::RNG::NORMAL, 0, sigma);
    return n;
}

// The camera exposes for the bright window behind the head: the face is
// left at `light` of its brightness and the background is washed out.
cv::Mat backlit(const cv::Mat& frame, const std::optional<cv::Rect>& face) {
    cv::Mat shadow(frame.size(), CV_32F, cv::Scalar(0));
    if (face) {
        cv::Point centre(face->x + face->width / 2, face->y + face->height / 2);
        cv::ellipse(shadow, centre, cv::Size(face->width * 3 / 4, face->height), 0, 0, 360,
                    cv::Scalar(1), cv::FILLED);
        double feather = std::max(1.0, 0.15 * face->width);
        cv::GaussianBlur(shadow, shadow, cv::Size(), feather);
    }
    cv::Mat window = 1.0 - shadow, glare;
    cv::merge(std::vector<cv::Mat>(frame.channels(), window * 190.0), glare);
    cv::Mat out;
    cv::Mat(asFloat(frame) * 0.35 + glare).convertTo(out, CV_8U);
    return out;
}

cv::Mat compressed(const cv::Mat& frame, int quality) {
    std::vector<uchar> bytes;
    cv::imencode(".jpg", frame, bytes, {cv::IMWRITE_JPEG_QUALITY, quality});
    return cv::imdecode(bytes, cv::IMREAD_COLOR);
}

cv::Mat blurred(const cv::Mat& frame, double sigma) {
    cv::Mat out;
    cv::GaussianBlur(frame, out, cv::Size(), sigma);
    return out;
}

// The scene as a 1280 x 720 webcam frames it: the video's frame scaled to
// the camera's height, so that a face some 250 pixels wide is sampled down
// to the crop, as on a laptop, rather than taken at about its own size.
cv::Mat asCameraFrame(const cv::Mat& frame) {
    cv::Mat canvas(720, 1280, frame.type(), cv::Scalar::all(0)), big;
    int width = std::min(1280, frame.cols * 720 / std::max(frame.rows, 1));
    cv::resize(frame, big, cv::Size(width, 720), 0, 0, cv::INTER_CUBIC);
    big.copyTo(canvas(cv::Rect((1280 - width) / 2, 0, width, 720)));
    return canvas;
}

} // namespace

cv::Mat withNoise(const cv::Mat& frame, double sigma, std::uint64_t seed) {
    cv::Mat out;
    cv::Mat(asFloat(frame) + noise(frame, sigma, seed)).convertTo(out, CV_8U);
    return out;
}

cv::Mat dark(const cv::Mat& frame, double light) {
    cv::Mat out;
    frame.convertTo(out, CV_8U, light);
    return out;
}

cv::Mat gainedFromDark(const cv::Mat& frame, double light, double sigma, std::uint64_t seed) {
    cv::Mat sensed, out;
    cv::Mat(asFloat(frame) * light + noise(frame, sigma, seed)).convertTo(sensed, CV_8U);
    sensed.convertTo(out, CV_8U, 1.0 / light);
    return out;
}

const std::vector<Room>& all() {
    using Face = std::optional<cv::Rect>;
    static const std::vector<Room> rooms = {
        {"recorded", "as recorded",
         [](const cv::Mat& f, std::uint64_t, const Face&) { return f.clone(); }},
        {"noise8", "sensor noise sigma 8 at normal brightness",
         [](const cv::Mat& f, std::uint64_t s, const Face&) { return withNoise(f, 8, s); }},
        {"noise12", "sensor noise sigma 12 at normal brightness (a dim room after the gain)",
         [](const cv::Mat& f, std::uint64_t s, const Face&) { return withNoise(f, 12, s); }},
        {"noise16", "sensor noise sigma 16 at normal brightness",
         [](const cv::Mat& f, std::uint64_t s, const Face&) { return withNoise(f, 16, s); }},
        {"dark", "30 % of the light, no noise",
         [](const cv::Mat& f, std::uint64_t, const Face&) { return dark(f, 0.3); }},
        {"darkgain", "30 % of the light, sensor noise sigma 4, gained back x3.3 (sigma 13)",
         [](const cv::Mat& f, std::uint64_t s, const Face&) {
             return gainedFromDark(f, 0.3, 4, s);
         }},
        {"backlit", "a bright window behind: the face at 35 % of its light",
         [](const cv::Mat& f, std::uint64_t, const Face& face) { return backlit(f, face); }},
        {"blur", "soft focus, Gaussian blur sigma 2",
         [](const cv::Mat& f, std::uint64_t, const Face&) { return blurred(f, 2); }},
        {"jpeg30", "JPEG at quality 30",
         [](const cv::Mat& f, std::uint64_t, const Face&) { return compressed(f, 30); }},
        {"hd12", "a 1280 x 720 camera's frame, sensor noise sigma 12",
         [](const cv::Mat& f, std::uint64_t s, const Face&) {
             return withNoise(asCameraFrame(f), 12, s);
         }},
        {"hd16", "a 1280 x 720 camera's frame, sensor noise sigma 16",
         [](const cv::Mat& f, std::uint64_t s, const Face&) {
             return withNoise(asCameraFrame(f), 16, s);
         }},
    };
    return rooms;
}

const Room& named(std::string_view name) {
    for (const auto& room : all())
        if (room.name == name) return room;
    throw std::invalid_argument("no room named " + std::string(name));
}

} // namespace tarvo::Rooms
