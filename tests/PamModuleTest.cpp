// pam_tarvo.so as the lock screen runs it: loaded by the real libpam from a
// service file, followed by a module that shows what it handed on, talking
// to a scripted agent on the user's real socket path.
#include "core/agent/UnixSocket.h"
#include "core/store/Paths.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/ScriptedAgent.h"
#include "sandbox/SyslogCapture.h"

#include <atomic>
#include <chrono>
#include <dlfcn.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <security/pam_appl.h>
#include <security/pam_modules.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <thread>

namespace sb = tarvo::sandbox;
using sb::ScriptedAgent;
using sb::PamStack::authenticate;
using namespace std::chrono_literals;

namespace {
std::atomic<bool> failSettingTheToken{false};
} // namespace

// The module's pam_set_item resolves to this one first: it fails to set the
// token when a test asks, as libpam does when it runs out of memory.
extern "C" int pam_set_item(pam_handle_t* pamh, int type, const void* item) {
    using Real = int (*)(pam_handle_t*, int, const void*);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pam_set_item"));
    if (type == PAM_AUTHTOK && failSettingTheToken) return PAM_BUF_ERR;
    return real(pamh, type, item);
}

namespace {

#define DASH "\xE2\x80\x94"

class PamModuleTest : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the module runs as root, the agent as a test user";
        folder = sb::runtimeFolder(sb::aliceUid);
        socket = tarvo::Paths::socketOf(sb::aliceUid);
        std::filesystem::remove(socket);
        sb::SyslogCapture::drain();
    }

    // The module's lines as "priority text".
    std::vector<std::string> moduleLog() {
        std::vector<std::string> lines;
        for (const auto& entry : sb::SyslogCapture::drain()) {
            EXPECT_EQ(entry.facility, LOG_AUTHPRIV) << entry.text;
            lines.push_back(std::to_string(entry.priority) + " " + entry.text);
        }
        return lines;
    }
    using Lines = std::vector<std::string>;

    static void expectSteppedAside(const sb::PamStack::Outcome& outcome) {
        EXPECT_EQ(outcome.status, PAM_SUCCESS) << "next module's verdict";
        EXPECT_TRUE(outcome.stackWentOn) << "pam_tarvo must return PAM_IGNORE";
        EXPECT_EQ(outcome.token, std::nullopt);
    }

    std::filesystem::path folder, socket;
};

TEST_F(PamModuleTest, TypedPasswordLeavesTheSocketAlone) {
    ScriptedAgent agent(socket, sb::aliceUid, {"OK 616263\n"});
    auto outcome = authenticate("alice", {"debug"}, "typed secret");
    EXPECT_TRUE(outcome.stackWentOn);
    EXPECT_EQ(outcome.token, "typed secret");
    EXPECT_EQ(agent.request(), "");
    EXPECT_EQ(moduleLog(), Lines{"7 pam_tarvo: password typed, leaving it to the password check"});
}

// Once the stack let the user in, the agent hears of it unless the face
// did it: only a password the stack accepted starts the password's period
// again. Credentials being deleted say nothing.
TEST_F(PamModuleTest, TheAgentHearsOfAPasswordTheStackAccepted) {
    using sb::PamStack::ThenCredentials;
    using Requests = std::vector<std::string>;
    {
        ScriptedAgent agent(socket, sb::aliceUid, {std::nullopt});
        authenticate("alice", {"debug"}, "typed secret", ThenCredentials::yes);
        EXPECT_EQ(agent.requests(), Requests{"ACCEPTED\n"});
    }
    {
        ScriptedAgent agent(socket, sb::aliceUid, {"NO not-seen\n"});
        authenticate("alice", {"debug"}, std::nullopt, ThenCredentials::yes);
        EXPECT_EQ(agent.requests(), (Requests{"VERIFY\n", "ACCEPTED\n"}))
            << "a miss, then the stack's own yes";
    }
    {
        ScriptedAgent agent(socket, sb::aliceUid, {"OK 616263\n"});
        authenticate("alice", {"debug"}, std::nullopt, ThenCredentials::yes);
        EXPECT_EQ(agent.requests(), Requests{"VERIFY\n"}) << "the face opened it";
    }
    {
        ScriptedAgent agent(socket, sb::aliceUid, {std::nullopt}, sb::bobUid);
        authenticate("alice", {"debug"}, "typed secret", ThenCredentials::yes);
        EXPECT_EQ(agent.requests(), Requests{""}) << "told to nobody but alice's agent";
    }
    moduleLog();
}

