// The check-then-connect race, run for real: bob may write the folder above
// alice's agent folder (here /run/user/4242 made 0777 on purpose, in the
// sandbox's own /run/user) and swaps her folder with one of his own in a
// loop (renameat2 RENAME_EXCHANGE), so that the module's path checks see
// hers and its connect may reach his agent, which vouches with his password.
// Alice's own agent never vouches. Every token the stack sees and every
// authentication without one is the attack winning; the module's peer check
// must leave it nothing.
#include "core/agent/SocketServer.h"
#include "sandbox/AgentProcess.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/SyslogCapture.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <security/pam_appl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sb = tarvo::sandbox;
namespace fs = std::filesystem;

int main(int argc, char** argv) {
    sb::enter(argc, argv);
    if (geteuid() != 0) {
        std::fprintf(stderr, "swap-race-bench: run as root\n");
        return 2;
    }
    int attempts = argc > 1 ? std::atoi(argv[1]) : 10000;
    sb::SyslogCapture::install();
    fs::path runtime = "/run/user/4242";
    fs::path hers = sb::runtimeFolder(sb::aliceUid);
    fs::path his = runtime / "bobs";
    fs::create_directories(his);
    sb::own(his, sb::bobUid, sb::bobUid);
    chmod(his.c_str(), 0700);
    chmod(runtime.c_str(), 0777); // the misconfiguration the attack needs

    sb::AgentProcess alice(sb::aliceUid, (hers / "agent.sock").string(), std::nullopt);
    sb::AgentProcess bob(sb::bobUid, (his / "agent.sock").string(),
                         tarvo::SocketServer::Match{0.1f, "bob's password"});
    pid_t swapper = sb::spawnAs(sb::bobUid, [&] {
        for (;;)
            renameat2(AT_FDCWD, hers.c_str(), AT_FDCWD, his.c_str(), RENAME_EXCHANGE);
        return 0;
    });

    sb::PamStack::writeService(
        "swap-race",
        {"auth [success=done ignore=ignore default=die] " + sb::PamStack::tarvoModule(),
         "auth required " + sb::PamStack::wrapperModule("pam_get_items.so")});
    int tokens = 0, authenticated = 0, refusedByPeerCheck = 0;
    for (int i = 0; i < attempts; ++i) {
        auto outcome = sb::PamStack::run("swap-race", "alice");
        if (outcome.token) ++tokens;
        if (outcome.status == PAM_SUCCESS && !outcome.stackWentOn) ++authenticated;
        for (const auto& entry : sb::SyslogCapture::drain())
            if (entry.text.find("answered by uid 4343") != std::string::npos) ++refusedByPeerCheck;
    }
    kill(swapper, SIGKILL);
    sb::waitFor(swapper);
    std::printf("%d attempts while bob swapped the folders: %d tokens handed over, %d "
                "authenticated without one; the peer check refused bob's agent %d times\n",
                attempts, tokens, authenticated, refusedByPeerCheck);
    return tokens == 0 && authenticated == 0 ? 0 : 1;
}
