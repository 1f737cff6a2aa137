#include "sandbox/Services.h"

#include "core/agent/UnixSocket.h"
#include "core/base/UniqueFd.h"
#include "platform/agent/Keyring.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>

namespace tarvo::sandbox {
namespace {

using namespace std::chrono_literals;

int freeLoopbackPort() {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        throw std::runtime_error("sandbox: no free port");
    return ntohs(addr.sin_port);
}

bool accepts(int port) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

std::filesystem::path freshDir(const std::string& prefix) {
    static int counter = 0;
    auto dir = root() / (prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
    std::filesystem::create_directories(dir);
    return dir;
}

} // namespace

Process::Process(std::vector<std::string> argv, std::optional<std::string> input) {
    int feed[2] = {-1, -1};
    if (input && pipe2(feed, O_CLOEXEC) != 0) throw std::runtime_error("sandbox: pipe failed");
    std::vector<char*> args;
    for (auto& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("sandbox: fork failed");
    if (pid_ == 0) {
        // Dies with the test, and holds none of its output pipes open.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (input) dup2(feed[0], STDIN_FILENO);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (input) {
        close(feed[0]);
        (void)!write(feed[1], input->data(), input->size());
        close(feed[1]);
    }
}

Process::~Process() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitFor(pid_);
}

bool Process::running() {
    return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
}

SoftwareTpm::SoftwareTpm() {
    for (int attempt = 0; attempt < 5 && !process_; ++attempt) {
        port_ = freeLoopbackPort();
        auto state = freshDir("swtpm");
        auto port = std::to_string(port_), control = std::to_string(port_ + 1);
        process_.emplace(std::vector<std::string>{
            "swtpm", "socket", "--tpm2", "--tpmstate", "dir=" + state.string(), "--server",
            "type=tcp,port=" + port + ",bindaddr=127.0.0.1", "--ctrl",
            "type=tcp,port=" + control + ",bindaddr=127.0.0.1", "--flags",
            "not-need-init,startup-clear"});
        if (!eventually([&] { return accepts(port_) || !process_->running(); }, 5s) ||
            !process_->running())
            process_.reset();
    }
    if (!process_) throw std::runtime_error("sandbox: swtpm did not start");
}

std::string SoftwareTpm::tcti() const {
    return "swtpm:host=127.0.0.1,port=" + std::to_string(port_);
}

void SoftwareTpm::use() const {
    ::unsetenv("TPM2TOOLS_TCTI");
    ::setenv("TCTI", tcti().c_str(), 1);
}

PrivateBus::PrivateBus(const char* variable) : dir_(freshDir("bus")) {
    auto socket = dir_ / "bus";
    std::ofstream(dir_ / "bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:path="
        << socket.string()
        << "</listen><policy context=\"default\"><allow user=\"*\"/>"
           "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
           "<allow own=\"*\"/></policy></busconfig>\n";
    std::filesystem::permissions(dir_, std::filesystem::perms::all);
    daemon_.emplace(std::vector<std::string>{"dbus-daemon", "--nofork",
                                             "--config-file=" + (dir_ / "bus.conf").string()});
    address_ = "unix:path=" + socket.string();
    // The socket's file appears at its bind, a moment before the daemon
    // listens: a client then would be refused.
    auto listening = [&] {
        UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        socket.string().copy(addr.sun_path, sizeof addr.sun_path - 1);
        return probe &&
               ::connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    };
    if (!eventually(listening, 5s)) throw std::runtime_error("sandbox: dbus-daemon did not start");
    ::setenv(variable, address_.c_str(), 1);
}

namespace {

constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
struct ScreensaverSpelling {
    const char* owned;
    const char* path;
    const char* interface;
    const char* desktop;
};
constexpr ScreensaverSpelling freedesktop{"org.freedesktop.ScreenSaver",
                                          "/org/freedesktop/ScreenSaver",
                                          "org.freedesktop.ScreenSaver", "KDE"};
constexpr ScreensaverSpelling gnomeShell{"org.gnome.Shell.ScreenShield", "/org/gnome/ScreenSaver",
                                         "org.gnome.ScreenSaver", "GNOME"};
constexpr ScreensaverSpelling xfce{"org.xfce.ScreenSaver", "/org/xfce/ScreenSaver",
                                   "org.xfce.ScreenSaver", "XFCE"};
constexpr ScreensaverSpelling cinnamon{"org.cinnamon.ScreenSaver", "/org/cinnamon/ScreenSaver",
                                       "org.cinnamon.ScreenSaver", "X-Cinnamon"};

sd_bus* openBus(bool system) {
    sd_bus* bus = nullptr;
    if ((system ? sd_bus_open_system(&bus) : sd_bus_open_user(&bus)) < 0)
        throw std::runtime_error("sandbox: can't reach the private bus");
    return bus;
}

sd_bus_message* activeChanged(sd_bus* bus, const ScreensaverSpelling& spelling, bool active) {
    sd_bus_message* signal = nullptr;
    sd_bus_message_new_signal(bus, &signal, spelling.path, spelling.interface, "ActiveChanged");
    sd_bus_message_append(signal, "b", static_cast<int>(active));
    return signal;
}

sd_bus_message* lockedHintChanged(sd_bus* bus, const std::string& path, bool locked) {
    sd_bus_message* signal = nullptr;
    sd_bus_message_new_signal(bus, &signal, path.c_str(), "org.freedesktop.DBus.Properties",
                              "PropertiesChanged");
    sd_bus_message_append(signal, "sa{sv}as", sessionInterface, 1, "LockedHint", "b",
                          static_cast<int>(locked), 0);
    return signal;
}

// Sends the signal `make` builds to every connection on the bus by name,
// and once more as a broadcast.
void sendToEveryone(sd_bus* bus, const std::function<sd_bus_message*(sd_bus*)>& make) {
    auto send = [&](const char* destination) {
        sd_bus_message* signal = make(bus);
        if (destination) sd_bus_message_set_destination(signal, destination);
        sd_bus_send(bus, signal, nullptr);
        sd_bus_message_unref(signal);
    };
    sd_bus_message* reply = nullptr;
    char** names = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "ListNames", nullptr, &reply, "") >= 0 &&
        sd_bus_message_read_strv(reply, &names) >= 0) {
        for (char** name = names; *name; ++name) {
            if (**name == ':') send(*name);
            std::free(*name);
        }
        std::free(names);
    }
    sd_bus_message_unref(reply);
    send(nullptr);
    sd_bus_flush(bus);
}

} // namespace

struct LockServices::Peer {
    std::mutex lock;
    const ScreensaverSpelling* screensaver = &freedesktop;
    sd_bus* session = nullptr;
    sd_bus* system = nullptr;
    sd_bus* forger = nullptr;
    std::string path;
    int lockedHint = 0;
    int active = 1;
    std::atomic<bool> stopping{false};
    std::thread thread;

