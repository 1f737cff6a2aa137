#include "platform/agent/LockMonitor.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tarvo::platform {

namespace {

constexpr const char* logind = "org.freedesktop.login1";
constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
// The screensaver interfaces desktops signal ActiveChanged on, each with
// the desktops (logind's name for the session's, lower case) that have it,
// and the names whose owner may send it. Any client may own a name nobody
// owns, so a signal counts only on the session's own desktop, from the
// name its locker holds for as long as the desktop runs. GNOME Shell 43
// sends the GNOME one from its own connection, which owns
// org.gnome.Shell.ScreenShield, while org.gnome.ScreenSaver itself has no
// owner; GNOME and Plasma set LockedHint besides.
struct Screensaver {
    const char* interface;
    std::array<const char*, 3> desktops;
    const char* sender;
};
// Xfce's and Cinnamon's lockers set no LockedHint: their own signal is all
// there is of their lock.
constexpr std::array<Screensaver, 4> screensavers = {{
    {"org.freedesktop.ScreenSaver", {"kde", "plasma", nullptr}, "org.freedesktop.ScreenSaver"},
    {"org.gnome.ScreenSaver", {"gnome", "ubuntu", "gnome-classic"}, "org.gnome.Shell.ScreenShield"},
    {"org.xfce.ScreenSaver", {"xfce", nullptr, nullptr}, "org.xfce.ScreenSaver"},
    {"org.cinnamon.ScreenSaver",
     {"x-cinnamon", "cinnamon", "cinnamon2d"},
     "org.cinnamon.ScreenSaver"},
}};

struct BusDeleter {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;

std::optional<std::string> pathOf(const std::string& id) {
    char* path = nullptr;
    if (sd_bus_path_encode("/org/freedesktop/login1/session", id.c_str(), &path) < 0)
        return std::nullopt;
    std::string result = path;
    std::free(path);
    return result;
}

// The session whose lock counts: the user's graphical session when there is
// one (an agent started from an ssh or tty login, or by a lingering user's
// manager at boot, belongs to another or none), else XDG_SESSION_ID, else
// this process's own.
std::optional<std::string> sessionPath() {
    char* found = nullptr;
    std::string id;
    if (sd_uid_get_display(getuid(), &found) >= 0) {
        id = found;
    } else if (const char* env = std::getenv("XDG_SESSION_ID"); env && *env) {
        id = env;
    } else if (sd_pid_get_session(0, &found) >= 0) {
        id = found;
    }
    std::free(found);
    if (id.empty()) return std::nullopt;
    return pathOf(id);
}

// Whether the message was sent by the connection that owns `name` now.
bool sentByOwner(sd_bus_message* message, const char* name) {
    const char* sender = sd_bus_message_get_sender(message);
    if (!sender) return false;
    sd_bus_message* reply = nullptr;
    const char* owner = nullptr;
    bool owned = sd_bus_call_method(sd_bus_message_get_bus(message), "org.freedesktop.DBus",
                                    "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
                                    nullptr, &reply, "s", name) >= 0 &&
                 sd_bus_message_read(reply, "s", &owner) >= 0 && std::string(owner) == sender;
    sd_bus_message_unref(reply);
    return owned;
}

// What logind says of the session: its LockedHint, and whether it is the
// one on screen. LightDM locks by switching to its greeter, leaving the
// session inactive and the hint unset.
struct SessionState {
    std::optional<bool> lockedHint, active;
};

// The session's properties out of a PropertiesChanged signal, those there.
SessionState changedState(sd_bus_message* message) {
    SessionState state;
    const char* interface = nullptr;
    if (sd_bus_message_read(message, "s", &interface) < 0 ||
        std::string(interface) != sessionInterface ||
        sd_bus_message_enter_container(message, 'a', "{sv}") < 0)
        return state;
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* property = nullptr;
        if (sd_bus_message_read(message, "s", &property) < 0) return state;
        std::string name = property;
        int value = 0;
        if ((name == "LockedHint" || name == "Active") &&
            sd_bus_message_read(message, "v", "b", &value) >= 0)
            (name == "Active" ? state.active : state.lockedHint) = value != 0;
        else if (sd_bus_message_skip(message, "v") < 0)
            return state;
        if (sd_bus_message_exit_container(message) < 0) return state;
    }
    return state;
}

// The session's state as logind reports it now; what can't be read is left out.
SessionState currentState(sd_bus* bus, const std::string& path) {
    SessionState state;
    for (const char* property : {"LockedHint", "Active"}) {
        int value = 0;
        if (sd_bus_get_property_trivial(bus, logind, path.c_str(), sessionInterface, property,
                                        nullptr, 'b', &value) >= 0)
            (std::string(property) == "Active" ? state.active : state.lockedHint) = value != 0;
    }
    return state;
}

SessionState currentState() {
    auto path = sessionPath();
    sd_bus* bus = nullptr;
    if (!path || sd_bus_open_system(&bus) < 0) return {};
    Bus owned(bus);
    return currentState(bus, *path);
}

// The session's desktop, lower case: logind's (the login manager sets it),
// else the one this process was started in.
std::string desktopOf(sd_bus* bus, const std::string& path) {
    char* desktop = nullptr;
    std::string name;
    if (bus && sd_bus_get_property_string(bus, logind, path.c_str(), sessionInterface, "Desktop",
                                          nullptr, &desktop) >= 0)
        name = desktop;
    std::free(desktop);
    if (name.empty())
        if (const char* current = std::getenv("XDG_CURRENT_DESKTOP")) name = current;
    name = name.substr(0, name.find(':'));
    for (char& c : name)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

bool lockedIn(const SessionState& state) {
    return state.lockedHint.value_or(false) || !state.active.value_or(true);
}

} // namespace

struct LockMonitor::Watch {
    Callback onLock, onUnlock;
    Bus system, session;
    int wake = -1;
    std::thread thread;
    std::optional<bool> locked;
    // The session followed, its match on the system bus and its desktop.
    std::optional<std::string> path;
    sd_bus_slot* sessionMatch = nullptr;
    std::string desktop;
    // The user's sessions coming and going.
    sd_login_monitor* logins = nullptr;
    // The last word of the other sources, for when the session comes back
    // on screen: then it is locked if either still says so.
    bool lockedHint = false, screensaverActive = false;