TEST_F(PamModuleTest, NoAgentMeansOnlyADebugLine) {
    expectSteppedAside(authenticate("alice"));
    EXPECT_EQ(moduleLog(),
              Lines{"7 pam_tarvo: lstat(" + socket.string() + "): No such file or directory"});

    // A socket file with nothing listening: a crashed agent.
    tarvo::UniqueFd dead = sb::boundSocket(socket, sb::aliceUid);
    expectSteppedAside(authenticate("alice"));
    EXPECT_EQ(moduleLog(), Lines{"7 pam_tarvo: connect(" + socket.string() +
                                 "): Connection refused " DASH " agent not running?"});

    // Without "debug" nothing is logged at all.
    expectSteppedAside(authenticate("alice", {}));
    EXPECT_EQ(moduleLog(), Lines{});
}

TEST_F(PamModuleTest, UnsafeFolderOrSocketIsRefusedBeforeConnecting) {
    ScriptedAgent agent(socket, sb::aliceUid, {"OK 616263\n"});
    chmod(folder.c_str(), 0775);
    expectSteppedAside(authenticate("alice"));
    EXPECT_EQ(moduleLog(), Lines{"4 pam_tarvo: " + folder.string() +
                                 " is group/world writable (775) " DASH " refusing"});

    chmod(folder.c_str(), 02700);
    sb::own(folder, sb::bobUid, sb::bobUid);
    expectSteppedAside(authenticate("alice"));
    EXPECT_EQ(moduleLog(), Lines{"4 pam_tarvo: " + folder.string() +
                                 " owned by uid 4343, expected 4242 " DASH " refusing"});

    sb::own(folder, sb::aliceUid, sb::aliceUid);
    sb::own(socket, 0, 0);
    expectSteppedAside(authenticate("alice"));
    EXPECT_EQ(moduleLog(), Lines{"4 pam_tarvo: " + socket.string() +
                                 " owned by uid 0, expected 4242 " DASH " refusing"});
    EXPECT_EQ(agent.request(), "");
}

// Each reply and what a stack run as root does with it: a vouch with a
// password hands it to the password module (PAM_IGNORE), and everything
// else steps aside. A vouch without a password is the face alone, which a
// locker running as the user takes (the lockers' tests); as root it is
// refused, since any process of the user can answer on the user's socket.
// Every malformed form is the reply reader's own test; here, that the
// module refuses on its verdict.
TEST_F(PamModuleTest, AsRootOnlyAHandedPasswordCounts) {
    const std::string vouched = "5 pam_tarvo: agent vouched for alice",
                      malformed = "4 pam_tarvo: malformed reply from the agent " DASH " refusing",
                      faceOnly = "4 pam_tarvo: agent vouched without a password; as root only "
                                 "the password counts " DASH " refusing";
    struct Case {
        const char* reply;
        std::optional<std::string> token;
        Lines log;
    };
    for (const Case& c :
         {Case{"NO not-seen\n", {}, {"7 pam_tarvo: agent declined: NO not-seen"}},
          Case{"OK 616263\n", "abc", {vouched}}, Case{"OK\n", {}, {vouched, faceOnly}},
          Case{"OK \n", {}, {vouched, faceOnly}}, Case{"OKAY\n", {}, {malformed}},
          Case{"OK 610062\n", {}, {malformed}}}) {
        SCOPED_TRACE(c.reply);
        ScriptedAgent agent(socket, sb::aliceUid, {c.reply});
        auto outcome = authenticate("alice");
        EXPECT_EQ(outcome.status, PAM_SUCCESS) << "the next module's verdict";
        EXPECT_TRUE(outcome.stackWentOn) << "pam_tarvo must return PAM_IGNORE";
        EXPECT_EQ(outcome.token, c.token);
        EXPECT_EQ(moduleLog(), c.log);
        EXPECT_EQ(agent.request(), "VERIFY\n");
    }
}

