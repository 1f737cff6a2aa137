#include "core/system/SystemInstaller.h"

#include "core/agent/StoredPassword.h"
#include "core/system/LockScreen.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvo::SystemInstaller {
void PrintTo(const Outcome& outcome, std::ostream* out) {
    *out << "kind " << static_cast<int>(outcome.kind) << " \"" << outcome.message << "\"";
}
} // namespace tarvo::SystemInstaller

namespace sb = tarvo::sandbox;
namespace fs = std::filesystem;
using namespace tarvo;
using Outcome = SystemInstaller::Outcome;

namespace {

constexpr const char* password = "pass \"with\" \\ and '";

TEST(SystemInstallerRules, OutsideABundleEveryActionRefuses) {
    ::unsetenv("TARVO_BUNDLE");
    EXPECT_FALSE(SystemInstaller::isBundled()) << SystemInstaller::helper();
    EXPECT_EQ(SystemInstaller::install(),
              Outcome::failed("Run Tarvo from its installation in /opt/tarvo-app — the helper it "
                              "installs is part of it."));
    EXPECT_EQ(
        SystemInstaller::purge(),
        Outcome::failed("Run Tarvo from its installation in /opt/tarvo-app to uninstall it."));
    ::setenv("TARVO_BUNDLE", "/usr/local", 1);
    EXPECT_FALSE(SystemInstaller::isBundled()) << "a shared prefix is never a bundle";
    ::unsetenv("TARVO_BUNDLE");
}

// A bundle with the built helper and module, installed through stand-ins
// for sudo and pkexec into /etc/pam.d and /opt of a mount namespace of the
// test's own (empty folders there), so the scripts run for real as root.
class SystemInstallerTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        world = new sb::AppMachine(password, "/opt/tarvo-app", TARVO_HELPER, PAM_TARVO_MODULE);
        admin = world->isolated() ? &world->admin() : nullptr;
    }
    static void TearDownTestSuite() { delete world; }

    void SetUp() override {
        if (!world->isolated()) GTEST_SKIP() << "needs root for a mount namespace";
        StoredPassword::save(password);
    }

    static fs::path log() { return admin->log(); }
    static SystemInstaller::Runners standIns() { return {admin->sudo(), admin->pkexec()}; }
    static void behave(const char* sudo, const char* pkexec) { admin->behave(sudo, pkexec); }

    static inline sb::AppMachine* world = nullptr;
    static inline sb::AdminPrograms* admin = nullptr;
};

TEST_F(SystemInstallerTest, ARefusedPasswordFallsBackToThePrompt) {
    behave("reject", "ok");
    std::ofstream("/etc/pam.d/gdm-password") << "@include common-auth\n";
    EXPECT_EQ(SystemInstaller::install(standIns()), Outcome::done());
    EXPECT_TRUE(fs::exists(log() / "pkexec.args"));
    EXPECT_EQ(sb::readFile(log() / "sudo.args").find(password), std::string::npos);
    EXPECT_FALSE(fs::exists(log() / "sudo.leaked")) << "sudo's second prompt got nothing";
    EXPECT_EQ(LockScreen::wiredModulePath(), LockScreen::module);

    behave("reject", "dismiss");
    EXPECT_EQ(SystemInstaller::uninstall(standIns()), Outcome::cancelled());
    EXPECT_EQ(LockScreen::wiredModulePath(), LockScreen::module) << "nothing changed";
}

// A sudo that asks for nothing must not get the password as the first line
// of the script: the shell would run it as a command.
TEST_F(SystemInstallerTest, ASudoThatAsksNothingGetsOnlyTheScript) {
    behave("nopasswd", "fail");
    auto out = (log() / "out").string();
    EXPECT_EQ(SystemInstaller::runPrivileged("echo one > " + out + "\necho two >> " + out, password,
                                             standIns()),
              Outcome::done());
    EXPECT_EQ(sb::readFile(out), "one\ntwo\n");
}

// Outside the test's namespace: sudo needs the machine's own PAM stack.
TEST(SystemInstallerRealSudo, RunsTheScriptAsRoot) {
    if (geteuid() != 0 || ::access("/usr/bin/sudo", X_OK) != 0)
        GTEST_SKIP() << "needs root and sudo";
    auto file = sb::root() / "uid";
    EXPECT_EQ(SystemInstaller::runPrivileged("id -u > " + file.string(), "not asked of root", {}),
              Outcome::done());
    EXPECT_EQ(sb::readFile(file), "0\n");
}

} // namespace
