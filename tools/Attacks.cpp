#include "tools/Attacks.h"

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

namespace tarvo::Attacks {
namespace {

constexpr double pi = 3.14159265358979323846;

// How one attacker holds one medium: drawn once from the seed.
struct Hand {
    double scale;        // camera pixels per pixel of the recorded frame
    double tiltX, tiltY; // radians: the card turned away from the camera
    double roll;
    cv::Point2d shift; // camera pixels
    double phase;
};

Hand handFor(std::uint64_t seed) {
    cv::RNG rng(seed * 0x9E3779B97F4A7C15ull + 7);
    return {rng.uniform(0.8, 1.15),
            rng.uniform(-0.14, 0.14),
            rng.uniform(-0.14, 0.14),
            rng.uniform(-0.06, 0.06),
            {rng.uniform(-30.0, 30.0), rng.uniform(-20.0, 20.0)},
            rng.uniform(0.0, 2 * pi)};
}

// The medium's image (`size` pixels, `perPixel` of them to a pixel of the
// recorded frame) onto the camera's frame: a plane turned in front of a
// pinhole camera. A moving hand sways the card a few degrees and a few
// centimetres, about once a second; a still one trembles.
cv::Matx33d holding(cv::Size size, double perPixel, cv::Size frame, const Hand& hand, double t,
                    bool moving) {
    const double sway = moving ? 1.0 : 0.02, w = 2 * pi * t;
    const double ax = hand.tiltX + sway * 0.08 * std::sin(0.9 * w + hand.phase);
    const double ay = hand.tiltY + sway * 0.10 * std::sin(0.7 * w + 2 * hand.phase);
    const double az = hand.roll + sway * 0.05 * std::sin(0.6 * w + 3 * hand.phase);
    const cv::Point2d at =
        hand.shift + sway * cv::Point2d(0.07 * frame.width * std::sin(0.8 * w + hand.phase),
                                        0.05 * frame.height * std::sin(1.1 * w));
    cv::Matx33d rx(1, 0, 0, 0, std::cos(ax), -std::sin(ax), 0, std::sin(ax), std::cos(ax));
    cv::Matx33d ry(std::cos(ay), 0, std::sin(ay), 0, 1, 0, -std::sin(ay), 0, std::cos(ay));
    cv::Matx33d rz(std::cos(az), -std::sin(az), 0, std::sin(az), std::cos(az), 0, 0, 0, 1);
    const cv::Matx33d r = rz * ry * rx;
    const double f = frame.width; // a laptop camera's field of view, about 60 degrees
    const double s = hand.scale / perPixel;
    cv::Matx33d k(f, 0, frame.width / 2.0 + at.x, 0, f, frame.height / 2.0 + at.y, 0, 0, 1);
    cv::Matx33d plane(r(0, 0), r(0, 1), 0, r(1, 0), r(1, 1), 0, r(2, 0), r(2, 1), f);
    cv::Matx33d toPlane(s, 0, -s * size.width / 2.0, 0, s, -s * size.height / 2.0, 0, 0, 1);
    return k * plane * toPlane;
}

// The room behind the card: a wall lit from one side, with some texture.
cv::Mat roomBehind(cv::Size frame, std::uint64_t seed) {
    cv::Mat wall(frame, CV_32FC3), texture(frame / 16, CV_32F);
    cv::RNG rng(seed + 11);
    rng.fill(texture, cv::RNG::NORMAL, 0, 0.05);
    cv::resize(texture, texture, frame, 0, 0, cv::INTER_CUBIC);
    const cv::Vec3f tint(float(rng.uniform(0.8, 1.0)), 0.9f, float(rng.uniform(0.9, 1.0)));
    for (int y = 0; y < frame.height; ++y)
        for (int x = 0; x < frame.width; ++x) {
            float light = 0.3f + 0.3f * float(x) / float(frame.width) + texture.at<float>(y, x);
            wall.at<cv::Vec3f>(y, x) = tint * light;
        }
    return wall;
}

cv::Mat asFloat(const cv::Mat& frame) {
    cv::Mat f;
    frame.convertTo(f, CV_32F, 1.0 / 255);
    return f;
}

// Each ink a screen of dots at its own angle (halftone), or dots where
// noise falls below the coverage (an inkjet's dither), on the paper's
// white; the ink's deepest black is far from a screen's.
cv::Mat printed(const cv::Mat& content, int fine, std::uint64_t seed) {
    cv::RNG rng(seed + 23);
    const bool halftone = rng.uniform(0, 2) == 0;
    const double white = rng.uniform(0.88, 0.97), black = rng.uniform(0.08, 0.18);
    const cv::Vec3f paper(float(white * 0.95), float(white), float(white));
    cv::Mat big;
    cv::resize(asFloat(content), big, content.size() * fine, 0, 0, cv::INTER_CUBIC);
    cv::Mat out(big.size(), CV_32FC3);
    const double angles[] = {0.26, 1.31, 0.79}, period = rng.uniform(3.5, 6.0);
    for (int y = 0; y < big.rows; ++y)
        for (int x = 0; x < big.cols; ++x) {
            const cv::Vec3f v = big.at<cv::Vec3f>(y, x);
            cv::Vec3f ink;
            for (int c = 0; c < 3; ++c) {
                double coverage = 1.0 - std::clamp(double(v[c]), 0.0, 1.0), screen;
                if (halftone) {
                    double u = x * std::cos(angles[c]) + y * std::sin(angles[c]);
                    double w = -x * std::sin(angles[c]) + y * std::cos(angles[c]);
                    screen = 0.5 +
                             0.25 * (std::cos(2 * pi * u / period) + std::cos(2 * pi * w / period));
                } else {
                    screen = rng.uniform(0.0, 1.0);
                }
                ink[c] = coverage > screen ? float(black) : paper[c];
            }
            out.at<cv::Vec3f>(y, x) = ink;
        }
    cv::GaussianBlur(out, out, cv::Size(), 0.6 * fine / 3); // the ink spreads into the paper
    // A paper margin, and a glossy highlight of the room's light.
    const int margin = big.cols / 25;
    cv::copyMakeBorder(out, out, margin, margin, margin, margin, cv::BORDER_CONSTANT,
                       cv::Scalar(paper[0], paper[1], paper[2]));
    cv::Mat gloss(out.size(), CV_32F, cv::Scalar(0));
    cv::ellipse(
        gloss,
        cv::Point(int(rng.uniform(0.2, 0.8) * out.cols), int(rng.uniform(0.1, 0.5) * out.rows)),
        cv::Size(out.cols / 6, out.rows / 10), rng.uniform(0.0, 180.0), 0, 360,
        cv::Scalar(rng.uniform(0.15, 0.4)), cv::FILLED);
    cv::GaussianBlur(gloss, gloss, cv::Size(), out.cols / 30.0);
    cv::Mat glossy;
    cv::merge(std::vector<cv::Mat>(3, gloss), glossy);
    return out + glossy;
}

// Each pixel of the screen three stripes, red, green and blue, with a dark
// gap below; the screen's black glows and its white is cool. `pitch`:
// pixels of the recorded frame to one of the screen's.
cv::Mat onScreen(const cv::Mat& content, double pitch, double bezel, std::uint64_t seed) {
    cv::RNG rng(seed + 31);
    const float black = float(rng.uniform(0.03, 0.1)), gain = float(rng.uniform(0.8, 1.0));
    const cv::Vec3f white(gain, gain * 0.97f, gain * float(rng.uniform(0.85, 0.95)));
    cv::Mat pixels;
    cv::resize(asFloat(content), pixels, cv::Size(), 1 / pitch, 1 / pitch, cv::INTER_AREA);
    cv::Mat fine(pixels.rows * 3, pixels.cols * 3, CV_32FC3, cv::Scalar::all(0));
    const float lit = 1.0f / (1.0f / 3 * (2.0f / 3 + 0.3f / 3)); // keeps the mean
    for (int y = 0; y < pixels.rows; ++y)
        for (int x = 0; x < pixels.cols; ++x) {
            const cv::Vec3f v = pixels.at<cv::Vec3f>(y, x);
            for (int c = 0; c < 3; ++c) {
                // BGR: the red stripe first on the screen, last in the vector.
                float value =
                    black + (white[2 - c] - black) * std::pow(std::max(v[2 - c], 0.0f), 1.1f);
                for (int row = 0; row < 3; ++row)
                    fine.at<cv::Vec3f>(3 * y + row, 3 * x + c)[2 - c] =
                        value * lit * (row == 2 ? 0.3f : 1.0f);
            }
        }
    const int border = int(bezel * fine.cols);
    cv::copyMakeBorder(fine, fine, border, border, border, border, cv::BORDER_CONSTANT,
                       cv::Scalar::all(0.02));
    // A window's reflection across the glass.
    cv::Mat ramp(fine.size(), CV_32F);
    const double strength = rng.uniform(0.04, 0.12);
    for (int y = 0; y < ramp.rows; ++y)
        for (int x = 0; x < ramp.cols; ++x)
            ramp.at<float>(y, x) = float(strength * std::max(0.0, 1.0 - double(x + y) / ramp.cols));
    cv::Mat glare;
    cv::merge(std::vector<cv::Mat>(3, ramp), glare);
    return fine + glare;
}

} // namespace

const std::vector<Attack>& all() {
    static const std::vector<Attack> attacks = {
        {"print", "a photo printed (halftone or inkjet) on paper, with its margin and a gloss",
         false},
        {"phone", "the recording played on a phone: a fine pixel grid, a bezel, a reflection",
         true},
        {"laptop", "the recording played on a laptop: a coarser pixel grid, a reflection", true},
    };
    return attacks;
}

const Attack& named(std::string_view name) {
    for (const auto& attack : all())
        if (attack.name == name) return attack;
    throw std::invalid_argument("no attack named " + std::string(name));
}

Shown show(const Attack& attack, const cv::Mat& content, std::uint64_t seed) {
    Shown shown{{}, 0, content.size(), seed, roomBehind(content.size() * 2, seed)};
    if (attack.name == "print") {
        constexpr int fine = 3;
        shown.image = printed(content, fine, seed);
        shown.perPixel = fine;
    } else {
        const bool phone = attack.name == "phone";
        const double pitch = phone ? 0.45 : 1.1;
        shown.image = onScreen(content, pitch, phone ? 0.04 : 0.03, seed);
        shown.perPixel = 3 / pitch;
    }
    // The lens's blur, before the sensor samples (photograph draws at
    // twice the camera's resolution).
    const double sigma = 0.35 * shown.perPixel / (2 * handFor(seed).scale);
    cv::GaussianBlur(shown.image, shown.image, cv::Size(), sigma);
    return shown;
}

// Drawn at twice the camera's resolution and averaged down, as a sensor's
// pixels integrate the light that falls on them: a fine grid aliases into
// moire, as it does.
cv::Mat photograph(const Shown& shown, double t, bool moving) {
    const cv::Size twice = shown.frame * 2;
    cv::Mat frame = shown.room.clone();
    Hand hand = handFor(shown.seed);
    hand.scale *= 2;
    hand.shift *= 2;
    const auto h = holding(shown.image.size(), shown.perPixel, twice, hand, t, moving);
    cv::warpPerspective(shown.image, frame, cv::Mat(h), twice, cv::INTER_LINEAR,
                        cv::BORDER_TRANSPARENT);
    cv::resize(frame, frame, shown.frame, 0, 0, cv::INTER_AREA);
    // The camera focuses close and its lens softens what it samples.
    cv::GaussianBlur(frame, frame, cv::Size(), 0.7);
    cv::Mat out;
    frame.convertTo(out, CV_8U, 255);
    return out;
}

} // namespace tarvo::Attacks
