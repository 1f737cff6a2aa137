// How long the lock screen waits on the request path when the agent answers
// at once, and what the module costs when no agent listens.
#include "core/agent/SocketServer.h"
#include "core/agent/UnixSocket.h"
#include "sandbox/AgentProcess.h"
#include "sandbox/BuildTree.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/SyslogCapture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <security/pam_appl.h>
#include <security/pam_modules.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace sb = tarvo::sandbox;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* password = "correct horse battery staple";

void report(const char* what, int runs, const std::function<void()>& once) {
    for (int i = 0; i < runs / 20; ++i)
        once(); // warm caches and the loader
    std::vector<double> us;
    us.reserve(runs);
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        once();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        // The module's log lines wait in a socket buffer that must not fill.
        sb::SyslogCapture::drain();
    }
    std::sort(us.begin(), us.end());
    std::printf("%-58s median %8.1f us   p99 %8.1f us   (%d runs)\n", what, us[us.size() / 2],
                us[us.size() * 99 / 100], runs);
}

// pam_sm_authenticate called directly on a handle, without the stack
// around it: the module's own cost.
void moduleAlone(const char* what, int runs) {
    void* module = dlopen(sb::tree::pamModule, RTLD_NOW);
    auto authenticate = reinterpret_cast<int (*)(pam_handle_t*, int, int, const char**)>(
        dlsym(module, "pam_sm_authenticate"));
    pam_conv conversation{[](int, const pam_message**, pam_response**, void*) { return 1; },
                          nullptr};
    pam_handle_t* pamh = nullptr;
    std::string dir = (sb::root() / "pam.d").string();
    pam_start_confdir("tarvo-bench", "alice", &conversation, dir.c_str(), &pamh);
    report(what, runs, [&] { authenticate(pamh, 0, 0, nullptr); });
    pam_end(pamh, PAM_SUCCESS);
    dlclose(module);
}

} // namespace

int main(int argc, char** argv) {
    sb::enter(argc, argv);
    if (geteuid() != 0) {
        std::fprintf(stderr, "request-path-bench: run as root\n");
        return 2;
    }
    sb::SyslogCapture::install();
    auto folder = sb::runtimeFolder(sb::aliceUid);
    std::ofstream(sb::root() / "passdb") << "alice:" << password << "\n";
    sb::PamStack::writeService("tarvo-bench", {"auth [success=done ignore=ignore default=die] " +
                                                   sb::PamStack::tarvoModule(),
                                               "auth required " + sb::PamStack::passcheckModule() +
                                                   " passdb=" + (sb::root() / "passdb").string()});

    auto agent = std::make_unique<sb::AgentProcess>(sb::aliceUid, (folder / "agent.sock").string(),
                                                    tarvo::SocketServer::Match{0.3f, password});
    report("round trip: pam_authenticate -> VERIFY -> token checked", 2000, [] {
        if (sb::PamStack::run("tarvo-bench", "alice").status != PAM_SUCCESS)
            throw std::runtime_error("unlock failed");
    });
    report("round trip on the socket alone (connect, VERIFY, reply)", 5000, [&] {
        auto addr = tarvo::UnixSocket::address((folder / "agent.sock").string());
        tarvo::UniqueFd fd = tarvo::UnixSocket::create();
        connect(fd.get(), reinterpret_cast<sockaddr*>(&*addr), sizeof *addr);
        tarvo::writeAll(fd.get(), "VERIFY\n");
        tarvo::UnixSocket::readOnce(fd.get(), 1032, 5000);
    });
    agent.reset();

    moduleAlone("module alone, no agent: no socket file", 20000);
    auto addr = tarvo::UnixSocket::address((folder / "agent.sock").string());
    tarvo::UniqueFd dead = tarvo::UnixSocket::create();
    bind(dead.get(), reinterpret_cast<sockaddr*>(&*addr), sizeof *addr);
    sb::own(folder / "agent.sock", sb::aliceUid, sb::aliceUid);
    moduleAlone("module alone, no agent: socket file, nothing listening", 20000);
    report("whole stack, no agent (module steps aside, check fails)", 2000,
           [] { sb::PamStack::run("tarvo-bench", "alice"); });
    return 0;
}
