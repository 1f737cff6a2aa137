#include "platform/agent/LockMonitor.h"

#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"

#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

namespace sb = tarvo::sandbox;
using tarvo::platform::LockMonitor;
namespace DisplayPower = tarvo::platform::DisplayPower;
using namespace std::chrono_literals;

namespace {

// A DRM class folder as sysfs lays it out: cards and their connectors.
void connector(const std::filesystem::path& drm, const std::string& name, const char* status,
               const char* dpms) {
    std::filesystem::create_directories(drm / name);
    std::ofstream(drm / name / "status") << status << "\n";
    std::ofstream(drm / name / "dpms") << dpms << "\n";
}

// Waits up to two seconds for `count` to reach `value`, then a little
// longer, so that a second delivery would show.
bool settlesAt(const std::atomic<int>& count, int value) {
    for (int i = 0; i < 200 && count < value; ++i)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(200ms);
    return count == value;
}

// A started monitor and what it delivered.
struct Watching {
    std::atomic<int> locks{0}, unlocks{0};
    LockMonitor monitor;
    Watching() {
        monitor.start([this] { ++locks; }, [this] { ++unlocks; });
    }
};

TEST(DisplayPowerTest, AsleepOnlyWhenEveryConnectedScreenIsOff) {
    auto drm = sb::root() / "drm";
    EXPECT_FALSE(DisplayPower::isAsleep(drm)) << "no DRM at all: awake";
    std::filesystem::create_directories(drm / "card0");
    connector(drm, "card0-HDMI-A-1", "disconnected", "Off");
    EXPECT_FALSE(DisplayPower::isAsleep(drm)) << "nothing connected: awake";
    connector(drm, "card0-eDP-1", "connected", "Off");
    EXPECT_TRUE(DisplayPower::isAsleep(drm));
    connector(drm, "card0-DP-2", "connected", "On");
    EXPECT_FALSE(DisplayPower::isAsleep(drm));
    connector(drm, "card0-DP-2", "connected", "Standby");
    EXPECT_TRUE(DisplayPower::isAsleep(drm));
}

TEST(LockMonitorTest, FollowsLogindAndTheScreensaverOnceEach) {
    sb::SessionBus session;
    sb::SystemBus system;
    sb::LockServices desktop;
    EXPECT_FALSE(LockMonitor::isLocked());
    desktop.setLockedHint(true);
    EXPECT_TRUE(LockMonitor::isLocked());

    Watching watch;
    // Already locked at start: the same state again is no news.
    desktop.setScreenSaverActive(true);
    EXPECT_TRUE(settlesAt(watch.locks, 0));
    desktop.setLockedHint(false);
    desktop.setScreenSaverActive(false);
    EXPECT_TRUE(settlesAt(watch.unlocks, 1)) << "both services report one unlock";
    desktop.setScreenSaverActive(true);
    EXPECT_TRUE(settlesAt(watch.locks, 1));

    watch.monitor.stop();
    desktop.setScreenSaverActive(false);
    EXPECT_TRUE(settlesAt(watch.unlocks, 1)) << "nothing after stop";
}

// GNOME Shell 43: the GNOME interface's signal from the owner of
// org.gnome.Shell.ScreenShield, with org.gnome.ScreenSaver unowned; Xfce's
// locker: its own interface, and no LockedHint.
TEST(LockMonitorTest, FollowsTheDesktopsOwnScreensavers) {
    using Screensaver = sb::LockServices::Screensaver;
    for (auto screensaver : {Screensaver::gnomeShell, Screensaver::xfce}) {
        SCOPED_TRACE(static_cast<int>(screensaver));
        sb::SessionBus session;
        sb::SystemBus system;
        sb::LockServices desktop("c1", screensaver);
        Watching watch;
        desktop.forgeAsOwner(true);
        EXPECT_TRUE(settlesAt(watch.locks, 0)) << "another desktop's names, taken by anyone";
        desktop.setScreenSaverActive(true);
        EXPECT_TRUE(settlesAt(watch.locks, 1));
        desktop.forge(false);
        EXPECT_TRUE(settlesAt(watch.unlocks, 0)) << "nobody else may send it";
        desktop.setScreenSaverActive(false);
        EXPECT_TRUE(settlesAt(watch.unlocks, 1));
        watch.monitor.stop();
    }
}

// An agent started before the user's graphical session (a lingering
// user's manager at boot, an ssh login first) follows that session once it
// begins, and the next one after a logout.
TEST(LockMonitorTest, FollowsTheGraphicalSessionThatBeganAfterIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs the sandbox's own /run/systemd";
    sb::SessionBus session;
    sb::SystemBus system;
    sb::LockServices desktop(std::to_string(geteuid()) + "s0");
    ::unsetenv("XDG_SESSION_ID");
    Watching watch;
    desktop.setLockedHint(true);
    EXPECT_TRUE(settlesAt(watch.locks, 0)) << "no session of ours yet";
    desktop.setLockedHint(false);
    sb::setSessions(geteuid(), {sb::Session{}});
    EXPECT_TRUE(settlesAt(watch.locks, 0));
    desktop.setLockedHint(true);
    EXPECT_TRUE(settlesAt(watch.locks, 1));
    desktop.setLockedHint(false);
    EXPECT_TRUE(settlesAt(watch.unlocks, 1));
    watch.monitor.stop();
    sb::setSessions(geteuid(), {});
}

// LightDM locks by switching to its greeter: the session goes off the
// screen with no hint set. Back on screen it is unlocked, unless the
// desktop's own locker still says it is locked.
TEST(LockMonitorTest, ASessionOffTheScreenCountsAsLocked) {
    sb::SessionBus session;
    sb::SystemBus system;
    sb::LockServices desktop("c1", sb::LockServices::Screensaver::xfce);
    desktop.setActive(false);
    EXPECT_TRUE(LockMonitor::isLocked());
    desktop.setActive(true);
    Watching watch;
    desktop.setActive(false);
    EXPECT_TRUE(settlesAt(watch.locks, 1));
    desktop.setActive(true);
    EXPECT_TRUE(settlesAt(watch.unlocks, 1));
    desktop.setScreenSaverActive(true);
    EXPECT_TRUE(settlesAt(watch.locks, 2));
    desktop.setActive(false);
    desktop.setActive(true);
    EXPECT_TRUE(settlesAt(watch.locks, 2));
    EXPECT_TRUE(settlesAt(watch.unlocks, 1)) << "Xfce's locker still holds the screen";
    desktop.setScreenSaverActive(false);
    EXPECT_TRUE(settlesAt(watch.unlocks, 2));
}

} // namespace
