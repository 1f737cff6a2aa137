#pragma once

#include <cstdint>
#include <functional>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The rooms people unlock in, made from frames recorded in good light: a
// webcam's noise after its gain, a dark room, a bright window behind the
// head, a soft focus, heavy compression. Each room renders a frame the same
// way for the same seed, so every measurement sees the same frames.
namespace tarvo::Rooms {

struct Room {
    std::string name; // a column heading: one short word
    std::string what; // a line for the report
    // `face`, in pixels, lets a room light the face apart from what is
    // behind it; nothing when the recorded frame has no single face.
    std::function<cv::Mat(const cv::Mat& frame, std::uint64_t seed,
                          const std::optional<cv::Rect>& face)>
        render;
};

// As recorded first, then every degraded room.
const std::vector<Room>& all();
// By view, not string: a reference into the table must not look tied to a
// temporary argument.
const Room& named(std::string_view name);

// Sensor noise of `sigma` grey levels on each channel of each pixel.
cv::Mat withNoise(const cv::Mat& frame, double sigma, std::uint64_t seed);
// `light` of the light, and nothing done about it.
cv::Mat dark(const cv::Mat& frame, double light);
// `light` of the light seen by a sensor with `sigma` of noise, then the
// camera's gain back to the normal brightness, noise and all.
cv::Mat gainedFromDark(const cv::Mat& frame, double light, double sigma, std::uint64_t seed);

} // namespace tarvo::Rooms
