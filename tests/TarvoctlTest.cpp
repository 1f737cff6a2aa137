#include "core/agent/StoredPassword.h"
#include "core/store/Config.h"
#include "core/store/Paths.h"
#include "core/system/LockScreen.h"
#include "sandbox/BuildTree.h"
#include "sandbox/Faces.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace sb = tarvo::sandbox;
namespace fs = std::filesystem;
using namespace tarvo;

namespace {

constexpr const char* password = "root's login password";
const fs::path bundle = "/opt/tarvo-app";

// The installed program as a person runs it, `input` on its standard input.
sb::Ran tarvoctl(const std::string& args, const std::string& input = "") {
    return sb::run(std::string(sb::tree::tarvoctl) + " " + args, input);
}

TEST(Tarvoctl, BadInputGetsItsExitStatusAndAClearMessage) {
    ::unsetenv("TARVO_CAMERA"); // and this machine has no camera
    EXPECT_EQ(tarvoctl("--help").status, 0);
    auto none = tarvoctl("");
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err, "tarvoctl: no command given\nTry 'tarvoctl --help'.\n");
    EXPECT_EQ(tarvoctl("frobnicate").err,
              "tarvoctl: unknown command 'frobnicate'\nTry 'tarvoctl --help'.\n");
    EXPECT_EQ(tarvoctl("config sensitivity 7").status, 2);
    EXPECT_EQ(tarvoctl("config loudness").status, 2);
    auto nobody = tarvoctl("remove nobody");
    EXPECT_EQ(nobody.status, 1);
    EXPECT_EQ(nobody.err, "tarvoctl: no enrolled face is named 'nobody'\n");
    auto test = tarvoctl("test");
    EXPECT_EQ(test.status, 1);
    EXPECT_EQ(test.err, "tarvoctl: no face is enrolled: tarvoctl enroll\n");
    auto enroll = tarvoctl("enroll");
    EXPECT_EQ(enroll.status, 1);
    EXPECT_EQ(enroll.err, "tarvoctl: No camera found. Plug one in.\n");
    // Without a TPM no password is asked for, and the TPM library's own
    // complaints never reach the terminal: one sentence.
    auto tcti = std::string(std::getenv("TCTI") ? std::getenv("TCTI") : "");
    ::unsetenv("TCTI");
    auto noTpm = tarvoctl("password", "typed anyway\n");
    EXPECT_EQ(noTpm.err.rfind("tarvoctl: This computer has no TPM to protect the password with. "
                              "Turn the TPM on",
                              0),
              0u)
        << noTpm.err;
    EXPECT_EQ(noTpm.out, "") << "no prompt";
    if (!tcti.empty()) ::setenv("TCTI", tcti.c_str(), 1);
    EXPECT_FALSE(StoredPassword::isStored());

    // Every command has its own help, and a face's name never looks like
    // an option.
    for (const std::string command : {"enroll", "remove", "camera", "faces", "agent", "on"}) {
        auto help = tarvoctl(command + " --help");
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.out.rfind("Usage:\n  tarvoctl " + command, 0), 0u) << help.out;
    }
    auto option = tarvoctl("enroll -x");
    EXPECT_EQ(option.status, 2);
    EXPECT_EQ(option.err, "tarvoctl: enroll: unknown option '-x' (a face's name can't start with "
                          "'-')\nTry 'tarvoctl --help'.\n");
    EXPECT_EQ(tarvoctl("remove --all").status, 2);
    EXPECT_EQ(tarvoctl("camera -1").status, 2);
    EXPECT_EQ(tarvoctl("faces").out, "") << "nothing was enrolled";

    // A model without its scale matches nothing: said, with where it looked.
    auto model = std::string(std::getenv("TARVO_MODEL") ? std::getenv("TARVO_MODEL") : "");
    auto bare = sb::root() / "bare";
    ::setenv("TARVO_MODEL", (bare / "FaceEmbedding.tflite").c_str(), 1);
    EXPECT_EQ(tarvoctl("config sensitivity").err,
              "tarvoctl: the face model's scale is missing (no measured figures in " +
                  (bare / "FaceEmbedding.json").string() + "): no face can match\n");
    if (model.empty())
        ::unsetenv("TARVO_MODEL");
    else
        ::setenv("TARVO_MODEL", model.c_str(), 1);

    // A user no login has made a runtime folder for: where, and what to do.
    if (geteuid() != 0) return;
    const fs::path runtime = "/run/user/" + std::to_string(sb::bobUid);
    fs::rename(runtime, runtime.string() + ".away");
    auto agent = sb::run("setpriv --reuid=" + std::to_string(sb::bobUid) +
                         " --regid=" + std::to_string(sb::bobUid) + " --clear-groups " +
                         sb::tree::tarvoctl + " agent");
    fs::rename(runtime.string() + ".away", runtime);
    EXPECT_EQ(agent.status, 1);
    EXPECT_NE(agent.err.find("the agent's socket goes in " + runtime.string() +
                             ", which is missing: no login of this user's made it."),
              std::string::npos)
        << agent.err;
}

