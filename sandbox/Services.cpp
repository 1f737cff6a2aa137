#include "sandbox/Services.h"

#include "core/UnixSocket.h"
#include "platform/Keyring.h"
#include "sandbox/Sandbox.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>

namespace tarvo::sandbox {
namespace {

using namespace std::chrono_literals;

// Polls `ready` every 20 ms for up to `limit`.
template <typename Ready> bool waitUntil(Ready ready, std::chrono::milliseconds limit = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return ready();
}

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
        if (!waitUntil([&] { return accepts(port_) || !process_->running(); }) ||
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

SessionBus::SessionBus() : dir_(freshDir("bus")) {
    auto socket = dir_ / "bus";
    std::ofstream(dir_ / "bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:path="
        << socket.string()
        << "</listen><policy context=\"default\"><allow send_destination=\"*\"/>"
           "<allow receive_sender=\"*\"/>"
           "<allow own=\"*\"/></policy></busconfig>\n";
    daemon_.emplace(std::vector<std::string>{"dbus-daemon", "--nofork",
                                             "--config-file=" + (dir_ / "bus.conf").string()});
    address_ = "unix:path=" + socket.string();
    if (!waitUntil([&] { return std::filesystem::exists(socket); }))
        throw std::runtime_error("sandbox: dbus-daemon did not start");
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
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
    if (!waitUntil(
            [] { return platform::Keyring::loginState() == platform::Keyring::State::unlocked; }))
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

} // namespace tarvo::sandbox
