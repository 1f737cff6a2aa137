// The desktop app as a person starts it, on an X display (Xvfb) with a
// session bus of its own: the time from starting the program to its window
// being on screen, and its resident memory once idle, next to the agent's
// alone (app-bench prints that); then, with its window closed as a person
// closes it (the window manager's delete request), what the app alone in
// the tray costs: memory, threads and processor time while nothing happens.
//   desktop-bench [idle seconds measured, default 60]
#include "core/store/Paths.h"
#include "sandbox/BuildTree.h"
#include "sandbox/Faces.h"
#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"

#include <X11/Xlib.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sb = tarvo::sandbox;
using Clock = std::chrono::steady_clock;

namespace {

pid_t startApp(const std::string& display) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("DISPLAY", display.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        (void)!std::freopen("/dev/null", "w", stderr);
        ::execl(sb::tree::app, sb::tree::app, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

std::string statusLine(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key + ":", 0) == 0) return line.substr(key.size() + 1);
    return "?";
}

std::string residentMemory(pid_t pid) {
    return statusLine(pid, "VmRSS");
}

// The process's processor time so far (user and system), in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    auto fields = text.substr(text.rfind(')') + 2);
    std::istringstream in(fields);
    std::string skip;
    for (int i = 0; i < 11; ++i)
        in >> skip; // state .. cmajflt
    long user = 0, system = 0;
    in >> user >> system;
    return double(user + system) / double(::sysconf(_SC_CLK_TCK));
}

// The visible window titled "Tarvo", or 0.
unsigned long tarvoWindow(const std::string& display) {
    std::string find =
        "DISPLAY=" + display + " xdotool search --onlyvisible --name '^Tarvo$' 2>/dev/null";
    FILE* out = ::popen(find.c_str(), "r");
    unsigned long id = 0;
    if (out && std::fscanf(out, "%lu", &id) != 1) id = 0;
    if (out) ::pclose(out);
    return id;
}

// What a window manager sends when its close button is pressed.
void askToClose(const std::string& display, unsigned long window) {
    Display* x = XOpenDisplay(display.c_str());
    if (!x) return;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(x, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(x, window, False, NoEventMask, &event);
    XFlush(x);
    XCloseDisplay(x);
}

// Processor seconds a minute while `pid` is left alone for `seconds`.
double idleCpuPerMinute(pid_t pid, int seconds) {
    double before = cpuSeconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return (cpuSeconds(pid) - before) * 60.0 / seconds;
}

} // namespace

int main(int argc, char** argv) {
    sb::enter(argc, argv);
    int idleSeconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 60;
    ::setenv("TARVO_MODEL", sb::tree::data("model/FaceEmbedding.tflite").c_str(), 0);
    ::setenv("TARVO_CAMERA", sb::Faces::franckVideo().c_str(), 1);
    sb::SessionBus sessionBus;
    std::string display = ":" + std::to_string(70 + ::getpid() % 20);
    sb::Process x({"Xvfb", display, "-nolisten", "tcp", "-screen", "0", "1280x720x24"});
    sb::eventually([&] { return std::filesystem::exists("/tmp/.X11-unix/X" + display.substr(1)); },
                   std::chrono::seconds(5));

    for (int run = 0; run < 3; ++run) {
        auto start = Clock::now();
        pid_t app = startApp(display);
        // xdotool returns once a visible window of that title exists.
        std::string wait = "DISPLAY=" + display +
                           " xdotool search --sync --onlyvisible --name '^Tarvo$' >/dev/null";
        if (std::system(wait.c_str()) != 0) std::printf("the window never showed\n");
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        sb::eventually(
            [] {
                auto log = sb::readFile(tarvo::Paths::log());
                return sb::occurrences(log, " ready\n") > sb::occurrences(log, "models ready\n");
            },
            std::chrono::seconds(30));
        std::this_thread::sleep_for(std::chrono::seconds(3)); // idle, as it will be
        std::printf("tarvo: start to window on screen %.0f ms; idle with its window, resident%s\n",
                    ms, residentMemory(app).c_str());
        if (run < 2) {
            ::kill(app, SIGTERM);
            ::waitpid(app, nullptr, 0);
            continue;
        }
        // The last run stays: idle with its window, then in the tray alone.
        double shownCpu = idleCpuPerMinute(app, idleSeconds);
        std::printf("tarvo, window open and idle: %.3f s of processor a minute, %ld threads\n",
                    shownCpu, std::atol(statusLine(app, "Threads").c_str()));
        askToClose(display, tarvoWindow(display));
        bool closed =
            sb::eventually([&] { return tarvoWindow(display) == 0; }, std::chrono::seconds(10));
        std::this_thread::sleep_for(std::chrono::seconds(3)); // the scene goes after the close
        double trayCpu = idleCpuPerMinute(app, idleSeconds);
        double trayMiB = std::atol(residentMemory(app).c_str()) / 1024.0,
               ownMiB = std::atol(statusLine(app, "RssAnon").c_str()) / 1024.0;
        std::printf("tarvo, window closed%s: in the tray alone resident %.1f MiB, %.1f MiB its own "
                    "(target <= 120), %.3f s of processor a minute over %d s (target <= 0.05), "
                    "%ld threads\n",
                    closed ? "" : " (FAILED: it did not close)", trayMiB, ownMiB, trayCpu,
                    idleSeconds, std::atol(statusLine(app, "Threads").c_str()));
        ::kill(app, SIGTERM);
        ::waitpid(app, nullptr, 0);
    }
    return 0;
}