    static int getLockedHint(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                             void* data, sd_bus_error*) {
        return sd_bus_message_append(reply, "b", static_cast<Peer*>(data)->lockedHint);
    }
    static int getActive(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                         void* data, sd_bus_error*) {
        return sd_bus_message_append(reply, "b", static_cast<Peer*>(data)->active);
    }
    static int getDesktop(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                          void* data, sd_bus_error*) {
        return sd_bus_message_append(reply, "s", static_cast<Peer*>(data)->screensaver->desktop);
    }

    void serve() {
        while (!stopping) {
            std::vector<pollfd> fds;
            {
                std::lock_guard guard(lock);
                for (sd_bus* bus : {session, system}) {
                    while (sd_bus_process(bus, nullptr) > 0) {
                    }
                    fds.push_back(
                        {sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0});
                }
            }
            ::poll(fds.data(), fds.size(), 20);
        }
    }
};

LockServices::LockServices(std::string sessionId, Screensaver screensaver)
    : peer_(std::make_unique<Peer>()) {
    if (screensaver == Screensaver::gnomeShell) peer_->screensaver = &gnomeShell;
    if (screensaver == Screensaver::xfce) peer_->screensaver = &xfce;
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("LockedHint", "b", Peer::getLockedHint, 0,
                        SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY("Active", "b", Peer::getActive, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_PROPERTY("Desktop", "s", Peer::getDesktop, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_VTABLE_END};
    ::setenv("XDG_SESSION_ID", sessionId.c_str(), 1);
    char* path = nullptr;
    sd_bus_path_encode("/org/freedesktop/login1/session", sessionId.c_str(), &path);
    peer_->path = path;
    std::free(path);
    peer_->session = openBus(false);
    peer_->system = openBus(true);
    if (sd_bus_request_name(peer_->session, peer_->screensaver->owned, 0) < 0 ||
        sd_bus_request_name(peer_->system, "org.freedesktop.login1", 0) < 0 ||
        sd_bus_add_object_vtable(peer_->system, nullptr, peer_->path.c_str(), sessionInterface,
                                 vtable, peer_.get()) < 0)
        throw std::runtime_error("sandbox: can't own the lock services' names");
    peer_->thread = std::thread(&Peer::serve, peer_.get());
}

LockServices::~LockServices() {
    peer_->stopping = true;
    peer_->thread.join();
    sd_bus_flush_close_unref(peer_->session);
    sd_bus_flush_close_unref(peer_->system);
    if (peer_->forger) sd_bus_flush_close_unref(peer_->forger);
}

void LockServices::setScreenSaverActive(bool active) {
    std::lock_guard guard(peer_->lock);
    sd_bus_message* signal = activeChanged(peer_->session, *peer_->screensaver, active);
    sd_bus_send(peer_->session, signal, nullptr);
    sd_bus_message_unref(signal);
    sd_bus_flush(peer_->session);
}

void LockServices::setLockedHint(bool locked) {
    std::lock_guard guard(peer_->lock);
    peer_->lockedHint = locked;
    sd_bus_emit_properties_changed(peer_->system, peer_->path.c_str(), sessionInterface,
                                   "LockedHint", nullptr);
    sd_bus_flush(peer_->system);
}

void LockServices::setActive(bool active) {
    std::lock_guard guard(peer_->lock);
    peer_->active = active;
    sd_bus_emit_properties_changed(peer_->system, peer_->path.c_str(), sessionInterface, "Active",
                                   nullptr);
    sd_bus_flush(peer_->system);
}

void LockServices::forge(bool locked) {
    sd_bus* session = openBus(false);
    for (const auto* spelling : {&freedesktop, &gnomeShell, &xfce})
        sendToEveryone(session, [&](sd_bus* bus) { return activeChanged(bus, *spelling, locked); });
    sd_bus_flush_close_unref(session);
    sd_bus* system = openBus(true);
    sendToEveryone(system,
                   [&](sd_bus* bus) { return lockedHintChanged(bus, peer_->path, locked); });
    sd_bus_flush_close_unref(system);
}

void LockServices::forgeAsOwner(bool locked) {
    // The names stay its own for as long as the services run: a receiver
    // asks who owns them after the signal came.
    std::lock_guard guard(peer_->lock);
    if (!peer_->forger) peer_->forger = openBus(false);
    for (const auto* spelling : {&freedesktop, &gnomeShell, &xfce, &cinnamon}) {
        sd_bus_request_name(peer_->forger, spelling->owned, 0);
        sd_bus_request_name(peer_->forger, spelling->interface, 0);
        sd_bus_message* signal = activeChanged(peer_->forger, *spelling, locked);
        sd_bus_send(peer_->forger, signal, nullptr);
        sd_bus_message_unref(signal);
    }
    sd_bus_flush(peer_->forger);
}

KeyringDaemon::KeyringDaemon(const std::string& password) {
    auto home = freshDir("keyring");
    std::filesystem::permissions(home, std::filesystem::perms::owner_all);
    ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
    // --unlock reads the password from standard input and creates the
    // login keyring with it if there is none.
    daemon_.emplace(std::vector<std::string>{"gnome-keyring-daemon", "--foreground", "--unlock",
                                             "--components=secrets"},
                    password);
    if (!eventually(
            [] { return platform::Keyring::loginState() == platform::Keyring::State::unlocked; },
            5s))
        throw std::runtime_error("sandbox: gnome-keyring-daemon did not start");
}

void KeyringDaemon::lock() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) throw std::runtime_error("sandbox: no session bus");
    sd_bus_call_method(bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                       "org.freedesktop.Secret.Service", "Lock", nullptr, nullptr, "ao", 1,
                       "/org/freedesktop/secrets/collection/login");
    sd_bus_flush_close_unref(bus);
}

namespace {

void writeExecutable(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
}

} // namespace

std::filesystem::path installedHelper(const std::filesystem::path& helper) {
    const std::filesystem::path folder = "/opt/tarvo-test/libexec";
    std::filesystem::create_directories(folder);
    const auto copy = std::filesystem::copy_options::overwrite_existing;
    std::filesystem::copy_file(helper, folder / "tarvo-helper", copy);
    std::filesystem::copy_file(helper.parent_path() / "pam_tarvo.so", folder / "pam_tarvo.so",
                               copy);
    return folder / "tarvo-helper";
}

void installBundle(const std::filesystem::path& app, const std::filesystem::path& helper,
                   const std::filesystem::path& module) {
    std::filesystem::create_directories(app / "libexec");
    std::filesystem::create_directories(app / "share/tarvo");
    std::filesystem::copy_file(helper, app / "libexec/tarvo-helper");
    std::filesystem::copy_file(module, app / "libexec/pam_tarvo.so");
    std::ofstream(app / "share/tarvo/install-manifest.txt")
        << (app / "libexec/tarvo-helper").string() << "\n"
        << (app / "libexec/pam_tarvo.so").string() << "\n";
    ::setenv("TARVO_BUNDLE", app.c_str(), 1);
}

AdminPrograms::AdminPrograms(const std::string& password) : dir_(root() / "admin-programs") {
    std::filesystem::create_directories(dir_);
    writeExecutable(sudo(), R"(#!/bin/sh
# sudo -S -k -p PROMPT -- COMMAND...: asks on standard error, reads one line.
echo "$*" >> "$FAKE_LOG/sudo.args"
prompt=$4; shift 5
case "$FAKE_SUDO" in
nopasswd) exec "$@" ;;
esac
printf '%s' "$prompt" >&2
IFS= read -r line || exit 1
if [ "$FAKE_SUDO" = accept ] && [ "$line" = "$FAKE_PASSWORD" ]; then exec "$@"; fi
echo "Sorry, try again." >&2
printf '%s' "$prompt" >&2
if IFS= read -r more; then echo "$more" > "$FAKE_LOG/sudo.leaked"; fi
echo "sudo: 1 incorrect password attempt" >&2
exit 1
)");
    writeExecutable(pkexec(), R"(#!/bin/sh
echo "$*" >> "$FAKE_LOG/pkexec.args"
case "$FAKE_PKEXEC" in
ok) exec "$@" ;;
dismiss) exit 126 ;;
refuse) printf 'Error executing command as another user: Not authorized\n\nThis incident has been reported.\n' >&2; exit 127 ;;
no-polkit) echo "Error getting authority: Error initializing authority: Could not connect: No such file or directory" >&2; exit 127 ;;
silent) exit 1 ;;
*) echo "Error executing command as another user: No authentication agent found." >&2; exit 127 ;;
esac
)");
    ::setenv("FAKE_PASSWORD", password.c_str(), 1);
    ::setenv("FAKE_LOG", log().c_str(), 1);
}

