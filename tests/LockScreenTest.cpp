#include "core/system/LockScreen.h"

#include "platform/system/LockScreenStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/SyslogCapture.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace LockScreen = tarvo::LockScreen;
namespace sb = tarvo::sandbox;
namespace fs = std::filesystem;

namespace {

TEST(LockScreenTest, WiredModulePath) {
    auto stack = sb::root() / "stack";
    sb::writeFile(stack, "#auth sufficient /opt/tarvo/lib/pam_tarvo.so\n@include common-auth\n");
    EXPECT_EQ(LockScreen::wiredModulePath(stack), std::nullopt) << "only a comment";
    sb::writeFile(stack, "\n# face unlock\nauth\t[success=done ignore=ignore default=ignore]   "
                         "/opt/tarvo/lib/pam_tarvo.so\n@include common-auth\n");
    EXPECT_EQ(LockScreen::wiredModulePath(stack), "/opt/tarvo/lib/pam_tarvo.so");
    sb::writeFile(stack, "auth optional pam_tarvo.so\nauth optional /opt/tarvo/lib/pam_tarvo.so\n");
    EXPECT_EQ(LockScreen::wiredModulePath(stack), std::nullopt) << "the first line counts";
    sb::writeFile(stack, "  # auth sufficient /x/pam_tarvo.so\n");
    EXPECT_EQ(LockScreen::wiredModulePath(stack), "/x/pam_tarvo.so") << "only column 0 comments";
    EXPECT_EQ(LockScreen::wiredModulePath(sb::root() / "missing"), std::nullopt);
}

// A root-only tree on a tmpfs mounted over /mnt in the test's own mount
// namespace: /tmp's sticky 1777 would fail any chain below it.
class RootChainTest : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0 || !sb::SyslogCapture::install())
            GTEST_SKIP() << "needs root and a private mount namespace";
        ASSERT_EQ(mount("tmpfs", "/mnt", "tmpfs", 0, "mode=0755"), 0);
        fs::create_directories("/mnt/opt/tarvo/lib");
        sb::writeFile(module, "module");
        for (const char* dir : {"/mnt/opt", "/mnt/opt/tarvo", "/mnt/opt/tarvo/lib"})
            chmod(dir, 0755);
    }
    void TearDown() override {
        if (geteuid() == 0) umount2("/mnt", MNT_DETACH);
    }
    const std::string module = "/mnt/opt/tarvo/lib/pam_tarvo.so";
};

TEST_F(RootChainTest, ProblemsAreNamedFromTheFileUp) {
    EXPECT_EQ(LockScreen::rootOnlyChainProblem(module), std::nullopt);
    chmod("/mnt/opt/tarvo", 0775);
    EXPECT_EQ(LockScreen::rootOnlyChainProblem(module),
              "/mnt/opt/tarvo is writable by group or others (mode 775)");
    chmod("/mnt/opt/tarvo", 01777);
    EXPECT_EQ(LockScreen::rootOnlyChainProblem(module),
              "/mnt/opt/tarvo is writable by group or others (mode 1777)");
    chmod("/mnt/opt/tarvo", 0755);
    sb::own("/mnt/opt", sb::aliceUid, 0);
    EXPECT_EQ(LockScreen::rootOnlyChainProblem(module), "/mnt/opt is owned by alice, not root");
    sb::own("/mnt/opt", 5555, 0);
    EXPECT_EQ(LockScreen::rootOnlyChainProblem(module), "/mnt/opt is owned by uid 5555, not root");
    sb::own("/mnt/opt", 0, 0);
    fs::remove(module);
    EXPECT_EQ(LockScreen::rootOnlyChainProblem(module), module + " does not exist");
    fs::create_symlink("/mnt/elsewhere.so", module);
    EXPECT_EQ(LockScreen::rootOnlyChainProblem(module), module + " is a symlink");
}

TEST(LockScreenStackTest, EveryLockerPresentAndNothingElse) {
    if (!sb::privateSystemFolders()) GTEST_SKIP() << "needs root for a private /etc/pam.d";
    EXPECT_TRUE(tarvo::platform::lockScreenStacks().empty());
    for (auto name : {"i3lock", "kde", "login", "sudo", "common-auth", "lightdm", "polkit-1"})
        sb::writeFile(fs::path("/etc/pam.d") / name, "");
    // lightdm's service also logs people in; without light-locker it is no lock screen.
    EXPECT_EQ(tarvo::platform::lockScreenStacks(),
              (std::vector<fs::path>{"/etc/pam.d/kde", "/etc/pam.d/i3lock"}));
}

} // namespace
