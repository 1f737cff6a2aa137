// The desktop app as a person starts it, on an X display (Xvfb) with a
// session bus of its own: the time from starting the program to its window
// being on screen, and its resident memory once idle, next to the agent's
// alone (app-bench prints that).
#include "core/store/Paths.h"
#include "sandbox/Faces.h"
#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
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
        ::execl(TARVO_PROGRAM, TARVO_PROGRAM, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

std::string residentMemory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return line.substr(6);
    return "?";
}

} // namespace

int main(int argc, char** argv) {
    sb::enter(argc, argv);
    ::setenv("TARVO_MODEL", TARVO_DATA_DIR "/model/FaceEmbedding.tflite", 0);
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
        ::kill(app, SIGTERM);
        ::waitpid(app, nullptr, 0);
    }
    return 0;
}