// Each damaged file is said in status, stops the commands it would spoil
// before they start, and is set aside without an editor, kept whole.
TEST(Tarvoctl, DamagedFilesAreSaidAndSetAside) {
    ::unsetenv("TARVO_CAMERA");
    const std::string cut = R"({"version":2,"faces":[{"id":)";
    sb::writeFile(Paths::enrolled(), cut);
    sb::writeFile(StoredPassword::file(), "garbage");
    auto status = nlohmann::json::parse(tarvoctl("status --json").out);
    EXPECT_EQ(status["summary"], "Your faces file is damaged");
    EXPECT_EQ(status["faces"]["state"], "Your faces file is damaged");
    EXPECT_EQ(status["faces"]["todo"], "tarvoctl faces --set-aside-damaged, then tarvoctl enroll");
    EXPECT_EQ(status["password"]["state"],
              "The saved password can't be opened \xE2\x80\x94 enter it again");
    EXPECT_EQ(status["password"]["todo"], "tarvoctl password");
    const std::string refused =
        "tarvoctl: Your faces file is damaged. Set it aside (it is renamed, "
        "nothing is deleted) and enroll again: tarvoctl faces "
        "--set-aside-damaged\n";
    for (const char* command : {"enroll Second", "remove Me", "faces", "test"}) {
        auto ran = tarvoctl(command);
        EXPECT_EQ(ran.status, 1) << command;
        EXPECT_EQ(ran.err, refused) << command;
        EXPECT_EQ(ran.out, "") << command << ": nothing started";
    }
    auto aside = tarvoctl("faces --set-aside-damaged");
    EXPECT_EQ(aside.status, 0) << aside.err;
    auto kept = sb::filesLike(Paths::enrolled());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(aside.out, "The damaged faces file is kept as " + kept[0].string() +
                             ". Enroll again: tarvoctl enroll\n");
    EXPECT_EQ(sb::readFile(kept[0]), cut);
    EXPECT_EQ(tarvoctl("faces").status, 0);
    EXPECT_EQ(tarvoctl("faces --set-aside-damaged").status, 1) << "nothing left to set aside";
    fs::remove(kept[0]);
    StoredPassword::clear();

    // The blink survives its damaged file, and a change keeps that file.
    EXPECT_EQ(tarvoctl("config liveness blink").status, 0);
    sb::writeFile(Paths::config(), "{\"liveness\": \"bl");
    auto shown = tarvoctl("config liveness");
    EXPECT_EQ(shown.out, "blink\n");
    EXPECT_EQ(shown.err,
              "tarvoctl: Your settings file is damaged: Tarvo uses your last good settings\n");
    status = nlohmann::json::parse(tarvoctl("status --json").out);
    EXPECT_EQ(status["settings"]["state"],
              "Your settings file is damaged: Tarvo uses your last good settings");
    EXPECT_EQ(tarvoctl("config warm-up off").status, 0);
    ASSERT_EQ(sb::filesLike(Paths::config()).size(), 1u);
    EXPECT_EQ(sb::readFile(sb::filesLike(Paths::config())[0]), "{\"liveness\": \"bl");
    shown = tarvoctl("config liveness");
    EXPECT_EQ(shown.out + shown.err, "blink\n");
    fs::remove(sb::filesLike(Paths::config())[0]);
}

TEST(Tarvoctl, SettingsTakeTheAppsSteps) {
    EXPECT_EQ(tarvoctl("config sensitivity 0.5").status, 0);
    EXPECT_EQ(tarvoctl("config liveness blink").status, 0);
    EXPECT_EQ(tarvoctl("config warm-up off").status, 0);
    char stored[64];
    std::snprintf(stored, sizeof stored, "sensitivity 0.52 (threshold %.3f)\n",
                  double(Config::thresholdFor(0.52)));
    EXPECT_EQ(tarvoctl("config sensitivity 0.51").out, stored) << "says what it stored";
    auto config = Config::load();
    EXPECT_DOUBLE_EQ(config.sensitivity, 0.52) << "the nearest step of 0.04";
    EXPECT_EQ(config.liveness, Config::Liveness::blink);
    EXPECT_FALSE(config.warmWithDisplay);
    EXPECT_EQ(tarvoctl("config liveness").out, "blink\n");
}

