#include "platform/app/Sound.h"

#include <canberra.h>
#include <mutex>

namespace tarvo::platform::Sound {

void play(const char* id) {
    // One context for the process: creating one connects to the sound
    // server, which is too slow to do per sound.
    static std::mutex lock;
    static ca_context* context = [] {
        ca_context* made = nullptr;
        if (ca_context_create(&made) != CA_SUCCESS) return static_cast<ca_context*>(nullptr);
        ca_context_change_props(made, CA_PROP_APPLICATION_NAME, "Tarvo", nullptr);
        // Only a sound server: ALSA straight, where there is none, prints
        // its complaints about missing cards on standard error.
        ca_context_set_driver(made, "pulse");
        return made;
    }();
    std::lock_guard guard(lock);
    if (context) ca_context_play(context, 0, CA_PROP_EVENT_ID, id, nullptr);
}

} // namespace tarvo::platform::Sound