    ~Watch() {
        if (wake >= 0) ::close(wake);
        sd_bus_slot_unref(sessionMatch);
        sd_login_monitor_unref(logins);
    }

    void report(bool nowLocked) {
        if (locked == nowLocked) return;
        locked = nowLocked;
        (nowLocked ? onLock : onUnlock)();
    }

    // Each source's news stands until the next (a hint lifted unlocks even
    // if the screensaver never said so); only the session's return to the
    // screen asks the others.
    static int onSessionChanged(sd_bus_message* message, void* data, sd_bus_error*) {
        auto* watch = static_cast<Watch*>(data);
        SessionState change = changedState(message);
        if ((!change.lockedHint && !change.active) || !sentByOwner(message, logind)) return 0;
        if (change.lockedHint) watch->lockedHint = *change.lockedHint;
        if (change.active == false)
            watch->report(true);
        else if (change.lockedHint)
            watch->report(*change.lockedHint);
        else
            watch->report(watch->lockedHint || watch->screensaverActive);
        return 0;
    }

    static int onActiveChanged(sd_bus_message* message, void* data, sd_bus_error*) {
        auto* watch = static_cast<Watch*>(data);
        int active = 0;
        if (sd_bus_message_read(message, "b", &active) < 0) return 0;
        const char* interface = sd_bus_message_get_interface(message);
        for (const auto& screensaver : screensavers) {
            if (!interface || std::string(interface) != screensaver.interface) continue;
            bool ours = false;
            for (const char* desktop : screensaver.desktops)
                ours = ours || (desktop && watch->desktop == desktop);
            if (ours && sentByOwner(message, screensaver.sender)) {
                watch->screensaverActive = active != 0;
                watch->report(active != 0);
            }
            return 0;
        }
        return 0;
    }

