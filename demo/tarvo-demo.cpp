// The main job: a real face unlock on a machine with no camera, display or
// TPM. swtpm stands in for the TPM, a replay of franck.mp4 for the camera.
// As the user alice, the password is sealed (checked by a PAM stack of its
// own), the man of the video is enrolled through the guided six-pose
// enrollment, turning his head as each prompt asks, and the agent starts. As root, the real libpam
// runs pam_tarvo.so from a private service directory with a module after it that checks the token.
// Then someone else stands in front of the camera and the module steps aside.
#include "app/EnrollModel.h"
#include "core/agent/Agent.h"
#include "core/agent/StoredPassword.h"
#include "core/store/Paths.h"
#include "sandbox/BuildTree.h"
#include "sandbox/Faces.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"
#include "sandbox/SyslogCapture.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <security/pam_appl.h>
#include <unistd.h>

using namespace tarvo;
namespace sb = tarvo::sandbox;

namespace {

constexpr const char* password = "correct horse battery staple";
const std::string data = sb::tree::dataDir;

// One line over a pipe between the two sides.
void say(int fd, char word) {
    (void)!::write(fd, &word, 1);
}
char hear(int fd) {
    char word = 0;
    return ::read(fd, &word, 1) == 1 ? word : 0;
}

// The guided enrollment as the app runs it, in front of a camera on which
// the man of the video poses as each step's prompt asks; its prompts,
// guidance and progress printed as they change.
bool enroll() {
    int argc = 1;
    char name[] = "tarvo-demo";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    // The camera stops off the main thread, after the model has gone: the
    // step its source reads is the source's own, not this function's.
    auto step = std::make_shared<std::atomic<int>>(0);
    app::EnrollModel model([step]() -> platform::Result<std::unique_ptr<platform::VideoSource>> {
        return {std::make_unique<sb::Faces::PosingCamera>([step] { return step->load(); })};
    });
    QObject::connect(&model, &app::EnrollModel::stepIndexChanged,
                     [&] { *step = model.stepIndex(); });
    QObject::connect(&model, &app::EnrollModel::promptChanged, [&] {
        if (!model.prompt().isEmpty())
            std::printf("  step %d: %s\n", model.stepIndex() + 1, qPrintable(model.prompt()));
    });
    QString shown;
    QObject::connect(&model, &app::EnrollModel::guidanceChanged, [&] {
        if (model.guidance() == shown || model.guidance().isEmpty()) return;
        shown = model.guidance();
        std::printf("    %s\n", qPrintable(shown));
    });
    QObject::connect(&model, &app::EnrollModel::progressChanged,
                     [&] { std::printf("    sample %d/12\n", int(model.progress() * 12 + 0.5)); });
    QEventLoop loop;
    QObject::connect(&model, &app::EnrollModel::phaseChanged, &loop, [&] {
        if (model.phase() != app::EnrollModel::Phase::Capturing) loop.quit();
    });
    model.setChime([] {});
    model.feed()->start();
    model.begin("Franck");
    loop.exec();
    if (model.phase() != app::EnrollModel::Phase::Done) {
        std::printf("  enrollment failed: %s\n", qPrintable(model.failure()));
        return false;
    }
    auto result = model.result();
    std::printf("  enrolled Franck: %d samples, threshold %.3f, same-pose noise %.3f\n",
                result.value("samples").toInt(), result.value("threshold").toDouble(),
                result.value("noiseMean").toDouble());
    return true;
}

// Alice's side: seal, enroll, then run the agent once per scene in front of
// the camera, each until the root side has asked.
int agentSide(int fromRoot, int toRoot) {
    std::printf("\n== as alice: seal the password, enroll, start the agent\n");
    StoredPassword::save(password);
    std::printf("  password sealed with the TPM: %s\n", StoredPassword::file().c_str());
    if (!enroll()) {
        say(toRoot, 'x');
        return 1;
    }
    auto stranger = sb::Faces::someoneElse(Paths::dir());
    std::fflush(stdout);
    for (auto scene : {sb::Faces::franckVideo(), stranger.string()}) {
        ::setenv("TARVO_CAMERA", scene.c_str(), 1);
        auto agent = Agent::create(false);
        agent->start();
        say(toRoot, 'r');
        if (hear(fromRoot) != 'n') return 1;
        agent->stop();
    }
    say(toRoot, 'r');
    return 0;
}

sb::PamStack::Outcome unlock(const char* title) {
    std::printf("\n== %s\n", title);
    auto start = std::chrono::steady_clock::now();
    auto outcome = sb::PamStack::run("tarvo-demo", "alice");
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    for (const auto& entry : sb::SyslogCapture::drain())
        std::printf("  syslog(authpriv.%d) %s\n", entry.priority, entry.text.c_str());
    std::printf("  token the password check saw: %s\n",
                outcome.token ? "the saved password" : "(none)");
    std::printf("  pam_authenticate: %s, %.0f ms from VERIFY to the reply\n",
                pam_strerror(nullptr, outcome.status), ms);
    return outcome;
}

void showAgentLog() {
    auto log = sb::home("alice") / ".local/share/tarvo/tarvo.log";
    std::printf("\n== the agent's log (%s)\n", log.c_str());
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
        std::printf("  %s\n", line.c_str());
}

void writeStacks() {
    std::ofstream(sb::root() / "passdb") << "alice:" << password << "\n";
    // The agent checks the password it seals with a stack of its own.
    sb::PamStack::usePasswordCheck({{"alice", password}});
    // The lock screen's stack: our module, then the password check.
    sb::PamStack::writeService(
        "tarvo-demo",
        {"auth [success=done ignore=ignore default=die] " + sb::PamStack::tarvoModule() + " debug",
         "auth required " + sb::PamStack::passcheckModule() +
             " passdb=" + (sb::root() / "passdb").string(),
         "auth required " + sb::PamStack::wrapperModule("pam_get_items.so")});
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
    ::setenv("TARVO_MODEL", (data + "/model/FaceEmbedding.tflite").c_str(), 1);
    writeStacks();
    sb::SoftwareTpm tpm;
    tpm.use();
    sb::dataFolder("alice", sb::aliceUid);
    sb::runtimeFolder(sb::aliceUid);
    std::printf("user alice (uid %d), home %s; TPM: swtpm; camera: replay\n", sb::aliceUid,
                sb::home("alice").c_str());
    if (!logCaptured) std::printf("(module's syslog lines are not shown: needs root namespaces)\n");

    int down[2], up[2];
    if (::pipe2(down, O_CLOEXEC) != 0 || ::pipe2(up, O_CLOEXEC) != 0) return 1;
    std::fflush(stdout);
    pid_t agent = sb::spawnAs(sb::aliceUid, [&] { return agentSide(down[0], up[1]); });
    // Alice's ends are hers alone: should her side die, this side hears the
    // end of the pipe rather than waiting for ever, and says it failed.
    ::close(down[0]);
    ::close(up[1]);
    std::signal(SIGPIPE, SIG_IGN);
    bool ok = hear(up[0]) == 'r';
    auto face = unlock("Franck presses Return on the empty password field");
    say(down[1], 'n');
    ok = ok && hear(up[0]) == 'r';
    auto other = unlock("Someone else presses Return: the module steps aside");
    say(down[1], 'n');
    ok = ok && hear(up[0]) == 'r' && sb::waitFor(agent) == 0;
    showAgentLog();
    ok = ok && face.status == PAM_SUCCESS && face.token == password &&
         other.status != PAM_SUCCESS && other.stackWentOn && !other.token;
    std::printf("\n%s\n", ok ? "face unlock works: Franck's face opened the session, the "
                               "stranger's did not"
                             : "face unlock FAILED");
    return ok ? 0 : 1;
}