// The terminal path of a user: the password, then the lock screens, with
// the real installer and helper through stand-ins for sudo and pkexec in
// a mount namespace of the test's own.
TEST(Tarvoctl, PasswordThenOnAndOff) {
    if (!sb::privateSystemFolders()) GTEST_SKIP() << "needs root for a mount namespace";
    sb::PamStack::usePasswordCheck({{"root", password}});
    sb::SoftwareTpm tpm;
    tpm.use();
    sb::AdminPrograms admin(password);
    sb::installBundle(bundle, sb::tree::helper, sb::tree::pamModule);
    // The stand-ins are the sudo and pkexec found first.
    auto path = fs::path(admin.sudo()).parent_path().string() + ":" + std::getenv("PATH");
    ::setenv("PATH", path.c_str(), 1);
    std::ofstream("/etc/pam.d/i3lock") << "@include common-auth\n";

    auto wrong = tarvoctl("password", "not it\n");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err, "tarvoctl: That isn't the login password of this computer.\n");
    auto saved = tarvoctl("password", std::string(password) + "\n");
    EXPECT_EQ(saved.status, 0) << saved.err;
    EXPECT_TRUE(StoredPassword::isStored());

    admin.behave("accept", "fail");
    EXPECT_EQ(tarvoctl("on").err, "tarvoctl: as root, name the user: tarvoctl on --user NAME\n"
                                  "Try 'tarvoctl --help'.\n");
    auto on = tarvoctl("on --user root");
    EXPECT_EQ(on.status, 0) << on.err;
    EXPECT_EQ(LockScreen::wiredModulePath(), LockScreen::module);
    auto status = nlohmann::json::parse(tarvoctl("status --json").out);
    EXPECT_EQ(status["password"]["state"], "saved");
    EXPECT_EQ(status["lock screen"]["state"], "wired");
    EXPECT_EQ(status["agent"]["todo"], "tarvoctl agent --enable, or start the Tarvo app");

    // As root the helper runs itself: neither sudo nor a prompt is asked.
    admin.behave("reject", "no-agent");
    auto off = tarvoctl("off --user root");
    EXPECT_EQ(off.status, 0) << off.err;
    EXPECT_FALSE(fs::exists(admin.log() / "sudo.args"));
    EXPECT_FALSE(fs::exists(admin.log() / "pkexec.args"));
    EXPECT_EQ(LockScreen::wiredModulePath(), std::nullopt);
}

// Enrolled in the terminal from a replay of his head turns, then known.
TEST(Tarvoctl, EnrollsFromTheTerminalAndThenKnowsHim) {
    auto turns = sb::Faces::writeTurns(sb::root() / "turns");
    ::setenv("TARVO_CAMERA", turns.c_str(), 1);
    auto enroll = tarvoctl("enroll Franck");
    EXPECT_EQ(enroll.status, 0) << enroll.err;
    for (const auto& line :
         {"Step 1 of 6: Look straight at the camera", "Step 6 of 6: Look straight ahead again",
          "12/12", "Enrolled: 12 pictures of your face from all 6 head poses."})
        EXPECT_NE(enroll.out.find(line), std::string::npos) << line << " in\n" << enroll.out;
    EXPECT_EQ(tarvoctl("faces").out.substr(0, 20), "Franck  12 samples  ");

    // Without a camera, a video chosen as the camera: listed, and used.
    ::unsetenv("TARVO_CAMERA");
    auto chosen = tarvoctl("camera " + sb::Faces::franckVideo());
    EXPECT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_EQ(
        chosen.out.rfind("* 1  " + sb::Faces::franckVideo() + "  a replay of a video or images", 0),
        0u)
        << chosen.out;
    auto status = nlohmann::json::parse(tarvoctl("status --json").out);
    EXPECT_EQ(status["camera"]["state"], "ready");
    auto test = tarvoctl("test");
    EXPECT_EQ(test.status, 0);
    EXPECT_EQ(test.out.substr(test.out.size() - 11), "That's you\n");
    EXPECT_EQ(tarvoctl("camera default").status, 0);
    EXPECT_EQ(tarvoctl("remove franck").status, 0);
    EXPECT_EQ(tarvoctl("faces").out, "");
}

// The agent as a test user: one at a time, and a clean stop.
TEST(Tarvoctl, AgentRunsUntilStoppedAndOnlyOnce) {
    sb::dataFolder("alice", sb::aliceUid);
    sb::runtimeFolder(sb::aliceUid);
    auto socket = Paths::socketOf(sb::aliceUid);
    pid_t first = sb::startAs(sb::aliceUid, {sb::tree::tarvoctl, "agent"});
    ASSERT_TRUE(sb::eventually([&] { return fs::exists(socket); }, std::chrono::seconds(20)));
    EXPECT_EQ(sb::waitFor(sb::startAs(sb::aliceUid, {sb::tree::tarvoctl, "agent"})), 3)
        << "another agent holds the lock";
    ::kill(first, SIGTERM);
    EXPECT_EQ(sb::waitFor(first), 0);
    EXPECT_FALSE(fs::exists(socket));
}

} // namespace
