#pragma once

#include <string>
#include <vector>

// The camera the settings choose, as this user sees it now, and the one
// sentence that says what to do when it can't be used: the app and
// tarvoctl say the same. Linux asks nobody for a camera: it may be used
// when its device opens for this user. No frame is captured here.
namespace tarvo::CameraCheck {

enum class Kind {
    ready,
    none,    // no camera on this machine
    denied,  // a camera this user may not open
    missing, // the one chosen is not connected
};

struct State {
    Kind kind = Kind::none;
    std::string problem; // empty when ready
};

State current();

// Every camera, for choosing one: its stable name, what it is called, its
// formats, whether it is an infrared one (grey frames only), whether it is
// the one in use.
struct Choice {
    std::string name, card, formats;
    bool infrared = false, allowed = false, chosen = false;
};
std::vector<Choice> choices();

} // namespace tarvo::CameraCheck