// Plasma's locker and LightDM's greeter run the stack as the lock screen
// appears: the module asks first and scans only on Enter alone; a typed
// password goes to the password check unscanned; no answer, or no agent to
// ask, means no scan.
TEST_F(PamModuleTest, LockScreensThatAskAtOnceScanOnlyWhenEnterComesAlone) {
    const std::string prompt = "Password, or Enter to unlock with your face:";
    struct Case {
        std::vector<std::string> answers;
        std::optional<std::string> token;
        std::string request;
    };
    for (const std::string service : {"kde", "lightdm"}) {
        for (const Case& c : {Case{{""}, "abc", "VERIFY\n"},
                              Case{{"typed secret"}, "typed secret", ""}, Case{{}, {}, ""}}) {
            SCOPED_TRACE(service + ": " + (c.answers.empty() ? "no answer" : c.answers[0]));
            ScriptedAgent agent(socket, sb::aliceUid, {"OK 616263\n"});
            auto outcome = sb::PamStack::authenticateAs(service, "alice", c.answers);
            EXPECT_TRUE(outcome.stackWentOn);
            EXPECT_EQ(outcome.token, c.token);
            EXPECT_EQ(outcome.prompts, std::vector<std::string>{prompt});
            EXPECT_EQ(agent.request(), c.request);
        }
    }
    std::filesystem::remove(socket);
    auto outcome = sb::PamStack::authenticateAs("lightdm", "alice", {""});
    EXPECT_TRUE(outcome.prompts.empty()) << "no agent, no prompt of ours";
    expectSteppedAside(outcome);
}

// As root the module also serves login screens (GDM's and LightDM's greeters
// log in and unlock through one stack), and the agent may run with no one
// logged in. Only a local graphical session of the user's, not closing, is
// one to unlock; lingering, a console or ssh login, a remote desktop, a
// session on its way out and a greeter's are not, and the agent is never
// asked, nor is a prompt of ours shown.
TEST_F(PamModuleTest, AsRootAFaceUnlocksASessionButNeverOpensOne) {
    using S = sb::Session;
    const Lines notAsked = {"5 pam_tarvo: alice has no session here to unlock " DASH
                            " a face never logs in"};
    for (const auto& sessions : std::vector<std::vector<S>>{{},
                                                            {S{.type = "tty"}},
                                                            {S{.remote = true}},
                                                            {S{.closing = true}},
                                                            {S{.sessionClass = "greeter"}},
                                                            {S{.sessionClass = "user-early"}}}) {
        SCOPED_TRACE(sessions.empty() ? "none" : sessions[0].type + sessions[0].sessionClass);
        sb::setSessions(sb::aliceUid, sessions);
        ScriptedAgent agent(socket, sb::aliceUid, {"OK 616263\n"});
        expectSteppedAside(authenticate("alice"));
        EXPECT_EQ(moduleLog(), notAsked);
        auto atGreeter = sb::PamStack::authenticateAs("lightdm", "alice", {"secret"});
        EXPECT_TRUE(atGreeter.prompts.empty());
        EXPECT_EQ(agent.request(), "");
        moduleLog();
    }
    sb::setSessions(sb::aliceUid, {S{.type = "tty"}, S{.type = "wayland"}});
    ScriptedAgent agent(socket, sb::aliceUid, {"OK 616263\n"});
    EXPECT_EQ(authenticate("alice").token, "abc");
    EXPECT_EQ(agent.request(), "VERIFY\n");
    sb::setSessions(sb::aliceUid, {S{}});
}

