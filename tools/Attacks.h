#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <string_view>
#include <vector>

// What a camera sees when someone holds a picture of the user up to it: a
// print or a screen showing a recorded frame, rendered from the frame. The
// same seed gives the same medium (its paper or screen, how it is held);
// the time moves the hand. Frames come out the size of the recorded ones,
// for the rooms of tools/Rooms to render after.
namespace tarvo::Attacks {

struct Attack {
    std::string name; // a column heading: one short word
    std::string what; // a line for the report
    // A screen plays the recording; a print shows one still.
    bool replay = false;
};

// A print, a phone and a laptop screen.
const std::vector<Attack>& all();
const Attack& named(std::string_view name);

// A medium showing one recorded frame, drawn once: a print or a screen
// and the hand that holds it.
struct Shown {
    cv::Mat image;   // the medium, finer than the recorded frame
    double perPixel; // its pixels to one of the recorded frame's
    cv::Size frame;  // the recorded frame's size
    std::uint64_t seed;
    cv::Mat room; // what is behind it, at twice the frame's size
};
Shown show(const Attack& attack, const cv::Mat& content, std::uint64_t seed);

// The camera's frame of it `t` seconds into the scan, held still or moved
// as a hand moves a card.
cv::Mat photograph(const Shown& shown, double t, bool moving);

} // namespace tarvo::Attacks
