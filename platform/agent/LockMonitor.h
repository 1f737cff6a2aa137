#pragma once

#include <filesystem>
#include <functional>
#include <memory>

namespace tarvo::platform {

// Lock and unlock of the user's session: logind's LockedHint and Active on
// the system bus (a session no longer on screen counts as locked: LightDM
// locks by switching to its greeter) and the screensaver's ActiveChanged on
// the session bus, whichever the desktop provides. A signal counts only when it comes from the
// current owner of the service's name, so another client on the bus can't forge a lock or an
// unlock. Both sources report one state; each change is delivered once, on the monitor's own
// thread.
class LockMonitor {
  public:
    using Callback = std::function<void()>;

    LockMonitor();
    ~LockMonitor();
    LockMonitor(const LockMonitor&) = delete;
    LockMonitor& operator=(const LockMonitor&) = delete;

    // Starts watching; a bus that can't be reached is left out.
    void start(Callback onLock, Callback onUnlock);
    // Stops watching; no callback runs once this returns.
    void stop();

    // Whether logind reports the session locked (LockedHint) or off the
    // screen now; false when it can't be read.
    static bool isLocked();

  private:
    struct Watch;
    std::shared_ptr<Watch> watch_;
};

// Whether the main display is asleep: every connected DRM connector under
// `drm` reports a DPMS state other than "On". A machine with no connected
// connector (a virtual machine, a container) counts as awake, so the camera
// can be warmed there.
namespace DisplayPower {
bool isAsleep(const std::filesystem::path& drm = "/sys/class/drm");
}

} // namespace tarvo::platform
