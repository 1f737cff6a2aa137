#pragma once

// Event sounds of the desktop's sound theme (freedesktop sound naming).
namespace tarvo::platform::Sound {

// Plays the event `id` (for example "complete") without waiting for it;
// silent where no sound server or theme exists.
void play(const char* id);

} // namespace tarvo::platform::Sound