    // Follows the session sessionPath names now: a graphical session that
    // began after the agent, or a new one after a logout.
    void follow() {
        auto now = sessionPath();
        if (!system || now == path) return;
        path = now;
        sessionMatch = sd_bus_slot_unref(sessionMatch);
        if (!path) return;
        std::string rule = "type='signal',sender='" + std::string(logind) +
                           "',interface='org.freedesktop.DBus.Properties',"
                           "member='PropertiesChanged',path='" +
                           *path + "'";
        sd_bus_add_match(system.get(), &sessionMatch, rule.c_str(), onSessionChanged, this);
        desktop = desktopOf(system.get(), *path);
        SessionState state = currentState(system.get(), *path);
        lockedHint = state.lockedHint.value_or(false);
        if (locked) report(lockedIn(state) || screensaverActive);
    }

    void watchSystemBus() {
        sd_bus* bus = nullptr;
        if (sd_bus_open_system(&bus) < 0) return;
        system.reset(bus);
        if (sd_login_monitor_new("uid", &logins) < 0) logins = nullptr;
        follow();
    }

    void watchSessionBus() {
        sd_bus* bus = nullptr;
        if (sd_bus_open_user(&bus) < 0) return;
        session.reset(bus);
        // No sender in the rule: the sender is checked per signal against
        // the name that may send it.
        for (const auto& screensaver : screensavers) {
            std::string rule = "type='signal',interface='" + std::string(screensaver.interface) +
                               "',member='ActiveChanged'";
            if (sd_bus_add_match(bus, nullptr, rule.c_str(), onActiveChanged, this) < 0) {
                session.reset();
                return;
            }
        }
    }

    void loop() {
        std::vector<sd_bus*> buses;
        for (sd_bus* bus : {system.get(), session.get()})
            if (bus) buses.push_back(bus);
        for (;;) {
            for (sd_bus* bus : buses)
                while (sd_bus_process(bus, nullptr) > 0) {
                }
            std::vector<pollfd> fds{{wake, POLLIN, 0}};
            if (logins)
                fds.push_back({sd_login_monitor_get_fd(logins),
                               static_cast<short>(sd_login_monitor_get_events(logins)), 0});
            size_t first = fds.size();
            for (sd_bus* bus : buses)
                fds.push_back({sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0});
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
            if (fds[0].revents) return;
            if (logins && fds[1].revents) {
                sd_login_monitor_flush(logins);
                follow();
            }
            // A bus that went away is left out; the other one still counts.
            for (size_t i = fds.size() - 1; i >= first; --i)
                if (fds[i].revents & (POLLHUP | POLLERR))
                    buses.erase(buses.begin() + long(i - first));
            if (buses.empty()) return;
        }
    }
};

LockMonitor::LockMonitor() = default;
LockMonitor::~LockMonitor() {
    stop();
}

void LockMonitor::start(Callback onLock, Callback onUnlock) {
    stop();
    auto watch = std::make_shared<Watch>();
    watch->onLock = std::move(onLock);
    watch->onUnlock = std::move(onUnlock);
    watch->watchSystemBus();
    watch->locked =
        lockedIn(watch->system && watch->path ? currentState(watch->system.get(), *watch->path)
                                              : SessionState{});
    watch->watchSessionBus();
    watch->wake = ::eventfd(0, EFD_CLOEXEC);
    if (watch->wake < 0 || (!watch->system && !watch->session)) return;
    // The thread keeps the watch alive: a callback may stop the monitor
    // from the thread itself, which then ends once the callback returns.
    watch->thread = std::thread([watch] { watch->loop(); });
    watch_ = std::move(watch);
}

void LockMonitor::stop() {
    if (!watch_) return;
    std::uint64_t one = 1;
    (void)!::write(watch_->wake, &one, sizeof one);
    if (watch_->thread.get_id() == std::this_thread::get_id())
        watch_->thread.detach();
    else
        watch_->thread.join();
    watch_.reset();
}

bool LockMonitor::isLocked() {
    return lockedIn(currentState());
}

namespace DisplayPower {

bool isAsleep(const std::filesystem::path& drm) {
    auto read = [](const std::filesystem::path& file) {
        std::string word;
        std::ifstream(file) >> word;
        return word;
    };
    bool anyConnected = false;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(drm, ec)) {
        if (read(entry.path() / "status") != "connected") continue;
        anyConnected = true;
        if (read(entry.path() / "dpms") == "On") return false;
    }
    return anyConnected;
}

} // namespace DisplayPower

} // namespace tarvo::platform