// A password that can't be handed on is a doubt like any other: the stack
// goes on, and the password module after this one decides.
TEST_F(PamModuleTest, APasswordThatCannotBeHandedOnStepsAside) {
    ScriptedAgent agent(socket, sb::aliceUid, {"OK 616263\n"});
    failSettingTheToken = true;
    auto outcome = authenticate("alice");
    failSettingTheToken = false;
    expectSteppedAside(outcome);
    EXPECT_EQ(moduleLog(), (Lines{"5 pam_tarvo: agent vouched for alice",
                                  "4 pam_tarvo: could not set PAM_AUTHTOK: Memory buffer error"}));
}

// The path checks pass, but someone else answers on the path (a folder
// above it swapped between the check and the connect).
TEST_F(PamModuleTest, AnAgentOfAnotherUserIsNotBelieved) {
    ScriptedAgent agent(socket, sb::aliceUid, {"OK 616263\n"}, sb::bobUid);
    expectSteppedAside(authenticate("alice"));
    EXPECT_EQ(agent.request(), "") << "nothing is sent to it";
    EXPECT_EQ(moduleLog(), Lines{"4 pam_tarvo: " + socket.string() +
                                 " answered by uid 4343, expected 4242 " DASH " refusing"});
}

TEST_F(PamModuleTest, SilentOrClosingAgentFallsThroughAfterTheWait) {
    const std::string notice =
        "5 pam_tarvo: no reply within 5000ms " DASH " falling through to password";
    struct Case {
        const char* name;
        ScriptedAgent::Script script;
        std::chrono::milliseconds expectedWait;
    };
    for (const Case& c : {Case{"closes without reply", {std::nullopt, 0ms}, 0ms},
                          Case{"never replies", {std::nullopt, 8000ms}, 5000ms}}) {
        SCOPED_TRACE(c.name);
        ScriptedAgent agent(socket, sb::aliceUid, c.script);
        auto start = std::chrono::steady_clock::now();
        expectSteppedAside(authenticate("alice"));
        auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, c.expectedWait - 100ms);
        EXPECT_LT(waited, c.expectedWait + 900ms);
        EXPECT_EQ(moduleLog(), Lines{notice});
    }
}

// A full listen queue makes connect wait; that wait and the reply's share
// the one 5000 ms deadline. Here the agent accepts after 3 s and answers
// 2.5 s later: within 5 s of the accept, but not of the module's start.
TEST_F(PamModuleTest, ConnectAndReplyShareOneDeadline) {
    tarvo::UniqueFd listener = sb::boundSocket(socket, sb::aliceUid);
    ASSERT_EQ(seteuid(sb::aliceUid), 0);
    int listening = listen(listener.get(), 0);
    ASSERT_EQ(seteuid(0), 0);
    ASSERT_EQ(listening, 0);
    tarvo::UniqueFd filler = sb::connectedTo(socket);
    ASSERT_TRUE(filler);
    std::thread lateAgent([&] {
        std::this_thread::sleep_for(3s);
        tarvo::UniqueFd first(accept(listener.get(), nullptr, nullptr));
        tarvo::UniqueFd module(accept(listener.get(), nullptr, nullptr));
        std::this_thread::sleep_for(2500ms);
        tarvo::writeAll(module.get(), "OK 616263\n");
        pollfd hangup{module.get(), POLLIN, 0};
        poll(&hangup, 1, 2000);
    });
    auto start = std::chrono::steady_clock::now();
    expectSteppedAside(authenticate("alice"));
    auto waited = std::chrono::steady_clock::now() - start;
    lateAgent.join();
    EXPECT_LT(waited, 5400ms);
    EXPECT_EQ(moduleLog(),
              Lines{"5 pam_tarvo: no reply within 5000ms " DASH " falling through to password"});
}

TEST_F(PamModuleTest, UsersTheModuleCannotServe) {
    expectSteppedAside(authenticate("nobody-here"));
    EXPECT_EQ(moduleLog(), Lines{"7 pam_tarvo: unknown user nobody-here"});
    // A name can't forge a line of the system log.
    expectSteppedAside(authenticate("evil\nDec  6 pam_unix: forged\\"));
    EXPECT_EQ(moduleLog(),
              Lines{"7 pam_tarvo: unknown user evil\\x0aDec  6 pam_unix: forged\\x5c"});
}

} // namespace