std::string AdminPrograms::sudo() const {
    return (dir_ / "sudo").string();
}

std::string AdminPrograms::pkexec() const {
    return (dir_ / "pkexec").string();
}

std::filesystem::path AdminPrograms::log() const {
    return dir_ / "log";
}

void AdminPrograms::behave(const char* sudo, const char* pkexec) const {
    std::filesystem::remove_all(log());
    std::filesystem::create_directories(log());
    ::setenv("FAKE_SUDO", sudo, 1);
    ::setenv("FAKE_PKEXEC", pkexec, 1);
}

AppMachine::AppMachine(const std::string& password, const std::filesystem::path& bundle,
                       const std::filesystem::path& helper, const std::filesystem::path& module)
    : isolated_(privateSystemFolders()) {
    if (!isolated_) return;
    PamStack::usePasswordCheck({{"root", password}});
    tpm_ = std::make_unique<SoftwareTpm>();
    tpm_->use();
    sessionBus_ = std::make_unique<SessionBus>();
    systemBus_ = std::make_unique<SystemBus>();
    lockServices_ = std::make_unique<LockServices>();
    admin_ = std::make_unique<AdminPrograms>(password);
    installBundle(bundle, helper, module);
}

AppMachine::~AppMachine() = default;

} // namespace tarvo::sandbox
