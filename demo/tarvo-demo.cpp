// The lock screen's request path end to end, on a machine with no camera:
// the real libpam runs pam_tarvo.so from a private service directory; the
// module checks the user's folder and socket and asks the agent-side server,
// which runs as that user; a password module after it checks the token.
#include "core/SocketServer.h"
#include "sandbox/AgentProcess.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/SyslogCapture.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <security/pam_appl.h>
#include <unistd.h>

using namespace tarvo;
namespace sb = tarvo::sandbox;

namespace {

constexpr const char* password = "correct horse battery staple";

void showModuleLog() {
    for (const auto& entry : sb::SyslogCapture::drain())
        std::printf("  syslog(authpriv.%d) %s\n", entry.priority, entry.text.c_str());
}

sb::PamStack::Outcome unlock(const char* title, const std::optional<std::string>& typed = {}) {
    std::printf("\n== %s\n", title);
    if (typed) setenv("PAM_AUTHTOK", typed->c_str(), 1);
    auto start = std::chrono::steady_clock::now();
    auto outcome = sb::PamStack::run("tarvo-demo", "alice");
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    unsetenv("PAM_AUTHTOK");
    showModuleLog();
    std::printf("  token the password check saw: %s\n",
                outcome.token ? ("\"" + *outcome.token + "\"").c_str() : "(none)");
    std::printf("  pam_authenticate: %s (%.2f ms)\n", pam_strerror(nullptr, outcome.status), ms);
    return outcome;
}

void showAgentLog() {
    std::printf("\n== the agent's log (%s)\n", (sb::home("alice") / "Library/Application "
                                                                    "Support/Tarvo/tarvo.log")
                                                   .c_str());
    std::ifstream log(sb::home("alice") / "Library/Application Support/Tarvo/tarvo.log");
    for (std::string line; std::getline(log, line);)
        std::printf("  %s\n", line.c_str());
}

} // namespace

int main(int argc, char** argv) {
    sb::enter(argc, argv);
    if (geteuid() != 0) {
        std::fprintf(stderr, "tarvo-demo: run as root: the module runs as root and the agent as "
                             "a test user\n");
        return 2;
    }
    bool logCaptured = sb::SyslogCapture::install();
    sb::agentFolder("alice", sb::aliceUid);
    {
        std::ofstream passdb(sb::root() / "passdb");
        passdb << "alice:" << password << "\n";
    }
    // The lock screen's stack: what was typed, our module, the password check.
    sb::PamStack::writeService(
        "tarvo-demo",
        {"auth required " + sb::PamStack::wrapperModule("pam_set_items.so"),
         "auth [success=done ignore=ignore default=die] " + sb::PamStack::tarvoModule() + " debug",
         "auth required " + sb::PamStack::passcheckModule() +
             " passdb=" + (sb::root() / "passdb").string(),
         "auth required " + sb::PamStack::wrapperModule("pam_get_items.so")});
    std::printf("user alice (uid %d), home %s\n", sb::aliceUid, sb::home("alice").c_str());
    std::printf("stack: pam_set_items (the typed field), pam_tarvo.so debug, password check\n");
    if (!logCaptured) std::printf("(module's syslog lines are not shown: needs root namespaces)\n");

    // The agent's side, as alice: a socket server whose verifier vouches with
    // a fixed password (recognising the face is not part of this path yet).
    auto agent = std::make_unique<sb::AgentProcess>(
        sb::aliceUid, sb::agentFolder("alice", sb::aliceUid) / "agent.sock",
        SocketServer::Match{0.312f, password});
    auto face = unlock("Return on the empty password field: the agent vouches");
    auto typed = unlock("A typed password: the module leaves it to the password check", password);
    agent.reset();
    auto none = unlock("Return on the empty field with no agent: the password must be typed");
    showAgentLog();
    bool ok = face.status == PAM_SUCCESS && face.token == password && typed.status == PAM_SUCCESS &&
              none.status != PAM_SUCCESS && !none.token;
    std::printf("\n%s\n", ok ? "request path works: the face's password reached the password check"
                             : "request path FAILED");
    return ok ? 0 : 1;
}
